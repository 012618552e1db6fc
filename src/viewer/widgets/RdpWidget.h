#pragma once

#include "platform/viewer/ViewerPlatform.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <cstddef>

class RdpMaster;

// Base of every window that shows part of a remote session. The session is held weakly: once it is
// destroyed `master()` answers null and the window must do nothing.
//
// The session type is only declared here; `master()` and the constructor are templates so that the
// conversion to and from QObject happens where the session's class is complete.
class RdpWidget : public QWidget {
    Q_OBJECT

public:
    template <typename Master = RdpMaster>
    RdpWidget(Master* master, quint32 windowId, QWidget* parent = nullptr, Qt::WindowFlags flags = {})
        : RdpWidget(static_cast<QObject*>(master), windowId, parent, flags, Construct{}) {}
    RdpWidget(std::nullptr_t, quint32 windowId, QWidget* parent = nullptr, Qt::WindowFlags flags = {})
        : RdpWidget(static_cast<QObject*>(nullptr), windowId, parent, flags, Construct{}) {}
    ~RdpWidget() override;

    // The session, or null once it is gone.
    template <typename Master = RdpMaster>
    Master* master() const {
        return static_cast<Master*>(session.data());
    }
    QObject* masterObject() const { return session.data(); }

    quint32 windowId() const { return id; }

    void setVisible(bool visible) override;

private:
    struct Construct {};
    RdpWidget(QObject* master, quint32 windowId, QWidget* parent, Qt::WindowFlags flags, Construct);

    QPointer<QObject> session;
    quint32 id;
};

// True for a pop-up window (window type Qt::Popup).
bool isPopupWindow(const QWidget* widget);

// The session's windows by remote window id. The registry does not own them through its table, but it
// deletes (later) every window it removes or still holds when it is destroyed.
class RdpWidgetList : public QObject {
    Q_OBJECT

public:
    explicit RdpWidgetList(RdpMaster* master);
    ~RdpWidgetList() override;

    RdpMaster* master() const { return owner; }

    // Registers the window under its window id; an id already taken keeps its first window.
    void addWidget(const QPointer<RdpWidget>& widget);
    QPointer<RdpWidget> widget(quint32 windowId) const;
    // Deletes the window (later) and forgets the id; unknown ids are ignored.
    void removeWidget(quint32 windowId);
    // Brings every registered window to the front.
    void restoreWindows();

    QList<quint32> windowIds() const { return widgets.keys(); }

private:
    RdpMaster* owner;
    QHash<quint32, QPointer<RdpWidget>> widgets;
};

// Queries over a session's registry for a list of remote window ids.

// The first id whose window exists, is visible, is not a pop-up and is modal; ids.cend() when none.
QList<quint32>::const_iterator firstModalWindow(const RdpWidgetList& list, const QList<quint32>& ids);
// The result points into `ids`, so a temporary list would leave it dangling.
QList<quint32>::const_iterator firstModalWindow(const RdpWidgetList& list, QList<quint32>&& ids) = delete;
// Native handles of the windows that have one, each once, in the order of the ids.
QList<ViewerPlatform::NativeWindow> nativeHandles(const RdpWidgetList& list, const QList<quint32>& ids);
// Minimises every visible window that is not minimised yet.
void minimizeAll(const RdpWidgetList& list, const QList<quint32>& ids);
// Restores every visible window that is minimised.
void restoreAll(const RdpWidgetList& list, const QList<quint32>& ids);
