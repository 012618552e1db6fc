#pragma once

// The controller of one viewer session. It owns the server connection and its network thread, the
// session's surfaces, the input object, the window registry, the optional log window and the diagnostics
// window; it holds every session setting (remembered in the viewer preferences, pushed to the server
// where the server has a say) and turns each frame's surface changes into signals for the windows.
// Lives on the GUI thread. Windows never talk to the connection: they call the setters here and follow
// the signals.

#include "viewer/engine/RdpClient.h"
#include "viewer/engine/VnServerConnection.h"
#include "viewer/engine/surfaces/SurfaceCommands.h"
#include "viewer/engine/surfaces/VnSurface.h"
#include "viewer/protocol/Types.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMutex>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRegion>
#include <QSet>
#include <QSize>
#include <QString>
#include <QVariant>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

class QThread;
class QWidget;
class RdpBasic;
class RdpLogDialog;
class RdpWidget;
class RdpWidgetList;
class VnClientCommChannel;

class RdpMaster : public QObject, public VnSurfaceSource {
    Q_OBJECT
    Q_PROPERTY(QString sessionId READ sessionId CONSTANT)
    Q_PROPERTY(bool isSingleApplication READ isSingleApplication CONSTANT)
    Q_PROPERTY(QString windowTitle READ windowTitle CONSTANT)
    Q_PROPERTY(double scalingFactor READ scalingFactor WRITE setScalingFactor NOTIFY scalingFactorChanged)
    Q_PROPERTY(QJsonArray networkTypes READ networkTypes WRITE setNetworkTypes NOTIFY networkTypesChanged)
    Q_PROPERTY(QString networkType READ networkType WRITE setNetworkType NOTIFY networkTypeChanged)
    Q_PROPERTY(bool adjustsAutomatically READ adjustsAutomatically WRITE setAdjustsAutomatically NOTIFY
                   adjustsAutomaticallyChanged)
    Q_PROPERTY(
        int compressionLevel READ compressionLevel WRITE setCompressionLevel NOTIFY compressionLevelChanged)
    Q_PROPERTY(uchar smallBlockImageFormat READ smallBlockImageFormat WRITE setSmallBlockImageFormat NOTIFY
                   smallBlockImageFormatChanged)
    Q_PROPERTY(uchar bigBlockImageFormat READ bigBlockImageFormat WRITE setBigBlockImageFormat NOTIFY
                   bigBlockImageFormatChanged)
    Q_PROPERTY(int bigBlockMinimumSize READ bigBlockMinimumSize WRITE setBigBlockMinimumSize)
    Q_PROPERTY(int framePerSecond READ framePerSecond WRITE setFramePerSecond NOTIFY framesPerSecondChanged)
    Q_PROPERTY(
        int frameWindowSize READ frameWindowSize WRITE setFrameWindowSize NOTIFY frameWindowSizeChanged)
    Q_PROPERTY(int mouseQuantum READ mouseQuantum WRITE setMouseQuantum NOTIFY mouseQuantumChanged)
    Q_PROPERTY(bool fullScreensOnCurrentMonitor READ fullScreensOnCurrentMonitor WRITE
                   setFullScreensOnCurrentMonitor NOTIFY fullScreensOnCurrentMonitorChanged)
    Q_PROPERTY(bool capturesKeys READ capturesKeys WRITE setCapturesKeys NOTIFY capturesKeysChanged)
    Q_PROPERTY(bool sendCommandKey READ sendCommandKey WRITE setSendCommandKey NOTIFY sendCommandKeyChanged)
    Q_PROPERTY(
        bool commandSendsAlt READ commandSendsAlt WRITE setCommandSendsAlt NOTIFY commandSendsAltChanged)
    Q_PROPERTY(bool handlePrimarySelection READ handlePrimarySelection WRITE setHandlePrimarySelection NOTIFY
                   handlePrimarySelectionChanged)
    Q_PROPERTY(bool autoResize READ autoResize WRITE setAutoResize NOTIFY autoResizeChanged)
    Q_PROPERTY(bool connected READ connected NOTIFY connectedChanged)
    Q_PROPERTY(bool focus READ focus NOTIFY focusChanged)
    Q_PROPERTY(RdpClient clientMe READ clientMe NOTIFY clientMeChanged)
    Q_PROPERTY(QList<RdpClient> clients READ clients NOTIFY clientsChanged)
    Q_PROPERTY(QPoint cursorPos READ cursorPos WRITE setCursorPos NOTIFY cursorPosChanged)
    Q_PROPERTY(bool cursorDown READ cursorDown WRITE setCursorDown NOTIFY cursorDownChanged)

public:
    // How long tear-down waits for the network thread to finish what it is doing.
    static constexpr int NetworkThreadStopMs = 10000;

