#include "viewer/widgets/RdpWidgetDesktopCaddy.h"

#include "viewer/engine/RdpMaster.h"
#include "viewer/widgets/RdpWidgetDesktop.h"
#include "viewer/widgets/RdpWidgetDesktopCaddySupport.h"
#include "viewer/widgets/RdpWidgetNotification.h"
#include "viewer/widgets/RdpWidgetToolbar.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QWindow>

namespace {

const char* const lobbyHtml = "<div style='width:100%; text-align:center'><h1>You are in the lobby.</h1> "
                              "<p>A moderator will admit you shortly.</p></div>";

bool mayResize(const RdpClient& me) {
    return me.status.isEmpty() || me.status == QLatin1String("input");
}

} // namespace

RdpWidgetDesktopCaddy::RdpWidgetDesktopCaddy(RdpMaster* master, quint32 windowId, bool fullScreen,
                                             QWidget* parent)
    : RdpWidget(master, windowId, parent) {
    desktopView = new RdpWidgetDesktop(master, 0, nullptr);
    sizeTimer.setSingleShot(true);
    sizeTimer.setInterval(sizeIntervalMs);
    connect(&sizeTimer, &QTimer::timeout, this, &RdpWidgetDesktopCaddy::maybeSendSize);

    toolbarWidget = new RdpWidgetToolbar(this);
    toolbarAnimation = new QPropertyAnimation(toolbarWidget, "geometry", this);
    toolbarAnimation->setDuration(slideMs);
    toolbarTimer.setSingleShot(true);
    toolbarTimer.setInterval(stayMs);
    connect(&toolbarTimer, &QTimer::timeout, this, &RdpWidgetDesktopCaddy::animateToolbarOut);

    notificationWidget = new RdpWidgetNotification(this);
    notificationAnimation = new QPropertyAnimation(notificationWidget, "geometry", this);
    notificationAnimation->setDuration(slideMs);
    notificationTimer.setSingleShot(true);
    notificationTimer.setInterval(stayMs);
    connect(&notificationTimer, &QTimer::timeout, this, &RdpWidgetDesktopCaddy::animateNotificationOut);

    buildForm();
    toolbarWidget->hide();

    if (master) {
        setProperty("SendCommandKey", master->sendCommandKey());
        if (!master->windowTitle().isEmpty())
            setWindowTitle(master->windowTitle());

        connect(master, &RdpMaster::sendCommandKeyChanged, this,
                [this](bool on) { setProperty("SendCommandKey", on); });
        connect(master, &RdpMaster::scalingFactorChanged, this, [this](double factor) {
            if (toolbarWidget->isResizeChecked())
                resizeDesktopToViewport(factor);
        });
        connect(master, &RdpMaster::shareEnabledChanged, this, [this](bool) {
            if (RdpMaster* session = this->master())
                session->sendHello(session->displayName());
        });
        connect(master, &RdpMaster::clientMeChanged, this, &RdpWidgetDesktopCaddy::selectPage);
        connect(master, &RdpMaster::clientsChanged, this, &RdpWidgetDesktopCaddy::notifyParticipants);
        connect(master, &RdpMaster::dpiChanged, this, [this](int) {
            if (RdpMaster* session = this->master(); session && toolbarWidget->isResizeChecked())
                resizeDesktopToViewport(session->scalingFactor());
        });
    }

    scroll->installEventFilter(this);
    scroll->horizontalScrollBar()->installEventFilter(this);
    scroll->verticalScrollBar()->installEventFilter(this);
    desktopView->installEventFilter(this);
    toolbarWidget->installEventFilter(this);
    notificationWidget->installEventFilter(this);
    desktopView->setFocus(Qt::OtherFocusReason);

    connect(toolbarWidget, &RdpWidgetToolbar::clickedDisconnect, this,
            &RdpWidgetDesktopCaddy::disconnectFromSession);
    connect(toolbarWidget, &RdpWidgetToolbar::clickedFullScreen, this, [this](bool on) {
        if (RdpMaster* session = this->master()) {
            emit session->wantsToCloseOptions();
            emit session->wantsToCloseSharing();
        }
        if (on)
            enterFullScreen();
        else
            leaveFullScreen();
    });
    connect(toolbarWidget, &RdpWidgetToolbar::clickedOptions, this,
            &RdpWidgetDesktopCaddy::showOptionsDialog);
    connect(toolbarWidget, &RdpWidgetToolbar::clickedResize, this, [this](bool on) {
        RdpMaster* session = this->master();
        if (!session)
            return;
        session->setAutoResize(on);
        if (on)
            resizeDesktopToViewport(session->scalingFactor());
    });
    connect(toolbarWidget, &RdpWidgetToolbar::clickedSharing, this, [this] {
        if (RdpMaster* session = this->master())
            emit session->wantsToShowSharing();
    });
    connect(toolbarWidget, &RdpWidgetToolbar::clickedDiagnostics, this,
            &RdpWidgetDesktopCaddy::toggleDiagnostics);

    toolbarWidget->setAutoFillBackground(true);
    toolbarWidget->setMouseTracking(true);
    toolbarWidget->setResizeEnabled(mayResize(me));
    toolbarWidget->setResizeChecked(master && master->autoResize());
    toolbarWidget->show();
    toolbarWidget->raise();
    notificationWidget->setMouseTracking(true);
    notificationWidget->show();
    notificationWidget->raise();
    connect(notificationAnimation, &QPropertyAnimation::finished, this, [this] {
        if (notificationWidget->geometry() != notificationHiddenGeometry())
            notificationTimer.start();
    });

    resize(desktopView->size());
    snapBoth();
    if (fullScreen)
        enterFullScreen();
}

