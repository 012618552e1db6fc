#include "rpc/ResultConverters.h"

#include "bookmarks/DataUrlImage.h"

#include <QJsonArray>
#include <QSet>

namespace {

void appendBookmarks(QList<Bookmark>& list, const QJsonValue& value, const QString& type) {
    if (!value.isArray())
        return;
    for (const QJsonValue& entry : value.toArray()) {
        Bookmark b = Bookmark::fromJson(entry.toObject());
        if (!b.isValid())
            continue;
        b.setType(type);
        list.append(b);
    }
}

} // namespace

QList<Bookmark> bookmarkListFromJson(const QJsonObject& result) {
    QList<Bookmark> list;
    appendBookmarks(list, result.value(QLatin1String("system")), SuggestionType);
    appendBookmarks(list, result.value(QLatin1String("user")), BookmarkType);
    appendBookmarks(list, result.value(QLatin1String("suggestions")), SuggestionType);
    appendBookmarks(list, result.value(QLatin1String("history")), HistoryType);

    QSet<QString> favorites;
    for (const QJsonValue& id : result.value(QLatin1String("favorites")).toArray()) {
        if (id.isString())
            favorites.insert(id.toString());
    }
    for (Bookmark& b : list)
        b.setFavorite(favorites.contains(b.id()));
    return list;
}

QList<Session> sessionListFromJson(const QJsonArray& sessions) {
    QList<Session> list;
    for (const QJsonValue& entry : sessions) {
        Session s = Session::fromJson(entry.toObject());
        if (!s.id().isEmpty())
            list.append(s);
    }
    return list;
}

QImage imageFromJson(const QJsonObject& result) {
    const QJsonValue src = result.value(QLatin1String("src"));
    if (!src.isString())
        return QImage();
    return imageFromPngDataUrl(src.toString());
}

ServiceInfo serviceInfoFromJson(const QJsonObject& result) {
    return ServiceInfo{QUrl(result.value(QLatin1String("url")).toString()),
                       result.value(QLatin1String("token")).toString()};
}

void resolveVoid(RpcInstance* instance, const RpcPromiseRef<void>& promise, const QJsonValue& /*result*/,
                 const QJsonValue& error) {
    if (error.isObject())
        RpcInstance::rejectWithError(instance, promise, error);
    else
        RpcInstance::reportSucceeded(instance, promise);
}

void resolveVariantMap(RpcInstance* instance, const RpcPromiseRef<QVariantMap>& promise,
                       const QJsonValue& result, const QJsonValue& error) {
    if (result.isObject())
        RpcInstance::reportSucceeded(instance, promise, result.toObject().toVariantMap());
    else
        RpcInstance::rejectWithError(instance, promise, error);
}

void resolveJsonObject(RpcInstance* instance, const RpcPromiseRef<QJsonObject>& promise,
                       const QJsonValue& result, const QJsonValue& error) {
    if (result.isObject())
        RpcInstance::reportSucceeded(instance, promise, result.toObject());
    else
        RpcInstance::rejectWithError(instance, promise, error);
}

void resolveConnectInfo(RpcInstance* instance, const RpcPromiseRef<ConnectInfo>& promise,
                        const QJsonValue& result, const QJsonValue& error, const QString& fallbackId) {
    if (!result.isObject()) {
        RpcInstance::rejectWithError(instance, promise, error);
        return;
    }
    ConnectInfo info = ConnectInfo::fromJson(result.toObject());
    if (info.id().isEmpty())
        info.setId(fallbackId);
    if (instance)
        instance->addViewerParameters(info);
    RpcInstance::reportSucceeded(instance, promise, info);
}

void resolveBookmarkList(RpcInstance* instance, const RpcPromiseRef<QList<Bookmark>>& promise,
                         const QJsonValue& result, const QJsonValue& error) {
    if (result.isObject())
        RpcInstance::reportSucceeded(instance, promise, bookmarkListFromJson(result.toObject()));
    else
        RpcInstance::rejectWithError(instance, promise, error);
}

void resolveSessionList(RpcInstance* instance, const RpcPromiseRef<QList<Session>>& promise,
                        const QJsonValue& result, const QJsonValue& error) {
    // An array, or an object whose "rows" passes the same test.
    QJsonValue value = result;
    while (value.isObject())
        value = value.toObject().value(QLatin1String("rows"));
    if (value.isArray())
        RpcInstance::reportSucceeded(instance, promise, sessionListFromJson(value.toArray()));
    else
        RpcInstance::rejectWithError(instance, promise, error);
}

void resolveImage(RpcInstance* instance, const RpcPromiseRef<QImage>& promise, const QJsonValue& result,
                  const QJsonValue& error) {
    if (result.isObject())
        RpcInstance::reportSucceeded(instance, promise, imageFromJson(result.toObject()));
    else
        RpcInstance::rejectWithError(instance, promise, error);
}

void resolveServiceInfo(RpcInstance* instance, const RpcPromiseRef<ServiceInfo>& promise,
                        const QJsonValue& result, const QJsonValue& error) {
    if (result.isObject())
        RpcInstance::reportSucceeded(instance, promise, serviceInfoFromJson(result.toObject()));
    else
        RpcInstance::rejectWithError(instance, promise, error);
}

void resolveSharingData(RpcInstance* instance, const RpcPromiseRef<SharingData>& promise,
                        const QJsonValue& result, const QJsonValue& error) {
    if (result.isObject())
        RpcInstance::reportSucceeded(instance, promise, SharingData::fromJson(result.toObject()));
    else
        RpcInstance::rejectWithError(instance, promise, error);
}
