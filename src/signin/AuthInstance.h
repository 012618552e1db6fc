#pragma once

#include <QFutureWatcher>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

class CertificateTrust;
class QWidget;
class RpcInstance;

// The staged sign-in conversation: each server message names a stage; the answer echoes the
// "authtoken" and carries what the stage asks for, from the user or signed by the user's SSH agent.
class AuthInstance : public QObject {
    Q_OBJECT
public:
    enum AgentRequest { NoRequest = 0, IdentityRequest = 1, SignRequest = 2 };
    // Most identities an agent answer may list.
    static constexpr quint32 maxAgentKeys = 2048;

    explicit AuthInstance(QObject* parent = nullptr);

    // How the agent may be used on one connection. A server that is not checked could pass on
    // another server's login request, and the key would sign the user in there; so the keys are not
    // offered over plain http or to a connection that accepts any certificate, and a certificate the
    // user accepted by hand needs the user's leave before the first signature.
    struct AgentAccess {
        enum Kind { Allowed, NoConnection, PlainHttp, AcceptsAnyCertificate };
        Kind kind = Allowed;
        QUrl server;
        // The certificates this connection's user accepted by hand, read when a signature is due.
        QSharedPointer<const CertificateTrust> trust;
    };
    // When not allowed, the key stages answer as if the agent had no keys.
    void setAgentAllowed(const AgentAccess& access) { m_access = access; }
    AgentAccess agentAccess() const { return m_access; }
    // Parent of the banner box.
    void setDialogParent(QWidget* parent) { m_dialogParent = parent; }

    QString authtoken() const { return m_authtoken; }
    QString stage() const { return m_stage; }
    QStringList agentKeys() const { return m_agentKeys; }

    static AgentAccess agentAllowedFor(const RpcInstance* instance);

    // Agent message bodies and their readers; the readers give an empty result for any fault.
    static QByteArray identitiesRequest();
    static QByteArray signRequest(const QByteArray& keyBlob, const QByteArray& data, quint32 flags = 0);
    struct Identity {
        QByteArray blob;
        QString comment;
    };
    static QList<Identity> readIdentities(const QByteArray& answer);
    static QByteArray readSignature(const QByteArray& answer);
    // "comment (SHA256:...)" of a key blob, as the key tools show it.
    static QString describeKey(const QByteArray& blob, const QString& comment);
    // Why data is not to be signed with the key: empty when it is exactly an ssh public-key login
    // request (session id, byte 50, user, "ssh-connection", "publickey", TRUE, algorithm, key blob,
    // nothing after; or the method "publickey-hostbound-v00@openssh.com" with exactly one host key
    // after the key blob) for that key with an algorithm of that key. flags gets the agent's sign
    // flags for the algorithm.
    static QString signRefusal(const QByteArray& data, const QByteArray& keyBlob, quint32* flags = nullptr);
    // Forgets every answer to the question before signing (answers last until the program ends).
    static void forgetSignAnswers();

signals:
    void sendAuth(QJsonObject authData);
    void userInput(QString prompt);
    void failed(QString name, QString message, QVariantMap extras);
    void succeeded(QJsonObject map);
    // What the agent is being used for, for the hosting dialog to show.
    void agentStatus(QString text);

public slots:
    void handleAuth(const QJsonObject& auth);
    void handleUserInput(const QString& answer);
    void handleUserCancel();

private:
    QJsonObject reply() const;
    void requestAgentIdentities();
    void requestAgentSignature(const QByteArray& keyBlob, const QByteArray& data, quint32 flags);
    void sign(const QByteArray& keyBlob, const QString& comment, const QByteArray& data, quint32 flags);
    void refuseToSign(const QString& why);
    void startAgentRequest(const QByteArray& body, AgentRequest kind);
    void agentFinished();
    void readAgentIdentities(const QByteArray& answer);
    void readAgentSignature(const QByteArray& answer);
    void sendPublicKey();

    QString m_authtoken;
    QString m_stage;
    bool m_agentQueried = false;
    QStringList m_agentKeys;
    QStringList m_agentComments;
    QPointer<QFutureWatcher<QByteArray>> m_agentWatcher;
    int m_agentPending = NoRequest;
    AgentAccess m_access;
    QPointer<QWidget> m_dialogParent;
};
