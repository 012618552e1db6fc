#include "rpc/RpcInstanceSsh.h"

#include "rpc/BoyerMooreMatcher.h"
#include "rpc/Cookie.h"
#include "rpc/NetStringReader.h"
#include "rpc/RpcLogging.h"
#include "rpc/ServerNotifications.h"
#include "signin/SshProcess.h"

#include <QApplication>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>

#include <cmath>

const QString RpcInstanceSsh::defaultRemoteCommand = QStringLiteral("velnor-protocol");

namespace {

// Standard error held back while waiting for a newline; beyond this it is taken as a line as it is.
constexpr int maxPendingStderr = 1024 * 1024;

} // namespace

RpcInstanceSsh::RpcInstanceSsh(const SshLaunchSettings& settings, QObject* parent)
    : RpcInstance(parent)
    , m_settings(settings)
    , host(settings.host)
    , m_process(new SshProcess())
    , m_marker(BoyerMooreMatcher::forStartMarker(this))
    , m_reader(new NetStringReader(this))
    , debugLogging(settings.debugLogging) {
    if (m_settings.run.isEmpty())
        m_settings.run = defaultRemoteCommand;
    m_reader->setMaximumLength(maxMessageBytes);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &RpcInstanceSsh::Ssh_readyRead);
    connect(m_process, &QProcess::readyReadStandardError, this, &RpcInstanceSsh::Ssh_readyReadStandardError);
    connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &RpcInstanceSsh::Ssh_finished);
    connect(m_process, &QProcess::errorOccurred, this, &RpcInstanceSsh::Ssh_errorOccurred);
    m_process->start(m_settings);
}

RpcInstanceSsh::~RpcInstanceSsh() {
    m_process->disconnect(this);
    if (m_process->state() != QProcess::NotRunning) {
        // ssh ends by itself once the remote command sees the end of its input; one that does not
        // is terminated and then killed, and the program's end takes it along at the latest.
        SshProcess* process = m_process;
        connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), process,
                &QObject::deleteLater);
        // As a QProcess: this may run inside QProcess's own destructor.
        QProcess* base = process;
        connect(process, &QProcess::errorOccurred, process, [base] {
            if (base->state() == QProcess::NotRunning)
                base->deleteLater();
        });
        process->stopGracefully(processGraceMs);
        if (QCoreApplication::instance())
            process->setParent(QCoreApplication::instance());
    } else {
        delete m_process;
    }
    m_process = nullptr;

    // Promises that callers took over learn that no answer will come.
    const QHash<QString, ResponseCallback> pending = std::move(pendingRequests);
    pendingRequests.clear();
    const QJsonObject error = makeRpcError(QStringLiteral("deleted"), tr("Channel deleted"));
    for (const ResponseCallback& callback : pending)
        QTimer::singleShot(0, [callback, error] { callback(QJsonValue(), error); });
}

ushort RpcInstanceSsh::tunnelPort() const {
    return m_process ? m_process->tunnelPort() : 0;
}

QJsonObject RpcInstanceSsh::makeRpcError(const QString& name, const QString& message) {
    return QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("message"), message}};
}

QString RpcInstanceSsh::transportName() const {
    return QStringLiteral("SSH");
}

void RpcInstanceSsh::dispose(QSharedPointer<RpcInstance> self) {
    // The reference goes with the argument; the last one deletes the instance.
    self.reset();
}

