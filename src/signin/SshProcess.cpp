#include "signin/SshProcess.h"

#include "platform/system/LocalSocketSetup.h"
#include "platform/system/PortRange.h"
#include "rpc/Cookie.h"
#include "rpc/NetStringReader.h"
#include "rpc/PortProbe.h"
#include "rpc/RpcLogging.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>

namespace {

// Tunnel ports handed to live processes of this program, so that two starts never share one.
QSet<quint16>& claimedTunnelPorts() {
    static QSet<quint16> ports;
    return ports;
}

platform::PortRange probedTunnelPorts() {
    static const platform::PortRange range =
        platform::outsideEphemeralPorts({SshProcess::firstTunnelPort, SshProcess::lastTunnelPort});
    return range;
}

QStringList nonEmpty(const QStringList& list) {
    return list.filter(QRegularExpression(QStringLiteral("^.+$")));
}

} // namespace

quint16 SshProcess::firstProbedTunnelPort() {
    return probedTunnelPorts().first;
}

quint16 SshProcess::lastProbedTunnelPort() {
    return probedTunnelPorts().last;
}

SshProcess::SshProcess(QObject* parent)
    : QProcess(parent) {
    // A process that ended by itself gives its port back at once, not only when it is closed.
    m_releaseOnFinish = connect(this, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                                [this] { releaseTunnelPort(); });
}

bool SshProcess::isTunnelPortClaimed(quint16 port) {
    return claimedTunnelPorts().contains(port);
}

void SshProcess::reportLater(const std::function<void()>& report) {
    // Failures found inside start reach callers that connect after start returns.
    QTimer::singleShot(0, this, report);
}

SshProcess::~SshProcess() {
    // QProcess's own destructor still ends a running child and reports it; this part is gone by then.
    disconnect(m_releaseOnFinish);
    tearDownPrompts();
    releaseTunnelPort();
}

QString SshProcess::promptServerName() const {
    return MurrowServer ? MurrowServer->fullServerName() : QString();
}

QProcess::ProcessError SshProcess::lastError() const {
    return m_refusedStart ? QProcess::FailedToStart : error();
}

void SshProcess::failStart(const QString& message) {
    m_refusedStart = true;
    setErrorString(message);
    reportLater([this] { emit errorOccurred(QProcess::FailedToStart); });
}

void SshProcess::start(const SshLaunchSettings& settings) {
    if (isOpen() || state() != QProcess::NotRunning)
        return;

    m_refusedStart = false;
    m_host = settings.host;
    m_port = settings.port;
    m_user = settings.user;
    m_run = settings.run;
    m_forwardAgent = settings.forwardAgent;
    m_sshOptions = nonEmpty(settings.sshOptions);
#ifdef Q_OS_WIN
    m_usePlink = settings.usePlink;
#else
    // plink.exe exists only on Windows; files written there ask for it, and OpenSSH runs instead.
    m_usePlink = false;
#endif
    m_plinkOptions = nonEmpty(settings.plinkOptions);
    m_debugLogging = settings.debugLogging;

    // A host that looks like an option would be taken as one.
    if (m_host.startsWith(QLatin1Char('-'))) {
        failStart(tr("The host name \"%1\" is not valid: it must not begin with \"-\".\n").arg(m_host));
        return;
    }

    forgetAnswers();
    m_failedPorts.clear();
    launch({});
}

bool SshProcess::restartOnAnotherPort() {
    if (state() != QProcess::NotRunning || m_host.isEmpty())
        return false;
    if (m_launchedPort != 0)
        m_failedPorts.insert(m_launchedPort);
    // What the user told the ended ssh is told again to the same questions of the next.
    m_replayAnswers = m_givenAnswers;
    m_givenAnswers.clear();
    QProcess::close();
    m_refusedStart = false;
    launch(m_failedPorts);
    return !m_refusedStart;
}

void SshProcess::forgetAnswers() {
    m_givenAnswers.clear();
    m_replayAnswers.clear();
}

