#include "rpc/RpcInstance.h"

#include "rpc/Cookie.h"

const QString RpcInstance::randomSourceFailure = QStringLiteral("random_source");

RpcInstance::RpcInstance(QObject* parent)
    : QObject(parent) {
    registerSessionMetaTypes();
    QString error;
    if (!generateCookie(m_clientId, error))
        m_clientIdError = error;
}

RpcInstance::~RpcInstance() = default;

QString RpcInstance::programVersion() {
    return QStringLiteral(VELNOR_VERSION);
}

void RpcInstance::appendLog(const QString& line) {
    while (m_log.size() >= maxLogLines)
        m_log.removeFirst();
    // The server chooses what lands here; it must not hold the log to hundreds of megabytes.
    QString text = line.trimmed();
    if (text.size() > maxLogLineLength) {
        text.truncate(maxLogLineLength);
        text += tr(" [line cut]");
    }
    m_log.append(text);
}

void RpcInstance::addClientInfo(QJsonObject& request) const {
    QJsonObject params = request.value(QLatin1String("params")).toObject();
    params.insert(QStringLiteral("clientId"), m_clientId);
    params.insert(QStringLiteral("clientVersion"), QStringLiteral("desktop-%1").arg(programVersion()));
    params.insert(QStringLiteral("clientTransport"), transportName());
    request.insert(QStringLiteral("params"), params);
}

void RpcInstance::reportInitiated(RpcInstance* instance, const RpcPromiseRefBase& promise) {
    RpcPromiseBase* p = promise.base();
    if (!p)
        return;
    if (instance)
        instance->appendLog(tr("Request to \"%1\" initiated").arg(promise.method()));
    p->pending = true;
}

void RpcInstance::logSucceeded(RpcInstance* instance, const RpcPromiseRefBase& promise) {
    if (instance)
        instance->appendLog(tr("Request to \"%1\" succeeded").arg(promise.method()));
}

bool RpcInstance::beginSettling(RpcPromiseBase* promise) {
    if (promise->m_settled)
        return false;
    promise->m_settled = true;
    return true;
}

void RpcInstance::reportSucceeded(RpcInstance* instance, const RpcPromiseRef<void>& promise) {
    RpcPromise<void>* p = promise.get();
    if (p && !beginSettling(p))
        return;
    logSucceeded(instance, promise);
    if (p) {
        p->pending = false;
        emit p->succeeded();
    }
}

void RpcInstance::reportFailed(RpcInstance* instance, const RpcPromiseRefBase& promise, const QString& name,
                               const QString& message, const QVariantMap& extras) {
    RpcPromiseBase* p = promise.base();
    if (p && !beginSettling(p))
        return;
    if (instance) {
        instance->appendLog(tr("Request to \"%1\" failed: %2").arg(promise.method(), message));
        if (extras.contains(QStringLiteral("stack")))
            instance->appendLog(extras.value(QStringLiteral("stack")).toString());
    }
    if (p) {
        p->pending = false;
        emit p->failed(name, message, extras);
    }
}

void RpcInstance::rejectWithError(RpcInstance* instance, const RpcPromiseRefBase& promise,
                                  const QJsonValue& error) {
    if (!error.isObject()) {
        reportFailed(instance, promise, QStringLiteral("unknown"),
                     tr("Unrecognized response from the server"), QVariantMap());
        return;
    }
    const QJsonObject e = error.toObject();
    reportFailed(instance, promise, e.value(QLatin1String("name")).toString(),
                 e.value(QLatin1String("message")).toString(), e.toVariantMap());
}
