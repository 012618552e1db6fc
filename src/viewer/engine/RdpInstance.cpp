#include "viewer/engine/RdpInstance.h"

#include "viewer/engine/RdpMaster.h"
#include "viewer/widgets/RdpSharingWidget.h"

#include <QGuiApplication>
#include <QJsonObject>
#include <QLabel>
#include <QMetaObject>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

RdpInstance::RdpInstance(QObject* parent)
    : QObject(parent) {
    registerRdpClientMetaTypes();
}

RdpInstance::~RdpInstance() {
    delete m_master;
}

void RdpInstance::start(const QNetworkRequest& request, const QNetworkProxy& proxy,
                        const QString& displayName, const QString& password, const QString& geometry,
                        const QString& windowTitle, bool startFullScreen, const QVariantMap& connectInfo) {
    startWithRequests({request}, proxy, displayName, password, geometry, windowTitle, startFullScreen,
                      connectInfo);
}

void RdpInstance::startWithRequests(const QList<QNetworkRequest>& requests, const QNetworkProxy& proxy,
                                    const QString& displayName, const QString& password,
                                    const QString& geometry, const QString& windowTitle, bool startFullScreen,
                                    const QVariantMap& connectInfo) {
    if (m_master) {
        return;
    }
    auto* master = new RdpMaster(requests, proxy, displayName, password, geometry, windowTitle,
                                 startFullScreen, connectInfo.value(QStringLiteral("SessionId")).toString(),
                                 connectInfo.value(QStringLiteral("RealHost")).toString(), nullptr);
    m_master = master;
    master->setNetworkTypes(connectInfo.value(QStringLiteral("NetworkTypes")).toJsonArray());

    connect(master, &RdpMaster::scalingFactorChanged, this, &RdpInstance::scalingFactorChanged);
    connect(master, &RdpMaster::networkTypesChanged, this, &RdpInstance::networkTypesChanged);
    connect(master, &RdpMaster::networkTypeChanged, this, &RdpInstance::networkTypeChanged);
    connect(master, &RdpMaster::adjustsAutomaticallyChanged, this, &RdpInstance::adjustsAutomaticallyChanged);
    connect(master, &RdpMaster::smallBlockImageFormatChanged, this,
            &RdpInstance::smallBlockImageFormatChanged);
    connect(master, &RdpMaster::bigBlockImageFormatChanged, this, &RdpInstance::bigBlockImageFormatChanged);
    connect(master, &RdpMaster::bigBlockMinimumSizeChanged, this, &RdpInstance::bigBlockMinimumSizeChanged);
    connect(master, &RdpMaster::compressionLevelChanged, this, &RdpInstance::compressionLevelChanged);
    connect(master, &RdpMaster::framesPerSecondChanged, this, &RdpInstance::framesPerSecondChanged);
    connect(master, &RdpMaster::frameWindowSizeChanged, this, &RdpInstance::frameWindowSizeChanged);
    connect(master, &RdpMaster::mouseQuantumChanged, this, &RdpInstance::mouseQuantumChanged);
    connect(master, &RdpMaster::fullScreensOnCurrentMonitorChanged, this,
            &RdpInstance::fullScreensOnCurrentMonitorChanged);
    connect(master, &RdpMaster::capturesKeysChanged, this, &RdpInstance::capturesKeysChanged);
    connect(master, &RdpMaster::highQualityUpgradesChanged, this, &RdpInstance::highQualityUpgradesChanged);
    connect(master, &RdpMaster::dpiChanged, this, &RdpInstance::dpiChanged);
    connect(master, &RdpMaster::connectedChanged, this, &RdpInstance::connectedChanged);
    connect(master, &RdpMaster::drawImmediatelyChanged, this, &RdpInstance::drawImmediatelyChanged);
    connect(master, &RdpMaster::connectedChanged, this, [this](bool connected) {
        if (connected) {
            m_wasConnected = true;
        }
    });
    connect(master, &RdpMaster::focusChanged, this, &RdpInstance::focusChanged);
    connect(master, &RdpMaster::shareEnabledChanged, this, &RdpInstance::shareEnabledChanged);
    connect(master, &RdpMaster::clientMeChanged, this, &RdpInstance::clientMeChanged);
    connect(master, &RdpMaster::clientsChanged, this, &RdpInstance::clientsChanged);
    connect(master, &RdpMaster::cursorPosChanged, this, &RdpInstance::cursorPosChanged);
    connect(master, &RdpMaster::cursorDownChanged, this, &RdpInstance::cursorDownChanged);
    connect(master, &RdpMaster::wantsToShowOptions, this, &RdpInstance::wantsToShowOptions);
    connect(master, &RdpMaster::wantsToCloseOptions, this, &RdpInstance::wantsToCloseOptions);
    connect(master, &RdpMaster::wantsToShowSharing, this, &RdpInstance::wantsToShowSharing);
    connect(master, &RdpMaster::wantsToCloseSharing, this, &RdpInstance::wantsToCloseSharing);
    connect(master, &RdpMaster::wantsToQuit, this, &RdpInstance::wantsToQuit);
    connect(master, &RdpMaster::finished, this, &RdpInstance::handleFinished, Qt::QueuedConnection);

    m_finishMessage.clear();
    m_finishLevel = 0;
    emit runningChanged(true);
}

