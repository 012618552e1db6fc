#pragma once

// The public face of one viewer session. While a session runs it owns one RdpMaster and forwards every
// property, setter and method to it; without one the getters answer fixed defaults and everything else
// does nothing. The instance outlives its sessions and keeps how the last one ended.

#include "viewer/engine/RdpClient.h"
#include "viewer/protocol/Types.h"

#include <QJsonArray>
#include <QList>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSet>
#include <QSize>
#include <QString>
#include <QVariantMap>
#include <QWidget>

class RdpMaster;

class RdpInstance : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString sessionId READ sessionId)
    Q_PROPERTY(bool isSingleApplication READ isSingleApplication)
    Q_PROPERTY(QString windowTitle READ windowTitle)
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
    Q_PROPERTY(
        bool drawImmediately READ drawImmediately WRITE setDrawImmediately NOTIFY drawImmediatelyChanged)
    Q_PROPERTY(int DPI READ dpi WRITE setDpi NOTIFY dpiChanged)
    Q_PROPERTY(bool highQualityUpgrades READ highQualityUpgrades WRITE setHighQualityUpgrades NOTIFY
                   highQualityUpgradesChanged)
    Q_PROPERTY(bool autoResize READ autoResize WRITE setAutoResize NOTIFY autoResizeChanged)
    Q_PROPERTY(bool running READ running NOTIFY runningChanged)
    Q_PROPERTY(bool connected READ connected NOTIFY connectedChanged)
    Q_PROPERTY(bool focus READ focus NOTIFY focusChanged)
    Q_PROPERTY(bool shareEnabled READ shareEnabled WRITE setShareEnabled NOTIFY shareEnabledChanged)
    Q_PROPERTY(RdpClient clientMe READ clientMe NOTIFY clientMeChanged)
    Q_PROPERTY(QList<RdpClient> clients READ clients NOTIFY clientsChanged)
    Q_PROPERTY(QPoint cursorPos READ cursorPos NOTIFY cursorPosChanged)
    Q_PROPERTY(bool cursorDown READ cursorDown NOTIFY cursorDownChanged)

public:
    explicit RdpInstance(QObject* parent = nullptr);
    ~RdpInstance() override;

    // Starts a session unless one is running (then the arguments are dropped). connectInfo keys read:
    // "SessionId", "RealHost", "NetworkTypes".
    void start(const QNetworkRequest& request, const QNetworkProxy& proxy, const QString& displayName,
               const QString& password, const QString& geometry, const QString& windowTitle,
               bool startFullScreen, const QVariantMap& connectInfo);
    void startWithRequests(const QList<QNetworkRequest>& requests, const QNetworkProxy& proxy,
                           const QString& displayName, const QString& password, const QString& geometry,
                           const QString& windowTitle, bool startFullScreen, const QVariantMap& connectInfo);

    // The running session's controller, or null.
    RdpMaster* master() const { return m_master; }

    QString sessionId() const;
    bool isSingleApplication() const;
    QString windowTitle() const;
    double scalingFactor() const;
    void setScalingFactor(double factor);
    QJsonArray networkTypes() const;
    void setNetworkTypes(const QJsonArray& types);
    QString networkType() const;
    void setNetworkType(const QString& id);
    bool adjustsAutomatically() const;
    void setAdjustsAutomatically(bool on);
    int compressionLevel() const;
    void setCompressionLevel(int level);
    uchar smallBlockImageFormat() const;
    void setSmallBlockImageFormat(uchar codec);
    uchar bigBlockImageFormat() const;
    void setBigBlockImageFormat(uchar codec);
    int bigBlockMinimumSize() const;
    void setBigBlockMinimumSize(int size);
    int framePerSecond() const;
    void setFramePerSecond(int fps);
    int frameWindowSize() const;
    void setFrameWindowSize(int frames);
    int mouseQuantum() const;
    void setMouseQuantum(int msecs);
    bool fullScreensOnCurrentMonitor() const;
    void setFullScreensOnCurrentMonitor(bool on);
    bool capturesKeys() const;
    void setCapturesKeys(bool on);
    bool sendCommandKey() const;
    void setSendCommandKey(bool on);
    bool commandSendsAlt() const;
    void setCommandSendsAlt(bool on);
    bool handlePrimarySelection() const;
    void setHandlePrimarySelection(bool on);
    bool drawImmediately() const;
    void setDrawImmediately(bool on);
    int dpi() const;
    void setDpi(int dpi);
    bool highQualityUpgrades() const;
    void setHighQualityUpgrades(bool on);
    bool autoResize() const;
    void setAutoResize(bool on);
    bool running() const { return m_master != nullptr; }
    bool connected() const;
    bool focus() const;
    bool shareEnabled() const { return m_shareEnabled; }
    void setShareEnabled(bool enabled);
    RdpClient clientMe() const;
    QList<RdpClient> clients() const;
    QPoint cursorPos() const;
    bool cursorDown() const;
    QSet<Protocol::Byte> supportedCodecs() const;

    // How the last session ended.
    uchar finishLevel() const { return m_finishLevel; }
    QString finishMessage() const { return m_finishMessage; }
    QString lastWindowTitle() const { return m_lastWindowTitle; }
    bool wasConnected() const { return m_wasConnected; }

    Q_INVOKABLE void enableOutput();
    Q_INVOKABLE void disableOutput();
    Q_INVOKABLE void resizeDesktop(QSize size);
    Q_INVOKABLE void resizeDesktop(QSize size, QSize sizeMM);
    Q_INVOKABLE void restoreWindows();
    Q_INVOKABLE void diagnostics();
    Q_INVOKABLE void sendHello(QString name);
    Q_INVOKABLE void renameClient(QString id, QString name);
    Q_INVOKABLE void updateClient(QString id, QString status, QString role, QString name);
    Q_INVOKABLE void kickClient(QString id);
    Q_INVOKABLE void giveInputToClient(QString id);
    Q_INVOKABLE void sendClientToLobby(QString id);
    Q_INVOKABLE void admitClientFromLobby(QString id);

