#include "signin/AuthInstance.h"

#include "platform/agent/SshAgent.h"
#include "rpc/RpcInstanceWeb.h"

#include <QCryptographicHash>
#include <QMessageBox>
#include <QtConcurrent/QtConcurrentRun>
#include <QtEndian>

namespace {

constexpr char agentListIdentities = 11;
constexpr char agentIdentitiesAnswer = 12;
constexpr char agentSignRequest = 13;
constexpr char agentSignAnswer = 14;

void appendU32(QByteArray& out, quint32 value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

void appendString(QByteArray& out, const QByteArray& value) {
    appendU32(out, quint32(value.size()));
    out.append(value);
}

QByteArray framed(const QByteArray& body) {
    QByteArray out;
    appendU32(out, quint32(body.size()));
    return out + body;
}

// Big-endian reads that fail, and stay failed, at the end of the bytes.
class AgentReader {
public:
    explicit AgentReader(const QByteArray& bytes)
        : m_bytes(bytes) {}
    bool ok() const { return m_ok; }
    quint8 byte() {
        if (!need(1))
            return 0;
        return quint8(m_bytes.at(m_pos++));
    }
    quint32 u32() {
        if (!need(4))
            return 0;
        const quint32 v = qFromBigEndian<quint32>(m_bytes.constData() + m_pos);
        m_pos += 4;
        return v;
    }
    QByteArray string() {
        const quint32 length = u32();
        if (!m_ok || !need(qint64(length)))
            return QByteArray();
        const QByteArray v = m_bytes.mid(m_pos, int(length));
        m_pos += int(length);
        return v;
    }

private:
    bool need(qint64 count) {
        if (m_ok && qint64(m_bytes.size()) - m_pos < count)
            m_ok = false;
        return m_ok;
    }
    const QByteArray m_bytes;
    int m_pos = 0;
    bool m_ok = true;
};

QJsonValue firstKeyOrFalse(const QStringList& keys) {
    return keys.isEmpty() ? QJsonValue(false) : QJsonValue(keys.first());
}

} // namespace

AuthInstance::AuthInstance(QObject* parent)
    : QObject(parent) {}

bool AuthInstance::agentAllowedFor(const RpcInstance* instance) {
    const auto* web = qobject_cast<const RpcInstanceWeb*>(instance);
    if (!web)
        return instance != nullptr;
    return !web->ignoreSslErrors() && web->baseUrl().scheme() == QLatin1String("https");
}

QByteArray AuthInstance::identitiesRequest() {
    return QByteArray(1, agentListIdentities);
}

QByteArray AuthInstance::signRequest(const QByteArray& keyBlob, const QByteArray& data) {
    QByteArray body(1, agentSignRequest);
    appendString(body, keyBlob);
    appendString(body, data);
    appendU32(body, 0);
    return body;
}

QList<AuthInstance::Identity> AuthInstance::readIdentities(const QByteArray& answer) {
    AgentReader in(answer);
    if (in.byte() != agentIdentitiesAnswer || !in.ok())
        return {};
    const quint32 count = in.u32();
    if (!in.ok() || count < 1 || count > maxAgentKeys)
        return {};
    QList<Identity> keys;
    for (quint32 i = 0; i < count; ++i) {
        Identity key;
        key.blob = in.string();
        key.comment = QString::fromUtf8(in.string());
        if (!in.ok())
            return {};
        keys.append(key);
    }
    return keys;
}

QByteArray AuthInstance::readSignature(const QByteArray& answer) {
    AgentReader in(answer);
    if (in.byte() != agentSignAnswer || !in.ok())
        return QByteArray();
    AgentReader blob(in.string());
    blob.string(); // the algorithm name
    const QByteArray signature = blob.string();
    if (!in.ok() || !blob.ok())
        return QByteArray();
    return signature;
}

QString AuthInstance::describeKey(const QByteArray& blob, const QString& comment) {
    QByteArray digest = QCryptographicHash::hash(blob, QCryptographicHash::Sha256).toBase64();
    while (digest.endsWith('='))
        digest.chop(1);
    const QString fingerprint = QStringLiteral("SHA256:") + QString::fromLatin1(digest);
    return comment.isEmpty() ? fingerprint : QStringLiteral("%1 (%2)").arg(comment, fingerprint);
}

QJsonObject AuthInstance::reply() const {
    return QJsonObject{{QStringLiteral("authtoken"), m_authtoken}};
}

void AuthInstance::handleAuth(const QJsonObject& auth) {
    const QJsonValue token = auth.value(QLatin1String("authtoken"));
    if (token.isString() && !token.toString().isEmpty())
        m_authtoken = token.toString();
    m_stage = auth.value(QLatin1String("stage")).toString();
    QJsonObject r = reply();

    if (m_stage == QLatin1String("banner")) {
        auto* box = new QMessageBox(QMessageBox::Information, tr("SSH Banner"),
                                    auth.value(QLatin1String("banner")).toString(), QMessageBox::Close,
                                    m_dialogParent);
        // The server's text is shown as it is, never as markup.
        box->setTextFormat(Qt::PlainText);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(m_dialogParent ? Qt::WindowModal : Qt::ApplicationModal);
        connect(box, &QMessageBox::finished, this, [this, r]() mutable {
            r.insert(QStringLiteral("answer"), QString());
            emit sendAuth(r);
        });
        box->open();
    } else if (m_stage == QLatin1String("public-key")) {
        if (!m_agentQueried) {
            requestAgentIdentities();
            return;
        }
        // The key on offer was refused.
        if (!m_agentKeys.isEmpty()) {
            m_agentKeys.removeFirst();
            m_agentComments.removeFirst();
        }
        sendPublicKey();
    } else if (m_stage == QLatin1String("sign")) {
        if (m_agentKeys.isEmpty()) {
            emit sendAuth(r);
            return;
        }
        const QByteArray data =
            QByteArray::fromBase64(auth.value(QLatin1String("signData")).toString().toLatin1());
        const QByteArray blob = QByteArray::fromBase64(m_agentKeys.first().toLatin1());
        emit agentStatus(tr("Signing in with the key %1").arg(describeKey(blob, m_agentComments.first())));
        requestAgentSignature(blob, data);
    } else if (m_stage == QLatin1String("keyboard-interactive")) {
        emit userInput(auth.value(QLatin1String("prompt")).toString());
    } else if (m_stage == QLatin1String("password")) {
        emit userInput(tr("Password"));
    } else if (m_stage == QLatin1String("success")) {
        emit succeeded(auth);
    } else {
        emit failed(QStringLiteral("auth"), tr("Unknown auth stage %1").arg(m_stage), QVariantMap());
    }
}

void AuthInstance::handleUserInput(const QString& answer) {
    QJsonObject r = reply();
    r.insert(m_stage == QLatin1String("keyboard-interactive") ? QStringLiteral("answer")
                                                              : QStringLiteral("password"),
             answer);
    emit sendAuth(r);
}

void AuthInstance::handleUserCancel() {
    emit failed(QStringLiteral("cancel"), QString(), QVariantMap());
}

void AuthInstance::sendPublicKey() {
    QJsonObject r = reply();
    r.insert(QStringLiteral("publicKey"), firstKeyOrFalse(m_agentKeys));
    emit sendAuth(r);
}

void AuthInstance::requestAgentIdentities() {
    if (!m_agentAllowed) {
        emit agentStatus(tr("Keys of the SSH agent are not offered: this connection accepts any server "
                            "certificate."));
        m_agentQueried = true;
        m_agentKeys.clear();
        m_agentComments.clear();
        sendPublicKey();
        return;
    }
    startAgentRequest(identitiesRequest(), IdentityRequest);
}

void AuthInstance::requestAgentSignature(const QByteArray& keyBlob, const QByteArray& data) {
    const QByteArray body = signRequest(keyBlob, data);
    if (body.size() + 4 > platform::agentMaxMessageBytes) {
        // Too large for the agent: nothing is sent, and the server gets no signature.
        readAgentSignature(QByteArray());
        return;
    }
    startAgentRequest(body, SignRequest);
}

void AuthInstance::startAgentRequest(const QByteArray& body, AgentRequest kind) {
    // A request still running is forgotten; only the newest answer is read.
    if (m_agentWatcher) {
        m_agentWatcher->disconnect(this);
        m_agentWatcher->deleteLater();
    }
    m_agentPending = kind;
    auto* watcher = new QFutureWatcher<QByteArray>(this);
    m_agentWatcher = watcher;
    connect(watcher, &QFutureWatcher<QByteArray>::finished, this, &AuthInstance::agentFinished);
    const QString socket = platform::agentSocketPath();
    watcher->setFuture(QtConcurrent::run(
        [socket, request = framed(body)]() { return platform::queryAgent(socket, request); }));
}

void AuthInstance::agentFinished() {
    auto* watcher = m_agentWatcher.data();
    if (!watcher || sender() != watcher)
        return;
    const QByteArray answer = watcher->result();
    m_agentWatcher = nullptr;
    watcher->deleteLater();
    const int pending = m_agentPending;
    m_agentPending = NoRequest;
    if (pending == IdentityRequest)
        readAgentIdentities(answer);
    else if (pending == SignRequest)
        readAgentSignature(answer);
}

void AuthInstance::readAgentIdentities(const QByteArray& answer) {
    m_agentQueried = true;
    m_agentKeys.clear();
    m_agentComments.clear();
    for (const Identity& key : readIdentities(answer)) {
        m_agentKeys.append(QString::fromLatin1(key.blob.toBase64()));
        m_agentComments.append(key.comment);
    }
    sendPublicKey();
}

void AuthInstance::readAgentSignature(const QByteArray& answer) {
    QJsonObject r = reply();
    r.insert(QStringLiteral("signature"), QString::fromLatin1(readSignature(answer).toBase64()));
    emit sendAuth(r);
}
