#pragma once

// Agents for the sign-in tests: a real ssh-agent holding keys made by ssh-keygen, a small fake
// agent that answers with whatever bytes a test gives it, and a proxy that records what a client
// asks of a real agent.

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

struct AgentKey {
    QString comment;
    QString blob;        // Base64, as the server sees it
    QString fingerprint; // as ssh-keygen -l prints it
};

class RealAgent {
public:
    ~RealAgent() {
        if (m_agent.state() != QProcess::NotRunning) {
            m_agent.kill();
            m_agent.waitForFinished(10000);
        }
    }

    QString socketPath() const { return m_dir.filePath(QStringLiteral("agent.sock")); }
    QList<AgentKey> keys() const { return m_keys; }

    // Starts ssh-agent in the foreground and adds count new ED25519 keys, in order. Empty on success.
    QString start(int count) {
        if (!m_dir.isValid())
            return QStringLiteral("no temporary folder");
        m_agent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_agent.start(QStringLiteral("ssh-agent"),
                      {QStringLiteral("-D"), QStringLiteral("-a"), socketPath()});
        if (!m_agent.waitForStarted(10000))
            return QStringLiteral("ssh-agent did not start");
        for (int tries = 0; !QFile::exists(socketPath()); ++tries) {
            if (tries > 300 || m_agent.state() == QProcess::NotRunning)
                return QStringLiteral("ssh-agent made no socket");
            QTest::qWait(50);
        }
        for (int i = 1; i <= count; ++i) {
            const QString file = m_dir.filePath(QStringLiteral("key%1").arg(i));
            const QString comment = QStringLiteral("key-%1").arg(i);
            QString failure = run(QStringLiteral("ssh-keygen"),
                                  {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                                   QStringLiteral("-N"), QString(), QStringLiteral("-C"), comment,
                                   QStringLiteral("-f"), file});
            if (failure.isEmpty())
                failure = run(QStringLiteral("ssh-add"), {QStringLiteral("-q"), file});
            if (!failure.isEmpty())
                return failure;
            QFile pub(file + QStringLiteral(".pub"));
            if (!pub.open(QIODevice::ReadOnly))
                return QStringLiteral("no public key");
            const QList<QByteArray> fields = pub.readAll().trimmed().split(' ');
            QString listing;
            run(QStringLiteral("ssh-keygen"), {QStringLiteral("-l"), QStringLiteral("-f"), pub.fileName()},
                &listing);
            m_keys.append(
                AgentKey{comment, QString::fromLatin1(fields.value(1)), listing.section(' ', 1, 1)});
        }
        return QString();
    }

    // Adds an existing private key without a passphrase. Empty on success.
    QString addKeyFile(const QString& file) {
        return run(QStringLiteral("ssh-add"), {QStringLiteral("-q"), file});
    }

private:
    QString run(const QString& program, const QStringList& args, QString* output = nullptr) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SSH_AUTH_SOCK"), socketPath());
        p.setProcessEnvironment(env);
        p.start(program, args);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(p.readAllStandardError());
        if (output)
            *output = QString::fromLocal8Bit(p.readAllStandardOutput());
        return QString();
    }

    QTemporaryDir m_dir;
    QProcess m_agent;
    QList<AgentKey> m_keys;
};

// Answers each request with the next of its answers, written as given (length prefix included),
// then closes that connection; with none left it closes without answering, or, when silent, keeps
// the connection open and never answers.
class FakeAgent : public QObject {
public:
    explicit FakeAgent(const QList<QByteArray>& answers, bool silent = false)
        : m_answers(answers)
        , m_silent(silent) {
        m_server.listen(m_dir.filePath(QStringLiteral("fake.sock")));
        connect(&m_server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* s = m_server.nextPendingConnection()) {
                connect(s, &QLocalSocket::readyRead, this, [this, s] { serve(s); });
                connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

    QString socketPath() const { return m_server.fullServerName(); }
    bool isListening() const { return m_server.isListening(); }
    QList<QByteArray> requests() const { return m_requests; }

    static QByteArray u32(quint32 v) {
        char b[4];
        qToBigEndian(v, b);
        return QByteArray(b, 4);
    }
    static QByteArray string(const QByteArray& s) { return u32(quint32(s.size())) + s; }
    static QByteArray framed(const QByteArray& body) { return u32(quint32(body.size())) + body; }

private:
    void serve(QLocalSocket* s) {
        QByteArray& buffer = m_buffers[s];
        buffer += s->readAll();
        if (buffer.size() < 4)
            return;
        const quint32 length = qFromBigEndian<quint32>(buffer.constData());
        if (quint32(buffer.size() - 4) < length)
            return;
        m_requests.append(buffer.mid(4, int(length)));
        m_buffers.remove(s);
        if (m_answers.isEmpty() && m_silent)
            return;
        if (!m_answers.isEmpty())
            s->write(m_answers.takeFirst());
        s->flush();
        s->disconnectFromServer();
    }

    QTemporaryDir m_dir;
    QLocalServer m_server;
    QList<QByteArray> m_answers;
    bool m_silent = false;
    QList<QByteArray> m_requests;
    QHash<QLocalSocket*, QByteArray> m_buffers;
};

// Listens on a socket of its own and passes every connection through to a real agent, recording
// each request the client sends (the body, without its length) in the order they arrive.
class RecordingAgent : public QObject {
public:
    explicit RecordingAgent(const QString& agentSocket)
        : m_agentSocket(agentSocket) {
        m_server.listen(m_dir.filePath(QStringLiteral("recording.sock")));
        connect(&m_server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* client = m_server.nextPendingConnection())
                pass(client);
        });
    }

    QString socketPath() const { return m_server.fullServerName(); }
    bool isListening() const { return m_server.isListening(); }
    QList<QByteArray> requests() const { return m_requests; }

private:
    void pass(QLocalSocket* client) {
        auto* agent = new QLocalSocket(client);
        agent->connectToServer(m_agentSocket);
        if (!agent->waitForConnected(5000)) {
            client->disconnectFromServer();
            client->deleteLater();
            return;
        }
        connect(client, &QLocalSocket::readyRead, this, [this, client, agent] {
            QByteArray& buffer = m_buffers[client];
            const QByteArray bytes = client->readAll();
            buffer += bytes;
            while (buffer.size() >= 4) {
                const quint32 length = qFromBigEndian<quint32>(buffer.constData());
                if (quint32(buffer.size() - 4) < length)
                    break;
                m_requests.append(buffer.mid(4, int(length)));
                buffer.remove(0, int(length) + 4);
            }
            agent->write(bytes);
        });
        connect(agent, &QLocalSocket::readyRead, client,
                [client, agent] { client->write(agent->readAll()); });
        connect(agent, &QLocalSocket::disconnected, client, &QLocalSocket::disconnectFromServer);
        connect(client, &QLocalSocket::disconnected, this, [this, client] {
            m_buffers.remove(client);
            client->deleteLater();
        });
    }

    const QString m_agentSocket;
    QTemporaryDir m_dir;
    QLocalServer m_server;
    QList<QByteArray> m_requests;
    QHash<QLocalSocket*, QByteArray> m_buffers;
};
