#include "viewer/engine/MagellanWindow.h"

#include "platform/magellan/MagellanReportSource.h"
#include "platform/magellan/MagellanReports.h"
#include "platform/viewer/ViewerPlatform.h"
#include "viewer/engine/constants/ViewerConstants.h"

#include <QPlatformSurfaceEvent>
#include <QPointer>

namespace {

QPointer<MagellanWindow>& current() {
    static QPointer<MagellanWindow> window;
    return window;
}

// Every program that links the 3D-mouse channel gets its window at start-up.
const bool factoryInstalled = [] {
    VnConstants::setStartupWindowFactory(&MagellanWindow::create);
    return true;
}();

} // namespace

MagellanWindow::MagellanWindow() {
    setObjectName(QStringLiteral("MagellanWindow"));
    connect(MagellanReportSource::instance(), &MagellanReportSource::reportReceived, this,
            [this](quint32 vendorId, const QByteArray& report) { handleReport(vendorId, report); });
}

MagellanWindow::~MagellanWindow() {
    if (current() == this) {
        current() = nullptr;
    }
}

MagellanWindow* MagellanWindow::instance() {
    Q_UNUSED(factoryInstalled)
    return current().data();
}

QWindow* MagellanWindow::create() {
    auto* window = new MagellanWindow;
    window->QWindow::create();
    delete current().data();
    current() = window;
    return window;
}

bool MagellanWindow::handleReport(quint32 vendorId, const QByteArray& report) {
    if (vendorId != MagellanReports::VendorId) {
        return false;
    }
    const MagellanReports::Report r = MagellanReports::decode(report);
    switch (r.kind) {
    case MagellanReports::Report::Kind::Move: {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        // The first motion, or a clock that went back, covers no time.
        const qint64 period = m_lastMotion.isValid() ? qMax<qint64>(0, m_lastMotion.msecsTo(now)) : 0;
        m_lastMotion = now;
        emit gotMove(r.axes[0], r.axes[1], r.axes[2], r.axes[3], r.axes[4], r.axes[5],
                     ulong(qMin<qint64>(period, 0xFFFFFFFF)));
        return true;
    }
    case MagellanReports::Report::Kind::Keys:
        emit gotKeys(r.keys);
        return true;
    case MagellanReports::Report::Kind::None:
        break;
    }
    return false;
}

bool MagellanWindow::event(QEvent* event) {
    if (event->type() == QEvent::PlatformSurface &&
        static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType() ==
            QPlatformSurfaceEvent::SurfaceCreated) {
        ViewerPlatform::Interface* platform = ViewerPlatform::instance();
        if (platform->available(ViewerPlatform::Feature::RawInput)) {
            platform->registerMultiAxisInput(platform->nativeHandle(this));
        } else {
            MagellanReportSource::instance()->openDevices();
        }
    }
    return QWindow::event(event);
}

bool MagellanWindow::nativeEvent(const QByteArray& eventType, void* message, long* result) {
    ViewerPlatform::RawHidReport report;
    if (ViewerPlatform::instance()->readRawInput(eventType, message, &report) &&
        handleReport(report.vendorId, report.data)) {
        if (result) {
            *result = 0;
        }
        return true;
    }
    return QWindow::nativeEvent(eventType, message, result);
}
