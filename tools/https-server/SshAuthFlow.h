#pragma once

#include "HttpsServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>

namespace HttpsPeer {

// The server side of the staged ssh-style sign-in on one path: each conversation has its own
// "authtoken" and walks through the steps in order.
//   "banner"               sends the banner; any answer goes on.
//   "public-key"           asks for a key; a key not in acceptedKeys is refused (asked again), an
//                          accepted one gets a "sign" stage whose signature is verified with that key;
//                          a good signature signs the user in at once, false goes on to the next step.
//   "password"             asks until the answer is the password.
//   "keyboard-interactive" asks the prompt until the answer is the answer.
//   anything else          is sent as it is, as a stage the client does not know.
// After the last step the reply is finalReply with "stage" "success". With servers, a first request
// that has "selectServer" true gets the server stage.
class SshAuthFlow {
public:
    struct Config {
        QStringList steps;
        QString banner;
        QSet<QString> acceptedKeys; // Base64 key blobs
        QString password = QStringLiteral("secret");
        QString prompt = QStringLiteral("Verification code:");
        QString answer = QStringLiteral("123456");
        QJsonArray servers; // {"id", "hostname"}
        QJsonObject finalReply;
        int signDataBytes = 64;
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
        QString offeredKey;
        QByteArray signData;
        bool signedIn = false;
    };
    Response next(const QString& token, Conversation& c);
    Response stage(const QString& token, const QString& name, QJsonObject extra = QJsonObject());
    Response finish(const QString& token);

    QMap<QString, Conversation> m_conversations;
};

} // namespace HttpsPeer
