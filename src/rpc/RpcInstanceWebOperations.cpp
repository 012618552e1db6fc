// The server operations of the web transport: method, path and body of each request, and the
// converter that turns its reply into the promise's value.

#include "rpc/RpcInstanceWeb.h"

#include "rpc/ResultConverters.h"
#include "rpc/RpcLogging.h"

#include <QBuffer>
#include <QImageReader>
#include <QJsonArray>
#include <QNetworkReply>
#include <QTimer>
#include <QUrlQuery>

namespace {

// Larger screenshots are not decoded: a small reply must not make a huge image.
constexpr qint64 maxScreenshotPixels = qint64(1) << 25;

QJsonObject idBody(const QString& id) {
    return QJsonObject{{QStringLiteral("id"), id}};
}

QJsonArray memberArray(const QVector<ShareMember>& members) {
    QJsonArray array;
    for (const ShareMember& m : members)
        array.append(QJsonObject{{QStringLiteral("name"), m.name}, {QStringLiteral("role"), m.role}});
    return array;
}

} // namespace

template <typename T, typename Handle>
RpcPromise<T>* RpcInstanceWeb::track(QNetworkReply* reply, Handle handle) {
    auto* promise = new RpcPromise<T>(reply->request().url().toString(), this);
    // Deleting the promise ends a request still running.
    reply->setParent(promise);
    QPointer<RpcInstanceWeb> self(this);
    const RpcPromiseRef<T> ref(promise);
    connect(reply, &QNetworkReply::finished, promise,
            [self, ref, reply, handle] { handle(self.data(), ref, reply); });
    reportInitiated(this, promise);
    return promise;
}

template <typename T, typename Convert>
RpcPromise<T>* RpcInstanceWeb::call(const QString& path, const QJsonObject& body, bool useGet,
                                    Convert convert) {
    return track<T>(sendToPath(path, body, useGet), [convert](RpcInstanceWeb* instance,
                                                              const RpcPromiseRef<T>& promise,
                                                              QNetworkReply* reply) {
        const QJsonObject pair = decodeReply(reply);
        convert(instance, promise, pair.value(QLatin1String("result")), pair.value(QLatin1String("error")));
    });
}

QJsonObject RpcInstanceWeb::connectRequest(const QString& id, const QString& key) const {
    QJsonObject body = idBody(id);
    if (!key.isEmpty())
        body.insert(QStringLiteral("key"), key);
    else
        addClientInfo(body);
    return body;
}

RpcPromise<QJsonObject>* RpcInstanceWeb::postJson(const QJsonObject& body, const QString& path) {
    return call<QJsonObject>(path, body, false, &RpcInstanceWeb::resolveTokenObject);
}

RpcPromise<QJsonObject>* RpcInstanceWeb::sshAuth(const QJsonObject& body) {
    return postJson(body, QStringLiteral("/v3/api/auth/ssh"));
}

RpcPromise<QVariantMap>* RpcInstanceWeb::sshAuthConfig() {
    return call<QVariantMap>(QStringLiteral("/v3/api/auth/ssh/config"), QJsonObject(), false,
                             &resolveVariantMap);
}

RpcPromise<void>* RpcInstanceWeb::logout() {
    return call<void>(QStringLiteral("/v3/api/user/logout"), QJsonObject(), false, &resolveVoid);
}

RpcPromise<QVariantMap>* RpcInstanceWeb::userMe() {
    return call<QVariantMap>(QStringLiteral("/v3/api/user/me"), QJsonObject(), false, &resolveVariantMap);
}

RpcPromise<QList<Session>>* RpcInstanceWeb::sessionList() {
    return call<QList<Session>>(QStringLiteral("/v3/api/session/list"), QJsonObject(), false,
                                &resolveSessionList);
}

RpcPromise<QList<Session>>* RpcInstanceWeb::sharedSessionList() {
    return call<QList<Session>>(QStringLiteral("/v3/api/session/list-shared"), QJsonObject(), false,
                                &resolveSessionList);
}

RpcPromise<QVariantMap>* RpcInstanceWeb::sessionParams(const QString& id) {
    return call<QVariantMap>(QStringLiteral("/v3/api/session/params"), idBody(id), false, &resolveVariantMap);
}

RpcPromise<QVariantMap>* RpcInstanceWeb::sessionParamsForms() {
    return call<QVariantMap>(QStringLiteral("/v3/api/session/params-form/list"), QJsonObject(), false,
                             &resolveVariantMap);
}

RpcPromise<QVariantMap>* RpcInstanceWeb::setSessionParam(const QString& id, const QString& key,
                                                         const QString& value) {
    QJsonObject body{{key, value}};
    body.insert(QStringLiteral("id"), id);
    return call<QVariantMap>(QStringLiteral("/v3/api/session/params"), body, false, &resolveVariantMap);
}

RpcPromise<QVariantMap>* RpcInstanceWeb::setSessionParams(const QString& id, const QVariantMap& params) {
    QJsonObject body = QJsonObject::fromVariantMap(params);
    body.insert(QStringLiteral("id"), id);
    return call<QVariantMap>(QStringLiteral("/v3/api/session/params"), body, false, &resolveVariantMap);
}

