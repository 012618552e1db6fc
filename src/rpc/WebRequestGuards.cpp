#include "rpc/WebRequestGuards.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

const char refusedRedirectProperty[] = "velnorRefusedRedirect";

} // namespace

bool sameOrigin(const QUrl& a, const QUrl& b) {
    const int defaultA = a.scheme() == QLatin1String("https") ? 443 : 80;
    const int defaultB = b.scheme() == QLatin1String("https") ? 443 : 80;
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && a.port(defaultA) == b.port(defaultB);
}

void followSafeRedirects(QNetworkRequest& request) {
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
}

void watchRedirects(QNetworkReply* reply, bool carriesSecrets) {
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply, carriesSecrets](const QUrl& to) {
        const QUrl from = reply->request().url();
        const QUrl target = from.resolved(to);
        const bool downgrade =
            from.scheme() == QLatin1String("https") && target.scheme() != QLatin1String("https");
        if (!downgrade && (!carriesSecrets || sameOrigin(from, target))) {
            emit reply->redirectAllowed();
            return;
        }
        reply->setProperty(refusedRedirectProperty, target);
        reply->abort();
    });
}

QUrl refusedRedirect(const QNetworkReply* reply) {
    return reply->property(refusedRedirectProperty).toUrl();
}

QString redactedUrl(const QUrl& url) {
    return url.toString(QUrl::RemoveUserInfo);
}
