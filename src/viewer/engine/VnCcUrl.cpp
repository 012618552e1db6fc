#include "viewer/engine/VnCcUrl.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>

const QString VnCcUrl::ProcessedText = QStringLiteral("The URL was received and processed.");

namespace {

Q_LOGGING_CATEGORY(lcUrl, "velnor.clientcomm.url")

QJsonObject error(const QString& name, const QString& message) {
    return QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("message"), message}};
}

QJsonObject failedToOpen() {
    return error(QStringLiteral("url_failed"), QStringLiteral("Failed to open URL."));
}

} // namespace

VnCcUrl::VnCcUrl(VnClientCommChannel* channel)
    : VnClientCommType(channel)
    , m_timer(new QTimer(this)) {
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &VnCcUrl::launchNext);
}

QJsonObject VnCcUrl::check(const QByteArray& data, QUrl& url) {
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
    url = QUrl(address, QUrl::TolerantMode);
    if (!url.isValid()) {
        return error(QStringLiteral("url_invalid"), url.errorString());
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        return error(QStringLiteral("url_refused"), QStringLiteral("Only http and https URLs are opened."));
    }
    return {};
}

void VnCcUrl::handle(quint16 id, QString, QByteArray data) {
    Pending pending;
    pending.id = id;
    const QJsonObject failure = check(data, pending.url);
    if (!failure.isEmpty()) {
        answer(id, failure);
        return;
    }
    const bool tooSoon = m_lastLaunch.isValid() && m_lastLaunch.elapsed() < LaunchIntervalMs;
    if (m_queue.isEmpty() && !tooSoon) {
        launch(pending);
        return;
    }
    if (m_queue.size() >= MaxQueued) {
        if (!m_refusalLogged) {
            m_refusalLogged = true;
            qCWarning(lcUrl) << "URL not opened: more than" << MaxQueued << "are waiting to be opened";
        }
        answer(id, failedToOpen());
        return;
    }
    m_queue.enqueue(pending);
    if (!m_timer->isActive()) {
        m_timer->start(int(std::max<qint64>(0, LaunchIntervalMs - m_lastLaunch.elapsed())));
    }
}

void VnCcUrl::launch(const Pending& pending) {
    m_lastLaunch.start();
    answer(pending.id, QDesktopServices::openUrl(pending.url) ? QJsonObject() : failedToOpen());
}

void VnCcUrl::launchNext() {
    if (m_queue.isEmpty()) {
        return;
    }
    launch(m_queue.dequeue());
    if (!m_queue.isEmpty()) {
        m_timer->start(LaunchIntervalMs);
    }
}

void VnCcUrl::answer(quint16 id, const QJsonObject& failure) {
    if (failure.isEmpty()) {
        respond(id, ProcessedText.toUtf8());
    } else {
        // Indented, keys sorted, with a line break at the end.
        refuse(id, QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("error"), failure}})
                                         .toJson(QJsonDocument::Indented)));
    }
}