void RpcInstanceWeb::screenshotReply(RpcInstance* instance, const RpcPromiseRef<QImage>& promise,
                                     QNetworkReply* reply) {
    if (reply->error() != QNetworkReply::NoError) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QString message =
            QString::fromUtf8(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray());
        if (message.isEmpty())
            message = reply->errorString();
        reportFailed(instance, promise, QString::number(status), message, QVariantMap());
        return;
    }
    QByteArray bytes = reply->readAll();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QImage image;
    const QSize size = reader.size();
    if (size.isValid() && qint64(size.width()) * size.height() <= maxScreenshotPixels)
        image = reader.read();
    qCDebug(lcRpc) << "Screenshot" << image.size();
    reportSucceeded(instance, promise, image);
}

RpcPromise<QImage>* RpcInstanceWeb::screenshot(const QString& id, int width, int height) {
    Q_UNUSED(width)
    Q_UNUSED(height)
    QUrl url = m_baseUrl;
    url.setPath(QStringLiteral("/session/screenshot/") + id, QUrl::DecodedMode);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("size"), QStringLiteral("md"));
    url.setQuery(query);
    return track<QImage>(sendRequest(url, QJsonObject(), true), &RpcInstanceWeb::screenshotReply);
}

RpcPromise<QVariantMap>* RpcInstanceWeb::serverList() {
    return call<QVariantMap>(QStringLiteral("/v3/api/session/servers/list"), QJsonObject(), false,
                             &resolveVariantMap);
}

RpcPromise<QVariantMap>* RpcInstanceWeb::sessionLog(const QString& id, const QString& log) {
    const QJsonObject body{{QStringLiteral("id"), id}, {QStringLiteral("log"), log}};
    return call<QVariantMap>(QStringLiteral("/v3/api/session/log"), body, false, &resolveVariantMap);
}

namespace {

// resolveConnectInfo with the id to use when the reply names none.
auto connectInfoFor(const QString& fallbackId) {
    return [fallbackId](RpcInstance* instance, const RpcPromiseRef<ConnectInfo>& promise,
                        const QJsonValue& result, const QJsonValue& error) {
        resolveConnectInfo(instance, promise, result, error, fallbackId);
    };
}

} // namespace

RpcPromise<ConnectInfo>* RpcInstanceWeb::startSession(const QJsonObject& params) {
    QJsonObject body = params;
    body.insert(QStringLiteral("auth"), QJsonObject{{QStringLiteral("usePK"), true}});
    body.insert(QStringLiteral("schedule"), true);
    addClientInfo(body);
    return call<ConnectInfo>(QStringLiteral("/v3/api/session/start"), body, false, connectInfoFor(QString()));
}

RpcPromise<QJsonObject>* RpcInstanceWeb::startSessionRaw(const QJsonObject& request) {
    return postJson(request, QStringLiteral("/v3/api/session/start"));
}

RpcPromise<ConnectInfo>* RpcInstanceWeb::connectSession(const QString& id) {
    return call<ConnectInfo>(QStringLiteral("/v3/api/session/connect"), connectRequest(id, QString()), false,
                             connectInfoFor(id));
}

RpcPromise<QVariantMap>* RpcInstanceWeb::exec(const QJsonObject& params, bool background) {
    const QString path =
        background ? QStringLiteral("/v3/api/session/exec-bg") : QStringLiteral("/v3/api/session/exec");
    return call<QVariantMap>(path, params, false, &resolveVariantMap);
}

RpcPromise<void>* RpcInstanceWeb::disconnectSession(const QString& id) {
    return call<void>(QStringLiteral("/v3/api/session/disconnect"), idBody(id), false, &resolveVoid);
}

RpcPromise<void>* RpcInstanceWeb::purgeSession(const QString& id) {
    return call<void>(QStringLiteral("/v3/api/session/purge"), idBody(id), false, &resolveVoid);
}

RpcPromise<void>* RpcInstanceWeb::terminateSession(const QString& id) {
    return call<void>(QStringLiteral("/v3/api/session/terminate"), idBody(id), false, &resolveVoid);
}

RpcPromise<ConnectInfo>* RpcInstanceWeb::connectShortcut(const QString& bookmarkId) {
    QJsonObject body = idBody(bookmarkId);
    addClientInfo(body);
    return call<ConnectInfo>(QStringLiteral("/v3/api/bookmark/shortcut"), body, false,
                             connectInfoFor(QString()));
}

RpcPromise<QList<Bookmark>>* RpcInstanceWeb::bookmarkList() {
    return call<QList<Bookmark>>(QStringLiteral("/v3/api/bookmark/list"), QJsonObject(), true,
                                 &resolveBookmarkList);
}

