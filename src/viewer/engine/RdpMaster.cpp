#include "viewer/engine/RdpMaster.h"

#include "viewer/engine/RdpInstance.h"
#include "viewer/engine/VnCcShare.h"
#include "viewer/engine/VnClientCommChannel.h"
#include "viewer/engine/VnClipboardChannel.h"
#include "viewer/engine/VnDiagnosticsChannel.h"
#include "viewer/engine/VnDiagnosticsWindow.h"
#include "viewer/engine/VnMagellanChannel.h"
#include "viewer/engine/constants/ViewerConstants.h"
#include "viewer/widgets/KeyboardLayout.h"
#include "viewer/widgets/RdpBasic.h"
#include "viewer/widgets/RdpLogDialog.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpPreferences.h"
#include "viewer/widgets/RdpWidget.h"
#include "viewer/widgets/RdpWidgetDesktopCaddy.h"

#include <QGuiApplication>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>
#include <QWidget>

#include <cmath>
#include <utility>

namespace {

Q_LOGGING_CATEGORY(lcMaster, "velnor.session")

const QString kAutodetect = QStringLiteral("Autodetect");
const QString kRootless = QStringLiteral("rootless");
const QString kFullscreen = QStringLiteral("fullscreen");

// Stands in for a side channel whose own class is not part of this build: the channel is open and
// everything the server sends on it is dropped.
class RdpUnservedChannel : public QObject, public Protocol::Channel {
public:
    RdpUnservedChannel(std::string name, Protocol::Byte number, QObject* parent)
        : QObject(parent)
        , Protocol::Channel(std::move(name), number) {}
    void receive(std::vector<std::uint8_t>) override {}
};

// Two non-zero decimal integers joined by "x", each a usable surface side (1..65535).
bool parseSize(const QString& text, QSize& size) {
    const QStringList parts = text.split(QLatin1Char('x'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() != 2) {
        return false;
    }
    bool widthOk = false;
    bool heightOk = false;
    const int width = parts.at(0).toInt(&widthOk, 10);
    const int height = parts.at(1).toInt(&heightOk, 10);
    if (!widthOk || !heightOk || width < 1 || height < 1 || width > 65535 || height > 65535) {
        return false;
    }
    size = QSize(width, height);
    return true;
}

// The share listener of an open client-communication channel, or null.
VnCcShare* shareListener(const std::shared_ptr<VnClientCommChannel>& channel) {
    return channel ? qobject_cast<VnCcShare*>(channel->listener(VnConstants::ShareTypeName)) : nullptr;
}

} // namespace

RdpMaster::RdpMaster(const QList<QNetworkRequest>& requests, const QNetworkProxy& proxy,
                     const QString& displayName, const QString& password, const QString& geometry,
                     const QString& windowTitle, bool startFullScreen, const QString& sessionId,
                     const QString& realHost, QObject* parent)
    : QObject(parent)
    , m_sessionId(sessionId)
    , m_realHost(realHost)
    , m_displayName(displayName)
    , m_state(std::make_shared<SurfaceState>()) {
    registerRdpClientMetaTypes();
    qRegisterMetaType<QSet<Protocol::Byte>>();
    m_state->master = this;

    loadSettings();

    m_startFullScreen = startFullScreen;
    // The input object is also the view of surface 0.
    m_basic = new RdpBasic(this, this);
    m_mainView = m_basic;

    applyGeometry(geometry);

    m_windowTitle = windowTitle;
    m_widgetList = new RdpWidgetList(this);

    if (!qEnvironmentVariableIsEmpty("VELNOR_ENABLE_SESSION_LOGGING")) {
        m_logDialog = new RdpLogDialog(nullptr);
        m_logDialog->setWindowTitle(tr("%1 Log").arg(m_windowTitle));
        m_logDialog->show();
        m_logDialog->activateWindow();
    }

    m_diagnosticsWindow = createDiagnosticsWindow();
    m_diagnosticsWindow->resize(800, 600);

    m_connection = new VnServerConnection(QStringLiteral("Velnor"), m_displayName, password.toUtf8(), proxy);

    connect(m_connection, &VnServerConnection::connected, this,
            &RdpMaster::handleConnectFinishFromServerConnection, Qt::QueuedConnection);
    connect(m_connection, &VnServerConnection::finished, this, &RdpMaster::handleDisconnect,
            Qt::QueuedConnection);
    {
        // Runs on the network thread. It holds the shared state, not the controller, so a frame being
        // applied while the controller goes keeps its mutex and surfaces alive.
        std::shared_ptr<SurfaceState> state = m_state;
        VnServerConnection* connection = m_connection;
        connect(
            m_connection, &VnServerConnection::gotFrameEnd, m_connection,
            [state, connection] {
                QMutexLocker lock(&state->mutex);
                connection->applyCommands(state->surfaces, state->pendingChanges);
                // Still under the mutex: the controller cannot finish stopping before this returns.
                if (state->master) {
                    emit state->master->commandsUpdated();
                }
            },
            Qt::DirectConnection);
    }
    connect(m_connection, &VnServerConnection::supportedCodecsChanged, this,
            &RdpMaster::handleSupportedCodecs, Qt::QueuedConnection);
    connect(this, &RdpMaster::commandsUpdated, this, &RdpMaster::handleCommandsUpdated);
    connect(m_connection, &VnServerConnection::enteredMainSequence, this,
            &RdpMaster::handleEnteredMainSequence, Qt::QueuedConnection);
    connectSettingReports();
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::focusObjectChanged, this, &RdpMaster::handleFocusObjectChange);
    }

    m_networkThread = new QThread;
    m_networkThread->setObjectName(QStringLiteral("VnNetwork"));
    {
        VnServerConnection* connection = m_connection;
        const QList<QNetworkRequest> candidates = requests;
        connect(
            m_networkThread, &QThread::started, m_connection,
            [connection, candidates] { connection->connectToServer(candidates); }, Qt::DirectConnection);
    }
    m_connection->moveToThread(m_networkThread);
    m_networkThread->start(QThread::InheritPriority);

    applyNetworkType();
}

