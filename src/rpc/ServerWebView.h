#pragma once

#include "rpc/CertificateTrust.h"

#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineUrlRequestInterceptor>

class QWebEngineView;

// A page of the server's web service: it accepts the certificates its connection accepted, and only
// for that server. Its profile is its own and off the record, so that no certificate decision or
// cookie passes between connections.
class ServerWebPage : public QWebEnginePage {
    Q_OBJECT
public:
    ServerWebPage(const QUrl& server, QSharedPointer<const CertificateTrust> trust,
                  QWebEngineProfile* profile, QObject* parent);

protected:
    bool certificateError(const QWebEngineCertificateError& error) override;

private:
    QUrl m_server;
    QSharedPointer<const CertificateTrust> m_trust;
};

// Adds the bearer token to the page's own loads of the server's origin, and to nothing else: not to
// other servers, not to the page's resources or links. The web engine keeps the header on a
// redirect, so a redirect of such a load to another origin is stopped and its target loaded afresh.
class ServerTokenInterceptor : public QWebEngineUrlRequestInterceptor {
    Q_OBJECT
public:
    ServerTokenInterceptor(const QUrl& server, const QString& token, QWebEnginePage* page);
    void interceptRequest(QWebEngineUrlRequestInfo& info) override;

private:
    const QUrl m_server;
    const QByteArray m_authorization;
    QPointer<QWebEnginePage> m_page;
    bool m_headerSent = false;
    QUrl m_reloading;
};

// Adds "Authorization: Bearer <token>" to every request of the page's own origin (the local forwarder
// of an ssh tunnel): the page, its sub-resources and its scripts' requests; never to another origin.
class VnAuthHeader : public QWebEngineUrlRequestInterceptor {
    Q_OBJECT
public:
    VnAuthHeader(const QUrl& origin, const QString& token, QObject* parent);
    void interceptRequest(QWebEngineUrlRequestInfo& info) override;

    const QByteArray headerValue;

private:
    const QUrl m_origin;
};

// A page served through an ssh tunnel's local forwarder. The forwarder's address is 127.0.0.1, which
// the service's certificate cannot name: certificate errors are accepted for that origin only.
class TunnelWebPage : public QWebEnginePage {
    Q_OBJECT
public:
    TunnelWebPage(const QUrl& origin, QWebEngineProfile* profile, QObject* parent);

protected:
    bool certificateError(const QWebEngineCertificateError& error) override;

private:
    QUrl m_origin;
};

// A view without parent showing a page through the tunnel's forwarder, for RpcInstanceSsh::openWebView.
QWebEngineView* openTunnelWebView(const QUrl& page, const QString& token, QObject* forwarder);

// A view without parent showing url, for RpcInstanceWeb::openWebView.
QWebEngineView* openServerWebView(const QUrl& url, const QString& token,
                                  QSharedPointer<const CertificateTrust> trust);
// Lets both transports' openWebView make views; a program with web views calls it once at start.
void installServerWebView();
