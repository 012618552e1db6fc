#pragma once

#include "rpc/RpcInstance.h"

#include <QJsonValue>

// Each converter decides from a reply's (result, error) pair whether the request succeeded and
// settles the promise. instance may be null when it is already gone; so may the promise.
void resolveVoid(RpcInstance* instance, const RpcPromiseRef<void>& promise, const QJsonValue& result,
                 const QJsonValue& error);
void resolveVariantMap(RpcInstance* instance, const RpcPromiseRef<QVariantMap>& promise,
                       const QJsonValue& result, const QJsonValue& error);
void resolveJsonObject(RpcInstance* instance, const RpcPromiseRef<QJsonObject>& promise,
                       const QJsonValue& result, const QJsonValue& error);
void resolveConnectInfo(RpcInstance* instance, const RpcPromiseRef<ConnectInfo>& promise,
                        const QJsonValue& result, const QJsonValue& error, const QString& fallbackId);
void resolveBookmarkList(RpcInstance* instance, const RpcPromiseRef<QList<Bookmark>>& promise,
                         const QJsonValue& result, const QJsonValue& error);
void resolveSessionList(RpcInstance* instance, const RpcPromiseRef<QList<Session>>& promise,
                        const QJsonValue& result, const QJsonValue& error);
void resolveImage(RpcInstance* instance, const RpcPromiseRef<QImage>& promise, const QJsonValue& result,
                  const QJsonValue& error);
void resolveServiceInfo(RpcInstance* instance, const RpcPromiseRef<ServiceInfo>& promise,
                        const QJsonValue& result, const QJsonValue& error);
void resolveSharingData(RpcInstance* instance, const RpcPromiseRef<SharingData>& promise,
                        const QJsonValue& result, const QJsonValue& error);

QList<Bookmark> bookmarkListFromJson(const QJsonObject& result);
QList<Session> sessionListFromJson(const QJsonArray& sessions);
// A screenshot sent as a PNG data URL under "src"; a null image otherwise.
QImage imageFromJson(const QJsonObject& result);
ServiceInfo serviceInfoFromJson(const QJsonObject& result);
