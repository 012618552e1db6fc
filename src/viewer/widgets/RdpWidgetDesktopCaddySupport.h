#pragma once

// The session window's arithmetic and texts, apart from the window so that they can be checked alone.

#include "viewer/engine/RdpClient.h"

#include <QList>
#include <QPointF>
#include <QRect>
#include <QSize>
#include <QStringList>

#include <optional>

namespace CaddySupport {

// The largest side the server accepts; every size sent is at least 1 x 1 and at most this.
constexpr int maximumServerSide = 65535;
QSize boundedServerSize(QSize size);

// Physical DPI of every screen as (x, y). A value that is not finite or below 1 counts as unknown.
QList<QPointF> screenPhysicalDpis();

// The desktop size in server pixels for a viewport of `viewport` local pixels.
QSize desktopPixelSize(QSize viewport, double factor);

// The desktop size in millimetres, or nothing when only pixels are to be sent: `dpiSetting` negative
// (the server's own DPI), or no usable DPI (setting 0 and no screen reports one).
std::optional<QSize> desktopMillimetreSize(QSize viewport, double factor, int dpiSetting,
                                           const QList<QPointF>& screenDpis);

// Where the toolbar and the banner stand when hidden and when shown, inside a window of `window`.
QRect toolbarHiddenGeometry(const QRect& window, QSize toolbar);
QRect toolbarShownGeometry(const QRect& window, QSize toolbar);
QRect bannerHiddenGeometry(const QRect& window, QSize banner);
QRect bannerShownGeometry(const QRect& window, QSize banner);

// The lines the banner shows when the participant list changes from `before` to `after`, in order:
// a new controller, each join, each leave.
QStringList participantMessages(const QList<RdpClient>& before, const QList<RdpClient>& after);

} // namespace CaddySupport
