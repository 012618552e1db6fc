#include "rpc/RpcPromise.h"

RpcPromiseBase::RpcPromiseBase(const QString& method, QObject* parent)
    : QObject(parent)
    , method(method) {}