void SshProcess::launch(const QSet<quint16>& avoid) {
    releaseTunnelPort();
    const quint16 first = firstProbedTunnelPort();
    const quint16 last = lastProbedTunnelPort();
    const quint16 start =
        first < last ? quint16(first + QRandomGenerator::global()->bounded(last - first)) : first;
    const quint16 port = findFreeLocalPort(first, last, claimedTunnelPorts() + avoid, start);
    if (port == last) {
        failStart(tr("Failed to find an open port for tunneling\n"));
        return;
    }
    m_tunnelPort = port;
    m_launchedPort = port;
    claimedTunnelPorts().insert(port);

    tearDownPrompts();
    const bool prompts = startPromptServer();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("DISPLAY")))
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":0"));
    // Every prompt of this ssh comes to the sign-in dialog, even where the desktop names a password
    // helper of its own or tells ssh when to use one: otherwise the prompt goes to that helper or to
    // a terminal, and the dialog waits for nothing.
    if (prompts) {
        env.insert(QStringLiteral("SSH_ASKPASS"),
                   QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("murrow")));
        env.insert(QStringLiteral("HALVANE_MURROW_SERVER"), MurrowServer->fullServerName());
        env.insert(QStringLiteral("SSH_ASKPASS_REQUIRE"), QStringLiteral("force"));
    }
    setProcessEnvironment(env);

    QStringList args = m_usePlink ? m_plinkOptions : m_sshOptions;
    if (!m_usePlink)
        args << QStringLiteral("-o") << QStringLiteral("ExitOnForwardFailure=yes");
    if (m_debugLogging)
        args << QStringLiteral("-v");
    if (m_forwardAgent)
        args << QStringLiteral("-A");
    if (m_port != 0)
        args << (m_usePlink ? QStringLiteral("-P") : QStringLiteral("-p")) << QString::number(m_port);
    // Bound where the probe looked and the viewer connects: with only "-D port" ssh settles for ::1
    // when 127.0.0.1 is taken, and the forward looks up while the viewer cannot reach it.
    args << QStringLiteral("-D")
         << (m_usePlink ? QString::number(m_tunnelPort) : QStringLiteral("127.0.0.1:%1").arg(m_tunnelPort));
    if (!m_user.isEmpty())
        args << QStringLiteral("-l") << m_user;
    if (!m_usePlink)
        args << QStringLiteral("--");
    args << m_host;
    if (!m_run.isEmpty())
        args << m_run;

    QProcess::start(m_usePlink ? QStringLiteral("plink.exe") : QStringLiteral("ssh"), args,
                    QIODevice::ReadWrite);
}

bool SshProcess::startPromptServer() {
    QString cookie;
    QString error;
    if (!generateCookie(cookie, error)) {
        qCWarning(lcRpc) << "prompt server not started:" << error;
        const QString message = tr("The password prompt server could not be started: %1").arg(error);
        reportLater([this, message] { emit promptServerFailed(message); });
        return false;
    }
    auto* server = new QLocalServer();
    if (!platform::listenUserOnly(server, QStringLiteral("murrow-%1").arg(cookie), &error)) {
        delete server;
        qCWarning(lcRpc) << "prompt server not started:" << error;
        const QString message = tr("The password prompt server could not be started: %1").arg(error);
        reportLater([this, message] { emit promptServerFailed(message); });
        return false;
    }
    MurrowServer = server;
    connect(MurrowServer, &QLocalServer::newConnection, this, &SshProcess::MurrowServer_newConnection);
    promptReader = new NetStringReader(this);
    promptReader->setMaximumLength(maxPromptSize);
    return true;
}

void SshProcess::tearDownPrompts() {
    if (MurrowServer) {
        MurrowServer->disconnect(this);
        MurrowServer->close();
        MurrowServer->deleteLater();
        MurrowServer = nullptr;
    }
    if (CurrentMurrowSocket) {
        CurrentMurrowSocket->disconnect(this);
        CurrentMurrowSocket->close();
        CurrentMurrowSocket->deleteLater();
        CurrentMurrowSocket = nullptr;
    }
    m_awaitingAnswer = false;
    if (promptReader) {
        promptReader->disconnect(this);
        promptReader->deleteLater();
        promptReader = nullptr;
    }
}