RdpWidgetDesktopCaddy::~RdpWidgetDesktopCaddy() = default;

void RdpWidgetDesktopCaddy::buildForm() {
    setObjectName(QStringLiteral("RdpWidgetDesktopCaddy"));
    resize(1103, 798);
    setMinimumSize(320, 240);
    auto* layout = new QVBoxLayout(this);
    layout->setObjectName(QStringLiteral("verticalLayout"));
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetMaximumSize);
    stack = new QStackedWidget(this);
    stack->setObjectName(QStringLiteral("StackedWidget"));
    layout->addWidget(stack);

    auto* viewPage = new QWidget();
    viewPage->setObjectName(QStringLiteral("ViewPage"));
    auto* viewLayout = new QVBoxLayout(viewPage);
    viewLayout->setObjectName(QStringLiteral("verticalLayout_5"));
    viewLayout->setSpacing(0);
    viewLayout->setContentsMargins(0, 0, 0, 0);
    scroll = new QScrollArea(viewPage);
    scroll->setObjectName(QStringLiteral("ScrollArea"));
    scroll->setFocusPolicy(Qt::ClickFocus);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setFrameShadow(QFrame::Plain);
    scroll->setLineWidth(0);
    scroll->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    scroll->setWidget(desktopView);
    viewLayout->addWidget(scroll);
    stack->addWidget(viewPage);

    auto* userPage = new QWidget();
    userPage->setObjectName(QStringLiteral("UserPage"));
    auto* userLayout = new QVBoxLayout(userPage);
    userLayout->setObjectName(QStringLiteral("verticalLayout_4"));
    userLayout->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));
    auto* nameLabel = new QLabel(userPage);
    nameLabel->setObjectName(QStringLiteral("NameLabel"));
    nameLabel->setTextFormat(Qt::PlainText);
    nameLabel->setText(tr("Display Name"));
    userLayout->addWidget(nameLabel);
    auto* nameEdit = new QLineEdit(userPage);
    nameEdit->setObjectName(QStringLiteral("NameLineEdit"));
    userLayout->addWidget(nameEdit);
    auto* buttons = new QDialogButtonBox(userPage);
    buttons->setObjectName(QStringLiteral("JoinButtonBox"));
    buttons->setStandardButtons(QDialogButtonBox::NoButton);
    buttons->setCenterButtons(true);
    buttons->addButton(tr("Join"), QDialogButtonBox::AcceptRole);
    userLayout->addWidget(buttons);
    userLayout->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));
    stack->addWidget(userPage);
    connect(buttons, &QDialogButtonBox::accepted, this, [this, nameEdit] {
        if (RdpMaster* session = master())
            session->sendHello(nameEdit->text());
    });

    auto* lobbyPage = new QWidget();
    lobbyPage->setObjectName(QStringLiteral("LobbyPage"));
    auto* lobbyLayout = new QVBoxLayout(lobbyPage);
    lobbyLayout->setObjectName(QStringLiteral("verticalLayout_2"));
    lobbyLayout->setSpacing(0);
    lobbyLayout->setContentsMargins(0, 0, 0, 0);
    auto* browser = new QTextBrowser(lobbyPage);
    browser->setObjectName(QStringLiteral("TextBrowser"));
    browser->setFrameShadow(QFrame::Plain);
    browser->setLineWidth(0);
    browser->setAlignment(Qt::AlignCenter);
    browser->setHtml(tr(lobbyHtml));
    lobbyLayout->addWidget(browser);
    stack->addWidget(lobbyPage);

    stack->setCurrentIndex(ViewPage);
    QMetaObject::connectSlotsByName(this);
}

int RdpWidgetDesktopCaddy::currentPage() const {
    return stack->currentIndex();
}

// Sizes and positions

QRect RdpWidgetDesktopCaddy::toolbarHiddenGeometry() const {
    return CaddySupport::toolbarHiddenGeometry(rect(), toolbarWidget->size());
}

