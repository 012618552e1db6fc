#include "platform/system/UserInfo.h"

#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {

QString loginName() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0)
        size = 16384;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name)
        return QString();
    return QString::fromLocal8Bit(found->pw_name);
}

} // namespace platform