RdpMaster::~RdpMaster() {
    stop();
    delete m_logDialog;
    m_logDialog = nullptr;
    delete m_widgetList;
    m_widgetList = nullptr;
    delete m_basic;
    m_basic = nullptr;
    m_mainView = nullptr;
    // The diagnostics window has no parent; it goes with its session.
    delete m_diagnosticsWindow.data();
}

void RdpMaster::stop() {
    if (!m_connection) {
        return;
    }
    VnServerConnection* connection = m_connection;
    QThread* thread = m_networkThread;
    m_connection = nullptr;
    m_networkThread = nullptr;

    if (m_mainView) {
        m_mainView->detach();
    }
    disconnect(connection, nullptr, this, nullptr);
    if (m_basic) {
        disconnect(connection, nullptr, m_basic, nullptr);
    }
    if (auto* app = QCoreApplication::instance()) {
        disconnect(app, nullptr, this, nullptr);
    }

    // Called from a slot of the fan-out (or under a read lock), this thread holds the mutex already.
    const bool inFanOut = m_state->reader.load() == QThread::currentThread();
    if (inFanOut) {
        m_state->master = nullptr;
    } else {
        QMutexLocker lock(&m_state->mutex);
        m_state->master = nullptr;
    }

    connect(thread, &QThread::finished, connection, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->quit();
    // A frame end waiting for the mutex held by this thread's fan-out cannot finish now; the shared state
    // keeps everything it needs, so only the other case waits.
    if (!inFanOut && !thread->wait(NetworkThreadStopMs)) {
        qCWarning(lcMaster) << "The network thread did not stop in time; it finishes on its own";
    }
}

// ---- settings ------------------------------------------------------------------------------------------

void RdpMaster::loadSettings() {
    using namespace VnConstants;
    auto server = [this](const QString& key, const QVariant& defaultValue) {
        return readServerPreference(m_realHost, key, defaultValue);
    };
    m_scalingFactor = exactZoomFactor(server(ScalingFactorKey, 1.0).toDouble());
    m_networkType = server(NetworkTypeKey, kAutodetect).toString();
    m_adjustsAutomatically = server(BandwidthThrottleAdjustKey, true).toBool();
    m_compressionLevel = qBound(1, server(CompressionKey, 5).toInt(), 5);
    m_smallBlockImageFormat = uchar(qBound(2, server(SmallBlockImageFormatKey, 3).toInt(), 7));
    m_bigBlockImageFormat = uchar(qBound(2, server(BigBlockImageFormatKey, 3).toInt(), 7));
    m_bigBlockMinimumSize = qBound(64, server(BigBlockMinimumSizeKey, 64).toInt(), 1024);
    m_framePerSecond = qBound(1, server(FpsLimitKey, 30).toInt(), 60);
    m_frameWindowSize = qBound(1, server(FrameAcknowledgeWindowKey, 2).toInt(), 60);
    m_mouseQuantum = qBound(0, server(MouseQuantumKey, 50).toInt(), 500);
    m_dpi = server(DpiKey, 0).toInt();
    m_drawImmediately = server(DrawImmediatelyKey, false).toBool();
    m_highQualityUpgrades = server(HighQualityUpgradesKey, true).toBool();
    m_fullScreensOnCurrentMonitor = readGlobalPreference(FullScreenToCurrentMonitorKey, true).toBool();
    m_capturesKeys = readGlobalPreference(CaptureKeysKey, true).toBool();
    m_handlePrimarySelection = readGlobalPreference(HandlePrimarySelectionKey, true).toBool();
    m_autoResize = readGlobalPreference(AutoResizeKey, true).toBool();
    m_sendCommandKey = readGlobalPreference(SendCommandKeyKey, false).toBool();
    m_commandSendsAlt = readGlobalPreference(CommandSendsAltKey, false).toBool();
    m_networkTypes = QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("Custom")},
                                            {QStringLiteral("BandwidthThrottleAdjust"), false}}};
    KeyboardRecord keyboard;
    readKeyboardLayout(keyboard);
    m_keyboardLayout = keyboard.layout;
    m_keyboardType = keyboard.type;
}

