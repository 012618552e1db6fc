#pragma once

#include <QFutureWatcher>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantMap>

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

    // Whether the agent's keys may be offered at all; when not, the key stages answer as if the
    // agent had none.
    void setAgentAllowed(bool allowed) { m_agentAllowed = allowed; }
    bool agentAllowed() const { return m_agentAllowed; }
    // Parent of the banner box.
    void setDialogParent(QWidget* parent) { m_dialogParent = parent; }

    QString authtoken() const { return m_authtoken; }
    QString stage() const { return m_stage; }
    QStringList agentKeys() const { return m_agentKeys; }

    // False for a connection whose server is not authenticated: a server that is not checked could
    // pass on another server's sign challenge, and the key would sign the user in there.
    static bool agentAllowedFor(const RpcInstance* instance);

    // Agent message bodies and their readers; the readers give an empty result for any fault.
    static QByteArray identitiesRequest();
    static QByteArray signRequest(const QByteArray& keyBlob, const QByteArray& data);
    struct Identity {
        QByteArray blob;
        QString comment;
    };
    static QList<Identity> readIdentities(const QByteArray& answer);
    static QByteArray readSignature(const QByteArray& answer);
    // "comment (SHA256:...)" of a key blob, as the key tools show it.
    static QString describeKey(const QByteArray& blob, const QString& comment);

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
    void requestAgentSignature(const QByteArray& keyBlob, const QByteArray& data);
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
    bool m_agentAllowed = true;
    QPointer<QWidget> m_dialogParent;
};
