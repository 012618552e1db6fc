// The server operations as ssh requests: method, params and the converter of each answer.

#include "rpc/ResultConverters.h"
#include "rpc/RpcInstanceSsh.h"

#include "rpc/LocalForwarder.h"
#include "sessions/ViewerLaunchers.h"
#include "rpc/RpcLogging.h"

#include <QJsonArray>
#include <QNetworkProxy>
#include <QPointer>

#include <memory>

namespace {

QJsonObject idParams(const QString& id) {
    return QJsonObject{{QStringLiteral("id"), id}};
}

QJsonArray membersToJson(const QVector<ShareMember>& members) {
    QJsonArray array;
    for (const ShareMember& m : members)
        array.append(QJsonObject{{QStringLiteral("name"), m.name}, {QStringLiteral("role"), m.role}});
    return array;
}

QJsonObject withId(QJsonObject data, const QString& id) {
    data.insert(QStringLiteral("id"), id);
    return data;
}

} // namespace

template <typename T, typename Resolve>
RpcPromise<T>* RpcInstanceSsh::send(const QString& method, const QJsonObject& params, Resolve resolve) {
    const QString id = writeRequest(method, params);
    auto* promise = new RpcPromise<T>(method, this);
    const RpcPromiseRef<T> ref(promise);
    const QPointer<RpcInstance> self(this);
    pendingRequests.insert(id, [self, ref, resolve](const QJsonValue& result, const QJsonValue& error) {
        resolve(self.data(), ref, result, error);
    });
    reportInitiated(this, ref);
    return ref.get();
}

RpcPromise<ConnectInfo>* RpcInstanceSsh::sendConnect(const QString& method, const QJsonObject& params,
                                                     const QString& fallbackId) {
    return send<ConnectInfo>(method, params,
                             [fallbackId](RpcInstance* instance, const RpcPromiseRef<ConnectInfo>& promise,
                                          const QJsonValue& result, const QJsonValue& error) {
                                 resolveConnectInfo(instance, promise, result, error, fallbackId);
                             });
}

QJsonObject RpcInstanceSsh::withClientInfo(QJsonObject params) const {
    QJsonObject request{{QStringLiteral("params"), params}};
    addClientInfo(request);
    return request.value(QLatin1String("params")).toObject();
}

QJsonObject RpcInstanceSsh::connectRequest(const QString& id, const QString& key) const {
    // Either the key or the client information, never both.
    if (key.isEmpty())
        return withClientInfo(idParams(id));
    return QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("key"), key}};
}

RpcPromise<void>* RpcInstanceSsh::logout() {
    return nullptr;
}

namespace {

RpcInstanceSsh::TunnelViewOpener& tunnelViewOpener() {
    static RpcInstanceSsh::TunnelViewOpener opener;
    return opener;
}

} // namespace

void RpcInstanceSsh::setWebViewOpener(TunnelViewOpener opener) {
    tunnelViewOpener() = std::move(opener);
}

QWebEngineView* RpcInstanceSsh::openWebView(const QString& path, const ServiceInfo& service) {
    const TunnelViewOpener& opener = tunnelViewOpener();
    if (!opener) {
        qCWarning(lcRpc) << "No web view is available in this program";
        return nullptr;
    }
    // The service is reached only through the ssh login's SOCKS5 forward: a loopback forwarder relays
    // the page's connections there. ssh binds the forward on 127.0.0.1; "localhost" might also
    // reach another program's listener on ::1.
    auto forwarder = std::make_unique<LocalForwarder>(
        QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("127.0.0.1"), tunnelPort(), QString(), QString()),
        service.url.host(QUrl::FullyDecoded),
        static_cast<quint16>(service.url.port(service.url.scheme() == QLatin1String("http") ? 80 : 443)));
    if (!forwarder->listen()) {
        appendLog(tr("No local port could be opened for the web page \"%1\"").arg(path));
        return nullptr;
    }
    QUrl page = service.url;
    page.setHost(QStringLiteral("127.0.0.1"));
    page.setPort(forwarder->port());
    page.setPath(path, QUrl::DecodedMode);
    page.setUserName(QString());
    page.setPassword(QString());
    // The forwarder and every relayed connection end with the view.
    QWebEngineView* view = opener(page, service.token, forwarder.get());
    if (view)
        forwarder.release();
    return view;
}

RpcPromise<QVariantMap>* RpcInstanceSsh::userMe() {
    return send<QVariantMap>(QStringLiteral("/v3/api/user/me"), {}, resolveVariantMap);
}

RpcPromise<QList<Session>>* RpcInstanceSsh::sessionList() {
    return send<QList<Session>>(QStringLiteral("/v3/api/session/list"), {}, resolveSessionList);
}