void RdpMaster::applyGeometry(const QString& geometry) {
    if (geometry == kRootless) {
        m_isSingleApplication = true;
        m_defaultViewSize = m_mainView->surfaceSize();
        return;
    }
    const QRect screen = mapRectToServer(primaryScreenGeometry(), false, m_scalingFactor);
    QSize size;
    if (geometry == kFullscreen) {
        size = screen.size();
    } else if (!parseSize(geometry, size)) {
        size = QSize(int(screen.width() * 0.8), int(screen.height() * 0.8));
    }
    // Never a surface the server cannot have, whatever the screen reports.
    size = QSize(qBound(1, size.width(), 65535), qBound(1, size.height(), 65535));
    m_defaultViewSize = size;
    m_mainView->setDefaultSize(size);
}

void RdpMaster::postToConnection(std::function<void(VnServerConnection&)> f) const {
    VnServerConnection* connection = m_connection;
    if (!connection) {
        return;
    }
    QMetaObject::invokeMethod(
        connection, [connection, f = std::move(f)] { f(*connection); }, Qt::QueuedConnection);
}

void RdpMaster::setScalingFactor(double factor) {
    if (!isValidScalingFactor(factor)) {
        return;
    }
    // Only the table's factors can be shown and remembered alike.
    factor = nearestZoomFactor(factor);
    if (factor == m_scalingFactor) {
        return;
    }
    m_scalingFactor = factor;
    writeServerPreference(m_realHost, VnConstants::ScalingFactorKey, roundedZoomFactor(factor));
    emit scalingFactorChanged(factor);
}

void RdpMaster::setNetworkTypes(const QJsonArray& types) {
    QJsonArray list = types;
    list.append(QJsonObject{{QStringLiteral("name"), QStringLiteral("Custom")}});
    m_networkTypes = list;
    emit networkTypesChanged(m_networkTypes);
    applyNetworkType();
}

void RdpMaster::setNetworkType(const QString& id) {
    if (id == m_networkType) {
        return;
    }
    m_networkType = id;
    writeServerPreference(m_realHost, VnConstants::NetworkTypeKey, id);
    applyNetworkType();
    emit networkTypeChanged(id);
}

void RdpMaster::applyNetworkType() {
    QJsonObject preset;
    bool found = false;
    for (const QJsonValue& value : qAsConst(m_networkTypes)) {
        const QJsonObject object = value.toObject();
        if (object.value(QStringLiteral("_id")).toString() == m_networkType &&
            object.contains(QStringLiteral("_id"))) {
            preset = object;
            found = true;
            break;
        }
    }
    if (!found) {
        return;
    }
    auto number = [&preset](const char* key, double& out) {
        const QJsonValue value = preset.value(QLatin1String(key));
        if (!value.isDouble() || !std::isfinite(value.toDouble())) {
            return false;
        }
        out = value.toDouble();
        return true;
    };
    auto boolean = [&preset](const char* key, bool& out) {
        const QJsonValue value = preset.value(QLatin1String(key));
        if (!value.isBool()) {
            return false;
        }
        out = value.toBool();
        return true;
    };
    // Numbers from a preset become ints only inside the int range.
    auto toInt = [](double value) { return int(qBound(-2147483648.0, value, 2147483647.0)); };
    auto isByte = [](double value) { return value >= 0 && value <= 255; };

    bool flag = false;
    double value = 0;
    if (boolean("automaticAdjust", flag)) {
        setAdjustsAutomatically(flag, false);
    }
    if (number("compression", value)) {
        setCompressionLevel(toInt(value), false);
    }
    if (number("frameRate", value)) {
        setFramePerSecond(toInt(value), false);
    }
    if (number("frameWindow", value)) {
        setFrameWindowSize(toInt(value), false);
    }
    if (number("MouseQuantum", value)) {
        setMouseQuantum(toInt(value));
    }
    if (number("dpi", value)) {
        setDpi(toInt(value));
    }
    if (number("bigBlockImageFormat", value) && isByte(value)) {
        setBigBlockImageFormat(uchar(value), true);
    }
    if (number("smallBlockImageFormat", value) && isByte(value)) {
        setSmallBlockImageFormat(uchar(value), true);
    }
    const QJsonValue minimumSize = preset.value(QStringLiteral("bigBlockMinimumSize"));
    if (minimumSize.isString()) {
        const QStringList parts = minimumSize.toString().split(QLatin1Char('x'));
        bool widthOk = false;
        bool heightOk = false;
        const int width = parts.size() == 2 ? parts.at(0).toInt(&widthOk, 10) : 0;
        const int height = parts.size() == 2 ? parts.at(1).toInt(&heightOk, 10) : 0;
        if (widthOk && heightOk) {
            setBigBlockMinimumSize(width, height, true);
        }
    }
    if (boolean("ignoreFrame", flag) && flag != m_drawImmediately) {
        m_drawImmediately = flag;
        writeServerPreference(m_realHost, VnConstants::DrawImmediatelyKey, flag);
        postToConnection([flag](VnServerConnection& c) { c.setIgnoreFrame(flag); });
        emit drawImmediatelyChanged(flag);
    }
    if (boolean("highQualityUpgrades", flag)) {
        setHighQualityUpgrades(flag, true);
    }
    // A scale of zero or below would make an infinite or negative factor: such a preset keeps the factor.
    if (number("scaling", value) && value > 0) {
        const double factor = nearestZoomFactor(1.0 / value);
        if (isValidScalingFactor(1.0 / value) && factor != m_scalingFactor) {
            m_scalingFactor = factor;
            writeServerPreference(m_realHost, VnConstants::ScalingFactorKey, roundedZoomFactor(factor));
            emit scalingFactorChanged(factor);
        }
    }

    const quint8 adjust = m_adjustsAutomatically ? 1 : 0;
    const quint8 compression = quint8(m_compressionLevel);
    const quint8 rate = quint8(m_framePerSecond);
    const quint8 window = quint8(m_frameWindowSize);
    postToConnection(
        [=](VnServerConnection& c) { c.sendQualitySettings(adjust, compression, rate, window); });
}

