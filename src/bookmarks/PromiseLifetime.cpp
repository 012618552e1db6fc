#include "bookmarks/PromiseLifetime.h"

#include "rpc/RpcPromise.h"

#include <QCoreApplication>

void deleteWhenSettled(RpcPromiseBase* promise, QObject* owner) {
    if (!promise)
        return;
    if (owner)
        promise->setParent(owner);
    else if (QCoreApplication* app = QCoreApplication::instance())
        QObject::connect(app, &QCoreApplication::aboutToQuit, promise, &QObject::deleteLater);
    QObject::connect(promise, &RpcPromiseBase::succeeded, promise, &QObject::deleteLater);
    QObject::connect(promise, &RpcPromiseBase::failed, promise, &QObject::deleteLater);
    // Already settled: no signal will come any more.
    if (promise->isSettled())
        promise->deleteLater();
}