    RdpMaster(const QList<QNetworkRequest>& requests, const QNetworkProxy& proxy, const QString& displayName,
              const QString& password, const QString& geometry, const QString& windowTitle,
              bool startFullScreen, const QString& sessionId, const QString& realHost,
              QObject* parent = nullptr);
    ~RdpMaster() override;

    // Ends the link to the server for good: no signal of the connection reaches this object afterwards,
    // the network thread is asked to quit and waited for (bounded). Called by the destructor; callers
    // that delete the controller later (deleteLater) call it first.
    void stop();

    // Settings. Setters of server-side settings take a send flag: false when the value came from the
    // server or from a network preset.
    QString sessionId() const { return m_sessionId; }
    QString realHost() const { return m_realHost; }
    QString displayName() const { return m_displayName; }
    bool isSingleApplication() const { return m_isSingleApplication; }
    QString windowTitle() const { return m_windowTitle; }
    bool startFullScreen() const { return m_startFullScreen; }
    // The size the main view reports while no surface 0 exists, from the start geometry.
    QSize defaultViewSize() const { return m_defaultViewSize; }

    double scalingFactor() const { return m_scalingFactor; }
    void setScalingFactor(double factor);
    QJsonArray networkTypes() const { return m_networkTypes; }
    void setNetworkTypes(const QJsonArray& types);
    QString networkType() const { return m_networkType; }
    void setNetworkType(const QString& id);
    bool adjustsAutomatically() const { return m_adjustsAutomatically; }
    void setAdjustsAutomatically(bool on, bool send = true);
    int compressionLevel() const { return m_compressionLevel; }
    void setCompressionLevel(int level, bool send = true);
    uchar smallBlockImageFormat() const { return m_smallBlockImageFormat; }
    void setSmallBlockImageFormat(uchar codec, bool send = true);
    uchar bigBlockImageFormat() const { return m_bigBlockImageFormat; }
    void setBigBlockImageFormat(uchar codec, bool send = true);
    int bigBlockMinimumSize() const { return m_bigBlockMinimumSize; }
    // The width is the one value kept (it is sent as width and height).
    void setBigBlockMinimumSize(int width, int height = 0, bool send = true);
    int framePerSecond() const { return m_framePerSecond; }
    void setFramePerSecond(int fps, bool send = true);
    int frameWindowSize() const { return m_frameWindowSize; }
    void setFrameWindowSize(int frames, bool send = true);
    int mouseQuantum() const { return m_mouseQuantum; }
    void setMouseQuantum(int msecs);
    int dpi() const { return m_dpi; }
    void setDpi(int dpi);
    bool drawImmediately() const { return m_drawImmediately; }
    void setDrawImmediately(bool on);
    bool highQualityUpgrades() const { return m_highQualityUpgrades; }
    void setHighQualityUpgrades(bool on, bool send = true);
    bool fullScreensOnCurrentMonitor() const { return m_fullScreensOnCurrentMonitor; }
    void setFullScreensOnCurrentMonitor(bool on);
    bool capturesKeys() const { return m_capturesKeys; }
    void setCapturesKeys(bool on);
    bool sendCommandKey() const { return m_sendCommandKey; }
    void setSendCommandKey(bool on);
    bool commandSendsAlt() const { return m_commandSendsAlt; }
    void setCommandSendsAlt(bool on);
    bool handlePrimarySelection() const { return m_handlePrimarySelection; }
    void setHandlePrimarySelection(bool on);
    bool autoResize() const { return m_autoResize; }
    void setAutoResize(bool on);

    QSet<Protocol::Byte> supportedCodecs() const { return m_supportedCodecs; }
    bool connected() const { return m_connected; }
    bool focus() const { return m_focus; }
    RdpClient clientMe() const { return m_clientMe; }
    QList<RdpClient> clients() const { return m_clients; }
    QPoint cursorPos() const { return m_cursorPos; }
    void setCursorPos(QPoint pos);
    bool cursorDown() const { return m_cursorDown; }
    void setCursorDown(bool down);

