#pragma once

#include "signin/SshLaunchSettings.h"

#include <QProcess>
#include <QHash>
#include <QSet>
#include <QString>

#include <functional>

class NetStringReader;
class QLocalServer;
class QLocalSocket;

// The ssh client that carries the ssh transport, with a SOCKS forward for the viewer and a local
// prompt server that the password-prompt program relays ssh's questions through.
class SshProcess : public QProcess {
    Q_OBJECT
public:
    // Tunnel ports are probed from first up to, not including, last; last means none was free.
    static constexpr quint16 firstTunnelPort = 41000;
    static constexpr quint16 lastTunnelPort = 41100;
    // The block actually probed: the one above, moved out of the system's ephemeral ports when needed.
    static quint16 firstProbedTunnelPort();
    static quint16 lastProbedTunnelPort();
    // Longest prompt accepted from the prompt program.
    static constexpr int maxPromptSize = 64 * 1024;

    explicit SshProcess(QObject* parent = nullptr);
    ~SshProcess() override;

    // Starts ssh (or plink.exe); does nothing while the process is open. The tunnel port is searched
    // from a random place of the block, so that programs starting together rarely pick the same one.
    void start(const SshLaunchSettings& settings);
    // After ssh ended because it could not set up its tunnel, starts it again with the same settings
    // on another free port. The answers given to the ended ssh's prompts are given again to the same
    // prompts of the new one without asking. False (and FailedToStart reported later) when no port
    // is left; false without a report while the process still runs.
    bool restartOnAnotherPort();
    // Drops the answers kept for a restart (once ssh is through its sign-in).
    void forgetAnswers();
    // Sends the answer to the prompt being served; does nothing unless a prompt is waiting for one.
    void answer(const QString& text);
    quint16 tunnelPort() const { return m_tunnelPort; }
    // The prompt server's full name as given to the prompt program; empty when it is not running.
    QString promptServerName() const;
    // FailedToStart when start refused to run the program itself, else QProcess's own error.
    QProcess::ProcessError lastError() const;

    void close() override;
    // Ends ssh without waiting: closes its input at once, terminates it after graceMs and kills it
    // after graceMs more. The prompt server goes at once.
    void stopGracefully(int graceMs);
    // Whether a live process of this program holds the port as its tunnel.
    static bool isTunnelPortClaimed(quint16 port);

signals:
    void questioned(QString prompt);
    // The prompt server could not be set up; ssh runs without it, so prompts cannot be answered.
    void promptServerFailed(QString message);

private slots:
    void MurrowServer_newConnection();
    void CurrentMurrowSocket_disconnected();
    void CurrentMurrowSocket_readyRead();

private:
    void failStart(const QString& message);
    void reportLater(const std::function<void()>& report);
    bool startPromptServer();
    void launch(const QSet<quint16>& avoid);
    void tearDownPrompts();
    void releaseTunnelPort();

    QString m_host;
    quint16 m_port = 22;
    QString m_user;
    QString m_run;
    bool m_forwardAgent = false;
    QStringList m_sshOptions;
    bool m_usePlink = false;
    QStringList m_plinkOptions;
    bool m_debugLogging = false;
    quint16 m_tunnelPort = 0;
    QLocalServer* MurrowServer = nullptr;
    QLocalSocket* CurrentMurrowSocket = nullptr;
    NetStringReader* promptReader = nullptr;
    QMetaObject::Connection m_releaseOnFinish;
    bool m_refusedStart = false;
    // The current connection's request has been announced and not yet answered.
    bool m_awaitingAnswer = false;
    QString m_currentPrompt;
    // Answers given in this run, by prompt, and those of an earlier run still to be given again.
    QHash<QString, QString> m_givenAnswers;
    QHash<QString, QString> m_replayAnswers;
    // Ports of this start's earlier runs that ssh could not bind.
    QSet<quint16> m_failedPorts;
    quint16 m_launchedPort = 0; // the tunnel port of the last run, also after its end
};
