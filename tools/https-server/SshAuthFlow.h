#pragma once

#include "HttpsServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

namespace HttpsPeer {

// The server side of the staged ssh-style sign-in on one path: each conversation has its own
// "authtoken" and walks through the steps in order.
//   "banner"               sends the banner; any answer goes on.
//   "public-key"           asks for a key; a key not in acceptedKeys is refused (asked again), an
//                          accepted one gets a "sign" stage whose "signData" is an ssh public-key
//                          login request for that key (or what signData makes of it); the signature
//                          is verified with that key over the data sent; a good signature signs the
//                          user in at once, false goes on to the next step.
//   "password"             asks until the answer is the password.
//   "keyboard-interactive" asks the prompt until the answer is the answer.
//   anything else          is sent as it is, as a stage the client does not know.
// After the last step the reply is finalReply with "stage" "success". With servers, a first request
// that has "selectServer" true gets the server stage.
class SshAuthFlow {
public:
    // The message an ssh client signs to log in with a public key, field by field.
    struct LoginRequest {
        QByteArray sessionId;
        quint8 messageType = 50; // user-authentication request
        QByteArray user;
        QByteArray service = "ssh-connection";
        QByteArray method = "publickey";
        quint8 hasSignature = 1;
        QByteArray algorithm; // the key's own type unless set
        QByteArray keyBlob;
        QByteArray trailing; // bytes after the last field
        QByteArray bytes() const;
    };
    // The key type named at the start of an ssh key blob; empty when it has none.
    static QByteArray keyType(const QByteArray& keyBlob);

    struct Config {
        QStringList steps;
        QString banner;
        QSet<QString> acceptedKeys; // Base64 key blobs
        QString password = QStringLiteral("secret");
        QString prompt = QStringLiteral("Verification code:");
        QString answer = QStringLiteral("123456");
        QJsonArray servers; // {"id", "hostname"}
        QJsonObject finalReply;
        // The user named in the login request when the first request has no "username".
        QString user = QStringLiteral("tester");
        // Makes the data to sign from the well-formed login request; unset: that request itself.
        std::function<QByteArray(const LoginRequest&)> signData;
    };

    // Installs the flow on POST path (without token check) of server; the server keeps it.
    static SshAuthFlow* install(Server& server, const QString& path, const Config& config);

    Config config;
    // What happened, for the test.
    int goodSignatures = 0;
    int badSignatures = 0;
    int conversations = 0;
    QList<QJsonObject> firstRequests;

    Response handle(const Request& request);

    // Ed25519 verification of signature over data with an ssh key blob; false for any other key.
    static bool verifyEd25519(const QByteArray& keyBlob, const QByteArray& data, const QByteArray& signature,
                              QString* error = nullptr);

private:
    struct Conversation {
        int step = 0;
        QString user;
        QString offeredKey;
        QByteArray signData;
        bool awaitingSignature = false;
        bool signedIn = false;
    };
    Response next(const QString& token, Conversation& c);
    Response stage(const QString& token, const QString& name, QJsonObject extra = QJsonObject());
    Response finish(const QString& token);

    QMap<QString, Conversation> m_conversations;
};

} // namespace HttpsPeer