RpcPromise<QList<Session>>* RpcInstanceSsh::sharedSessionList() {
    return send<QList<Session>>(QStringLiteral("/v3/api/session/list-shared"), {}, resolveSessionList);
}

RpcPromise<QVariantMap>* RpcInstanceSsh::sessionParams(const QString& id) {
    return send<QVariantMap>(QStringLiteral("/v3/api/session/params"), idParams(id), resolveVariantMap);
}

RpcPromise<QVariantMap>* RpcInstanceSsh::sessionParamsForms() {
    return send<QVariantMap>(QStringLiteral("/v3/api/session/params-form/list"), {}, resolveVariantMap);
}

RpcPromise<QVariantMap>* RpcInstanceSsh::setSessionParam(const QString& id, const QString& key,
                                                         const QString& value) {
    QJsonObject params;
    params.insert(key, value);
    // The session named by the argument, even when the key is "id", as on the web side.
    params.insert(QStringLiteral("id"), id);
    return send<QVariantMap>(QStringLiteral("/v3/api/session/params"), params, resolveVariantMap);
}

RpcPromise<QVariantMap>* RpcInstanceSsh::setSessionParams(const QString& id, const QVariantMap& values) {
    return send<QVariantMap>(QStringLiteral("/v3/api/session/params"),
                             withId(QJsonObject::fromVariantMap(values), id), resolveVariantMap);
}

RpcPromise<QImage>* RpcInstanceSsh::screenshot(const QString& id, int width, int height) {
    const QJsonObject params{
        {QStringLiteral("id"), id}, {QStringLiteral("width"), width}, {QStringLiteral("height"), height}};
    return send<QImage>(QStringLiteral("/v3/api/session/screenshot"), params, resolveImage);
}

RpcPromise<QVariantMap>* RpcInstanceSsh::serverList() {
    return send<QVariantMap>(QStringLiteral("/v3/api/session/servers/list"), {}, resolveVariantMap);
}

RpcPromise<QVariantMap>* RpcInstanceSsh::sessionLog(const QString& id, const QString& log) {
    return send<QVariantMap>(QStringLiteral("/v3/api/session/log"),
                             QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("log"), log}},
                             resolveVariantMap);
}

RpcPromise<ConnectInfo>* RpcInstanceSsh::startSession(const QJsonObject& params) {
    QJsonObject request = params;
    request.insert(QStringLiteral("auth"), QJsonObject{{QStringLiteral("usePK"), true}});
    request.insert(QStringLiteral("schedule"), true);
    return sendConnect(QStringLiteral("/v3/api/session/start"), withClientInfo(request), QString());
}

RpcPromise<QJsonObject>* RpcInstanceSsh::startSessionRaw(const QJsonObject& request) {
    return send<QJsonObject>(QStringLiteral("/v3/api/session/start"), request, resolveJsonObject);
}

RpcPromise<ConnectInfo>* RpcInstanceSsh::connectSession(const QString& id) {
    return sendConnect(QStringLiteral("/v3/api/session/connect"), connectRequest(id, QString()), id);
}

RpcPromise<QVariantMap>* RpcInstanceSsh::exec(const QJsonObject& params, bool background) {
    const QString method =
        background ? QStringLiteral("/v3/api/session/exec-bg") : QStringLiteral("/v3/api/session/exec");
    return send<QVariantMap>(method, params, resolveVariantMap);
}

RpcPromise<void>* RpcInstanceSsh::disconnectSession(const QString& id) {
    return send<void>(QStringLiteral("/v3/api/session/disconnect"), idParams(id), resolveVoid);
}

RpcPromise<void>* RpcInstanceSsh::purgeSession(const QString& id) {
    return send<void>(QStringLiteral("/v3/api/session/purge"), idParams(id), resolveVoid);
}

RpcPromise<void>* RpcInstanceSsh::terminateSession(const QString& id) {
    return send<void>(QStringLiteral("/v3/api/session/terminate"), idParams(id), resolveVoid);
}

RpcPromise<ConnectInfo>* RpcInstanceSsh::connectShortcut(const QString& bookmarkId) {
    return sendConnect(QStringLiteral("/v3/api/session/connect/shortcut"),
                       withClientInfo(idParams(bookmarkId)), QString());
}

RpcPromise<QList<Bookmark>>* RpcInstanceSsh::bookmarkList() {
    return send<QList<Bookmark>>(QStringLiteral("/v3/api/bookmark/list"), {}, resolveBookmarkList);
}

