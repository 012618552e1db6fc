#include "signin/AuthInstance.h"

#include "platform/agent/SshAgent.h"
#include "rpc/CertificateTrust.h"
#include "rpc/RpcInstanceWeb.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QHash>
#include <QMessageBox>
#include <QtConcurrent/QtConcurrentRun>
#include <QtEndian>

namespace {

constexpr char agentListIdentities = 11;
constexpr char agentIdentitiesAnswer = 12;
constexpr char agentSignRequest = 13;
constexpr char agentSignAnswer = 14;
constexpr char userAuthRequest = 50;
// The agent's sign flags that ask for an RSA signature with SHA-2 instead of SHA-1.
constexpr quint32 agentRsaSha2_256 = 2;
constexpr quint32 agentRsaSha2_512 = 4;
// The longest session identifier: the output of the largest hash the key exchanges use.
constexpr int maxSessionIdBytes = 64;

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
    bool atEnd() const { return m_ok && m_pos == m_bytes.size(); }
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

// Whether a key of that type signs with that algorithm, and the agent flags that select it.
bool algorithmFits(const QByteArray& keyType, const QByteArray& algorithm, quint32* flags) {
    *flags = 0;
    if (keyType.isEmpty())
        return false;
    if (algorithm == keyType)
        return true;
    // RSA keys, plain or certified, also sign with SHA-2 under other names.
    static const QByteArray certSuffix = "-cert-v01@openssh.com";
    const bool certified = keyType.endsWith(certSuffix);
    const QByteArray base = certified ? keyType.chopped(certSuffix.size()) : keyType;
    if (base != "ssh-rsa")
        return false;
    if (algorithm == (certified ? "rsa-sha2-256" + certSuffix : QByteArray("rsa-sha2-256"))) {
        *flags = agentRsaSha2_256;
        return true;
    }
    if (algorithm == (certified ? "rsa-sha2-512" + certSuffix : QByteArray("rsa-sha2-512"))) {
        *flags = agentRsaSha2_512;
        return true;
    }
    return false;
}

// The answers to the question before signing, by connection; they last until the program ends.
QHash<QString, bool>& signAnswers() {
    static QHash<QString, bool> answers;
    return answers;
}

QString fingerprintText(const QByteArray& digest) {
    return QString::fromLatin1(digest.toHex(':').toUpper());
}

} // namespace

AuthInstance::AuthInstance(QObject* parent)
    : QObject(parent) {}

AuthInstance::AgentAccess AuthInstance::agentAllowedFor(const RpcInstance* instance) {
    AgentAccess access;
    const auto* web = qobject_cast<const RpcInstanceWeb*>(instance);
    if (!web) {
        // The ssh transport: ssh itself has checked the server's host key.
        if (!instance)
            access.kind = AgentAccess::NoConnection;
        return access;
    }
    access.server = web->baseUrl();
    access.trust = web->certificateTrust();
    if (web->baseUrl().scheme() != QLatin1String("https"))
        access.kind = AgentAccess::PlainHttp;
    else if (web->ignoreSslErrors())
        access.kind = AgentAccess::AcceptsAnyCertificate;
    return access;
}

void AuthInstance::forgetSignAnswers() {
    signAnswers().clear();
}

QByteArray AuthInstance::identitiesRequest() {
    return QByteArray(1, agentListIdentities);
}

