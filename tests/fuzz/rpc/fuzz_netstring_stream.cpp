// Fuzzes what the ssh transport reads from the server's interface command: login chatter, the start
// marker, then netstrings, arriving in reads whose sizes the input chooses.
//
// Input: one byte giving the read size (1 to 256), then the output. Checks: nothing behind the
// marker is read before it is found; a complete payload is never longer than the reader's maximum
// nor than the bytes that came; the reader stops for good on its first error.

#include "rpc/BoyerMooreMatcher.h"
#include "rpc/NetStringReader.h"

#include <QBuffer>
#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// Bytes are appended to the device as they "arrive"; what a reader leaves stays for the next read.
class Pipe {
public:
    Pipe() { m_device.open(QIODevice::ReadWrite); }
    QBuffer& device() { return m_device; }
    void arrive(const QByteArray& bytes) {
        const qint64 at = m_device.pos();
        m_device.seek(m_device.size());
        m_device.write(bytes);
        m_device.seek(at);
    }

private:
    QBuffer m_device;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const int step = data[0] + 1;
    const QByteArray output(reinterpret_cast<const char*>(data + 1), int(size - 1));

    BoyerMooreMatcher* marker = BoyerMooreMatcher::forStartMarker();
    NetStringReader reader;
    reader.setMaximumLength(1024);
    Pipe pipe;
    qint64 payloads = 0;
    for (int at = 0; at < output.size(); at += step) {
        pipe.arrive(output.mid(at, step));
        if (!marker->found()) {
            marker->feed(&pipe.device());
            if (!marker->found())
                continue;
            // The marker is consumed exactly, never a byte behind it.
            const int end = output.indexOf(netStringStartMarker());
            check(end >= 0 && pipe.device().pos() == end + netStringStartMarker().size());
        }
        for (;;) {
            const bool wasComplete = reader.isComplete();
            const qint64 before = pipe.device().bytesAvailable();
            reader.processBytes(&pipe.device());
            if (!reader.isOk())
                break;
            if (!reader.isComplete() || (wasComplete && pipe.device().bytesAvailable() == before))
                break;
            check(reader.data().size() <= reader.maximumLength());
            payloads += reader.data().size();
            check(payloads <= output.size());
        }
        if (!reader.isOk()) {
            // An error is final: more bytes change nothing.
            const qint64 left = pipe.device().bytesAvailable();
            reader.processBytes(&pipe.device());
            check(!reader.isOk() && pipe.device().bytesAvailable() == left);
            break;
        }
    }
    delete marker;
    return 0;
}
