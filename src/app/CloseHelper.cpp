#include "app/CloseHelper.h"

#include <QApplication>
#include <QCloseEvent>
#include <QWidget>

#include <algorithm>

namespace {
CloseHelper* g_instance = nullptr;
}

CloseHelper* CloseHelper::instance() {
    if (!g_instance)
        g_instance = new CloseHelper;
    return g_instance;
}

CloseHelper::CloseHelper() {
    connect(qApp, &QGuiApplication::lastWindowClosed, this, &CloseHelper::checkForQuit);
    qApp->installEventFilter(this);
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

CloseHelper::~CloseHelper() {
    if (qApp)
        qApp->removeEventFilter(this);
    if (g_instance == this)
        g_instance = nullptr;
}

void CloseHelper::addObject(QObject* object) {
    if (!object)
        return;
    connect(object, &QObject::destroyed, this, &CloseHelper::removeObject);
    m_tracked.append(object);
}

void CloseHelper::checkForQuit() {
    const QWidgetList widgets = QApplication::topLevelWidgets();
    for (QWidget* widget : widgets) {
        if (widget->isVisible() && !widget->parentWidget() && widget->testAttribute(Qt::WA_QuitOnClose))
            return;
    }
    if (m_tracked.isEmpty())
        QCoreApplication::quit();
}

void CloseHelper::removeObject(QObject* object) {
    m_tracked.removeAll(object);
    if (m_tracked.isEmpty())
        checkForQuit();
}

void CloseHelper::scheduleCheck() {
    QMetaObject::invokeMethod(this, &CloseHelper::checkForQuit, Qt::QueuedConnection);
}

bool CloseHelper::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::Close) {
        // A tracked viewer may be the one sending this event: delete it only once control is back in
        // the event loop.
        QList<QObject*> tracked = m_tracked;
        m_tracked.clear();
        std::sort(tracked.begin(), tracked.end());
        tracked.erase(std::unique(tracked.begin(), tracked.end()), tracked.end());
        for (QObject* object : tracked) {
            disconnect(object, nullptr, this, nullptr);
            object->deleteLater();
        }
    } else if (watched->isWidgetType() && (event->type() == QEvent::Hide || event->type() == QEvent::Show)) {
        // A window that is only hidden (or destroyed) never reports the last window closed, so check
        // again once the change has settled.
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->isWindow() && !widget->parentWidget()) {
            if (event->type() == QEvent::Show)
                connect(widget, &QObject::destroyed, this, &CloseHelper::checkForQuit,
                        Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
            else
                scheduleCheck();
        }
    }
    return QObject::eventFilter(watched, event);
}