void RdpMaster::setAdjustsAutomatically(bool on, bool send) {
    if (on == m_adjustsAutomatically) {
        return;
    }
    m_adjustsAutomatically = on;
    writeServerPreference(m_realHost, VnConstants::BandwidthThrottleAdjustKey, on);
    if (send) {
        postToConnection([on](VnServerConnection& c) { c.sendAutomaticAdjustSetting(on ? 1 : 0); });
    }
    emit adjustsAutomaticallyChanged(on);
}

void RdpMaster::setCompressionLevel(int level, bool send) {
    level = qBound(0, level, 7);
    if (level == m_compressionLevel) {
        return;
    }
    m_compressionLevel = level;
    writeServerPreference(m_realHost, VnConstants::CompressionKey, level);
    if (send) {
        postToConnection([level](VnServerConnection& c) { c.sendCompressionSetting(quint8(level)); });
    }
    emit compressionLevelChanged(level);
}

void RdpMaster::setSmallBlockImageFormat(uchar codec, bool send) {
    if (codec == m_smallBlockImageFormat) {
        return;
    }
    m_smallBlockImageFormat = codec;
    writeServerPreference(m_realHost, VnConstants::SmallBlockImageFormatKey, int(codec));
    if (send) {
        postToConnection([codec](VnServerConnection& c) { c.sendSmallBlockImageFormatSetting(codec); });
    }
    emit smallBlockImageFormatChanged(codec);
}

void RdpMaster::setBigBlockImageFormat(uchar codec, bool send) {
    if (codec == m_bigBlockImageFormat) {
        return;
    }
    m_bigBlockImageFormat = codec;
    writeServerPreference(m_realHost, VnConstants::BigBlockImageFormatKey, int(codec));
    if (send) {
        postToConnection([codec](VnServerConnection& c) { c.sendBigBlockImageFormatSetting(codec); });
    }
    emit bigBlockImageFormatChanged(codec);
}

void RdpMaster::setBigBlockMinimumSize(int width, int, bool send) {
    // The wire carries 16 bits; a wider value would arrive truncated.
    width = qBound(0, width, 65535);
    if (width == m_bigBlockMinimumSize) {
        return;
    }
    m_bigBlockMinimumSize = width;
    writeServerPreference(m_realHost, VnConstants::BigBlockMinimumSizeKey, width);
    if (send) {
        postToConnection([width](VnServerConnection& c) {
            c.sendBigBlockMinimumSizeSetting(quint16(width), quint16(width));
        });
    }
    emit bigBlockMinimumSizeChanged(width, width);
}

void RdpMaster::setFramePerSecond(int fps, bool send) {
    fps = qBound(1, fps, 60);
    if (fps == m_framePerSecond) {
        return;
    }
    m_framePerSecond = fps;
    writeServerPreference(m_realHost, VnConstants::FpsLimitKey, fps);
    if (send) {
        postToConnection([fps](VnServerConnection& c) { c.sendFrameRateSetting(quint8(fps)); });
    }
    emit framesPerSecondChanged(fps);
}

void RdpMaster::setFrameWindowSize(int frames, bool send) {
    frames = qBound(1, frames, 60);
    if (frames == m_frameWindowSize) {
        return;
    }
    m_frameWindowSize = frames;
    writeServerPreference(m_realHost, VnConstants::FrameAcknowledgeWindowKey, frames);
    if (send) {
        postToConnection([frames](VnServerConnection& c) { c.sendFrameWindowSetting(quint8(frames)); });
    }
    emit frameWindowSizeChanged(frames);
}

void RdpMaster::setMouseQuantum(int msecs) {
    msecs = qBound(0, msecs, 500);
    if (msecs == m_mouseQuantum) {
        return;
    }
    m_mouseQuantum = msecs;
    writeServerPreference(m_realHost, VnConstants::MouseQuantumKey, msecs);
    emit mouseQuantumChanged(msecs);
}