RpcPromise<QList<Bookmark>>* RpcInstanceSsh::editBookmark(const Bookmark& bookmark) {
    const QJsonObject params{{QStringLiteral("id"), bookmark.id()},
                             {QStringLiteral("name"), bookmark.name()},
                             {QStringLiteral("command"), bookmark.command()},
                             {QStringLiteral("geometry"), bookmark.geometry()}};
    return send<QList<Bookmark>>(QStringLiteral("/v3/api/bookmark/edit"), params, resolveBookmarkList);
}

RpcPromise<QList<Bookmark>>* RpcInstanceSsh::deleteBookmark(const QString& id) {
    return send<QList<Bookmark>>(QStringLiteral("/v3/api/bookmark/delete"), idParams(id),
                                 resolveBookmarkList);
}

RpcPromise<QList<Bookmark>>* RpcInstanceSsh::favoriteBookmark(const QString& id) {
    return send<QList<Bookmark>>(QStringLiteral("/v3/api/bookmark/favorite"), idParams(id),
                                 resolveBookmarkList);
}

RpcPromise<QList<Bookmark>>* RpcInstanceSsh::unfavoriteBookmark(const QString& id) {
    return send<QList<Bookmark>>(QStringLiteral("/v3/api/bookmark/unfavorite"), idParams(id),
                                 resolveBookmarkList);
}

RpcPromise<SharingData>* RpcInstanceSsh::loadSharing(const QString& id) {
    return send<SharingData>(QStringLiteral("/v3/api/share/load"), idParams(id), resolveSharingData);
}

RpcPromise<void>* RpcInstanceSsh::shareWithUsers(const QString& id, const QVector<ShareMember>& users) {
    return send<void>(
        QStringLiteral("/v3/api/share/update"),
        QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("users"), membersToJson(users)}},
        resolveVoid);
}

RpcPromise<void>* RpcInstanceSsh::shareWithGroups(const QString& id, const QVector<ShareMember>& groups) {
    return send<void>(
        QStringLiteral("/v3/api/share/update"),
        QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("groups"), membersToJson(groups)}},
        resolveVoid);
}

RpcPromise<void>* RpcInstanceSsh::sharePublic(const QString& id, const QString& sharingKey) {
    const QJsonObject publicSettings{
        {QStringLiteral("role"), QStringLiteral("lobby")},
        {QStringLiteral("visibility"), sharingKey.isEmpty() ? QString() : QStringLiteral("public")}};
    return send<void>(QStringLiteral("/v3/api/share/update"),
                      QJsonObject{{QStringLiteral("id"), id},
                                  {QStringLiteral("sharingKey"), sharingKey},
                                  {QStringLiteral("public"), publicSettings}},
                      resolveVoid);
}

RpcPromise<ConnectInfo>* RpcInstanceSsh::connectShare(const QString& id) {
    return sendConnect(QStringLiteral("/v3/api/share/connect"), connectRequest(id, QString()), id);
}

RpcPromise<ConnectInfo>* RpcInstanceSsh::connectShareNoLogin(const QString& id, const QString& key) {
    return sendConnect(QStringLiteral("/v3/api/nologin/share/connect"), connectRequest(id, key), id);
}

RpcPromise<ConnectInfo>* RpcInstanceSsh::connectShareById(const QString& id) {
    return sendConnect(QStringLiteral("/v3/api/share/connect"), withClientInfo(idParams(id)), id);
}

RpcPromise<QVariantMap>* RpcInstanceSsh::loadShareRaw(const QString& id) {
    return send<QVariantMap>(QStringLiteral("/v3/api/share/load"), idParams(id), resolveVariantMap);
}

RpcPromise<void>* RpcInstanceSsh::saveShare(const QString& id, const QJsonObject& data) {
    return send<void>(QStringLiteral("/v3/api/share/save"), withId(data, id), resolveVoid);
}

RpcPromise<void>* RpcInstanceSsh::removeShare(const QString& id, const QJsonObject& data) {
    return send<void>(QStringLiteral("/v3/api/share/remove"), withId(data, id), resolveVoid);
}

RpcPromise<void>* RpcInstanceSsh::updateShare(const QString& id, const QJsonObject& data) {
    return send<void>(QStringLiteral("/v3/api/share/update"), withId(data, id), resolveVoid);
}

RpcPromise<ServiceInfo>* RpcInstanceSsh::serviceInfo() {
    return send<ServiceInfo>(QStringLiteral("/v3/api/user/service"), {}, resolveServiceInfo);
}

RdpInstance* RpcInstanceSsh::launchViewer(ConnectionContext* context, const ConnectInfo& reply,
                                          const QString& text, const QString& name,
                                          const QJsonArray& networkTypes) {
    Q_UNUSED(text)
    // The viewer reaches the session through the ssh process's dynamic forward.
    return launchViewerSsh(context, reply, name, networkTypes, tunnelPort());
}
