#pragma once

#include "viewer/engine/RdpClient.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpWidget.h"

#include <QList>
#include <QRect>
#include <QSize>
#include <QTimer>

class QPropertyAnimation;
class QScrollArea;
class QStackedWidget;
class RdpWidgetDesktop;
class RdpWidgetNotification;
class RdpWidgetToolbar;

// The top-level window of a session shown as one desktop: the desktop view in a scroll area, a page that
// asks for a display name before joining a shared session, a lobby page, a toolbar that slides down
// from the top edge and a banner about participants at the top right. With automatic resizing on it
// sends the server the desktop size that fits the window (at most one size per 100 ms).
//
// Full screen is a frameless window over one monitor or the whole virtual desktop; the window's own
// record of it decides the toolbar's button, since the window system never reports such a window as
// full screen.
class RdpWidgetDesktopCaddy : public RdpWidget {
    Q_OBJECT

public:
    static constexpr int sizeIntervalMs = 100;
    static constexpr int slideMs = 200;
    static constexpr int stayMs = 5000;

    enum Page { ViewPage = 0, UserPage = 1, LobbyPage = 2 };

    RdpWidgetDesktopCaddy(RdpMaster* master, quint32 windowId, bool fullScreen, QWidget* parent = nullptr);
    ~RdpWidgetDesktopCaddy() override;

    RdpWidgetDesktop* desktop() const { return desktopView; }
    RdpWidgetToolbar* toolbar() const { return toolbarWidget; }
    RdpWidgetNotification* notification() const { return notificationWidget; }
    QScrollArea* scrollArea() const { return scroll; }
    int currentPage() const;

    bool isInFullScreen() const { return fullScreenActive; }
    void enterFullScreen();
    void leaveFullScreen();

    // Computes the desktop size for the current viewport and factor and offers it to the server.
    void resizeDesktopToViewport(double factor);
    QSize desiredSize() const { return wantedSize; }
    QSize desiredSizeMM() const { return wantedSizeMM; }
    QSize sentSize() const { return lastSentSize; }
    QSize sentSizeMM() const { return lastSentSizeMM; }
    bool isSizeTimerActive() const { return sizeTimer.isActive(); }

    QRect toolbarHiddenGeometry() const;
    QRect toolbarShownGeometry() const;
    QRect notificationHiddenGeometry() const;
    QRect notificationShownGeometry() const;
    bool isToolbarTimerActive() const { return toolbarTimer.isActive(); }
    bool isNotificationTimerActive() const { return notificationTimer.isActive(); }

public slots:
    void disconnectFromSession();
    void showOptionsDialog();
    void animateNotificationIn();
    void animateNotificationOut();
    void animateToolbarIn();
    void animateToolbarOut();
    void hideNotification();
    void hideToolbar();
    void maybeSendSize();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildForm();
    void computeDesiredSize(double factor);
    void viewportResized();
    void selectPage(const RdpClient& me);
    void notifyParticipants(const QList<RdpClient>& list);
    void toggleDiagnostics(bool on);
    void slide(QPropertyAnimation* animation, QTimer& timer, const QRect& from, const QRect& to);
    void snapBoth();
    void replaceWindow(Qt::WindowFlags flags, const QRect& geometry);

    RdpWidgetDesktop* desktopView = nullptr;
    QStackedWidget* stack = nullptr;
    QScrollArea* scroll = nullptr;
    // Keeps the server size the window was fitted to across zoom changes, resizes and full screen.
    WindowServerSize serverSizes;
    QSize wantedSize;
    QSize wantedSizeMM;
    QSize lastSentSize;
    QSize lastSentSizeMM;
    QTimer sizeTimer;
    Qt::WindowFlags savedWindowFlags;
    QRect savedGeometry;
    bool fullScreenActive = false;
    RdpWidgetToolbar* toolbarWidget = nullptr;
    QPropertyAnimation* toolbarAnimation = nullptr;
    QTimer toolbarTimer;
    RdpWidgetNotification* notificationWidget = nullptr;
    QPropertyAnimation* notificationAnimation = nullptr;
    QTimer notificationTimer;
    QList<RdpClient> clients;
    RdpClient me;
};