    // The keyboard record sent to the server at the start of the main sequence.
    quint32 keyboardLayout() const { return m_keyboardLayout; }
    quint32 keyboardType() const { return m_keyboardType; }
    void setKeyboard(quint32 layout, quint32 type);

    RdpBasic* basic() const { return m_basic; }
    // The view of surface 0 (the input object is that view).
    VnSurface* mainView() const { return m_mainView; }
    RdpWidgetList* widgetList() const { return m_widgetList; }
    RdpLogDialog* logDialog() const { return m_logDialog; }
    QWidget* diagnosticsWindow() const { return m_diagnosticsWindow; }
    // The connection; lives on networkThread(). Null after stop().
    VnServerConnection* connection() const { return m_connection; }
    QThread* networkThread() const { return m_networkThread; }
    // The open "clientcomm" channel, or null.
    std::shared_ptr<VnClientCommChannel> clientCommChannel() const;

    // Runs f with the connection on the network thread, after everything posted there before. Settings
    // and other sends from the GUI thread go this way, so the protocol machine is only read on its own
    // thread. Nothing happens once the session has stopped.
    void postToConnection(std::function<void(VnServerConnection&)> f) const;

private:
    struct SurfaceState;

public:
    // Surfaces. The map may only be read while commands are not being applied: from the slots of the
    // surface signals (the fan-out holds the lock), or under a SurfaceReadLock.
    const Surface::SurfaceMap& surfaceMap() const override;
    void readSurfaces(const std::function<void(const Surface::SurfaceMap&)>& read) const override;
    // Holds the surface lock unless the calling thread holds it already (the fan-out, or an outer read
    // lock), so reads may nest.
    class SurfaceReadLock {
    public:
        explicit SurfaceReadLock(const RdpMaster& master);
        ~SurfaceReadLock();
        SurfaceReadLock(const SurfaceReadLock&) = delete;
        SurfaceReadLock& operator=(const SurfaceReadLock&) = delete;

    private:
        std::shared_ptr<SurfaceState> m_locked;
    };
    // A copy of the surface's image (shared pixels, unchanged by later frames); null when absent.
    // Safe from any slot or paint event of the GUI thread.
    QImage surfaceImage(int surfaceId) const;

public slots:
    void handleConnectFinishFromServerConnection();
    void handleDisconnect(QString reason, uchar level);
    void handleConnectFinishFromTransportLoop();
    void handleFocusObjectChange(QObject* object);
    void shareHello(QString client, QString role, QString login, QString version);
    void shareClient(QJsonArray clients);
    void shareMe(QJsonObject me);
    void shareMessage(QString client, QJsonValue message);