public slots:
    // Ends the running session with level 255; nothing without one.
    void quit();

signals:
    void scalingFactorChanged(double sf);
    void networkTypesChanged(QJsonArray types);
    void networkTypeChanged(QString name);
    void adjustsAutomaticallyChanged(bool on);
    void compressionLevelChanged(int level);
    void supportedCodecsChanged(QSet<Protocol::Byte> codecIds);
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
    void drawImmediatelyChanged(bool on);
    void dpiChanged(int dpi);
    void highQualityUpgradesChanged(bool on);
    void autoResizeChanged(bool on);
    void runningChanged(bool isRunning);
    void connectedChanged(bool connected);
    void focusChanged(bool hasFocus);
    void shareEnabledChanged(bool enabled);
    void clientMeChanged(RdpClient me);
    void clientsChanged(QList<RdpClient> clients);
    void cursorPosChanged(QPoint pos);
    void cursorDownChanged(bool down);
    void finished();
    void logInfo(QString message, int importance);
    void wantsToShowOptions();
    void wantsToCloseOptions();
    void wantsToShowSharing();
    void wantsToCloseSharing();
    void wantsToQuit();

private slots:
    void handleFinished(QString message, uchar level);

private:
    RdpMaster* m_master = nullptr;
    QString m_finishMessage;
    uchar m_finishLevel = 0;
    QString m_lastWindowTitle;
    bool m_wasConnected = false;
    bool m_shareEnabled = false;
};

// The default reactions to an instance's wantsTo* signals: quitting the session, and opening (one at a
// time) or closing the options and sharing windows.
class RdpDefaultHandlers : public QObject {
    Q_OBJECT

public:
    RdpDefaultHandlers(RdpInstance* instance, QObject* parent = nullptr);
    ~RdpDefaultHandlers() override;

    QWidget* optionsWindow() const { return m_optionsWindow; }
    QWidget* sharingWindow() const { return m_sharingWindow; }

public slots:
    void handleWantsToQuitFromInstance();
    void handleWantsToShowOptionsFromInstance();
    void handleWantsToCloseOptionsFromInstance();
    void handleWantsToShowSharingFromInstance();
    void handleWantsToCloseSharingFromInstance();

private:
    enum class Panel { Options, Sharing };
    static QWidget* createPanel(Panel panel, RdpInstance* instance);
    void showPanel(QPointer<QWidget>& window, Panel panel);

    RdpInstance* m_instance;
    QPointer<QWidget> m_optionsWindow;
    QPointer<QWidget> m_sharingWindow;
};

// The primary screen's geometry; a null rectangle without screens.
QRect primaryScreenGeometry();
// True when the rectangle intersects the geometry of at least one screen.
bool intersectsAnyScreen(const QRect& rect);
