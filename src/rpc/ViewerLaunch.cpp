#include "rpc/ViewerLaunch.h"

#include "rpc/CertificateTrust.h"
#include "rpc/RpcLogging.h"

#include <QHostAddress>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrlQuery>

ViewerLaunchParams viewerLaunchParams(const QVariantMap& hostInfo, const QVariantMap& userInfo,
                                      const ConnectInfo& info, const QString& name,
                                      const QJsonArray& networkTypes, const QString& emptyGeometry) {
    ViewerLaunchParams p;
    p.connectMap.insert(QStringLiteral("SessionId"), info.id());
    p.connectMap.insert(QStringLiteral("RealHost"), hostInfo.value(QStringLiteral("hostname")));
    p.connectMap.insert(QStringLiteral("NetworkTypes"), networkTypes);
    const QString paramName = info.param(QStringLiteral("name")).toString();
    p.sessionName = paramName.isEmpty() ? name : paramName;
    if (info.windowMode() == QLatin1String("rootless"))
        p.geometry = QStringLiteral("rootless");
    else
        p.geometry = info.geometry().isEmpty() ? emptyGeometry : info.geometry();
    p.displayName = userInfo.value(QStringLiteral("displayName")).toString();
    p.password = info.password();
    p.fullScreen = info.param(QStringLiteral("windowMode")).toString() == QLatin1String("fullscreen");
    return p;
}

QUrl sshViewerUrl(const ConnectInfo& info) {
    if (info.tcpPort() != 0)
        return QUrl(QStringLiteral("velnor://localhost:%1").arg(info.tcpPort()));
    QString path = info.uri();
    if (!path.startsWith(QLatin1Char('/')))
        path.prepend(QLatin1Char('/'));
    return QUrl(QStringLiteral("ws://localhost:%1%2").arg(info.webSocketPort()).arg(path));
}

QNetworkProxy sshViewerProxy(quint16 tunnelPort) {
    return QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("localhost"), tunnelPort, QString(),
                         QString());
}

namespace {

QUrl relayUrl(const QUrl& baseUrl, const QString& id) {
    QUrl url = baseUrl;
    if (url.scheme() == QLatin1String("http"))
        url.setScheme(QStringLiteral("ws"));
    else if (url.scheme() == QLatin1String("https"))
        url.setScheme(QStringLiteral("wss"));
    url.setPath(QStringLiteral("/client/protocol"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("id"), id);
    url.setQuery(query);
    url.setFragment(QString());
    return url;
}

// 0.0.0.0 or ::, which a server may report as where it listens, but which name no host to reach.
bool isUnspecifiedAddress(const QUrl& url) {
    const QHostAddress address(url.host());
    return address.isEqual(QHostAddress::AnyIPv4, QHostAddress::ConvertV4MappedToIPv4) ||
           address.isEqual(QHostAddress::AnyIPv6, QHostAddress::StrictConversion);
}

// The token goes only where it is encrypted, or where the user chose plain http for the connection.
bool mayCarryToken(const QUrl& url, const QUrl& baseUrl) {
    return url.scheme() == QLatin1String("wss") ||
           (url.scheme() == QLatin1String("ws") && baseUrl.scheme() == QLatin1String("http"));
}

} // namespace

QList<QNetworkRequest> webViewerRequests(const ConnectInfo& info, const QUrl& baseUrl, bool disableDirectMode,
                                         const CertificateTrust* trust) {
    QList<QUrl> urls;
    if (!disableDirectMode) {
        for (const QString& text : info.urls()) {
            const QUrl url(text);
            if (isUnspecifiedAddress(url)) {
                qCWarning(lcRpc).noquote()
                    << "Session address" << url.toString(QUrl::RemoveUserInfo) << "skipped: it names no host";
                continue;
            }
            urls.append(url);
        }
    }
    // The relay through the server itself, always tried last, carries the token like every request
    // to the server.
    const QUrl relay = relayUrl(baseUrl, info.id());
    urls.append(relay);

    QByteArray token = info.param(QStringLiteral("AuthToken")).toString().toUtf8();
    if (token.isNull())
        token = QByteArray(""); // a null value would drop the header instead of sending it empty
    const bool ignoreSslErrors = info.param(QStringLiteral("IgnoreSslErrors")).toBool();
    QList<QNetworkRequest> requests;
    for (const QUrl& url : urls) {
        QNetworkRequest request(url);
        if (url == relay || mayCarryToken(url, baseUrl))
            request.setRawHeader("X-VELNOR-TOKEN", token);
        if (ignoreSslErrors && trust) {
            QSslConfiguration tls = request.sslConfiguration();
            if (trust->acceptsAll()) {
                // The user set this connection to ignore certificate errors.
                tls.setPeerVerifyMode(QSslSocket::VerifyNone);
            } else {
                // Only the certificates the user accepted for this server become trusted.
                for (const QSslError& error : trust->acceptedErrors()) {
                    if (!error.certificate().isNull())
                        tls.addCaCertificate(error.certificate());
                }
            }
            request.setSslConfiguration(tls);
        }
        requests.append(request);
    }
    return requests;
}
