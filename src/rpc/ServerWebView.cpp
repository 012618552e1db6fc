#include "rpc/ServerWebView.h"

#include "rpc/RpcInstanceSsh.h"
#include "rpc/RpcInstanceWeb.h"
#include "rpc/WebRequestGuards.h"

#include <QWebEngineCertificateError>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineView>

namespace {

// The network layer's errors that stand for the same fault as the web engine's error.
QList<QSslError::SslError> matchingErrors(QWebEngineCertificateError::Error error) {
    switch (error) {
    case QWebEngineCertificateError::CertificateCommonNameInvalid:
        return {QSslError::HostNameMismatch};
    case QWebEngineCertificateError::CertificateDateInvalid:
        return {QSslError::CertificateExpired, QSslError::CertificateNotYetValid};
    case QWebEngineCertificateError::CertificateAuthorityInvalid:
        return {QSslError::SelfSignedCertificate,
                QSslError::SelfSignedCertificateInChain,
                QSslError::UnableToGetLocalIssuerCertificate,
                QSslError::UnableToGetIssuerCertificate,
                QSslError::UnableToVerifyFirstCertificate,
                QSslError::CertificateUntrusted};
    default:
        return {};
    }
}

} // namespace

ServerWebPage::ServerWebPage(const QUrl& server, QSharedPointer<const CertificateTrust> trust,
                             QWebEngineProfile* profile, QObject* parent)
    : QWebEnginePage(profile, parent)
    , m_server(server)
    , m_trust(std::move(trust)) {}

bool ServerWebPage::certificateError(const QWebEngineCertificateError& error) {
    if (!m_trust || !error.isOverridable())
        return false;
    if (m_trust->acceptsAll())
        return true;
    const QList<QSslCertificate> chain = error.certificateChain();
    if (chain.isEmpty() || !sameOrigin(error.url(), m_server))
        return false;
    const QList<QSslError::SslError> wanted = matchingErrors(error.error());
    for (const QSslError& accepted : m_trust->acceptedErrors()) {
        if (accepted.certificate() == chain.first() && wanted.contains(accepted.error()))
            return true;
    }
    return false;
}

ServerTokenInterceptor::ServerTokenInterceptor(const QUrl& server, const QString& token, QWebEnginePage* page)
    : QWebEngineUrlRequestInterceptor(page)
    , m_server(server)
    , m_authorization(QStringLiteral("Bearer %1").arg(token).toUtf8())
    , m_page(page) {}

void ServerTokenInterceptor::interceptRequest(QWebEngineUrlRequestInfo& info) {
    // The page's own loads are "typed"; a redirect keeps the type of the load it came from.
    if (info.resourceType() != QWebEngineUrlRequestInfo::ResourceTypeMainFrame ||
        info.navigationType() != QWebEngineUrlRequestInfo::NavigationTypeTyped)
        return;
    const QUrl url = info.requestUrl();
    if (sameOrigin(url, m_server)) {
        info.setHttpHeader("Authorization", m_authorization);
        m_headerSent = true;
        return;
    }
    if (url == m_reloading) {
        m_reloading.clear();
        m_headerSent = false;
        return;
    }
    if (m_headerSent) {
        info.block(true);
        m_reloading = url;
        QPointer<QWebEnginePage> page = m_page;
        QMetaObject::invokeMethod(
            m_page,
            [page, url] {
                if (page)
                    page->load(url);
            },
            Qt::QueuedConnection);
    }
}

QWebEngineView* openServerWebView(const QUrl& url, const QString& token,
                                  QSharedPointer<const CertificateTrust> trust) {
    auto* view = new QWebEngineView;
    // The profile must outlive its page: it goes once the page has.
    auto* profile = new QWebEngineProfile;
    auto* page = new ServerWebPage(url, std::move(trust), profile, view);
    QObject::connect(page, &QObject::destroyed, profile, &QObject::deleteLater);
    if (!token.isEmpty())
        page->setUrlRequestInterceptor(new ServerTokenInterceptor(url, token, page));
    page->load(url);
    view->setPage(page);
    return view;
}

VnAuthHeader::VnAuthHeader(const QUrl& origin, const QString& token, QObject* parent)
    : QWebEngineUrlRequestInterceptor(parent)
    , headerValue(QStringLiteral("Bearer %1").arg(token).toUtf8())
    , m_origin(origin) {}

void VnAuthHeader::interceptRequest(QWebEngineUrlRequestInfo& info) {
    if (sameOrigin(info.requestUrl(), m_origin))
        info.setHttpHeader("Authorization", headerValue);
}

TunnelWebPage::TunnelWebPage(const QUrl& origin, QWebEngineProfile* profile, QObject* parent)
    : QWebEnginePage(profile, parent)
    , m_origin(origin) {}

bool TunnelWebPage::certificateError(const QWebEngineCertificateError& error) {
    return error.isOverridable() && sameOrigin(error.url(), m_origin);
}

QWebEngineView* openTunnelWebView(const QUrl& page, const QString& token, QObject* forwarder) {
    auto* view = new QWebEngineView;
    if (forwarder)
        forwarder->setParent(view);
    // Off the record, and gone once its page has.
    auto* profile = new QWebEngineProfile;
    auto* webPage = new TunnelWebPage(page, profile, view);
    QObject::connect(webPage, &QObject::destroyed, profile, &QObject::deleteLater);
    webPage->setUrlRequestInterceptor(new VnAuthHeader(page, token, webPage));
    webPage->load(page);
    view->setPage(webPage);
    return view;
}

void installServerWebView() {
    RpcInstanceWeb::setWebViewOpener(&openServerWebView);
    RpcInstanceSsh::setWebViewOpener(&openTunnelWebView);
}