QByteArray AuthInstance::signRequest(const QByteArray& keyBlob, const QByteArray& data, quint32 flags) {
    QByteArray body(1, agentSignRequest);
    appendString(body, keyBlob);
    appendString(body, data);
    appendU32(body, flags);
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

QString AuthInstance::signRefusal(const QByteArray& data, const QByteArray& keyBlob, quint32* flags) {
    quint32 ignored = 0;
    if (!flags)
        flags = &ignored;
    *flags = 0;
    AgentReader in(data);
    const QByteArray sessionId = in.string();
    const quint8 type = in.byte();
    in.string(); // the user name
    const QByteArray service = in.string();
    const QByteArray method = in.string();
    const quint8 hasSignature = in.byte();
    const QByteArray algorithm = in.string();
    const QByteArray blob = in.string();
    // The host-bound form names the server's host key after the user's key; OpenSSH's client signs
    // in with it wherever the server offers it.
    bool knownMethod = method == "publickey";
    if (method == "publickey-hostbound-v00@openssh.com") {
        const QByteArray hostKey = in.string();
        knownMethod = in.ok() && !AgentReader(hostKey).string().isEmpty();
    }
    if (!knownMethod || !in.atEnd() || sessionId.isEmpty() || sessionId.size() > maxSessionIdBytes ||
        type != userAuthRequest || service != "ssh-connection" || hasSignature != 1)
        return tr("The server asked to sign data that is not an SSH login request.");
    if (blob != keyBlob)
        return tr("The server's login request is for another key.");
    if (!algorithmFits(AgentReader(keyBlob).string(), algorithm, flags))
        return tr("The server's login request names the algorithm \"%1\", which does not fit the key.")
            .arg(QString::fromLatin1(algorithm.toPercentEncoding()));
    return QString();
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
        quint32 flags = 0;
        const QString refusal = signRefusal(data, blob, &flags);
        if (!refusal.isEmpty()) {
            refuseToSign(refusal);
            return;
        }
        sign(blob, m_agentComments.first(), data, flags);
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
    if (m_access.kind != AgentAccess::Allowed) {
        if (m_access.kind == AgentAccess::PlainHttp)
            emit agentStatus(tr("Keys of the SSH agent are not offered: this connection is not encrypted "
                                "(plain http)."));
        else if (m_access.kind == AgentAccess::AcceptsAnyCertificate)
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

void AuthInstance::sign(const QByteArray& keyBlob, const QString& comment, const QByteArray& data,
                        quint32 flags) {
    const QList<QByteArray> digests = m_access.trust ? m_access.trust->pinnedDigests() : QList<QByteArray>();
    if (digests.isEmpty()) {
        // The server's certificate is one the system trusts.
        emit agentStatus(tr("Signing in with the key %1").arg(describeKey(keyBlob, comment)));
        requestAgentSignature(keyBlob, data, flags);
        return;
    }
    // A certificate the user accepted by hand proves little about the server: the user decides, once
    // for this connection, whether it may have its login requests signed.
    QStringList fingerprints;
    for (const QByteArray& digest : digests)
        fingerprints.append(fingerprintText(digest));
    const QString host = m_access.server.host();
    const QString connection = m_access.server.toString(QUrl::RemovePath | QUrl::RemoveQuery |
                                                        QUrl::RemoveFragment | QUrl::RemoveUserInfo) +
                               QLatin1Char(' ') + fingerprints.join(QLatin1Char(' '));
    const auto decided = [this, keyBlob, comment, data, flags](bool allowed) {
        if (!allowed) {
            refuseToSign(tr("You did not let this server use your SSH keys."));
            return;
        }
        emit agentStatus(tr("Signing in with the key %1").arg(describeKey(keyBlob, comment)));
        requestAgentSignature(keyBlob, data, flags);
    };
    const auto known = signAnswers().constFind(connection);
    if (known != signAnswers().constEnd()) {
        decided(known.value());
        return;
    }
    auto* box =
        new QMessageBox(QMessageBox::Question, QCoreApplication::applicationName(),
                        tr("Sign in to %1 with your SSH key %2?").arg(host, describeKey(keyBlob, comment)),
                        QMessageBox::Yes | QMessageBox::No, m_dialogParent);
    box->setObjectName(QStringLiteral("AgentSignQuestion"));
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(
        tr("You accepted the certificate of %1 yourself; the system does not trust it. Let this server "
           "use the key only if the certificate is the server's own.\n\nCertificate fingerprint "
           "(SHA-256):\n%2")
            .arg(host, fingerprints.join(QLatin1Char('\n'))));
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(m_dialogParent ? Qt::WindowModal : Qt::ApplicationModal);
    connect(box, &QMessageBox::finished, this, [box, connection, decided](int) {
        const bool allowed = box->clickedButton() == box->button(QMessageBox::Yes);
        signAnswers().insert(connection, allowed);
        decided(allowed);
    });
    box->open();
}

void AuthInstance::refuseToSign(const QString& why) {
    emit agentStatus(tr("%1 Nothing was signed.").arg(why));
    QJsonObject r = reply();
    r.insert(QStringLiteral("signature"), QString());
    emit sendAuth(r);
}

void AuthInstance::requestAgentSignature(const QByteArray& keyBlob, const QByteArray& data, quint32 flags) {
    const QByteArray body = signRequest(keyBlob, data, flags);
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
