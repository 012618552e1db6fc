#include "rpc/WebRequestGuards.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

const char refusedRedirectProperty[] = "velnorRefusedRedirect";

bool isSecretKey(const QString& key) {
    static const QStringList words{QStringLiteral("token"),      QStringLiteral("password"),
                                   QStringLiteral("passwd"),     QStringLiteral("secret"),
                                   QStringLiteral("key"),        QStringLiteral("signature"),
                                   QStringLiteral("signdata"),   QStringLiteral("cookie"),
                                   QStringLiteral("passphrase"), QStringLiteral("otp")};
    const QString lower = key.toLower();
    for (const QString& w : words) {
        if (lower.contains(w))
            return true;
    }
    return false;
}

QJsonValue redact(const QJsonValue& value) {
    if (value.isObject()) {
        QJsonObject out;
        const QJsonObject in = value.toObject();
        for (auto it = in.begin(); it != in.end(); ++it) {
            if (isSecretKey(it.key()) && !it.value().isObject() && !it.value().isArray() &&
                !it.value().isNull())
                out.insert(it.key(), QStringLiteral("[redacted]"));
            else
                out.insert(it.key(), redact(it.value()));
        }
        return out;
    }
    if (value.isArray()) {
        QJsonArray out;
        for (const QJsonValue& v : value.toArray())
            out.append(redact(v));
        return out;
    }
    return value;
}

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

QString redactedJson(const QJsonValue& value) {
    const QJsonValue r = redact(value);
    if (r.isObject())
        return QString::fromUtf8(QJsonDocument(r.toObject()).toJson(QJsonDocument::Compact));
    if (r.isArray())
        return QString::fromUtf8(QJsonDocument(r.toArray()).toJson(QJsonDocument::Compact));
    return r.toVariant().toString();
}

QString redactedUrl(const QUrl& url) {
    return url.toString(QUrl::RemoveUserInfo);
}
