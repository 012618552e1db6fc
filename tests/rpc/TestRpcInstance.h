#pragma once

#include "rpc/RpcInstance.h"

// The smallest concrete server interface: no transport, every operation returns nothing. Lets the
// tests drive the shared bookkeeping and the reply converters.
class TestRpcInstance : public RpcInstance {
    Q_OBJECT
public:
    using RpcInstance::RpcInstance;

    // Put into every converted connect reply, as a transport would.
    QVariantMap viewerParameters;

    QString transportName() const override { return QStringLiteral("Test"); }
    void dispose(QSharedPointer<RpcInstance>) override {}
    RpcPromise<void>* logout() override { return nullptr; }
    QWebEngineView* openWebView(const QString&, const ServiceInfo&) override { return nullptr; }
    RpcPromise<QVariantMap>* userMe() override { return nullptr; }
    RpcPromise<QList<Session>>* sessionList() override { return nullptr; }
    RpcPromise<QList<Session>>* sharedSessionList() override { return nullptr; }
    RpcPromise<QVariantMap>* sessionParams(const QString&) override { return nullptr; }
    RpcPromise<QVariantMap>* sessionParamsForms() override { return nullptr; }
    RpcPromise<QVariantMap>* setSessionParam(const QString&, const QString&, const QString&) override {
        return nullptr;
    }
    RpcPromise<QVariantMap>* setSessionParams(const QString&, const QVariantMap&) override { return nullptr; }
    RpcPromise<QImage>* screenshot(const QString&, int, int) override { return nullptr; }
    RpcPromise<QVariantMap>* serverList() override { return nullptr; }
    RpcPromise<QVariantMap>* sessionLog(const QString&, const QString&) override { return nullptr; }
    RpcPromise<ConnectInfo>* startSession(const QJsonObject&) override { return nullptr; }
    RpcPromise<QJsonObject>* startSessionRaw(const QJsonObject&) override { return nullptr; }
    RpcPromise<ConnectInfo>* connectSession(const QString&) override { return nullptr; }
    RpcPromise<QVariantMap>* exec(const QJsonObject&, bool) override { return nullptr; }
    RpcPromise<void>* disconnectSession(const QString&) override { return nullptr; }
    RpcPromise<void>* purgeSession(const QString&) override { return nullptr; }
    RpcPromise<void>* terminateSession(const QString&) override { return nullptr; }
    RpcPromise<ConnectInfo>* connectShortcut(const QString&) override { return nullptr; }
    RpcPromise<QList<Bookmark>>* bookmarkList() override { return nullptr; }
    RpcPromise<QList<Bookmark>>* editBookmark(const Bookmark&) override { return nullptr; }
    RpcPromise<QList<Bookmark>>* deleteBookmark(const QString&) override { return nullptr; }
    RpcPromise<QList<Bookmark>>* favoriteBookmark(const QString&) override { return nullptr; }
    RpcPromise<QList<Bookmark>>* unfavoriteBookmark(const QString&) override { return nullptr; }
    RpcPromise<SharingData>* loadSharing(const QString&) override { return nullptr; }
    RpcPromise<void>* shareWithUsers(const QString&, const QVector<ShareMember>&) override { return nullptr; }
    RpcPromise<void>* shareWithGroups(const QString&, const QVector<ShareMember>&) override {
        return nullptr;
    }
    RpcPromise<void>* sharePublic(const QString&, const QString&) override { return nullptr; }
    RpcPromise<ConnectInfo>* connectShare(const QString&) override { return nullptr; }
    RpcPromise<ConnectInfo>* connectShareNoLogin(const QString&, const QString&) override { return nullptr; }
    RpcPromise<ConnectInfo>* connectShareById(const QString&) override { return nullptr; }
    RpcPromise<QVariantMap>* loadShareRaw(const QString&) override { return nullptr; }
    RpcPromise<void>* saveShare(const QString&, const QJsonObject&) override { return nullptr; }
    RpcPromise<void>* removeShare(const QString&, const QJsonObject&) override { return nullptr; }
    RpcPromise<void>* updateShare(const QString&, const QJsonObject&) override { return nullptr; }
    RpcPromise<ServiceInfo>* serviceInfo() override { return nullptr; }
    RdpInstance* launchViewer(ConnectionContext*, const ConnectInfo&, const QString&, const QString&,
                              const QJsonArray&) override {
        return nullptr;
    }
    void addViewerParameters(ConnectInfo& reply) override;
};