void RdpMaster::setDpi(int dpi) {
    if (dpi == m_dpi) {
        return;
    }
    m_dpi = dpi;
    writeServerPreference(m_realHost, VnConstants::DpiKey, dpi);
    emit dpiChanged(dpi);
}

void RdpMaster::setDrawImmediately(bool on) {
    if (on == m_drawImmediately) {
        return;
    }
    m_drawImmediately = on;
    writeServerPreference(m_realHost, VnConstants::DrawImmediatelyKey, on);
    postToConnection([on](VnServerConnection& c) { c.setIgnoreFrame(on); });
}

void RdpMaster::setHighQualityUpgrades(bool on, bool send) {
    if (on == m_highQualityUpgrades) {
        return;
    }
    m_highQualityUpgrades = on;
    writeServerPreference(m_realHost, VnConstants::HighQualityUpgradesKey, on);
    if (send) {
        postToConnection([on](VnServerConnection& c) { c.sendHighQualityUpgradesSetting(on ? 1 : 0); });
    }
    emit highQualityUpgradesChanged(on);
}

#define VN_GLOBAL_SETTER(Setter, member, Key, signal)                                                        \
    void RdpMaster::Setter(bool on) {                                                                        \
        if (on == member) {                                                                                  \
            return;                                                                                          \
        }                                                                                                    \
        member = on;                                                                                         \
        writeGlobalPreference(VnConstants::Key, on);                                                         \
        emit signal(on);                                                                                     \
    }

VN_GLOBAL_SETTER(setFullScreensOnCurrentMonitor, m_fullScreensOnCurrentMonitor, FullScreenToCurrentMonitorKey,
                 fullScreensOnCurrentMonitorChanged)
VN_GLOBAL_SETTER(setCapturesKeys, m_capturesKeys, CaptureKeysKey, capturesKeysChanged)
VN_GLOBAL_SETTER(setSendCommandKey, m_sendCommandKey, SendCommandKeyKey, sendCommandKeyChanged)
VN_GLOBAL_SETTER(setCommandSendsAlt, m_commandSendsAlt, CommandSendsAltKey, commandSendsAltChanged)
VN_GLOBAL_SETTER(setHandlePrimarySelection, m_handlePrimarySelection, HandlePrimarySelectionKey,
                 handlePrimarySelectionChanged)
VN_GLOBAL_SETTER(setAutoResize, m_autoResize, AutoResizeKey, autoResizeChanged)

#undef VN_GLOBAL_SETTER

void RdpMaster::setCursorPos(QPoint pos) {
    if (pos == m_cursorPos) {
        return;
    }
    m_cursorPos = pos;
    emit cursorPosChanged(pos);
}

void RdpMaster::setCursorDown(bool down) {
    if (down == m_cursorDown) {
        return;
    }
    m_cursorDown = down;
    emit cursorDownChanged(down);
}

void RdpMaster::setKeyboard(quint32 layout, quint32 type) {
    m_keyboardLayout = layout;
    m_keyboardType = type;
}

// ---- session -------------------------------------------------------------------------------------------

void RdpMaster::handleConnectFinishFromServerConnection() {
    // Once per session: a second report would open a second desktop window that no registry holds.
    if (!m_connection || m_connected) {
        return;
    }
    if (!m_isSingleApplication) {
        createDesktopWindow();
    }
    m_connected = true;
    emit connectedChanged(true);
}

void RdpMaster::handleConnectFinishFromTransportLoop() {
    handleConnectFinishFromServerConnection();
}

void RdpMaster::createDesktopWindow() {
    auto* window = new RdpWidgetDesktopCaddy(this, 1, m_startFullScreen);
    window->setWindowTitle(m_windowTitle);
    window->show();
    window->activateWindow();
    m_widgetList->addWidget(window);
}

QWidget* RdpMaster::createDiagnosticsWindow() {
    return new VnDiagnosticsWindow(nullptr);
}

void RdpMaster::handleDisconnect(QString reason, uchar level) {
    emit finished(reason, level);
}

void RdpMaster::handleEnteredMainSequence() {
    VnServerConnection* c = m_connection;
    if (!c) {
        return;
    }
    if (!m_settingsWired) {
        m_settingsWired = true;
        connect(c, &VnServerConnection::channelOpened, this, &RdpMaster::handleChannelOpened);
    }
    pushSettings();
    m_inMainSequence = true;
    if (m_pendingDesktopSize) {
        const auto [size, sizeMM] = *m_pendingDesktopSize;
        m_pendingDesktopSize.reset();
        if (sizeMM.isValid()) {
            resizeDesktop(size, sizeMM);
        } else {
            resizeDesktop(size);
        }
    }
    requestChannels();
}

