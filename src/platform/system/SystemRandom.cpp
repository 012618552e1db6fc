#include "platform/system/SystemRandom.h"

#include <atomic>
#include <cerrno>
#include <sys/random.h>

namespace platform {

namespace {

std::atomic<RandomSource> overrideSource{nullptr};

bool getrandomBytes(void* buf, std::size_t n) {
    auto* out = static_cast<unsigned char*>(buf);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = getrandom(out + done, n - done, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace

bool systemRandomBytes(void* buf, std::size_t n) {
    const RandomSource source = overrideSource.load();
    return source ? source(buf, n) : getrandomBytes(buf, n);
}

RandomSource setRandomSource(RandomSource source) {
    return overrideSource.exchange(source);
}

} // namespace platform
