#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

// The asynchronous result of one server operation; settles once, with succeeded or failed.
class RpcPromiseBase : public QObject {
    Q_OBJECT
public:
    RpcPromiseBase(const QString& method, QObject* parent);

    // The API method of the request; names it in the instance log.
    QString method;
    // True from the report of its start until it settles.
    bool pending = false;

    // Whether succeeded or failed has been emitted; a promise settles once only.
    bool isSettled() const { return m_settled; }

signals:
    void succeeded();
    void failed(QString name, QString message, QVariantMap extras);

private:
    friend class RpcInstance;
    bool m_settled = false;
};

template <typename T>
class RpcPromise : public RpcPromiseBase {
public:
    RpcPromise(const QString& method, QObject* parent)
        : RpcPromiseBase(method, parent) {}

    // Default-constructed until success.
    T value{};
};

template <>
class RpcPromise<void> : public RpcPromiseBase {
public:
    RpcPromise(const QString& method, QObject* parent)
        : RpcPromiseBase(method, parent) {}
};

// How a reply handler reaches its promise: a guarded pointer, plus the method for the log line
// that is written even when the promise is already gone. Make it when the request is sent and keep
// it in the handler: one made from a raw pointer when the reply comes guards nothing.
class RpcPromiseRefBase {
public:
    RpcPromiseRefBase() = default;
    RpcPromiseRefBase(RpcPromiseBase* promise)
        : m_promise(promise)
        , m_method(promise ? promise->method : QString()) {}

    RpcPromiseBase* base() const { return m_promise.data(); }
    QString method() const { return m_method; }

private:
    QPointer<RpcPromiseBase> m_promise;
    QString m_method;
};

template <typename T>
class RpcPromiseRef : public RpcPromiseRefBase {
public:
    RpcPromiseRef() = default;
    // Implicit, so an operation can pass the promise it has just created.
    RpcPromiseRef(RpcPromise<T>* promise)
        : RpcPromiseRefBase(promise) {}

    RpcPromise<T>* get() const { return static_cast<RpcPromise<T>*>(base()); }
};
