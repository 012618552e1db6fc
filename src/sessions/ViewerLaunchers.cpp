#include "sessions/ViewerLaunchers.h"

#include "app/CloseHelper.h"
#include "rpc/ViewerLaunch.h"
#include "sessions/ConnectionContext.h"
#include "sessions/ViewerEndReport.h"
#include "sessions/ViewerRegistry.h"
#include "viewer/engine/RdpInstance.h"

#include <QDebug>

namespace {

RdpInstance* prepare(const ConnectInfo& info, void (*report)(RdpInstance*)) {
    auto* instance = new RdpInstance;
    QObject::connect(instance, &RdpInstance::finished, instance, &QObject::deleteLater, Qt::DirectConnection);
    QObject::connect(instance, &RdpInstance::finished, [instance, report] { report(instance); });
    CloseHelper::instance()->addObject(instance);
    registerViewer(info.id(), instance);
    return instance;
}

ViewerLaunchParams paramsFor(const ConnectionContext* context, const ConnectInfo& info, const QString& name,
                             const QJsonArray& networkTypes, const QString& emptyGeometry) {
    return viewerLaunchParams(context ? context->hostInfo : QVariantMap(),
                              context ? context->userInfo : QVariantMap(), info, name, networkTypes,
                              emptyGeometry);
}

} // namespace

RdpInstance* launchViewerSsh(const ConnectionContext* context, const ConnectInfo& info, const QString& name,
                             const QJsonArray& networkTypes, quint16 tunnelPort) {
    RdpInstance* instance = prepare(info, &reportViewerFinishedSsh);
    const ViewerLaunchParams p = paramsFor(context, info, name, networkTypes, QString());
    const QUrl url = sshViewerUrl(info);
    qDebug() << "Viewer endpoint" << url << p.connectMap;
    instance->start(QNetworkRequest(url), sshViewerProxy(tunnelPort), p.displayName, p.password, p.geometry,
                    p.sessionName, p.fullScreen, p.connectMap);
    return instance;
}

RdpInstance* launchViewerWeb(const ConnectionContext* context, const ConnectInfo& info, const QString& name,
                             const QJsonArray& networkTypes, const QUrl& baseUrl, bool disableDirectMode,
                             const CertificateTrust* trust) {
    RdpInstance* instance = prepare(info, &reportViewerFinishedWeb);
    const ViewerLaunchParams p = paramsFor(context, info, name, networkTypes, QStringLiteral("1024x768"));
    const QList<QNetworkRequest> requests = webViewerRequests(info, baseUrl, disableDirectMode, trust);
    for (const QNetworkRequest& request : requests)
        qDebug() << "Viewer endpoint" << request.url() << p.connectMap;
    instance->startWithRequests(requests, QNetworkProxy(QNetworkProxy::DefaultProxy), p.displayName,
                                p.password, p.geometry, p.sessionName, p.fullScreen, p.connectMap);
    return instance;
}