QString RpcInstanceSsh::writeRequest(const QString& method, const QJsonObject& params) {
    QString id;
    QString cookieError;
    if (!generateCookie(id, cookieError)) {
        static quint64 unsent = 0;
        id = QStringLiteral("unsent-%1").arg(++unsent);
        const QJsonObject error = makeRpcError(randomSourceFailure, cookieError);
        QTimer::singleShot(0, this, [this, id, error] { handleResponse(id, QJsonValue(), error); });
        return id;
    }

    if (m_process->state() != QProcess::NotRunning && m_reader->isOk() && !m_streamFailed) {
        const QJsonObject envelope{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                   {QStringLiteral("id"), id},
                                   {QStringLiteral("method"), method},
                                   {QStringLiteral("params"), params}};
        const QByteArray json = QJsonDocument(envelope).toJson(QJsonDocument::Compact);
        if (lcRpc().isDebugEnabled())
            qCDebug(lcRpc).noquote() << "request:" << QString::fromUtf8(redactedForLog(envelope));
        const QByteArray frame = QByteArray::number(json.size()) + ':' + json + ',';
        if (!m_marker->found())
            m_framesBeforeMarker.append(qMakePair(id, frame));
        m_process->write(frame);
        return id;
    }

    const QJsonObject error = m_process->lastError() == QProcess::FailedToStart
                                  ? makeRpcError(QStringLiteral("ssh_failed"), m_process->errorString())
                                  : makeRpcError(QStringLiteral("ssh_channel"), tr("Channel failed"));
    QTimer::singleShot(0, this, [this, id, error] { handleResponse(id, QJsonValue(), error); });
    return id;
}

void RpcInstanceSsh::handleResponse(const QString& id, const QJsonValue& result, const QJsonValue& error) {
    const ResponseCallback callback = pendingRequests.take(id);
    pendingRequests.remove(id);
    if (callback)
        callback(result, error);
}

void RpcInstanceSsh::failAllPending(const QJsonValue& result, const QJsonValue& error) {
    // Taken out first: a completion may send a new request, which must survive and not be failed here.
    const QHash<QString, ResponseCallback> pending = std::move(pendingRequests);
    pendingRequests.clear();
    for (const ResponseCallback& callback : pending)
        callback(result, error);
}

void RpcInstanceSsh::Ssh_readyRead() {
    if (m_streamFailed) {
        m_process->readAllStandardOutput();
        return;
    }
    const QPointer<RpcInstanceSsh> self(this);
    if (!m_marker->found()) {
        m_marker->feed(m_process);
        if (!m_marker->found())
            return;
        // Through the sign-in: nothing is sent again and no answer is given again.
        m_framesBeforeMarker.clear();
        m_process->forgetAnswers();
        emit ready();
        if (!self)
            return;
    }
    for (;;) {
        const bool wasComplete = m_reader->isComplete();
        const qint64 before = m_process->bytesAvailable();
        m_reader->processBytes(m_process);
        if (!m_reader->isOk()) {
            endWithProtocolError();
            return;
        }
        // Still waiting for bytes, or for the comma behind a message already dispatched.
        if (!m_reader->isComplete() || (wasComplete && m_process->bytesAvailable() == before))
            return;

        const QJsonDocument document = QJsonDocument::fromJson(m_reader->data());
        if (!document.isObject())
            continue;
        if (lcRpc().isDebugEnabled())
            qCDebug(lcRpc).noquote() << "message:" << QString::fromUtf8(redactedForLog(document.object()));
        dispatchMessage(document.object());
        // A completion or a signal handler may have let the instance go.
        if (!self || m_streamFailed)
            return;
    }
}

void RpcInstanceSsh::endWithProtocolError() {
    m_streamFailed = true;
    const QString message = tr("Incorrect NetString from server");
    // The stream cannot be resynchronised: end ssh once, rather than reporting each later read.
    m_process->stopGracefully(processGraceMs);
    const QPointer<RpcInstanceSsh> self(this);
    failAllPending(QJsonValue(), makeRpcError(QStringLiteral("protocol"), message));
    if (self)
        emit finished(QStringLiteral("Protocol error"), message);
}

void RpcInstanceSsh::dispatchMessage(const QJsonObject& message) {
    const QPointer<RpcInstanceSsh> self(this);
    const QJsonValue method = message.value(QLatin1String("method"));
    if (method.isString()) {
        const QString name = method.toString();
        const QJsonValue params = message.value(QLatin1String("params"));
        if (name == QLatin1String("session-update") || name == QLatin1String("session-delete")) {
            const QJsonValue session = params.toObject().value(QLatin1String("session"));
            if (params.isObject() && session.isObject()) {
                const Session s = Session::fromJson(session.toObject());
                if (name == QLatin1String("session-update"))
                    emit sessionUpdated(s);
                else
                    emit sessionDeleted(s);
            }
        } else if (name == QLatin1String("notify")) {
            if (params.isObject()) {
                const QJsonObject p = params.toObject();
                // Truncated; a level beyond any int (or not a number) must not overflow the cast.
                const double raw = p.value(QLatin1String("level")).toDouble(0);
                const int level = std::isfinite(raw) ? static_cast<int>(qBound(-1e6, raw, 1e6)) : 0;
                showNotification(level, p.value(QLatin1String("message")).toString());
            }
        } else {
            qCWarning(lcRpc).noquote() << "Unknown method" << name;
        }
        if (!self)
            return;
    }
    const QJsonValue id = message.value(QLatin1String("id"));
    if (id.isString())
        handleResponse(id.toString(), message.value(QLatin1String("result")),
                       message.value(QLatin1String("error")));
}

