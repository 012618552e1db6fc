#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

// Runs /usr/sbin/sshd in the foreground on a free 127.0.0.1 port for the current user, with its own
// host key, one user key (optionally passphrase-protected) and a known_hosts file for the client.
// Everything lives in a temporary directory that goes away with the harness.
class SshdHarness : public QObject {
    Q_OBJECT
public:
    explicit SshdHarness(QObject* parent = nullptr);
    ~SshdHarness() override;

    // Empty: the user key has no passphrase. Takes effect at start.
    void setUserKeyPassphrase(const QString& passphrase) { m_passphrase = passphrase; }
    // Extra sshd_config lines, appended to the generated config. Takes effect at start.
    void setExtraConfig(const QStringList& lines) { m_extraConfig = lines; }

    // Generates keys and config, starts sshd and waits (bounded) until it listens.
    bool start(QString* error = nullptr);
    void stop();
    bool isRunning() const;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return m_port; }
    QString user() const { return m_user; }
    QString userKeyFile() const;
    QString knownHostsFile() const;
    QString directory() const;
    // What sshd wrote to its standard error so far.
    QString serverLog();

    // ssh client options that trust exactly this server's host key and offer exactly the test key,
    // without reading the user's own ssh configuration or agent.
    QStringList clientOptions() const;

    // The programs the harness needs; false with the missing one named when one is absent.
    static bool toolsAvailable(QString* missing = nullptr);

private:
    bool run(const QString& program, const QStringList& args, QString* error);
    bool writeFile(const QString& name, const QByteArray& contents, QString* error);

    std::unique_ptr<QTemporaryDir> m_dir;
    QProcess m_sshd;
    QByteArray m_log;
    QString m_passphrase;
    QStringList m_extraConfig;
    QString m_user;
    quint16 m_port = 0;
};
