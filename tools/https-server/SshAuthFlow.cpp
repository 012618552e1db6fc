#include "SshAuthFlow.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>

namespace HttpsPeer {

namespace {

// One ssh wire string at pos; false when it runs past the end.
bool readString(const QByteArray& bytes, int& pos, QByteArray& out) {
    if (bytes.size() - pos < 4)
        return false;
    const quint32 length = qFromBigEndian<quint32>(bytes.constData() + pos);
    pos += 4;
    if (quint32(bytes.size() - pos) < length)
        return false;
    out = bytes.mid(pos, int(length));
    pos += int(length);
    return true;
}

void appendString(QByteArray& out, const QByteArray& value) {
    char length[4];
    qToBigEndian(quint32(value.size()), length);
    out.append(length, 4);
    out.append(value);
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool isAuthenticationStep(const QString& step) {
    return step == QLatin1String("public-key") || step == QLatin1String("password") ||
           step == QLatin1String("keyboard-interactive");
}

} // namespace

QByteArray SshAuthFlow::LoginRequest::bytes() const {
    QByteArray out;
    appendString(out, sessionId);
    out.append(char(messageType));
    appendString(out, user);
    appendString(out, service);
    appendString(out, method);
    out.append(char(hasSignature));
    appendString(out, algorithm.isNull() ? keyType(keyBlob) : algorithm);
    appendString(out, keyBlob);
    out.append(trailing);
    return out;
}

QByteArray SshAuthFlow::keyType(const QByteArray& keyBlob) {
    int pos = 0;
    QByteArray type;
    return readString(keyBlob, pos, type) ? type : QByteArray();
}

SshAuthFlow* SshAuthFlow::install(Server& server, const QString& path, const Config& config) {
    auto flow = QSharedPointer<SshAuthFlow>::create();
    flow->config = config;
    server.route(
        "POST", path, [flow](const Request& r) { return flow->handle(r); }, false);
    return flow.data();
}

bool SshAuthFlow::verifyEd25519(const QByteArray& keyBlob, const QByteArray& data,
                                const QByteArray& signature, QString* error) {
    int pos = 0;
    QByteArray type, key;
    if (!readString(keyBlob, pos, type) || !readString(keyBlob, pos, key) || type != "ssh-ed25519" ||
        key.size() != 32) {
        if (error)
            *error = QStringLiteral("not an ed25519 key");
        return false;
    }
    // The key as a SubjectPublicKeyInfo: the fixed DER header of an Ed25519 key, then its 32 bytes.
    const QByteArray spki = QByteArray::fromHex("302a300506032b6570032100") + key;
    const QByteArray pem = "-----BEGIN PUBLIC KEY-----\n" + spki.toBase64() + "\n-----END PUBLIC KEY-----\n";
    QTemporaryDir dir;
    const QString pub = dir.filePath(QStringLiteral("key.pem"));
    const QString in = dir.filePath(QStringLiteral("data"));
    const QString sig = dir.filePath(QStringLiteral("sig"));
    if (!dir.isValid() || !writeFile(pub, pem) || !writeFile(in, data) || !writeFile(sig, signature)) {
        if (error)
            *error = QStringLiteral("cannot write the files to verify");
        return false;
    }
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("pkeyutl"), QStringLiteral("-verify"), QStringLiteral("-pubin"),
                   QStringLiteral("-inkey"), pub, QStringLiteral("-rawin"), QStringLiteral("-in"), in,
                   QStringLiteral("-sigfile"), sig});
    const bool finished = openssl.waitForFinished(30000);
    if (error)
        *error = QString::fromLocal8Bit(openssl.readAll());
    return finished && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
}

Response SshAuthFlow::stage(const QString& token, const QString& name, QJsonObject extra) {
    extra.insert(QStringLiteral("stage"), name);
    extra.insert(QStringLiteral("authtoken"), token);
    return Response::result(extra);
}