void RdpInstance::handleFinished(QString message, uchar level) {
    RdpMaster* master = m_master;
    if (!master) {
        return;
    }
    m_lastWindowTitle = master->windowTitle();
    m_master = nullptr;
    // The session may end from an event handler of one of its own windows: stop it now, delete it (and
    // with it its windows) once that handler has returned.
    disconnect(master, nullptr, this, nullptr);
    master->stop();
    master->deleteLater();
    m_finishMessage = message;
    m_finishLevel = level;
    emit runningChanged(false);
    emit finished();
}

void RdpInstance::quit() {
    handleFinished(QString(), Protocol::ErrorLevel::Unspecified);
}

// Getters answer fixed defaults without a session; setters and methods then do nothing.
QString RdpInstance::sessionId() const {
    return m_master ? m_master->sessionId() : QString();
}
bool RdpInstance::isSingleApplication() const {
    return m_master ? m_master->isSingleApplication() : false;
}
QString RdpInstance::windowTitle() const {
    return m_master ? m_master->windowTitle() : QString();
}
double RdpInstance::scalingFactor() const {
    return m_master ? m_master->scalingFactor() : 0.0;
}
void RdpInstance::setScalingFactor(double factor) {
    if (m_master) {
        m_master->setScalingFactor(factor);
    }
}
QJsonArray RdpInstance::networkTypes() const {
    return m_master ? m_master->networkTypes() : QJsonArray();
}
void RdpInstance::setNetworkTypes(const QJsonArray& types) {
    if (m_master) {
        m_master->setNetworkTypes(types);
    }
}
QString RdpInstance::networkType() const {
    return m_master ? m_master->networkType() : QString();
}
void RdpInstance::setNetworkType(const QString& id) {
    if (m_master) {
        m_master->setNetworkType(id);
    }
}
bool RdpInstance::adjustsAutomatically() const {
    return m_master ? m_master->adjustsAutomatically() : true;
}
void RdpInstance::setAdjustsAutomatically(bool on) {
    if (m_master) {
        m_master->setAdjustsAutomatically(on);
    }
}
int RdpInstance::compressionLevel() const {
    return m_master ? m_master->compressionLevel() : 0;
}
void RdpInstance::setCompressionLevel(int level) {
    if (m_master) {
        m_master->setCompressionLevel(level);
    }
}
uchar RdpInstance::smallBlockImageFormat() const {
    return m_master ? m_master->smallBlockImageFormat() : Protocol::Codecs::Rfx7;
}
void RdpInstance::setSmallBlockImageFormat(uchar codec) {
    if (m_master) {
        m_master->setSmallBlockImageFormat(codec);
    }
}
uchar RdpInstance::bigBlockImageFormat() const {
    return m_master ? m_master->bigBlockImageFormat() : Protocol::Codecs::Rfx7;
}
void RdpInstance::setBigBlockImageFormat(uchar codec) {
    if (m_master) {
        m_master->setBigBlockImageFormat(codec);
    }
}
int RdpInstance::bigBlockMinimumSize() const {
    return m_master ? m_master->bigBlockMinimumSize() : 256;
}
void RdpInstance::setBigBlockMinimumSize(int size) {
    if (m_master) {
        m_master->setBigBlockMinimumSize(size, size);
    }
}
int RdpInstance::framePerSecond() const {
    return m_master ? m_master->framePerSecond() : 0;
}
void RdpInstance::setFramePerSecond(int fps) {
    if (m_master) {
        m_master->setFramePerSecond(fps);
    }
}
int RdpInstance::frameWindowSize() const {
    return m_master ? m_master->frameWindowSize() : 0;
}
void RdpInstance::setFrameWindowSize(int frames) {
    if (m_master) {
        m_master->setFrameWindowSize(frames);
    }
}
int RdpInstance::mouseQuantum() const {
    return m_master ? m_master->mouseQuantum() : 0;
}
void RdpInstance::setMouseQuantum(int msecs) {
    if (m_master) {
        m_master->setMouseQuantum(msecs);
    }
}
bool RdpInstance::fullScreensOnCurrentMonitor() const {
    return m_master ? m_master->fullScreensOnCurrentMonitor() : false;
}
void RdpInstance::setFullScreensOnCurrentMonitor(bool on) {
    if (m_master) {
        m_master->setFullScreensOnCurrentMonitor(on);
    }
}
bool RdpInstance::capturesKeys() const {
    return m_master ? m_master->capturesKeys() : false;
}
void RdpInstance::setCapturesKeys(bool on) {
    if (m_master) {
        m_master->setCapturesKeys(on);
    }
}
bool RdpInstance::sendCommandKey() const {
    return m_master ? m_master->sendCommandKey() : false;
}
void RdpInstance::setSendCommandKey(bool on) {
    if (m_master) {
        m_master->setSendCommandKey(on);
    }
}
bool RdpInstance::commandSendsAlt() const {
    return m_master ? m_master->commandSendsAlt() : false;
}
void RdpInstance::setCommandSendsAlt(bool on) {
    if (m_master) {
        m_master->setCommandSendsAlt(on);
    }
}
bool RdpInstance::handlePrimarySelection() const {
    return m_master ? m_master->handlePrimarySelection() : false;
}
void RdpInstance::setHandlePrimarySelection(bool on) {
    if (m_master) {
        m_master->setHandlePrimarySelection(on);
    }
}
bool RdpInstance::drawImmediately() const {
    return m_master ? m_master->drawImmediately() : false;
}
void RdpInstance::setDrawImmediately(bool on) {
    if (m_master) {
        m_master->setDrawImmediately(on);
    }
}
int RdpInstance::dpi() const {
    return m_master ? m_master->dpi() : 96;
}
void RdpInstance::setDpi(int dpi) {
    if (m_master) {
        m_master->setDpi(dpi);
    }
}
bool RdpInstance::highQualityUpgrades() const {
    return m_master ? m_master->highQualityUpgrades() : false;
}
void RdpInstance::setHighQualityUpgrades(bool on) {
    if (m_master) {
        m_master->setHighQualityUpgrades(on);
    }
}
bool RdpInstance::autoResize() const {
    return m_master ? m_master->autoResize() : false;
}
void RdpInstance::setAutoResize(bool on) {
    if (m_master) {
        m_master->setAutoResize(on);
    }
}
bool RdpInstance::connected() const {
    return m_master ? m_master->connected() : false;
}
bool RdpInstance::focus() const {
    return m_master ? m_master->focus() : false;
}
void RdpInstance::setShareEnabled(bool enabled) {
    if (enabled == m_shareEnabled) {
        return;
    }
    m_shareEnabled = enabled;
    emit shareEnabledChanged(enabled);
}
RdpClient RdpInstance::clientMe() const {
    return m_master ? m_master->clientMe() : RdpClient();
}
QList<RdpClient> RdpInstance::clients() const {
    return m_master ? m_master->clients() : QList<RdpClient>();
}
QPoint RdpInstance::cursorPos() const {
    return m_master ? m_master->cursorPos() : QPoint();
}
bool RdpInstance::cursorDown() const {
    return m_master ? m_master->cursorDown() : false;
}
QSet<Protocol::Byte> RdpInstance::supportedCodecs() const {
    return m_master ? m_master->supportedCodecs() : QSet<Protocol::Byte>();
}

