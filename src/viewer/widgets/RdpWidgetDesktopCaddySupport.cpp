#include "viewer/widgets/RdpWidgetDesktopCaddySupport.h"

#include "viewer/widgets/RdpMapping.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QSet>

#include <algorithm>
#include <cmath>

namespace CaddySupport {

namespace {

bool usableDpi(qreal value) {
    return std::isfinite(value) && value >= 1.0;
}

// The largest usable value on one axis, truncated; 0 when there is none.
qint64 largestDpi(const QList<QPointF>& dpis, bool vertical) {
    qint64 best = 0;
    for (const QPointF& dpi : dpis) {
        const qreal value = vertical ? dpi.y() : dpi.x();
        if (usableDpi(value))
            best = std::max(best, static_cast<qint64>(std::min<qreal>(value, 1e9)));
    }
    return best;
}

const RdpClient* controllerOf(const QList<RdpClient>& clients) {
    for (const RdpClient& client : clients)
        if (client.status == QLatin1String("input"))
            return &client;
    return nullptr;
}

QList<RdpClient> missingFrom(const QList<RdpClient>& list, const QList<RdpClient>& reference) {
    QSet<QString> ids;
    for (const RdpClient& client : reference)
        ids.insert(client.client);
    QList<RdpClient> result;
    for (const RdpClient& client : list)
        if (!ids.contains(client.client))
            result.append(client);
    std::stable_sort(result.begin(), result.end(), [](const RdpClient& a, const RdpClient& b) {
        if (a.name != b.name)
            return a.name < b.name;
        return a.client < b.client;
    });
    return result;
}

QString tr(const char* text) {
    return QCoreApplication::translate("RdpWidgetDesktopCaddy", text);
}

} // namespace

QSize boundedServerSize(QSize size) {
    return QSize(std::clamp(size.width(), 1, maximumServerSide),
                 std::clamp(size.height(), 1, maximumServerSide));
}

QList<QPointF> screenPhysicalDpis() {
    QList<QPointF> dpis;
    for (QScreen* screen : QGuiApplication::screens())
        dpis.append(QPointF(screen->physicalDotsPerInchX(), screen->physicalDotsPerInchY()));
    return dpis;
}

QSize desktopPixelSize(QSize viewport, double factor) {
    return mapSizeToServer(viewport, factor);
}

std::optional<QSize> desktopMillimetreSize(QSize viewport, double factor, int dpiSetting,
                                           const QList<QPointF>& screenDpis) {
    if (dpiSetting < 0)
        return std::nullopt;
    qint64 dpiX = largestDpi(screenDpis, false);
    qint64 dpiY = largestDpi(screenDpis, true);
    if (dpiSetting != 0)
        dpiX = dpiY = dpiSetting;
    if (dpiX < 1 || dpiY < 1)
        return std::nullopt;
    const qint64 mmW = (qint64(std::max(viewport.width(), 0)) * 254) / (dpiX * 10);
    const qint64 mmH = (qint64(std::max(viewport.height(), 0)) * 254) / (dpiY * 10);
    const QRect millimetres(QPoint(0, 0), QPoint(int(std::min<qint64>(mmW, maximumServerSide)),
                                                 int(std::min<qint64>(mmH, maximumServerSide))));
    return mapRectToServer(millimetres, false, factor).size();
}

QRect toolbarHiddenGeometry(const QRect& window, QSize toolbar) {
    QRect geometry(QPoint(0, 0), toolbar);
    geometry.moveLeft(window.left() + (window.width() - toolbar.width()) / 2);
    geometry.moveBottom(window.top() + 5);
    return geometry;
}

QRect toolbarShownGeometry(const QRect& window, QSize toolbar) {
    QRect geometry = toolbarHiddenGeometry(window, toolbar);
    geometry.moveBottom(window.top() + toolbar.height());
    return geometry;
}

QRect bannerHiddenGeometry(const QRect& window, QSize banner) {
    QRect geometry(QPoint(0, 0), banner);
    geometry.moveRight(window.right() - 1);
    geometry.moveBottom(window.top() - 1);
    return geometry;
}

QRect bannerShownGeometry(const QRect& window, QSize banner) {
    QRect geometry = bannerHiddenGeometry(window, banner);
    geometry.moveBottom(window.top() + banner.height());
    return geometry;
}

QStringList participantMessages(const QList<RdpClient>& before, const QList<RdpClient>& after) {
    QStringList messages;
    const RdpClient* oldController = controllerOf(before);
    const RdpClient* newController = controllerOf(after);
    if (newController && (!oldController || oldController->client != newController->client))
        messages << tr("%1 now has control of the session.").arg(newController->name);
    for (const RdpClient& joined : missingFrom(after, before)) {
        const QString name = joined.name.isEmpty() ? tr("A new user") : joined.name;
        messages << tr("%1 has joined the session.").arg(name);
    }
    for (const RdpClient& left : missingFrom(before, after))
        messages << tr("%1 has left the session.").arg(left.name);
    return messages;
}

} // namespace CaddySupport
