#include "bookmarks/PromiseLifetime.h"
#include "rpc/RpcInstance.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTest>
#include <memory>

class TestPromiseLifetime : public QObject {
    Q_OBJECT
private slots:
    void settledPromiseGoesAfterItsHandlers_data();
    void settledPromiseGoesAfterItsHandlers();
    void goesWithItsOwner();
    void withoutOwnerGoesAtQuit();
    void alreadySettledGoesToo();
};

void TestPromiseLifetime::settledPromiseGoesAfterItsHandlers_data() {
    QTest::addColumn<bool>("withOwner");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("owner, success") << true << true;
    QTest::newRow("owner, failure") << true << false;
    QTest::newRow("no owner, success") << false << true;
    QTest::newRow("no owner, failure") << false << false;
}

void TestPromiseLifetime::settledPromiseGoesAfterItsHandlers() {
    QFETCH(bool, withOwner);
    QFETCH(bool, succeeds);
    QObject owner;
    auto* promise = new RpcPromise<QVariantMap>("/v3/api/user/me", nullptr);
    QPointer<RpcPromiseBase> guard(promise);
    deleteWhenSettled(promise, withOwner ? &owner : nullptr);
    QCOMPARE(promise->parent(), withOwner ? &owner : nullptr);

    // Connected after the rule, as callers do; the value is still there.
    QVariant seen;
    connect(promise, &RpcPromiseBase::succeeded, this, [&] { seen = promise->value.value("login"); });
    connect(promise, &RpcPromiseBase::failed, this, [&](const QString& name) { seen = name; });
    if (succeeds)
        RpcInstance::reportSucceeded(nullptr, RpcPromiseRef<QVariantMap>(promise),
                                     QVariantMap{{"login", "ann"}});
    else
        RpcInstance::reportFailed(nullptr, promise, "denied", "no", {});
    QCOMPARE(seen.toString(), QString(succeeds ? "ann" : "denied"));
    QVERIFY(!guard.isNull());
    QTRY_VERIFY(guard.isNull());
}

void TestPromiseLifetime::goesWithItsOwner() {
    auto owner = std::make_unique<QObject>();
    auto* promise = new RpcPromise<void>("/v3/api/session/terminate", nullptr);
    const RpcPromiseRef<void> ref(promise);
    int handled = 0;
    connect(promise, &RpcPromiseBase::succeeded, this, [&] { ++handled; });
    deleteWhenSettled(promise, owner.get());
    owner.reset();
    QVERIFY(ref.get() == nullptr);
    // The reply that comes later reaches nobody.
    RpcInstance::reportSucceeded(nullptr, ref);
    QCOMPARE(handled, 0);
}

void TestPromiseLifetime::withoutOwnerGoesAtQuit() {
    auto* promise = new RpcPromise<void>("/v3/api/logout", nullptr);
    QPointer<RpcPromiseBase> guard(promise);
    deleteWhenSettled(promise, nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!guard.isNull());
    // What the application's exec does on its way out.
    QVERIFY(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit", Qt::DirectConnection));
    QTRY_VERIFY(guard.isNull());
}

void TestPromiseLifetime::alreadySettledGoesToo() {
    auto* promise = new RpcPromise<void>("/v3/api/session/purge", nullptr);
    QPointer<RpcPromiseBase> guard(promise);
    RpcInstance::reportSucceeded(nullptr, RpcPromiseRef<void>(promise));
    QObject owner;
    deleteWhenSettled(promise, &owner);
    QTRY_VERIFY(guard.isNull());
}

QTEST_GUILESS_MAIN(TestPromiseLifetime)
#include "tst_promise_lifetime.moc"