void SshProcess::releaseTunnelPort() {
    if (m_tunnelPort != 0)
        claimedTunnelPorts().remove(m_tunnelPort);
    m_tunnelPort = 0;
}

void SshProcess::close() {
    QProcess::close();
    m_host.clear();
    m_user.clear();
    m_run.clear();
    m_port = 0;
    releaseTunnelPort();
    tearDownPrompts();
    forgetAnswers();
    m_failedPorts.clear();
}

void SshProcess::stopGracefully(int graceMs) {
    tearDownPrompts();
    if (state() == QProcess::NotRunning)
        return;
    closeWriteChannel();
    QTimer::singleShot(graceMs, this, [this, graceMs] {
        if (state() == QProcess::NotRunning)
            return;
        terminate();
        QTimer::singleShot(graceMs, this, [this] {
            if (state() != QProcess::NotRunning)
                kill();
        });
    });
}

void SshProcess::MurrowServer_newConnection() {
    if (CurrentMurrowSocket || !MurrowServer)
        return;
    QLocalSocket* socket = MurrowServer->nextPendingConnection();
    if (!socket)
        return;
    CurrentMurrowSocket = socket;
    connect(socket, &QLocalSocket::disconnected, this, &SshProcess::CurrentMurrowSocket_disconnected);
    connect(socket, &QLocalSocket::readyRead, this, &SshProcess::CurrentMurrowSocket_readyRead);
    // Bytes may already be waiting when a queued connection becomes current.
    if (socket->bytesAvailable() > 0)
        CurrentMurrowSocket_readyRead();
    // One that already hung up sends no disconnected signal any more.
    if (CurrentMurrowSocket == socket && socket->state() != QLocalSocket::ConnectedState)
        CurrentMurrowSocket_disconnected();
}

void SshProcess::CurrentMurrowSocket_readyRead() {
    // Whatever follows a request waits until that request is answered.
    if (!CurrentMurrowSocket || !promptReader || m_awaitingAnswer)
        return;
    // An answered request whose terminator has not arrived yet is not a new request.
    if (promptReader->isComplete() && CurrentMurrowSocket->bytesAvailable() <= 0)
        return;
    promptReader->processBytes(CurrentMurrowSocket);
    if (!promptReader->isOk()) {
        qCWarning(lcRpc) << "bad prompt request:" << promptReader->errorString();
        CurrentMurrowSocket->close();
        return;
    }
    if (promptReader->isComplete()) {
        m_awaitingAnswer = true;
        m_currentPrompt = QString::fromUtf8(promptReader->data());
        const auto replay = m_replayAnswers.find(m_currentPrompt);
        if (replay != m_replayAnswers.end()) {
            const QString text = replay.value();
            m_replayAnswers.erase(replay);
            answer(text);
            return;
        }
        emit questioned(m_currentPrompt);
    }
}

void SshProcess::CurrentMurrowSocket_disconnected() {
    if (!CurrentMurrowSocket)
        return;
    CurrentMurrowSocket->disconnect(this);
    CurrentMurrowSocket->deleteLater();
    CurrentMurrowSocket = nullptr;
    m_awaitingAnswer = false;
    if (promptReader)
        promptReader->reset();
    MurrowServer_newConnection();
}

void SshProcess::answer(const QString& text) {
    // Exactly one reply per request: an answer with no request waiting (a late one, a second one, or
    // one for a connection that has not asked yet) would reach a prompt it was not meant for.
    if (!CurrentMurrowSocket || !m_awaitingAnswer)
        return;
    m_awaitingAnswer = false;
    m_givenAnswers.insert(m_currentPrompt, text);
    const QByteArray bytes = text.toUtf8();
    CurrentMurrowSocket->write(QByteArray::number(bytes.size()) + ':' + bytes + ',');
    CurrentMurrowSocket->flush();
    CurrentMurrowSocket_readyRead();
}
