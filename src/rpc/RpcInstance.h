#pragma once

#include "bookmarks/Bookmark.h"
#include "bookmarks/SharingData.h"
#include "rpc/ConnectInfo.h"
#include "rpc/RpcPromise.h"
#include "sessions/Session.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QVector>

class ConnectionContext;
class QWebEngineView;
class RdpInstance;

// The server interface of one connection. Every operation returns a promise at once, parented to
// the instance, that settles later from the event loop.
class RpcInstance : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString id READ id)
    Q_PROPERTY(QStringList log READ log)
public:
    static constexpr int maxLogLines = 1000;
    // Longest line kept in the log; a longer one is cut there and marked.
    static constexpr int maxLogLineLength = 64 * 1024;
    // Failure name of a request that could not be given an id because the random source failed.
    static const QString randomSourceFailure;

    explicit RpcInstance(QObject* parent = nullptr);
    ~RpcInstance() override;

    QString id() const { return m_clientId; }
    // Why the client id could not be made; empty when it was.
    QString clientIdError() const { return m_clientIdError; }

    void appendLog(const QString& line);
    QStringList log() const { return m_log; }

    // Puts clientId, clientVersion and clientTransport into the request's "params".
    void addClientInfo(QJsonObject& request) const;

    // The request bookkeeping. instance may be null (already gone): then nothing is logged.
    static void reportInitiated(RpcInstance* instance, const RpcPromiseRefBase& promise);
    template <typename T>
    static void reportSucceeded(RpcInstance* instance, const RpcPromiseRef<T>& promise, const T& value);
    static void reportSucceeded(RpcInstance* instance, const RpcPromiseRef<void>& promise);
    static void reportFailed(RpcInstance* instance, const RpcPromiseRefBase& promise, const QString& name,
                             const QString& message, const QVariantMap& extras);
    static void rejectWithError(RpcInstance* instance, const RpcPromiseRefBase& promise,
                                const QJsonValue& error);

    // The program version sent as "desktop-<version>".
    static QString programVersion();

public slots:
    virtual QString transportName() const = 0;
    virtual void dispose(QSharedPointer<RpcInstance> self) = 0;
    virtual RpcPromise<void>* logout() = 0;
    virtual void reservedOperation() {}
    virtual QWebEngineView* openWebView(const QString& path, const ServiceInfo& service) = 0;
    virtual RpcPromise<QVariantMap>* userMe() = 0;
    virtual RpcPromise<QList<Session>>* sessionList() = 0;
    virtual RpcPromise<QList<Session>>* sharedSessionList() = 0;
    virtual RpcPromise<QVariantMap>* sessionParams(const QString& id) = 0;
    virtual RpcPromise<QVariantMap>* sessionParamsForms() = 0;
    virtual RpcPromise<QVariantMap>* setSessionParam(const QString& id, const QString& key,
                                                     const QString& value) = 0;
    virtual RpcPromise<QVariantMap>* setSessionParams(const QString& id, const QVariantMap& params) = 0;
    virtual RpcPromise<QImage>* screenshot(const QString& id, int width, int height) = 0;
    virtual RpcPromise<QVariantMap>* serverList() = 0;
    virtual RpcPromise<QVariantMap>* sessionLog(const QString& id, const QString& log) = 0;
    virtual RpcPromise<ConnectInfo>* startSession(const QJsonObject& params) = 0;
    virtual RpcPromise<QJsonObject>* startSessionRaw(const QJsonObject& request) = 0;
    virtual RpcPromise<ConnectInfo>* connectSession(const QString& id) = 0;
    virtual RpcPromise<QVariantMap>* exec(const QJsonObject& params, bool background) = 0;
    virtual RpcPromise<void>* disconnectSession(const QString& id) = 0;
    virtual RpcPromise<void>* purgeSession(const QString& id) = 0;
    virtual RpcPromise<void>* terminateSession(const QString& id) = 0;
    virtual RpcPromise<ConnectInfo>* connectShortcut(const QString& bookmarkId) = 0;
    virtual RpcPromise<QList<Bookmark>>* bookmarkList() = 0;
    virtual RpcPromise<QList<Bookmark>>* editBookmark(const Bookmark& bookmark) = 0;
    virtual RpcPromise<QList<Bookmark>>* deleteBookmark(const QString& id) = 0;
    virtual RpcPromise<QList<Bookmark>>* favoriteBookmark(const QString& id) = 0;
    virtual RpcPromise<QList<Bookmark>>* unfavoriteBookmark(const QString& id) = 0;
    virtual RpcPromise<SharingData>* loadSharing(const QString& id) = 0;
    virtual RpcPromise<void>* shareWithUsers(const QString& id, const QVector<ShareMember>& users) = 0;
    virtual RpcPromise<void>* shareWithGroups(const QString& id, const QVector<ShareMember>& groups) = 0;
    virtual RpcPromise<void>* sharePublic(const QString& id, const QString& sharingKey) = 0;
    virtual RpcPromise<ConnectInfo>* connectShare(const QString& id) = 0;
    virtual RpcPromise<ConnectInfo>* connectShareNoLogin(const QString& id, const QString& key) = 0;
    virtual RpcPromise<ConnectInfo>* connectShareById(const QString& id) = 0;
    virtual RpcPromise<QVariantMap>* loadShareRaw(const QString& id) = 0;
    virtual RpcPromise<void>* saveShare(const QString& id, const QJsonObject& data) = 0;
    virtual RpcPromise<void>* removeShare(const QString& id, const QJsonObject& data) = 0;
    virtual RpcPromise<void>* updateShare(const QString& id, const QJsonObject& data) = 0;
    virtual RpcPromise<ServiceInfo>* serviceInfo() = 0;
    virtual RdpInstance* launchViewer(ConnectionContext* context, const ConnectInfo& reply,
                                      const QString& text, const QString& name,
                                      const QJsonArray& networkTypes) = 0;
    virtual void addViewerParameters(ConnectInfo& reply) { Q_UNUSED(reply) }

signals:
    void sessionsUpdated(SessionList sessions);
    void sessionUpdated(Session session);
    void sessionDeleted(Session session);
    void banner(QString banner);
    void ready();
    void finished(QString reason, QString details);

private:
    static void logSucceeded(RpcInstance* instance, const RpcPromiseRefBase& promise);
    // False for a promise that has already settled: a second reply to one request is dropped.
    static bool beginSettling(RpcPromiseBase* promise);

    QString m_clientId;
    QString m_clientIdError;
    QStringList m_log;
};

template <typename T>
void RpcInstance::reportSucceeded(RpcInstance* instance, const RpcPromiseRef<T>& promise, const T& value) {
    RpcPromise<T>* p = promise.get();
    if (p && !beginSettling(p))
        return;
    logSucceeded(instance, promise);
    if (p) {
        p->pending = false;
        p->value = value;
        emit p->succeeded();
    }
}