void RdpInstance::enableOutput() {
    if (m_master) {
        m_master->enableOutput();
    }
}
void RdpInstance::disableOutput() {
    if (m_master) {
        m_master->disableOutput();
    }
}
void RdpInstance::resizeDesktop(QSize size) {
    if (m_master) {
        m_master->resizeDesktop(size);
    }
}
void RdpInstance::resizeDesktop(QSize size, QSize sizeMM) {
    if (m_master) {
        m_master->resizeDesktop(size, sizeMM);
    }
}
void RdpInstance::restoreWindows() {
    if (m_master) {
        m_master->restoreWindows();
    }
}
void RdpInstance::diagnostics() {
    if (m_master) {
        m_master->diagnostics();
    }
}
void RdpInstance::sendHello(QString name) {
    if (m_master) {
        m_master->sendHello(name);
    }
}
void RdpInstance::renameClient(QString id, QString name) {
    if (m_master) {
        m_master->renameClient(id, name);
    }
}
void RdpInstance::updateClient(QString id, QString status, QString role, QString name) {
    if (m_master) {
        m_master->updateClient(id, status, role, name);
    }
}
void RdpInstance::kickClient(QString id) {
    if (m_master) {
        m_master->kickClient(id, QString());
    }
}
void RdpInstance::giveInputToClient(QString id) {
    if (m_master) {
        m_master->giveInputToClient(id);
    }
}
void RdpInstance::sendClientToLobby(QString id) {
    if (m_master) {
        m_master->sendClientToLobby(id);
    }
}
void RdpInstance::admitClientFromLobby(QString id) {
    if (m_master) {
        m_master->admitClientFromLobby(id);
    }
}

