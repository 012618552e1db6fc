#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// The ssh settings of an ssh connection.
struct SshLaunchSettings {
    QString host;
    quint16 port = 22;
    QString user;
    QString run = QStringLiteral("exec velnor-protocol");
    bool forwardAgent = false;
    QStringList sshOptions;
    bool usePlink = false;
    QStringList plinkOptions;
    bool debugLogging = false;
};
