#include "viewer/widgets/RdpWidget.h"

#include "viewer/widgets/WidgetHelpers.h"

#include <QWindow>

RdpWidget::RdpWidget(QObject* master, quint32 windowId, QWidget* parent, Qt::WindowFlags flags, Construct)
    : QWidget(parent, flags)
    , session(master)
    , id(windowId) {}

RdpWidget::~RdpWidget() = default;

void RdpWidget::setVisible(bool visible) {
    QWidget::setVisible(visible);
}

bool isPopupWindow(const QWidget* widget) {
    return widget && (static_cast<int>(widget->windowType()) & 0xF) == static_cast<int>(Qt::Popup);
}

RdpWidgetList::RdpWidgetList(RdpMaster* master)
    : QObject(nullptr)
    , owner(master) {}

RdpWidgetList::~RdpWidgetList() {
    for (const QPointer<RdpWidget>& w : qAsConst(widgets)) {
        if (w) {
            w->deleteLater();
        }
    }
    widgets.clear();
}

void RdpWidgetList::addWidget(const QPointer<RdpWidget>& widget) {
    if (!widget) {
        return;
    }
    const quint32 key = widget->windowId();
    if (widgets.contains(key)) {
        return;
    }
    widgets.insert(key, widget);
}

QPointer<RdpWidget> RdpWidgetList::widget(quint32 windowId) const {
    return widgets.value(windowId);
}

void RdpWidgetList::removeWidget(quint32 windowId) {
    const auto it = widgets.find(windowId);
    if (it == widgets.end()) {
        return;
    }
    if (it.value()) {
        it.value()->deleteLater();
    }
    widgets.erase(it);
}

void RdpWidgetList::restoreWindows() {
    // Bringing a window forward may run code that changes the registry; walk a copy.
    const auto current = widgets;
    for (const QPointer<RdpWidget>& w : current) {
        if (w) {
            showAndActivateWindow(w);
        }
    }
}

namespace {

ViewerPlatform::NativeWindow handleOf(const RdpWidget* widget) {
    QWindow* window = widget->windowHandle();
    return window ? ViewerPlatform::instance()->nativeHandle(window) : 0;
}

} // namespace

QList<quint32>::const_iterator firstModalWindow(const RdpWidgetList& list, const QList<quint32>& ids) {
    for (auto it = ids.cbegin(); it != ids.cend(); ++it) {
        const QPointer<RdpWidget> w = list.widget(*it);
        if (w && w->testAttribute(Qt::WA_WState_Visible) && !isPopupWindow(w) &&
            w->windowModality() != Qt::NonModal) {
            return it;
        }
    }
    return ids.cend();
}

QList<ViewerPlatform::NativeWindow> nativeHandles(const RdpWidgetList& list, const QList<quint32>& ids) {
    QList<ViewerPlatform::NativeWindow> handles;
    for (quint32 id : ids) {
        const QPointer<RdpWidget> w = list.widget(id);
        if (!w) {
            continue;
        }
        const ViewerPlatform::NativeWindow handle = handleOf(w);
        if (handle && !handles.contains(handle)) {
            handles << handle;
        }
    }
    return handles;
}

void minimizeAll(const RdpWidgetList& list, const QList<quint32>& ids) {
    ViewerPlatform::Interface* platform = ViewerPlatform::instance();
    for (quint32 id : ids) {
        const QPointer<RdpWidget> w = list.widget(id);
        if (!w || !w->isVisible()) {
            continue;
        }
        const ViewerPlatform::NativeWindow handle = handleOf(w);
        if (handle && !platform->isIconic(handle)) {
            platform->showWindow(handle, ViewerPlatform::ShowCommand::Minimize);
        }
    }
}

void restoreAll(const RdpWidgetList& list, const QList<quint32>& ids) {
    ViewerPlatform::Interface* platform = ViewerPlatform::instance();
    for (quint32 id : ids) {
        const QPointer<RdpWidget> w = list.widget(id);
        if (!w || !w->isVisible()) {
            continue;
        }
        const ViewerPlatform::NativeWindow handle = handleOf(w);
        if (handle && platform->isIconic(handle)) {
            platform->showWindow(handle, ViewerPlatform::ShowCommand::Restore);
        }
    }
}
