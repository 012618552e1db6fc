#include "viewer/engine/VnCcUrl.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QUrl>

const QString VnCcUrl::ProcessedText = QStringLiteral("The URL was received and processed.");

namespace {

QJsonObject error(const QString& name, const QString& message) {
    return QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("message"), message}};
}

} // namespace

VnCcUrl::VnCcUrl(VnClientCommChannel* channel)
    : VnClientCommType(channel) {}

QJsonObject VnCcUrl::open(const QByteArray& data) {
    QString address;
    const QJsonDocument document = QJsonDocument::fromJson(data);
    if (document.isObject()) {
        const QJsonObject object = document.object();
        address = object.value(QStringLiteral("url")).toString();
        if (address.isEmpty()) {
            address = object.value(QStringLiteral("href")).toString();
        }
    } else {
        address = QString::fromUtf8(data);
    }
    if (address.isEmpty()) {
        return error(QStringLiteral("required"), QStringLiteral("URL is required, but missing."));
    }
    const QUrl url(address, QUrl::TolerantMode);
    if (!url.isValid()) {
        return error(QStringLiteral("url_invalid"), url.errorString());
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        return error(QStringLiteral("url_refused"), QStringLiteral("Only http and https URLs are opened."));
    }
    if (!QDesktopServices::openUrl(url)) {
        return error(QStringLiteral("url_failed"), QStringLiteral("Failed to open URL."));
    }
    return {};
}

void VnCcUrl::handle(quint16 id, QString, QByteArray data) {
    const QJsonObject failure = open(data);
    if (failure.isEmpty()) {
        respond(id, ProcessedText.toUtf8());
    } else {
        // Indented, keys sorted, with a line break at the end.
        refuse(id, QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("error"), failure}})
                                         .toJson(QJsonDocument::Indented)));
    }
}
