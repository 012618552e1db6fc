#pragma once

#include "rpc/ConnectInfo.h"

#include <QJsonArray>
#include <QList>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <QVariantMap>

class CertificateTrust;

// What the built-in viewer is started with, apart from the endpoint requests.
struct ViewerLaunchParams {
    QVariantMap connectMap; // "SessionId", "RealHost", "NetworkTypes"
    QString sessionName;
    QString geometry;
    QString displayName;
    QString password;
    bool fullScreen = false;
};

// hostInfo and userInfo are the connection's records; emptyGeometry is used when the reply names none.
ViewerLaunchParams viewerLaunchParams(const QVariantMap& hostInfo, const QVariantMap& userInfo,
                                      const ConnectInfo& info, const QString& name,
                                      const QJsonArray& networkTypes, const QString& emptyGeometry);

// The display endpoint at the local end of the ssh tunnel: raw TCP when the reply names a TCP port,
// else WebSocket on the reply's port and path.
QUrl sshViewerUrl(const ConnectInfo& info);
// The ssh process's dynamic forward.
QNetworkProxy sshViewerProxy(quint16 tunnelPort);

// The web transport's candidate endpoints in the order to try: the reply's direct URLs (unless direct
// mode is off; unspecified addresses such as 0.0.0.0 are skipped), then the server's own relay. The
// token goes with the relay and with direct URLs over wss (or ws when the connection itself is plain
// http), never unencrypted otherwise. With "IgnoreSslErrors" the requests trust what trust accepts for
// this connection, never every certificate.
QList<QNetworkRequest> webViewerRequests(const ConnectInfo& info, const QUrl& baseUrl, bool disableDirectMode,
                                         const CertificateTrust* trust);
