#pragma once

// Per-window mode: keeps a table of the server's top-level windows, shows each as a rail window in the
// session's window registry, applies what the server reports to it, keeps the local stacking in step
// with the server's and reports the local monitor layout. The rails reach the server through the
// senders here. Handlers run on the network thread and only post copies to the channel's own thread
// (the GUI thread), where all table and window work happens.

#include "viewer/protocol/MultiWindow.h"

#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>

#include <list>
#include <memory>
#include <vector>

class QScreen;
class RdpMaster;
class RdpWidgetRail;

Q_DECLARE_METATYPE(Protocol::MultiWindow::UpdateWindowData)

class VnMultiWindowChannel : public QObject, public Protocol::MultiWindow::MultiWindowClientChannel {
    Q_OBJECT

public:
    struct RemoteWindow {
        quint32 id = 0;
        quint32 owner = 0;
        QRect geometry; // server pixels
        int showState = 0;
        QList<quint32> children;
    };

    // Icons larger than this on either side are not decoded, and no more than MaxIcons per update.
    static constexpr int MaxIconSide = 1024;
    static constexpr int MaxIcons = 16;
    // The icons of one window together hold at most this many bytes of 32-bit pixels: the window system
    // gets them in one request, and its requests are bounded. Icons beyond it are scaled down.
    static constexpr qint64 MaxIconBytes = 1024 * 1024 - 1;
    // Longer titles are cut: the window system gets the title in one request too.
    static constexpr int MaxTitleLength = 4096;
    // Windows beyond this many are not created.
    static constexpr int MaxWindows = 256;

    VnMultiWindowChannel(std::string name, uchar number, QObject* parent = nullptr);

    // The physical size of a desktop of `pixels` at the given resolution; a resolution of 0 or less
    // (no screen knows its physical size) counts as 96 dots per inch.
    static QSize desktopMillimetres(QSize pixels, int dpiX, int dpiY);
    ~VnMultiWindowChannel() override;

    // Joins the channel to its session. Callable from any thread before the first frame arrives; the
    // wiring to the session and the screens runs on the channel's own thread.
    void attach(RdpMaster* master);
    RdpMaster* master() const { return m_master.data(); }

    // Senders, for the rails and the session controller.
    void sendCapabilities(std::list<Protocol::Blob> capabilities);
    void sendActivation(quint32 window, bool active);
    void sendSyscommand(quint32 window, quint16 command);
    void sendMove(quint32 window, QRect serverRect);
    void sendRaise(quint32 window);
    void sendRestack(quint32 window, quint32 sibling);
    void setPendingActivation(quint32 window) { m_pendingActivation = window; }
    quint32 pendingActivation() const { return m_pendingActivation; }
    quint32 activeWindow() const { return m_activeWindow; }

    // Table state (GUI thread).
    const QHash<quint32, RemoteWindow>& windows() const { return m_windows; }
    // Known window ids from top to bottom, as the server last reported them, with the raises and
    // restacks it asked for or was sent since.
    QList<quint32> stacking() const { return m_stacking; }
    bool isRestacking() const { return m_restacking; }
    void setRestacking(bool on) { m_restacking = on; }
    bool isSyncing() const { return m_syncing; }
    // The rail's title when it has one, otherwise the id as "0x%08x".
    QString windowLabel(quint32 id) const;
    RdpWidgetRail* rail(quint32 id) const;

    // The GUI-thread side of each server message.
    void applyWindowUpdate(quint32 id, const Protocol::MultiWindow::UpdateWindowData& data);
    void applyDeleteWindow(quint32 id);
    void applyActivateWindow(quint32 id);
    void applyRaiseWindow(quint32 id);
    void applyZOrder(const std::vector<Protocol::Word>& bottomToTop);
    void applyDesktopSync(Protocol::Byte active);

    // Protocol::MultiWindow::MultiWindowClientChannel (network thread)
    void onCapabilities(std::list<Protocol::Blob> capabilities) override;
    void onDeleteWindow(Protocol::Word window) override;
    void onUpdateWindow(Protocol::Word window, Protocol::MultiWindow::UpdateWindowData data) override;
    void onActivateWindow(Protocol::Word window) override;
    void onRaiseWindow(Protocol::Word window) override;
    void onZOrder(std::vector<Protocol::Word> windows) override;
    void onDesktopSync(Protocol::Byte active) override;

signals:
    void capabilities(std::list<Protocol::Blob> capabilities);
    void deleteWindow(Protocol::Word window);
    void updateWindow(Protocol::Word window, Protocol::MultiWindow::UpdateWindowData data);
    void activateWindow(Protocol::Word window);
    void raiseWindow(Protocol::Word window);
    void zOrder(std::vector<Protocol::Word> windows);
    void desktopSync(Protocol::Byte active);

public slots:
    void handleScreenAdd(QScreen* screen);
    void handleScreenRemove(QScreen* screen);
    // Reads the screens and sends the layout; from another thread it is posted to the channel's own.
    void sendMonitorLayout();

private:
    void wire();
    void createWindow(quint32 id, const Protocol::MultiWindow::UpdateWindowData& data);
    // Parents (or detaches) the rail after its owner changed, so that it follows the new owner and is
    // not deleted with the old one.
    void followOwner(quint32 id);
    void logOwner(quint32 owner, quint32 id) const;
    // The server has `window` directly below `sibling` now (0: on top).
    void noteStacking(quint32 window, quint32 sibling);
    // True when `owner` is `id` or a window that `id` owns, however indirectly.
    bool wouldOwnItself(quint32 id, quint32 owner) const;
    // What the server asked for beyond a bound: written to the log the first time of each kind.
    enum class Refusal { Owner, Windows, Title, Icons, Count };
    void refused(Refusal kind, const QString& text);
    Protocol::Byte channelNumber() const { return number; }

    QPointer<RdpMaster> m_master;
    QHash<quint32, RemoteWindow> m_windows;
    QList<quint32> m_stacking;
    bool m_restacking = false;
    bool m_syncing = false;
    QList<quint32> m_seen;
    quint32 m_activeWindow = 0;
    quint32 m_pendingActivation = 0;
    bool m_refusalLogged[int(Refusal::Count)] = {};
};

// The session's open "multiwindow" channel, or null.
std::shared_ptr<VnMultiWindowChannel> multiWindowChannel(const RdpMaster* master);
