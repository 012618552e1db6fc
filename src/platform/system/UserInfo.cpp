#include "platform/system/UserInfo.h"

#include <QByteArray>
#include <QtGlobal>

#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

constexpr int kMaximumLength = 256;

QString fromDatabase(uid_t uid) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0)
        size = 16384;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name)
        return QString();
    return QString::fromLocal8Bit(found->pw_name);
}

QString bounded(QString name) {
    if (name.size() > kMaximumLength) {
        int end = kMaximumLength;
        if (name.at(end - 1).isHighSurrogate())
            --end;
        name.truncate(end);
    }
    return name;
}

} // namespace

QString chooseLoginName(const QString& databaseName, const QString& userVariable, unsigned long userId) {
    if (!databaseName.isEmpty())
        return bounded(databaseName);
    if (!userVariable.isEmpty())
        return bounded(userVariable);
    return QString::number(userId);
}

QString loginName() {
    const uid_t uid = geteuid();
    return chooseLoginName(fromDatabase(uid), qEnvironmentVariable("USER"), uid);
}

} // namespace platform