void RpcInstanceSsh::showNotification(int level, const QString& message) {
    if (message.isEmpty())
        return;
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        qCWarning(lcRpc).noquote() << "server notification:" << message;
        return;
    }
    if (!m_notifications)
        m_notifications = new ServerNotifications(QStringLiteral("Velnor %1").arg(host),
                                                  [this](const QString& line) { appendLog(line); }, this);
    m_notifications->notify(level, message);
}

void RpcInstanceSsh::Ssh_readyReadStandardError() {
    if (!m_process)
        return;
    if (debugLogging) {
        const QProcess::ProcessChannel previous = m_process->readChannel();
        m_process->setReadChannel(QProcess::StandardError);
        while (m_process->canReadLine())
            logStandardError(QString::fromLocal8Bit(m_process->readLine()));
        // As in the normal mode, a flood without newlines is taken as one line rather than held.
        if (m_process->bytesAvailable() > maxPendingStderr)
            logStandardError(QString::fromLocal8Bit(m_process->readAll()));
        m_process->setReadChannel(previous);
        return;
    }

    stderrBuffer += m_process->readAllStandardError();
    int n = stderrBuffer.lastIndexOf('\n');
    while (n == 0) {
        stderrBuffer.remove(0, 1);
        n = stderrBuffer.lastIndexOf('\n');
    }
    if (stderrBuffer.isEmpty())
        return;
    if (n < 1) {
        // No line end in sight: a flood without newlines is taken as one line rather than held.
        if (stderrBuffer.size() <= maxPendingStderr)
            return;
        n = stderrBuffer.size();
    }
    const QString text = QString::fromUtf8(stderrBuffer.left(n)).trimmed();
    stderrBuffer.remove(0, n + 1);
    for (const QString& part : text.split(QLatin1Char('\n')))
        logStandardError(part);
    emit banner(text);
}

void RpcInstanceSsh::logStandardError(const QString& line) {
    // OpenSSH: "bind [127.0.0.1]:PORT: Address already in use", then "Could not request local
    // forwarding." when it gives up on the forward.
    if (line.contains(QLatin1String("Could not request local forwarding")) ||
        line.contains(QLatin1String("cannot listen to port")) ||
        (line.contains(QLatin1String("Address already in use")) && line.contains(QLatin1String("bind"))))
        m_forwardFailed = true;
    appendLog(line);
}

bool RpcInstanceSsh::restartAfterForwardFailure() {
    const bool forwardFailed = m_forwardFailed;
    m_forwardFailed = false;
    if (!forwardFailed || m_marker->found() || m_streamFailed || m_tunnelRestarts >= maxTunnelRestarts ||
        m_process->exitStatus() != QProcess::NormalExit)
        return false;
    ++m_tunnelRestarts;
    if (!m_process->restartOnAnotherPort())
        return true; // no port left: reported as a failed start
    appendLog(tr("The tunnel port was taken by another program; ssh starts again on port %1.")
                  .arg(m_process->tunnelPort()));
    // The ended ssh never ran the server's command: what was sent to it goes to the new one.
    for (const auto& frame : qAsConst(m_framesBeforeMarker)) {
        if (pendingRequests.contains(frame.first))
            m_process->write(frame.second);
    }
    return true;
}

bool RpcInstanceSsh::logContains(const QString& text) const {
    for (const QString& line : log()) {
        if (line.contains(text, Qt::CaseSensitive))
            return true;
    }
    return false;
}