// The server's values come with the report of the main sequence, in the same call on the network
// thread, so these are connected before the thread starts. Queued, they arrive after the main sequence
// has been handled and go through the setters without being sent back.
void RdpMaster::connectSettingReports() {
    VnServerConnection* c = m_connection;
    connect(
        c, &VnServerConnection::gotAutomaticAdjustSetting, this,
        [this](bool on) { setAdjustsAutomatically(on, false); }, Qt::QueuedConnection);
    connect(
        c, &VnServerConnection::gotCompressionSetting, this,
        [this](uchar value, uchar, uchar) { setCompressionLevel(value, false); }, Qt::QueuedConnection);
    connect(
        c, &VnServerConnection::gotSmallBlockImageFormatSetting, this,
        [this](uchar codec) { setSmallBlockImageFormat(codec, false); }, Qt::QueuedConnection);
    connect(
        c, &VnServerConnection::gotBigBlockImageFormatSetting, this,
        [this](uchar codec) { setBigBlockImageFormat(codec, false); }, Qt::QueuedConnection);
    connect(
        c, &VnServerConnection::gotBigBlockMinimumSizeSetting, this,
        [this](ushort width, ushort height) { setBigBlockMinimumSize(width, height, false); },
        Qt::QueuedConnection);
    connect(
        c, &VnServerConnection::gotFrameRateSetting, this,
        [this](uchar value, uchar, uchar) { setFramePerSecond(value, false); }, Qt::QueuedConnection);
    connect(
        c, &VnServerConnection::gotFrameWindowSetting, this,
        [this](uchar value, uchar, uchar) { setFrameWindowSize(value, false); }, Qt::QueuedConnection);
    connect(
        c, &VnServerConnection::gotKeyboardSetting, this,
        [this](uint layout, uint type) { setKeyboard(layout, type); }, Qt::QueuedConnection);
    connect(
        c, &VnServerConnection::gotHighQualityUpgradesSetting, this,
        [this](bool on) { setHighQualityUpgrades(on, false); }, Qt::QueuedConnection);
}

void RdpMaster::pushSettings() {
    const quint8 adjust = m_adjustsAutomatically ? 1 : 0;
    const quint8 compression = quint8(qBound(0, m_compressionLevel, 255));
    const quint8 small = m_smallBlockImageFormat;
    const quint8 big = m_bigBlockImageFormat;
    const quint16 minimum = quint16(qBound(0, m_bigBlockMinimumSize, 65535));
    const quint8 rate = quint8(m_framePerSecond);
    const quint8 window = quint8(m_frameWindowSize);
    const quint32 layout = m_keyboardLayout;
    const quint32 type = m_keyboardType;
    const bool ignoreFrame = m_drawImmediately;
    const quint8 upgrades = m_highQualityUpgrades ? 1 : 0;
    postToConnection([=](VnServerConnection& c) {
        c.sendAutomaticAdjustSetting(adjust);
        c.sendCompressionSetting(compression);
        c.sendSmallBlockImageFormatSetting(small);
        c.sendBigBlockImageFormatSetting(big);
        c.sendBigBlockMinimumSizeSetting(minimum, minimum);
        c.sendFrameRateSetting(rate);
        c.sendFrameWindowSetting(window);
        c.sendKeyboardSetting(layout, type);
        c.setIgnoreFrame(ignoreFrame);
        c.sendHighQualityUpgradesSetting(upgrades);
    });
}

void RdpMaster::requestChannels() {
    using namespace VnConstants;
    QStringList names;
    if (m_isSingleApplication) {
        names << MultiWindowChannelName;
    }
    names << ClipboardChannelName << MagellanChannelName << DiagnosticsChannelName << ClientCommChannelName;
    for (const QString& name : qAsConst(names)) {
        VnServerConnection::ChannelFactory factory = channelFactoryFor(name);
        postToConnection([name, factory](VnServerConnection& c) { c.requestChannel(name, factory); });
    }
}

VnServerConnection::ChannelFactory RdpMaster::channelFactoryFor(const QString& name) {
    // Each channel's own class takes its place here as it is built in.
    if (name == VnConstants::ClipboardChannelName) {
        return VnClipboardChannel::factory(*m_connection, this);
    }
    if (name == VnConstants::ClientCommChannelName) {
        return m_connection->channelFactory<VnClientCommChannel>(thread());
    }
    if (name == VnConstants::DiagnosticsChannelName) {
        // Decoded and kept on the network thread; only the deltas cross to the window.
        return m_connection->channelFactory<VnDiagnosticsChannel>();
    }
    if (name == VnConstants::MagellanChannelName) {
        VnServerConnection::ChannelFactory make = m_connection->channelFactory<VnMagellanChannel>(thread());
        QPointer<RdpMaster> self(this);
        return [make, self](std::string channelName, uchar number) {
            std::shared_ptr<Protocol::Channel> channel = make(std::move(channelName), number);
            if (auto* magellan = dynamic_cast<VnMagellanChannel*>(channel.get())) {
                magellan->setMaster(self.data());
            }
            return channel;
        };
    }
    return m_connection->channelFactory<RdpUnservedChannel>(thread());
}