QRect RdpWidgetDesktopCaddy::toolbarShownGeometry() const {
    return CaddySupport::toolbarShownGeometry(rect(), toolbarWidget->size());
}

QRect RdpWidgetDesktopCaddy::notificationHiddenGeometry() const {
    return CaddySupport::bannerHiddenGeometry(rect(), notificationWidget->size());
}

QRect RdpWidgetDesktopCaddy::notificationShownGeometry() const {
    return CaddySupport::bannerShownGeometry(rect(), notificationWidget->size());
}

void RdpWidgetDesktopCaddy::slide(QPropertyAnimation* animation, QTimer& timer, const QRect& from,
                                  const QRect& to) {
    animation->stop();
    timer.stop();
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->setCurrentTime(0);
    animation->start();
}

void RdpWidgetDesktopCaddy::animateNotificationIn() {
    slide(notificationAnimation, notificationTimer, notificationHiddenGeometry(),
          notificationShownGeometry());
}

void RdpWidgetDesktopCaddy::animateNotificationOut() {
    slide(notificationAnimation, notificationTimer, notificationShownGeometry(),
          notificationHiddenGeometry());
}

void RdpWidgetDesktopCaddy::animateToolbarIn() {
    slide(toolbarAnimation, toolbarTimer, toolbarHiddenGeometry(), toolbarShownGeometry());
}

void RdpWidgetDesktopCaddy::animateToolbarOut() {
    slide(toolbarAnimation, toolbarTimer, toolbarShownGeometry(), toolbarHiddenGeometry());
}

void RdpWidgetDesktopCaddy::hideNotification() {
    notificationAnimation->stop();
    notificationTimer.stop();
    notificationWidget->setGeometry(notificationHiddenGeometry());
}

void RdpWidgetDesktopCaddy::hideToolbar() {
    toolbarAnimation->stop();
    toolbarTimer.stop();
    toolbarWidget->setGeometry(toolbarHiddenGeometry());
}

void RdpWidgetDesktopCaddy::snapBoth() {
    hideToolbar();
    hideNotification();
}

// Desktop size

void RdpWidgetDesktopCaddy::computeDesiredSize(double factor) {
    RdpMaster* session = master();
    if (!session)
        return;
    const QSize viewport = scroll->size();
    // While the view exactly fills the viewport, the size it shows is the size to ask for: at zooms
    // below 1x not every server size has a local size of its own.
    const QSize shown = session->mainView() ? session->mainView()->surfaceSize() : QSize();
    wantedSize = CaddySupport::boundedServerSize(serverSizes.serverSize(viewport, factor, shown));
    const std::optional<QSize> millimetres = CaddySupport::desktopMillimetreSize(
        viewport, factor, session->dpi(), CaddySupport::screenPhysicalDpis());
    wantedSizeMM = millimetres ? CaddySupport::boundedServerSize(*millimetres) : QSize();
}

void RdpWidgetDesktopCaddy::resizeDesktopToViewport(double factor) {
    computeDesiredSize(factor);
    maybeSendSize();
}

void RdpWidgetDesktopCaddy::maybeSendSize() {
    RdpMaster* session = master();
    if (!session)
        return;
    if (lastSentSize == wantedSize && lastSentSizeMM == wantedSizeMM)
        return;
    if (!wantedSize.isValid())
        return;
    if (session->dpi() < 0 || !wantedSizeMM.isValid())
        session->resizeDesktop(wantedSize);
    else
        session->resizeDesktop(wantedSize, wantedSizeMM);
    lastSentSize = wantedSize;
    lastSentSizeMM = wantedSizeMM;
    sizeTimer.start();
}

// Full screen

void RdpWidgetDesktopCaddy::enterFullScreen() {
    if (fullScreenActive) {
        toolbarWidget->setFullScreenChecked(true);
        return;
    }
    RdpMaster* session = master();
    savedWindowFlags = windowFlags();
    savedGeometry = geometry();
    QScreen* primary = QGuiApplication::primaryScreen();
    QRect target;
    if (!session || session->fullScreensOnCurrentMonitor()) {
        QScreen* screen = windowHandle() && windowHandle()->screen() ? windowHandle()->screen() : primary;
        target = screen ? screen->geometry() : geometry();
    } else {
        target = primary ? primary->virtualGeometry() : geometry();
    }
    fullScreenActive = true;
    replaceWindow(savedWindowFlags | Qt::FramelessWindowHint, target);
    toolbarWidget->setFullScreenChecked(true);
    snapBoth();
}