QString RpcInstanceSsh::missingCommand(const QString& run) const {
    // The shell names the program, not the "exec " the default command runs it with; each shell
    // words "not found" its own way.
    QString name = run.trimmed();
    if (name.startsWith(QLatin1String("exec ")))
        name = name.mid(5).trimmed();
    QStringList names{name};
    const QString first = name.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
    if (!first.isEmpty() && first != name)
        names << first;
    for (const QString& n : names) {
        for (const QString& form :
             {QStringLiteral("%1: command not found"), QStringLiteral("%1: Command not found"),
              QStringLiteral("%1: No such file or directory"), QStringLiteral("%1: not found"),
              QStringLiteral("command not found: %1"), QStringLiteral("Unknown command: %1")}) {
            if (logContains(form.arg(n)))
                return n;
        }
    }
    return QString();
}

QString RpcInstanceSsh::explainExit(int exitCode) const {
    const QString& command = m_settings.run;
    const auto any = [this](const QStringList& texts) {
        for (const QString& text : texts) {
            if (logContains(text))
                return true;
        }
        return false;
    };
    const QString missing = missingCommand(command);
    if (!missing.isEmpty())
        return tr("Unable to run Velnor interface script %1. Check that Velnor is properly installed on "
                  "your server.")
            .arg(missing);
    if (any({QStringLiteral("Too many authentication failures"),
             QStringLiteral("No more authentication methods to try")}))
        return tr("Unable to authenticate the user.");
    if (any({QStringLiteral("Host does not exist"), QStringLiteral("no address associated with name"),
             QStringLiteral("Could not resolve hostname")}))
        return tr("The host \"%1\" was not recognized. Make sure the hostname is correct.").arg(host);
    if (any({QStringLiteral("Connection timed out"), QStringLiteral("Attempt to connect timed out"),
             QStringLiteral("Network is unreachable"), QStringLiteral("Connection refused")}))
        return tr("Unable to connect to the host \"%1\". The host may be down.").arg(host);
    if (any({QStringLiteral("plink: unknown option")}))
        return tr("The program \"%1\" failed to start. The %2 install may be corrupt.")
            .arg(QStringLiteral("plink"), QCoreApplication::applicationName());
    if (any({QStringLiteral("ssh: illegal option")}))
        return tr("The program \"%1\" failed to start. Make sure a version of %2 is installed.")
            .arg(QStringLiteral("ssh"), QStringLiteral("OpenSSH"));
    return tr("SSH exited with error code %1.").arg(exitCode);
}

void RpcInstanceSsh::Ssh_finished() {
    const QPointer<RpcInstanceSsh> self(this);
    Ssh_readyReadStandardError();
    if (!self)
        return;
    // What ssh said last without a line end is still part of the story.
    if (!debugLogging && !stderrBuffer.trimmed().isEmpty()) {
        for (const QString& part : QString::fromUtf8(stderrBuffer).trimmed().split(QLatin1Char('\n')))
            logStandardError(part);
    }
    stderrBuffer.clear();
    if (restartAfterForwardFailure())
        return;

    QString reason;
    QString details;
    if (m_process->exitStatus() == QProcess::CrashExit) {
        reason = tr("SSH Process Failed");
        details = m_process->errorString();
    } else if (m_marker->found()) {
        reason = tr("SSH Connection Closed");
    } else {
        reason = tr("SSH Connection Failed");
        details = explainExit(m_process->exitCode());
    }
    failAllPending(QJsonValue(), makeRpcError(QStringLiteral("ssh_crashed"), details));
    // The session already ended with the protocol error; the process we closed adds nothing.
    if (self && !m_streamFailed)
        emit finished(reason, details);
}

void RpcInstanceSsh::Ssh_errorOccurred() {
    const QPointer<RpcInstanceSsh> self(this);
    const QString message = m_process->errorString();
    if (m_process->state() != QProcess::Running) {
        // Requests sent before a start failure was reported never left; they fail as such.
        const QString name = m_process->lastError() == QProcess::FailedToStart
                                 ? QStringLiteral("ssh_failed")
                                 : QStringLiteral("ssh_crashed");
        failAllPending(QJsonValue(), makeRpcError(name, message));
    }
    if (self && !m_streamFailed)
        emit finished(tr("Ssh crashed"), message);
}
