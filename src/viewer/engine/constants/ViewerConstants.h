#pragma once

#include <QEvent>
#include <QMap>
#include <QMessageBox>
#include <QString>

class QWindow;

// Constants shared by the session engine and the session windows. They are created before main()
// runs and never change afterwards.
namespace VnConstants {

// Preference keys of the session settings.
extern const QString BandwidthThrottleAdjustKey;
extern const QString AutoResizeKey;
extern const QString BigBlockImageFormatKey;
extern const QString BigBlockMinimumSizeKey;
extern const QString CaptureKeysKey;
extern const QString CommandSendsAltKey;
extern const QString CompressionKey;
extern const QString DpiKey;
extern const QString DrawImmediatelyKey;
extern const QString FrameAcknowledgeWindowKey;
extern const QString FpsLimitKey;
extern const QString FullScreenToCurrentMonitorKey;
extern const QString HandlePrimarySelectionKey;
extern const QString HighQualityUpgradesKey;
extern const QString MouseQuantumKey; // also the key of a network preset
extern const QString NetworkTypeKey;
extern const QString NetworkTypesKey; // also the connect-information key
extern const QString ScalingFactorKey;
extern const QString SendCommandKeyKey;
extern const QString SmallBlockImageFormatKey;

// Side-channel names, in the order the session controller requests them.
extern const QString MultiWindowChannelName;
extern const QString ClipboardChannelName;
extern const QString MagellanChannelName;
extern const QString DiagnosticsChannelName;
extern const QString ClientCommChannelName;

// Client-communication type names.
extern const QString ShareTypeName;
extern const QString NotifyTypeName;
extern const QString UrlTypeName;

// Version sent in the share listener's hello.
extern const QString ShareProtocolVersion;

// MIME type of the clipboard's text format.
extern const char ClipboardMimeType[];

// Button names of a server notification mapped to dialog buttons.
const QMap<QString, QMessageBox::StandardButton>& notificationButtons();

// Type of the events that carry a surface view's image hand-over; registered once at start-up.
QEvent::Type surfaceImageEventType();

// The process's one 3D-mouse window. A factory installed here before the application object is
// constructed is called once the event loop runs; the window it returns is deleted when the
// application is about to quit. A process without a QGuiApplication never calls it.
using StartupWindowFactory = QWindow* (*)();
void setStartupWindowFactory(StartupWindowFactory factory);
QWindow* startupWindow();

} // namespace VnConstants
