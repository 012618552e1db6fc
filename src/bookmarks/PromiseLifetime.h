#pragma once

class QObject;
class RpcPromiseBase;

// Bounds a server promise's life: it is deleted (deferred) once it has succeeded or failed, and never
// outlives its owner, which becomes its parent. Without an owner an unsettled promise goes when the
// application is about to quit. Handlers connected to the settling signal still run and may read
// the value.
void deleteWhenSettled(RpcPromiseBase* promise, QObject* owner);
