#include "viewer/engine/constants/ViewerConstants.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>
#include <QWindow>

namespace VnConstants {

const QString BandwidthThrottleAdjustKey = QStringLiteral("BandwidthThrottleAdjust");
const QString AutoResizeKey = QStringLiteral("AutoResize");
const QString BigBlockImageFormatKey = QStringLiteral("BigBlockImageFormat");
const QString BigBlockMinimumSizeKey = QStringLiteral("BigBlockMinimumSize");
const QString CaptureKeysKey = QStringLiteral("CaptureKeys");
const QString CommandSendsAltKey = QStringLiteral("CommandSendsAlt");
const QString CompressionKey = QStringLiteral("Compression");
const QString DpiKey = QStringLiteral("DPI");
const QString DrawImmediatelyKey = QStringLiteral("DrawImmediately");
const QString FrameAcknowledgeWindowKey = QStringLiteral("FrameAcknowledgeWindow");
const QString FpsLimitKey = QStringLiteral("FPSLimit");
const QString FullScreenToCurrentMonitorKey = QStringLiteral("FullScreenToCurrentMonitor");
const QString HandlePrimarySelectionKey = QStringLiteral("HandlePrimarySelection");
const QString HighQualityUpgradesKey = QStringLiteral("HighQualityUpgrades");
const QString MouseQuantumKey = QStringLiteral("MouseQuantum");
const QString NetworkTypeKey = QStringLiteral("NetworkType");
const QString NetworkTypesKey = QStringLiteral("NetworkTypes");
const QString ScalingFactorKey = QStringLiteral("ScalingFactor");
const QString SendCommandKeyKey = QStringLiteral("SendCommandKey");
const QString SmallBlockImageFormatKey = QStringLiteral("SmallBlockImageFormat");

const QString MultiWindowChannelName = QStringLiteral("multiwindow");
const QString ClipboardChannelName = QStringLiteral("clipboard");
const QString MagellanChannelName = QStringLiteral("magellan");
const QString DiagnosticsChannelName = QStringLiteral("diagnostics");
const QString ClientCommChannelName = QStringLiteral("clientcomm");

const QString ShareTypeName = QStringLiteral("vn-share");
const QString NotifyTypeName = QStringLiteral("vn-notify");
const QString UrlTypeName = QStringLiteral("vn-url");

const QString ShareProtocolVersion = QStringLiteral("1.0");

const char ClipboardMimeType[] = "text/plain";

namespace {

const QEvent::Type imageEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

// Function-local statics: another translation unit may install its factory during its own static
// initialisation, before or after this one runs.
StartupWindowFactory& factorySlot() {
    static StartupWindowFactory factory = nullptr;
    return factory;
}

QPointer<QWindow>& windowSlot() {
    static QPointer<QWindow> window;
    return window;
}

void startupRoutine() {
    // A window needs a GUI application; tools and tests that run a QCoreApplication get none.
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app) {
        return;
    }
    QTimer::singleShot(0, app, [] {
        StartupWindowFactory factory = factorySlot();
        if (!factory) {
            return;
        }
        delete windowSlot().data();
        windowSlot() = factory();
    });
    QObject::connect(
        app, &QCoreApplication::aboutToQuit, app,
        [] {
            delete windowSlot().data();
            windowSlot() = nullptr;
        },
        Qt::DirectConnection);
}

struct StartupRegistration {
    StartupRegistration() { qAddPreRoutine(startupRoutine); }
};
const StartupRegistration startupRegistration;

} // namespace

const QMap<QString, QMessageBox::StandardButton>& notificationButtons() {
    static const QMap<QString, QMessageBox::StandardButton> buttons{
        {QStringLiteral("ok"), QMessageBox::Ok},
        {QStringLiteral("open"), QMessageBox::Open},
        {QStringLiteral("save"), QMessageBox::Save},
        {QStringLiteral("cancel"), QMessageBox::Cancel},
        {QStringLiteral("close"), QMessageBox::Close},
        {QStringLiteral("discard"), QMessageBox::Discard},
        {QStringLiteral("apply"), QMessageBox::Apply},
        {QStringLiteral("reset"), QMessageBox::Reset},
        {QStringLiteral("restoredefaults"), QMessageBox::RestoreDefaults},
        {QStringLiteral("help"), QMessageBox::Help},
        {QStringLiteral("saveall"), QMessageBox::SaveAll},
        {QStringLiteral("yes"), QMessageBox::Yes},
        {QStringLiteral("yestoall"), QMessageBox::YesToAll},
        {QStringLiteral("no"), QMessageBox::No},
        {QStringLiteral("notoall"), QMessageBox::NoToAll},
        {QStringLiteral("abort"), QMessageBox::Abort},
        {QStringLiteral("retry"), QMessageBox::Retry},
        {QStringLiteral("ignore"), QMessageBox::Ignore},
    };
    return buttons;
}

QEvent::Type surfaceImageEventType() {
    return imageEventType;
}

void setStartupWindowFactory(StartupWindowFactory factory) {
    factorySlot() = factory;
}

QWindow* startupWindow() {
    return windowSlot().data();
}

} // namespace VnConstants