    Q_INVOKABLE void enableOutput() {}
    Q_INVOKABLE void disableOutput() {}
    Q_INVOKABLE void resizeDesktop(QSize size);
    Q_INVOKABLE void resizeDesktop(QSize size, QSize sizeMM);
    Q_INVOKABLE void restoreWindows();
    Q_INVOKABLE void diagnostics();
    Q_INVOKABLE void sendHello(QString name);
    Q_INVOKABLE void renameClient(QString id, QString name);
    Q_INVOKABLE void updateClient(QString id, QString status, QString role, QString name);
    Q_INVOKABLE void kickClient(QString id, QString message);
    Q_INVOKABLE void kickClient(QString id);
    Q_INVOKABLE void giveInputToClient(QString id);
    Q_INVOKABLE void sendClientToLobby(QString id);
    Q_INVOKABLE void admitClientFromLobby(QString id);

signals:
    void scalingFactorChanged(double factor);
    void networkTypesChanged(QJsonArray types);
    void networkTypeChanged(QString name);
    void adjustsAutomaticallyChanged(bool on);
    void compressionLevelChanged(int level);
    void smallBlockImageFormatChanged(uchar codec);
    void bigBlockImageFormatChanged(uchar codec);
    void bigBlockMinimumSizeChanged(int width, int height);
    void framesPerSecondChanged(int fps);
    void frameWindowSizeChanged(int frames);
    void mouseQuantumChanged(int msecs);
    void fullScreensOnCurrentMonitorChanged(bool on);
    void capturesKeysChanged(bool on);
    void sendCommandKeyChanged(bool on);
    void commandSendsAltChanged(bool on);
    void handlePrimarySelectionChanged(bool on);
    void autoResizeChanged(bool on);
    void supportedCodecsChanged(QSet<Protocol::Byte> codecIds);
    void highQualityUpgradesChanged(bool on);
    void drawImmediatelyChanged(bool on);
    void dpiChanged(int dpi);
    void connectedChanged(bool connected);
    void focusChanged(bool hasFocus);
    void shareEnabledChanged(bool enabled);
    void clientMeChanged(RdpClient me);
    void clientsChanged(QList<RdpClient> clients);
    void cursorPosChanged(QPoint pos);
    void cursorDownChanged(bool down);
    void finished(QString errorMessage, uchar level);
    void wantsToShowOptions();
    void wantsToCloseOptions();
    void wantsToShowSharing();
    void wantsToCloseSharing();
    void wantsToQuit();
    // Emitted on the network thread after a frame's commands were applied.
    void commandsUpdated();
    void surfaceAttached(int surfaceId);
    void surfaceDetached(int surfaceId);
    void surfaceSizeChanged(int surfaceId, QSize size);
    void surfaceContentsChanged(int surfaceId, QRegion region);

private slots:
    void handleEnteredMainSequence();
    void handleChannelOpened(QString name);
    void handleSupportedCodecs(QSet<Protocol::Byte> codecs);
    void handleCommandsUpdated();
    void handleTypeEnabled(QString type);

private:
    // What the network thread touches: kept alive by the frame-end handler as long as the connection
    // exists, so that tear-down never pulls the mutex or the surfaces from under a frame being applied.
    struct SurfaceState {
        QMutex mutex;
        Surface::SurfaceMap surfaces;
        Surface::CommandList pendingChanges;
        RdpMaster* master = nullptr; // cleared under the mutex when the session stops
        // The thread that holds the mutex to read (the fan-out or a SurfaceReadLock), or null.
        std::atomic<void*> reader{nullptr};
    };

    void loadSettings();
    void applyGeometry(const QString& geometry);
    void applyNetworkType();
    void connectSettingReports();
    void pushSettings();
    void requestChannels();
    VnServerConnection::ChannelFactory channelFactoryFor(const QString& name);
    void createDesktopWindow();
    QWidget* createDiagnosticsWindow();
    void handleFrameEnd(); // network thread

    QString m_sessionId;
    QString m_realHost;
    QString m_displayName;
    bool m_isSingleApplication = false;
    QString m_windowTitle;
    QSet<Protocol::Byte> m_supportedCodecs;
    double m_scalingFactor = 1.0;
    QJsonArray m_networkTypes;
    QString m_networkType;
    bool m_adjustsAutomatically = true;
    int m_compressionLevel = 5;
    uchar m_smallBlockImageFormat = 3;
    uchar m_bigBlockImageFormat = 3;
    int m_bigBlockMinimumSize = 256;
    int m_framePerSecond = 30;
    int m_frameWindowSize = 2;
    int m_mouseQuantum = 50;
    bool m_fullScreensOnCurrentMonitor = true;
    bool m_capturesKeys = true;
    bool m_sendCommandKey = false;
    bool m_commandSendsAlt = false;
    bool m_drawImmediately = false;
    bool m_handlePrimarySelection = true;
    bool m_autoResize = true;
    bool m_startFullScreen = false;
    bool m_highQualityUpgrades = true;
    int m_dpi = 0;
    bool m_connected = false;
    bool m_focus = false;
    RdpClient m_clientMe;
    QList<RdpClient> m_clients;
    QPoint m_cursorPos;
    bool m_cursorDown = false;
    QSize m_defaultViewSize;

    RdpBasic* m_basic = nullptr;
    VnSurface* m_mainView = nullptr;
    RdpWidgetList* m_widgetList = nullptr;
    RdpLogDialog* m_logDialog = nullptr;
    VnServerConnection* m_connection = nullptr;
    QThread* m_networkThread = nullptr;
    std::shared_ptr<SurfaceState> m_state;
    quint32 m_keyboardLayout = 0x409;
    quint32 m_keyboardType = 4;
    QPointer<QWidget> m_diagnosticsWindow;
    bool m_settingsWired = false;
    // The server takes sizes only in the main sequence; the window asks for one as soon as it shows,
    // which can be earlier, so the last request waits here until the main sequence starts.
    bool m_inMainSequence = false;
    std::optional<std::pair<QSize, QSize>> m_pendingDesktopSize;
};
