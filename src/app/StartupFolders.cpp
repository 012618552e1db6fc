#include "app/StartupFolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

InstallType installType(const QString& executableFolder) {
    const QDir folder(executableFolder);
    if (QFileInfo::exists(folder.filePath(QStringLiteral("localinstall"))))
        return Local;
    if (QFileInfo::exists(folder.filePath(QStringLiteral("flashinstall"))))
        return Portable;
    return Standard;
}

InstallType installType() {
    return installType(QCoreApplication::applicationDirPath());
}

QString userDataFolder(InstallType type, const QString& executableFolder) {
    if (type == Portable)
        return QDir(executableFolder).absolutePath();
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return QDir::currentPath();
    return QDir(data).absoluteFilePath(QStringLiteral("Halvane/Velnor3"));
}

QString systemDataDirectory() {
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::AppDataLocation);
    return locations.size() > 1 ? QDir(locations.at(1)).absolutePath() : QString();
}

QString userConnectionFolder(const QString& userDataFolder) {
    return QDir(userDataFolder).absoluteFilePath(QStringLiteral("MyConnections"));
}

QString systemConnectionFolder(const QString& systemDataFolder) {
    if (systemDataFolder.isEmpty())
        return QString();
    return QDir(systemDataFolder).absoluteFilePath(QStringLiteral("Connections"));
}
