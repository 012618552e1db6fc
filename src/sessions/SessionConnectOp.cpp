#include "sessions/SessionConnectOp.h"

#include "rpc/RpcInstance.h"
#include "sessions/ConnectionContext.h"
#include "viewer/engine/RdpInstance.h"

SessionConnectOp::SessionConnectOp(QSharedPointer<RpcInstance> rpc, QSharedPointer<ConnectionContext> context,
                                   QObject* parent)
    : QObject(parent)
    , m_rpc(std::move(rpc))
    , m_context(std::move(context)) {}

SessionConnectOp::~SessionConnectOp() = default;

void SessionConnectOp::begin(const ConnectInfo& info, const QString& text, QString name,
                             const QJsonArray& networkTypes) {
    if (!m_rpc)
        return;
    if (name.isEmpty())
        name = info.param(QStringLiteral("name")).toString();
    RdpInstance* instance = m_rpc->launchViewer(m_context.data(), info, text, name, networkTypes);
    if (!instance)
        return;
    new RdpDefaultHandlers(instance, instance);
    emit sessionStarting(instance);
}
