#include "SshdHarness.h"

#include "platform/system/UserInfo.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

const QString sshdProgram = QStringLiteral("/usr/sbin/sshd");

quint16 pickFreePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

SshdHarness::SshdHarness(QObject* parent)
    : QObject(parent) {}

SshdHarness::~SshdHarness() {
    stop();
}

bool SshdHarness::toolsAvailable(QString* missing) {
    const QStringList needed{sshdProgram, QStandardPaths::findExecutable(QStringLiteral("ssh")),
                             QStandardPaths::findExecutable(QStringLiteral("ssh-keygen"))};
    const QStringList names{sshdProgram, QStringLiteral("ssh"), QStringLiteral("ssh-keygen")};
    for (int i = 0; i < needed.size(); ++i) {
        if (needed[i].isEmpty() || !QFileInfo(needed[i]).isExecutable()) {
            if (missing)
                *missing = names[i];
            return false;
        }
    }
    return true;
}

QString SshdHarness::directory() const {
    return m_dir ? m_dir->path() : QString();
}

QString SshdHarness::userKeyFile() const {
    return QDir(directory()).filePath(QStringLiteral("user_ed25519"));
}

QString SshdHarness::knownHostsFile() const {
    return QDir(directory()).filePath(QStringLiteral("known_hosts"));
}

bool SshdHarness::run(const QString& program, const QStringList& args, QString* error) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("%1 failed: %2").arg(program, QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    return true;
}

bool SshdHarness::writeFile(const QString& name, const QByteArray& contents, QString* error) {
    QFile f(QDir(directory()).filePath(name));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(contents) != contents.size()) {
        if (error)
            *error = QStringLiteral("cannot write %1").arg(f.fileName());
        return false;
    }
    return true;
}

bool SshdHarness::start(QString* error) {
    stop();
    QString missing;
    if (!toolsAvailable(&missing)) {
        if (error)
            *error = QStringLiteral("%1 is not installed (run scripts/setup.sh)").arg(missing);
        return false;
    }
    m_dir = std::make_unique<QTemporaryDir>();
    if (!m_dir->isValid()) {
        if (error)
            *error = QStringLiteral("cannot create a temporary directory");
        return false;
    }
    m_user = platform::loginName();
    const QDir dir(directory());
    const QString hostKey = dir.filePath(QStringLiteral("host_ed25519"));
    if (!run(QStringLiteral("ssh-keygen"),
             {"-q", "-t", "ed25519", "-N", "", "-C", "harness-host", "-f", hostKey}, error) ||
        !run(QStringLiteral("ssh-keygen"),
             {"-q", "-t", "ed25519", "-N", m_passphrase, "-C", "harness-user", "-f", userKeyFile()}, error))
        return false;

    QFile hostPub(hostKey + QStringLiteral(".pub"));
    QFile userPub(userKeyFile() + QStringLiteral(".pub"));
    if (!hostPub.open(QIODevice::ReadOnly) || !userPub.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("ssh-keygen wrote no public keys");
        return false;
    }
    const QList<QByteArray> hostFields = hostPub.readAll().trimmed().split(' ');
    if (hostFields.size() < 2 || !writeFile(QStringLiteral("authorized_keys"), userPub.readAll(), error))
        return false;

    m_port = pickFreePort();
    const QByteArray knownHost = QStringLiteral("[%1]:%2 ").arg(host()).arg(m_port).toUtf8() + hostFields[0] +
                                 ' ' + hostFields[1] + '\n';
    if (!writeFile(QStringLiteral("known_hosts"), knownHost, error))
        return false;

    QStringList config{
        QStringLiteral("Port %1").arg(m_port),
        QStringLiteral("ListenAddress %1").arg(host()),
        QStringLiteral("HostKey %1").arg(hostKey),
        QStringLiteral("PidFile %1").arg(dir.filePath(QStringLiteral("sshd.pid"))),
        QStringLiteral("AuthorizedKeysFile %1").arg(dir.filePath(QStringLiteral("authorized_keys"))),
        QStringLiteral("AllowUsers %1").arg(m_user),
        QStringLiteral("StrictModes no"),
        QStringLiteral("UsePAM no"),
        QStringLiteral("PermitRootLogin yes"),
        QStringLiteral("PubkeyAuthentication yes"),
        QStringLiteral("PasswordAuthentication no"),
        QStringLiteral("KbdInteractiveAuthentication no"),
        QStringLiteral("AllowTcpForwarding yes"),
        QStringLiteral("PrintMotd no"),
        QStringLiteral("LogLevel VERBOSE"),
    };
    config += m_extraConfig;
    if (!writeFile(QStringLiteral("sshd_config"), config.join(QLatin1Char('\n')).toUtf8() + '\n', error))
        return false;

    // sshd wants its privilege-separation directory even when it never drops privileges.
    QDir().mkpath(QStringLiteral("/run/sshd"));

    m_log.clear();
    m_sshd.setProcessChannelMode(QProcess::MergedChannels);
    connect(
        &m_sshd, &QProcess::readyRead, this, [this] { m_log += m_sshd.readAll(); }, Qt::UniqueConnection);
    m_sshd.start(sshdProgram, {"-D", "-e", "-f", dir.filePath(QStringLiteral("sshd_config"))});
    if (!m_sshd.waitForStarted(10000)) {
        if (error)
            *error = QStringLiteral("sshd did not start: %1").arg(m_sshd.errorString());
        return false;
    }

    // Ready once it accepts connections; it may also die at once on a bad config.
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(200))
            return true;
        if (m_sshd.state() == QProcess::NotRunning || m_sshd.waitForFinished(50))
            break;
    }
    m_log += m_sshd.readAll();
    if (error)
        *error = QStringLiteral("sshd is not listening on port %1: %2")
                     .arg(m_port)
                     .arg(QString::fromLocal8Bit(m_log));
    stop();
    return false;
}

bool SshdHarness::isRunning() const {
    return m_sshd.state() == QProcess::Running;
}

void SshdHarness::stop() {
    if (m_sshd.state() != QProcess::NotRunning) {
        m_sshd.terminate();
        if (!m_sshd.waitForFinished(5000)) {
            m_sshd.kill();
            m_sshd.waitForFinished(5000);
        }
    }
    if (m_sshd.isOpen())
        m_log += m_sshd.readAll();
}

QString SshdHarness::serverLog() {
    if (m_sshd.isOpen())
        m_log += m_sshd.readAll();
    return QString::fromLocal8Bit(m_log);
}

QStringList SshdHarness::clientOptions() const {
    return {QStringLiteral("-F"), QStringLiteral("/dev/null"),
            QStringLiteral("-o"), QStringLiteral("UserKnownHostsFile=%1").arg(knownHostsFile()),
            QStringLiteral("-o"), QStringLiteral("GlobalKnownHostsFile=/dev/null"),
            QStringLiteral("-o"), QStringLiteral("StrictHostKeyChecking=yes"),
            QStringLiteral("-o"), QStringLiteral("IdentityFile=%1").arg(userKeyFile()),
            QStringLiteral("-o"), QStringLiteral("IdentitiesOnly=yes"),
            QStringLiteral("-o"), QStringLiteral("IdentityAgent=none"),
            QStringLiteral("-o"), QStringLiteral("PreferredAuthentications=publickey"),
            QStringLiteral("-o"), QStringLiteral("ConnectTimeout=10")};
}