RpcPromise<QList<Bookmark>>* RpcInstanceWeb::editBookmark(const Bookmark& bookmark) {
    const QJsonObject body{{QStringLiteral("id"), bookmark.id()},
                           {QStringLiteral("name"), bookmark.name()},
                           {QStringLiteral("command"), bookmark.command()},
                           {QStringLiteral("geometry"), bookmark.geometry()}};
    return call<QList<Bookmark>>(QStringLiteral("/v3/api/bookmark/edit"), body, false, &resolveBookmarkList);
}

RpcPromise<QList<Bookmark>>* RpcInstanceWeb::deleteBookmark(const QString& id) {
    return call<QList<Bookmark>>(QStringLiteral("/v3/api/bookmark/delete"), idBody(id), false,
                                 &resolveBookmarkList);
}

RpcPromise<QList<Bookmark>>* RpcInstanceWeb::favoriteBookmark(const QString& id) {
    return call<QList<Bookmark>>(QStringLiteral("/v3/api/bookmark/favorite"), idBody(id), false,
                                 &resolveBookmarkList);
}

RpcPromise<QList<Bookmark>>* RpcInstanceWeb::unfavoriteBookmark(const QString& id) {
    return call<QList<Bookmark>>(QStringLiteral("/v3/api/bookmark/unfavorite"), idBody(id), false,
                                 &resolveBookmarkList);
}

RpcPromise<SharingData>* RpcInstanceWeb::loadSharing(const QString& id) {
    return call<SharingData>(QStringLiteral("/v3/api/share/load"), idBody(id), false, &resolveSharingData);
}

RpcPromise<void>* RpcInstanceWeb::shareWithUsers(const QString& id, const QVector<ShareMember>& users) {
    QJsonObject body = idBody(id);
    body.insert(QStringLiteral("users"), memberArray(users));
    return call<void>(QStringLiteral("/v3/api/share/update"), body, false, &resolveVoid);
}

RpcPromise<void>* RpcInstanceWeb::shareWithGroups(const QString& id, const QVector<ShareMember>& groups) {
    QJsonObject body = idBody(id);
    body.insert(QStringLiteral("groups"), memberArray(groups));
    return call<void>(QStringLiteral("/v3/api/share/update"), body, false, &resolveVoid);
}

RpcPromise<void>* RpcInstanceWeb::sharePublic(const QString& id, const QString& sharingKey) {
    QJsonObject body = idBody(id);
    body.insert(QStringLiteral("sharingKey"), sharingKey);
    body.insert(QStringLiteral("public"),
                QJsonObject{{QStringLiteral("role"), QStringLiteral("lobby")},
                            {QStringLiteral("visibility"),
                             sharingKey.isEmpty() ? QString() : QStringLiteral("public")}});
    return call<void>(QStringLiteral("/v3/api/share/update"), body, false, &resolveVoid);
}

RpcPromise<ConnectInfo>* RpcInstanceWeb::connectShare(const QString& id) {
    return call<ConnectInfo>(QStringLiteral("/v3/api/share/connect"), connectRequest(id, QString()), false,
                             connectInfoFor(id));
}

RpcPromise<ConnectInfo>* RpcInstanceWeb::connectShareNoLogin(const QString& id, const QString& key) {
    return call<ConnectInfo>(QStringLiteral("/v3/api/nologin/share/connect"), connectRequest(id, key), false,
                             connectInfoFor(id));
}

RpcPromise<ConnectInfo>* RpcInstanceWeb::connectShareById(const QString& id) {
    QJsonObject body = idBody(id);
    addClientInfo(body);
    return call<ConnectInfo>(QStringLiteral("/v3/api/share/connect"), body, false, connectInfoFor(id));
}

RpcPromise<QVariantMap>* RpcInstanceWeb::loadShareRaw(const QString& id) {
    return call<QVariantMap>(QStringLiteral("/v3/api/share/load"), idBody(id), false, &resolveVariantMap);
}

namespace {

QJsonObject withId(QJsonObject data, const QString& id) {
    data.insert(QStringLiteral("id"), id);
    return data;
}

} // namespace

RpcPromise<void>* RpcInstanceWeb::saveShare(const QString& id, const QJsonObject& data) {
    return call<void>(QStringLiteral("/v3/api/share/save"), withId(data, id), false, &resolveVoid);
}

RpcPromise<void>* RpcInstanceWeb::removeShare(const QString& id, const QJsonObject& data) {
    return call<void>(QStringLiteral("/v3/api/share/remove"), withId(data, id), false, &resolveVoid);
}

RpcPromise<void>* RpcInstanceWeb::updateShare(const QString& id, const QJsonObject& data) {
    return call<void>(QStringLiteral("/v3/api/share/update"), withId(data, id), false, &resolveVoid);
}

RpcPromise<ServiceInfo>* RpcInstanceWeb::serviceInfo() {
    auto* promise = new RpcPromise<ServiceInfo>(QStringLiteral("Service"), this);
    const RpcPromiseRef<ServiceInfo> ref(promise);
    QTimer::singleShot(0, promise, [this, ref] {
        // No log line: nothing was sent.
        reportSucceeded(nullptr, ref, ServiceInfo{m_baseUrl, m_authToken});
    });
    return promise;
}