Response SshAuthFlow::finish(const QString& token) {
    QJsonObject reply = config.finalReply;
    reply.insert(QStringLiteral("stage"), QStringLiteral("success"));
    reply.insert(QStringLiteral("authtoken"), token);
    m_conversations.remove(token);
    return Response::result(reply);
}

Response SshAuthFlow::next(const QString& token, Conversation& c) {
    if (c.step >= config.steps.size()) {
        bool asked = false;
        for (const QString& step : config.steps)
            asked = asked || isAuthenticationStep(step);
        if (asked && !c.signedIn) {
            m_conversations.remove(token);
            return Response::error(QStringLiteral("auth"), QStringLiteral("Authentication failed"));
        }
        return finish(token);
    }
    const QString step = config.steps.at(c.step);
    if (step == QLatin1String("banner"))
        return stage(token, step, QJsonObject{{QStringLiteral("banner"), config.banner}});
    if (step == QLatin1String("keyboard-interactive"))
        return stage(token, step, QJsonObject{{QStringLiteral("prompt"), config.prompt}});
    return stage(token, step);
}

Response SshAuthFlow::handle(const Request& request) {
    const QJsonObject body = request.json();
    const QString token = body.value(QLatin1String("authtoken")).toString();
    if (token.isEmpty()) {
        firstRequests.append(body);
        if (!config.servers.isEmpty() && body.value(QLatin1String("selectServer")).toBool())
            return Response::result(QJsonObject{{QStringLiteral("stage"), QStringLiteral("server")},
                                                {QStringLiteral("servers"), config.servers}});
        const QString fresh = QStringLiteral("auth-%1").arg(++conversations);
        Conversation& c = m_conversations[fresh];
        c.user = body.value(QLatin1String("username")).toString(config.user);
        return next(fresh, c);
    }
    if (!m_conversations.contains(token))
        return Response::error(QStringLiteral("auth"), QStringLiteral("Unknown sign-in conversation"));
    Conversation& c = m_conversations[token];
    const QString step = config.steps.value(c.step);

    if (step == QLatin1String("banner")) {
        ++c.step;
        return next(token, c);
    }
    if (step == QLatin1String("public-key")) {
        if (c.awaitingSignature) {
            const QByteArray data = c.signData;
            c.signData.clear();
            c.awaitingSignature = false;
            const QByteArray signature =
                QByteArray::fromBase64(body.value(QLatin1String("signature")).toString().toLatin1());
            if (!signature.isEmpty() &&
                verifyEd25519(QByteArray::fromBase64(c.offeredKey.toLatin1()), data, signature)) {
                ++goodSignatures;
                c.signedIn = true;
                return finish(token);
            }
            ++badSignatures;
            return stage(token, step);
        }
        const QJsonValue key = body.value(QLatin1String("publicKey"));
        if (key.isString()) {
            if (!config.acceptedKeys.contains(key.toString()))
                return stage(token, step);
            c.offeredKey = key.toString();
            LoginRequest login;
            login.sessionId.resize(32);
            for (char& byte : login.sessionId)
                byte = char(QRandomGenerator::global()->bounded(256));
            login.user = c.user.toUtf8();
            login.keyBlob = QByteArray::fromBase64(c.offeredKey.toLatin1());
            c.signData = config.signData ? config.signData(login) : login.bytes();
            c.awaitingSignature = true;
            return stage(
                token, QStringLiteral("sign"),
                QJsonObject{{QStringLiteral("signData"), QString::fromLatin1(c.signData.toBase64())}});
        }
        ++c.step;
        return next(token, c);
    }
    if (step == QLatin1String("password") || step == QLatin1String("keyboard-interactive")) {
        const bool password = step == QLatin1String("password");
        const QString given =
            body.value(password ? QLatin1String("password") : QLatin1String("answer")).toString();
        if (given != (password ? config.password : config.answer))
            return next(token, c);
        c.signedIn = true;
        ++c.step;
        return next(token, c);
    }
    return Response::error(QStringLiteral("auth"), QStringLiteral("Unexpected answer"));
}

} // namespace HttpsPeer
