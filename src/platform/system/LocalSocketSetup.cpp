#include "platform/system/LocalSocketSetup.h"

#include <QFile>
#include <QLocalServer>

namespace platform {

bool listenUserOnly(QLocalServer* server, const QString& name, QString* error) {
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(name)) {
        if (error)
            *error = server->errorString();
        return false;
    }
    // Qt creates the socket with the user-only mode; make sure of it rather than trust the umask.
    const QString path = server->fullServerName();
    const QFileDevice::Permissions userOnly =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;
    if ((QFile::permissions(path) & ~(userOnly | QFileDevice::ExeOwner | QFileDevice::ExeUser)) != 0 &&
        !QFile::setPermissions(path, userOnly)) {
        server->close();
        if (error)
            *error = QStringLiteral("Cannot restrict access to %1").arg(path);
        return false;
    }
    return true;
}

} // namespace platform