void RdpMaster::handleChannelOpened(QString name) {
    if (!m_connection) {
        return;
    }
    // Wiring of each channel as it opens: "multiwindow" (per-window mode only) sends its capabilities
    // with an empty list, "clipboard" sends its capabilities, "diagnostics" feeds the diagnostics window,
    // "clientcomm" connects typeEnabled to handleTypeEnabled and announces its types. Channels served by
    // a stand-in have nothing to wire.
    qCDebug(lcMaster) << "Channel opened:" << name;
    if (name == VnConstants::ClipboardChannelName) {
        if (auto clipboard = std::dynamic_pointer_cast<VnClipboardChannel>(m_connection->channel(name))) {
            clipboard->sendCapabilities();
        }
    }
    if (name == VnConstants::ClientCommChannelName) {
        if (const std::shared_ptr<VnClientCommChannel> channel = clientCommChannel()) {
            connect(channel.get(), &VnClientCommChannel::typeEnabled, this, &RdpMaster::handleTypeEnabled,
                    Qt::UniqueConnection);
            channel->announceTypes();
        }
    }
    if (name == VnConstants::DiagnosticsChannelName) {
        auto channel = std::dynamic_pointer_cast<VnDiagnosticsChannel>(m_connection->channel(name));
        auto* window = qobject_cast<VnDiagnosticsWindow*>(m_diagnosticsWindow.data());
        if (channel && window) {
            connectDiagnosticsWindow(channel.get(), window);
        }
    }
}

void RdpMaster::handleTypeEnabled(QString type) {
    if (type != VnConstants::ShareTypeName) {
        return;
    }
    const std::shared_ptr<VnClientCommChannel> channel = clientCommChannel(); // keeps the listener alive
    if (VnCcShare* share = shareListener(channel)) {
        connect(share, &VnCcShare::hello, this, &RdpMaster::shareHello, Qt::UniqueConnection);
        connect(share, &VnCcShare::client_notify, this, &RdpMaster::shareClient, Qt::UniqueConnection);
        connect(share, &VnCcShare::me_notify, this, &RdpMaster::shareMe, Qt::UniqueConnection);
        connect(share, &VnCcShare::message_notify, this, &RdpMaster::shareMessage, Qt::UniqueConnection);
    }
    emit shareEnabledChanged(true);
}

std::shared_ptr<VnClientCommChannel> RdpMaster::clientCommChannel() const {
    if (!m_connection) {
        return {};
    }
    return std::dynamic_pointer_cast<VnClientCommChannel>(
        m_connection->channel(VnConstants::ClientCommChannelName));
}

void RdpMaster::handleSupportedCodecs(QSet<Protocol::Byte> codecs) {
    m_supportedCodecs = codecs;
    emit supportedCodecsChanged(codecs);
}

void RdpMaster::handleFocusObjectChange(QObject* object) {
    const auto* widget = qobject_cast<RdpWidget*>(object);
    const bool focus = widget && widget->masterObject() == this;
    if (focus == m_focus) {
        return;
    }
    m_focus = focus;
    emit focusChanged(focus);
}

// ---- participants --------------------------------------------------------------------------------------

void RdpMaster::shareHello(QString client, QString role, QString login, QString version) {
    Q_UNUSED(version)
    m_clientMe.client = client;
    m_clientMe.role = role;
    m_clientMe.login = login;
    emit clientMeChanged(m_clientMe);
}

void RdpMaster::shareMe(QJsonObject me) {
    m_clientMe.client = me.value(QStringLiteral("client")).toString();
    m_clientMe.role = me.value(QStringLiteral("role")).toString();
    m_clientMe.version = me.value(QStringLiteral("version")).toString();
    m_clientMe.name = me.value(QStringLiteral("name")).toString();
    m_clientMe.login = me.value(QStringLiteral("login")).toString();
    m_clientMe.status = me.value(QStringLiteral("status")).toString();
    emit clientMeChanged(m_clientMe);
}

void RdpMaster::shareClient(QJsonArray clients) {
    m_clients.clear();
    for (const QJsonValue& value : qAsConst(clients)) {
        const QJsonObject object = value.toObject();
        const QJsonValue id = object.value(QStringLiteral("client"));
        if (!id.isString() || id.toString().isEmpty()) {
            continue;
        }
        RdpClient client;
        client.client = id.toString();
        client.role = object.value(QStringLiteral("role")).toString();
        client.status = object.value(QStringLiteral("status")).toString();
        client.name = object.value(QStringLiteral("name")).toString();
        client.login = object.value(QStringLiteral("login")).toString();
        client.version = object.value(QStringLiteral("version")).toString();
        m_clients.append(client);
    }
    emit clientsChanged(m_clients);
}

void RdpMaster::shareMessage(QString, QJsonValue) {}

