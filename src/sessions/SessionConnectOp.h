#pragma once

#include "rpc/ConnectInfo.h"

#include <QJsonArray>
#include <QObject>
#include <QSharedPointer>

class ConnectionContext;
class RdpInstance;
class RpcInstance;

// Turns one connect reply into a running built-in viewer with its default reactions.
class SessionConnectOp : public QObject {
    Q_OBJECT
public:
    SessionConnectOp(QSharedPointer<RpcInstance> rpc, QSharedPointer<ConnectionContext> context,
                     QObject* parent = nullptr);
    ~SessionConnectOp() override;

    // name: the viewer's session name when the reply names none. text is handed to the launch unread.
    void begin(const ConnectInfo& info, const QString& text, QString name, const QJsonArray& networkTypes);

signals:
    void sessionStarting(RdpInstance* instance);

private:
    QSharedPointer<RpcInstance> m_rpc;
    QSharedPointer<ConnectionContext> m_context;
};