void RdpWidgetDesktopCaddy::replaceWindow(Qt::WindowFlags flags, const QRect& geometry) {
    // New flags hide the window, and showing it again does not bring the keyboard back: a window not
    // shown before forgets its focused child, and the application keeps the window as its focus window
    // but no longer as its active one, so keys would reach nothing until the next click.
    const QPointer<QWidget> focused = focusWidget();
    setWindowFlags(flags);
    setGeometry(geometry);
    show();
    if (focused)
        focused->setFocus(Qt::OtherFocusReason);
    activateWindow();
    if (QGuiApplication::focusWindow() == windowHandle() && QApplication::activeWindow() != this)
        QApplication::setActiveWindow(this);
}

void RdpWidgetDesktopCaddy::leaveFullScreen() {
    if (!fullScreenActive) {
        toolbarWidget->setFullScreenChecked(false);
        return;
    }
    fullScreenActive = false;
    replaceWindow(savedWindowFlags, savedGeometry);
    toolbarWidget->setFullScreenChecked(false);
    snapBoth();
    savedWindowFlags = Qt::WindowFlags();
    savedGeometry = QRect();
}

// Participants

void RdpWidgetDesktopCaddy::selectPage(const RdpClient& client) {
    me = client;
    if (me.status == QLatin1String("lobby")) {
        stack->setCurrentIndex(LobbyPage);
        toolbarWidget->hide();
    } else {
        stack->setCurrentIndex(ViewPage);
        toolbarWidget->show();
    }
    toolbarWidget->setResizeEnabled(mayResize(me));
    if (me.name.isEmpty() && me.role != QLatin1String("master"))
        stack->setCurrentIndex(UserPage);
}

void RdpWidgetDesktopCaddy::notifyParticipants(const QList<RdpClient>& list) {
    const QStringList messages = CaddySupport::participantMessages(clients, list);
    if (!clients.isEmpty() && !messages.isEmpty()) {
        notificationWidget->setText(messages.join(QLatin1Char('\n')));
        animateNotificationIn();
    }
    clients = list;
}

void RdpWidgetDesktopCaddy::toggleDiagnostics(bool on) {
    RdpMaster* session = master();
    if (!session)
        return;
    if (QWidget* window = session->diagnosticsWindow())
        window->setVisible(on);
}

void RdpWidgetDesktopCaddy::disconnectFromSession() {
    if (RdpMaster* session = master())
        emit session->wantsToQuit();
}

void RdpWidgetDesktopCaddy::showOptionsDialog() {
    if (RdpMaster* session = master())
        emit session->wantsToShowOptions();
}

// Events

void RdpWidgetDesktopCaddy::closeEvent(QCloseEvent* event) {
    event->accept();
    disconnectFromSession();
}

void RdpWidgetDesktopCaddy::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange) {
        toolbarWidget->setFullScreenChecked(fullScreenActive);
        snapBoth();
    }
    RdpWidget::changeEvent(event);
}

void RdpWidgetDesktopCaddy::resizeEvent(QResizeEvent* event) {
    RdpWidget::resizeEvent(event);
    // While the scroll area is not shown (the window's first show, the way back from full screen, another
    // page) the layout has not sized it yet; it reports its own resize once it has.
    if (scroll->isVisible())
        viewportResized();
    snapBoth();
}

void RdpWidgetDesktopCaddy::viewportResized() {
    RdpMaster* session = master();
    if (session && toolbarWidget->isResizeChecked()) {
        computeDesiredSize(session->scalingFactor());
        if (!sizeTimer.isActive())
            maybeSendSize();
    }
}

bool RdpWidgetDesktopCaddy::focusNextPrevChild(bool) {
    return false;
}

bool RdpWidgetDesktopCaddy::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == scroll) {
        if (type == QEvent::Resize)
            viewportResized();
    } else if (watched == toolbarWidget) {
        if (type == QEvent::Enter) {
            if (toolbarWidget->geometry() == toolbarHiddenGeometry())
                animateToolbarIn();
            else if (toolbarWidget->geometry() == toolbarShownGeometry())
                toolbarTimer.stop();
        } else if (type == QEvent::Leave) {
            if (toolbarWidget->geometry() == toolbarShownGeometry())
                toolbarTimer.start();
        }
    } else if (watched == notificationWidget) {
        if (type == QEvent::MouseButtonPress) {
            if (RdpMaster* session = master())
                emit session->wantsToShowSharing();
            hideNotification();
        }
    } else if (watched == desktopView || watched == scroll->horizontalScrollBar() ||
               watched == scroll->verticalScrollBar()) {
        if (type == QEvent::MouseButtonPress || type == QEvent::KeyPress || type == QEvent::Wheel) {
            if (toolbarWidget->geometry() == toolbarShownGeometry()) {
                toolbarTimer.stop();
                animateToolbarOut();
            } else if (toolbarWidget->geometry() != toolbarHiddenGeometry()) {
                hideToolbar();
            }
        }
    }
    return RdpWidget::eventFilter(watched, event);
}