// Share commands go through the "vn-share" listener of the open client-communication channel; without
// it they do nothing.
void RdpMaster::sendHello(QString name) {
    const std::shared_ptr<VnClientCommChannel> channel = clientCommChannel(); // keeps the listener alive
    if (VnCcShare* share = shareListener(channel)) {
        share->sendHello(name);
    }
}
void RdpMaster::renameClient(QString id, QString name) {
    updateClient(id, QString(), QString(), name);
}
void RdpMaster::updateClient(QString id, QString status, QString role, QString name) {
    const std::shared_ptr<VnClientCommChannel> channel = clientCommChannel(); // keeps the listener alive
    if (VnCcShare* share = shareListener(channel)) {
        share->sendUpdateClient(id, status, role, name);
    }
}
void RdpMaster::kickClient(QString id, QString message) {
    const std::shared_ptr<VnClientCommChannel> channel = clientCommChannel(); // keeps the listener alive
    if (VnCcShare* share = shareListener(channel)) {
        share->sendDisconnect(id, message);
    }
}
void RdpMaster::kickClient(QString id) {
    kickClient(id, QString());
}
void RdpMaster::giveInputToClient(QString id) {
    updateClient(id, QStringLiteral("input"), QString(), QString());
}
void RdpMaster::sendClientToLobby(QString id) {
    updateClient(id, QStringLiteral("lobby"), QString(), QString());
}
void RdpMaster::admitClientFromLobby(QString id) {
    updateClient(id, QStringLiteral("viewing"), QString(), QString());
}

// ---- other methods -------------------------------------------------------------------------------------

void RdpMaster::resizeDesktop(QSize size) {
    if (!m_inMainSequence) {
        m_pendingDesktopSize = std::make_pair(size, QSize());
        return;
    }
    postToConnection([size](VnServerConnection& c) { c.sendGeometrySetting(size); });
}

void RdpMaster::resizeDesktop(QSize size, QSize sizeMM) {
    if (!m_inMainSequence) {
        m_pendingDesktopSize = std::make_pair(size, sizeMM);
        return;
    }
    postToConnection([size, sizeMM](VnServerConnection& c) { c.sendGeometrySetting(size, sizeMM); });
}

void RdpMaster::restoreWindows() {
    if (m_widgetList) {
        m_widgetList->restoreWindows();
    }
}

void RdpMaster::diagnostics() {
    if (m_diagnosticsWindow) {
        m_diagnosticsWindow->show();
    }
}

// ---- surfaces ------------------------------------------------------------------------------------------

const Surface::SurfaceMap& RdpMaster::surfaceMap() const {
    return m_state->surfaces;
}

void RdpMaster::readSurfaces(const std::function<void(const Surface::SurfaceMap&)>& read) const {
    SurfaceReadLock lock(*this);
    read(m_state->surfaces);
}

RdpMaster::SurfaceReadLock::SurfaceReadLock(const RdpMaster& master) {
    if (master.m_state->reader.load() == QThread::currentThread()) {
        return;
    }
    m_locked = master.m_state;
    m_locked->mutex.lock();
    m_locked->reader.store(QThread::currentThread());
}

RdpMaster::SurfaceReadLock::~SurfaceReadLock() {
    if (m_locked) {
        m_locked->reader.store(nullptr);
        m_locked->mutex.unlock();
    }
}

QImage RdpMaster::surfaceImage(int surfaceId) const {
    if (surfaceId < 0) {
        return QImage();
    }
    SurfaceReadLock lock(*this);
    const auto it = m_state->surfaces.find(Surface::SurfaceId(surfaceId));
    return it == m_state->surfaces.end() || !it->second ? QImage() : *it->second;
}

void RdpMaster::handleCommandsUpdated() {
    std::shared_ptr<SurfaceState> state = m_state; // a slot may end the session
    if (state->reader.load() == QThread::currentThread()) {
        // A nested event loop in one of the fan-out's slots delivered another pass. This thread holds the
        // mutex and the outer pass has taken every change, so there is nothing to do (and locking again
        // would deadlock).
        return;
    }
    QMutexLocker lock(&state->mutex);
    state->reader.store(QThread::currentThread());
    Surface::CommandList changes;
    changes.swap(state->pendingChanges);
    for (const Surface::CommandPtr& change : changes) {
        if (state->master != this) {
            break; // stopped by one of the slots
        }
        if (auto* create = dynamic_cast<Surface::CreateCommand*>(change.get())) {
            emit surfaceAttached(int(create->id));
            emit surfaceSizeChanged(int(create->id), create->size);
        } else if (auto* resize = dynamic_cast<Surface::ResizeCommand*>(change.get())) {
            emit surfaceSizeChanged(int(resize->id), resize->size);
        } else if (auto* destroy = dynamic_cast<Surface::DestroyCommand*>(change.get())) {
            emit surfaceDetached(int(destroy->id));
        } else if (auto* copy = dynamic_cast<Surface::CopyCommand*>(change.get())) {
            emit surfaceContentsChanged(int(copy->destinationId),
                                        copy->sourceRegion.translated(copy->offset));
        } else if (auto* update = dynamic_cast<Surface::UpdateCommand*>(change.get())) {
            emit surfaceContentsChanged(int(update->id), update->region);
        }
    }
    state->reader.store(nullptr);
}
