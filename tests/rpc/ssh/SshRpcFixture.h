#pragma once

// A real sshd on loopback whose client runs the test server-interface command with a scenario, and
// small helpers to watch promises settle.

#include "SshdHarness.h"

#include "rpc/RpcInstanceSsh.h"
#include "signin/SshLaunchSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <memory>

// How one promise settled; count above 1 means it settled twice.
struct Outcome {
    int count = 0;
    bool ok = false;
    QString name;
    QString message;
};

inline std::shared_ptr<Outcome> watch(RpcPromiseBase* promise) {
    auto outcome = std::make_shared<Outcome>();
    if (!promise)
        return outcome;
    QObject::connect(promise, &RpcPromiseBase::succeeded, [outcome] {
        ++outcome->count;
        outcome->ok = true;
    });
    QObject::connect(promise, &RpcPromiseBase::failed,
                     [outcome](const QString& name, const QString& message, const QVariantMap&) {
                         ++outcome->count;
                         outcome->ok = false;
                         outcome->name = name;
                         outcome->message = message;
                     });
    return outcome;
}

class SshRpcFixture {
public:
    // Time allowed for anything that involves an ssh login on a loaded machine.
    static constexpr int timeoutMs = 30000;

    bool start(QString* error) {
        if (!m_dir.isValid()) {
            *error = QStringLiteral("no temporary directory");
            return false;
        }
        return sshd.start(error);
    }

    static QString command() {
        return QDir(QCoreApplication::applicationDirPath())
            .filePath(QStringLiteral("velnor-test-server-interface"));
    }

    // Settings that log in to the harness and run the test command with this scenario; every call
    // gets its own record file.
    SshLaunchSettings settings(const QJsonObject& script = QJsonObject(),
                               const QString& extraArgs = QString()) {
        const int n = ++m_count;
        const QString scriptPath = m_dir.filePath(QStringLiteral("script-%1.json").arg(n));
        QFile f(scriptPath);
        if (f.open(QIODevice::WriteOnly))
            f.write(QJsonDocument(script).toJson());
        recordPath = m_dir.filePath(QStringLiteral("record-%1.jsonl").arg(n));
        SshLaunchSettings s;
        s.host = sshd.host();
        s.port = sshd.port();
        s.user = sshd.user();
        s.sshOptions = sshd.clientOptions();
        s.run = QStringLiteral("%1 --script %2 --record %3").arg(command(), scriptPath, recordPath);
        if (!extraArgs.isEmpty())
            s.run += QLatin1Char(' ') + extraArgs;
        return s;
    }

    // A stored ssh connection that logs in to the harness with these settings.
    static QJsonObject connectionJson(const SshLaunchSettings& s) {
        return QJsonObject{{"type", "ssh"},
                           {"host", s.host},
                           {"port", int(s.port)},
                           {"user", s.user},
                           {"run", s.run},
                           {"sshOptions", QJsonArray::fromStringList(s.sshOptions)},
                           {"forwardAgent", false}};
    }

    // The requests the test command has recorded for the last settings (or into the given record
    // file), oldest first.
    QList<QJsonObject> recorded(const QString& path = QString()) const {
        QList<QJsonObject> requests;
        QFile f(path.isEmpty() ? recordPath : path);
        if (!f.open(QIODevice::ReadOnly))
            return requests;
        for (const QByteArray& line : f.readAll().split('\n')) {
            if (!line.trimmed().isEmpty())
                requests << QJsonDocument::fromJson(line).object();
        }
        return requests;
    }

    SshdHarness sshd;
    QString recordPath;

private:
    QTemporaryDir m_dir;
    int m_count = 0;
};
