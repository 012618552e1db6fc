#include "bookmarks/GuestLink.h"

QString guestLink(const QString& serverUrl, const QString& sessionId, const QString& key) {
    if (serverUrl.isEmpty() || key.isEmpty())
        return QString();
    QUrl url(serverUrl, QUrl::TolerantMode);
    if (!url.isValid())
        return QString();
    QString path = url.path(QUrl::FullyEncoded);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    path += QStringLiteral("/client/guest;id=%1;key=%2")
                .arg(QString::fromLatin1(QUrl::toPercentEncoding(sessionId)),
                     QString::fromLatin1(QUrl::toPercentEncoding(key)));
    url.setPath(path, QUrl::TolerantMode);
    url.setQuery(QString());
    url.setFragment(QString());
    return url.toString(QUrl::FullyEncoded);
}