// ---- default handlers ----------------------------------------------------------------------------------

RdpDefaultHandlers::RdpDefaultHandlers(RdpInstance* instance, QObject* parent)
    : QObject(parent)
    , m_instance(instance) {
    connect(instance, &RdpInstance::wantsToQuit, this, &RdpDefaultHandlers::handleWantsToQuitFromInstance);
    connect(instance, &RdpInstance::wantsToShowOptions, this,
            &RdpDefaultHandlers::handleWantsToShowOptionsFromInstance);
    connect(instance, &RdpInstance::wantsToCloseOptions, this,
            &RdpDefaultHandlers::handleWantsToCloseOptionsFromInstance);
    connect(instance, &RdpInstance::wantsToShowSharing, this,
            &RdpDefaultHandlers::handleWantsToShowSharingFromInstance);
    connect(instance, &RdpInstance::wantsToCloseSharing, this,
            &RdpDefaultHandlers::handleWantsToCloseSharingFromInstance);
}

RdpDefaultHandlers::~RdpDefaultHandlers() = default;

void RdpDefaultHandlers::handleWantsToQuitFromInstance() {
    QMetaObject::invokeMethod(m_instance, "quit", Qt::QueuedConnection);
}

QWidget* RdpDefaultHandlers::createPanel(Panel panel, RdpInstance* instance) {
    if (panel == Panel::Sharing) {
        return new RdpSharingWidget(instance);
    }
    // A placeholder until the options panel (RdpOptionsWidget) is built in.
    auto* window = new QWidget(nullptr);
    auto* layout = new QVBoxLayout(window);
    layout->addWidget(new QLabel(panel == Panel::Options ? tr("Options") : tr("Sharing"), window));
    return window;
}

void RdpDefaultHandlers::showPanel(QPointer<QWidget>& window, Panel panel) {
    if (!window) {
        window = createPanel(panel, m_instance);
        window->setAttribute(Qt::WA_DeleteOnClose);
        connect(this, &QObject::destroyed, window, &QWidget::close);
        window->setWindowTitle(QStringLiteral("%1 - %2").arg(
            m_instance->windowTitle(), panel == Panel::Options ? tr("Options") : tr("Sharing")));
        window->show();
    }
    if (window->isVisible() && window->isMinimized()) {
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    } else if (window->isVisible()) {
        window->raise();
        window->activateWindow();
    } else {
        window->show();
        window->activateWindow();
    }
}

void RdpDefaultHandlers::handleWantsToShowOptionsFromInstance() {
    showPanel(m_optionsWindow, Panel::Options);
}

void RdpDefaultHandlers::handleWantsToCloseOptionsFromInstance() {
    if (m_optionsWindow) {
        m_optionsWindow->close();
    }
}

void RdpDefaultHandlers::handleWantsToShowSharingFromInstance() {
    showPanel(m_sharingWindow, Panel::Sharing);
}

void RdpDefaultHandlers::handleWantsToCloseSharingFromInstance() {
    if (m_sharingWindow) {
        m_sharingWindow->close();
    }
}

// ---- screens -------------------------------------------------------------------------------------------

QRect primaryScreenGeometry() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect();
}

bool intersectsAnyScreen(const QRect& rect) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (const QScreen* screen : screens) {
        if (screen->geometry().intersects(rect)) {
            return true;
        }
    }
    return false;
}
