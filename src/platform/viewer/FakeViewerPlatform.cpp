#include "platform/viewer/FakeViewerPlatform.h"

#include "platform/viewer/KeyCodeTable.h"

#include <QWindow>

namespace ViewerPlatform {

namespace {

QString number(quintptr value) {
    return QString::number(value);
}

QString describe(InsertAfter where) {
    switch (where.kind) {
    case InsertAfter::Kind::Below:
        return QStringLiteral("below %1").arg(where.window);
    case InsertAfter::Kind::Top:
        return QStringLiteral("top");
    case InsertAfter::Kind::Topmost:
        return QStringLiteral("topmost");
    case InsertAfter::Kind::NoTopmost:
        return QStringLiteral("notopmost");
    case InsertAfter::Kind::Bottom:
        return QStringLiteral("bottom");
    }
    return {};
}

} // namespace

FakeViewerPlatform::Window* FakeViewerPlatform::window(NativeWindow handle) {
    for (Window& w : windows) {
        if (w.handle == handle) {
            return &w;
        }
    }
    return nullptr;
}

QList<NativeWindow> FakeViewerPlatform::stackingOrder() const {
    QList<NativeWindow> order;
    for (const Window& w : windows) {
        order << w.handle;
    }
    return order;
}

FakeViewerPlatform::Window& FakeViewerPlatform::addWindow(NativeWindow handle, const QString& className,
                                                          bool topmost) {
    Window w;
    w.handle = handle;
    w.className = className;
    w.topmost = topmost;
    // New windows open at the top of their band.
    int at = 0;
    if (!topmost) {
        while (at < windows.size() && windows.at(at).topmost) {
            ++at;
        }
    }
    windows.insert(at, w);
    return windows[at];
}

bool FakeViewerPlatform::available(Feature feature) const {
    return !missing.contains(feature);
}

bool FakeViewerPlatform::isKeyDown(int virtualKey) {
    record(QStringLiteral("isKeyDown %1").arg(virtualKey));
    return available(Feature::KeyboardState) && keysDown.contains(virtualKey);
}

bool FakeViewerPlatform::isKeyToggled(int virtualKey) {
    record(QStringLiteral("isKeyToggled %1").arg(virtualKey));
    return available(Feature::KeyboardState) && keysToggled.contains(virtualKey);
}

QString FakeViewerPlatform::keyboardLayoutName() {
    record(QStringLiteral("keyboardLayoutName"));
    return available(Feature::KeyboardLayout) ? layoutName : QString();
}

quint32 FakeViewerPlatform::keyScanCode(quint32 nativeKeyCode) {
    return scanCodeForXKeycode(nativeKeyCode);
}

bool FakeViewerPlatform::sendKeyUp(int virtualKey) {
    record(QStringLiteral("sendKeyUp %1").arg(virtualKey));
    if (!available(Feature::SyntheticInput)) {
        return false;
    }
    keysDown.remove(virtualKey);
    return true;
}

LibraryHandle FakeViewerPlatform::loadLibrary(const QString& name) {
    record(QStringLiteral("loadLibrary %1").arg(name));
    if (!available(Feature::KeyboardHook) || !libraries.contains(name)) {
        return 0;
    }
    const LibraryHandle handle = ++nextHandle;
    loadedLibraries.insert(handle);
    return handle;
}

ProcedureHandle FakeViewerPlatform::findProcedure(LibraryHandle library, const QByteArray& name) {
    record(QStringLiteral("findProcedure %1 %2").arg(number(library), QString::fromLatin1(name)));
    if (!loadedLibraries.contains(library) || !procedures.contains(name)) {
        return 0;
    }
    return ++nextHandle;
}

HookHandle FakeViewerPlatform::setKeyboardHook(ProcedureHandle procedure, LibraryHandle library) {
    record(QStringLiteral("setKeyboardHook %1 %2").arg(number(procedure), number(library)));
    if (!procedure || !loadedLibraries.contains(library)) {
        return 0;
    }
    const HookHandle handle = ++nextHandle;
    installedHooks.insert(handle);
    return handle;
}

void FakeViewerPlatform::removeKeyboardHook(HookHandle hook) {
    record(QStringLiteral("removeKeyboardHook %1").arg(number(hook)));
    installedHooks.remove(hook);
}

void FakeViewerPlatform::freeLibrary(LibraryHandle library) {
    record(QStringLiteral("freeLibrary %1").arg(number(library)));
    loadedLibraries.remove(library);
}

bool FakeViewerPlatform::removePendingDeadChar(NativeWindow window) {
    record(QStringLiteral("removePendingDeadChar %1").arg(window));
    auto it = pendingDeadChars.find(window);
    if (!available(Feature::MessageQueue) || it == pendingDeadChars.end() || it.value() <= 0) {
        return false;
    }
    --it.value();
    return true;
}

NativeWindow FakeViewerPlatform::nativeHandle(QWindow* window) {
    if (!window || !available(Feature::NativeHandles)) {
        return 0;
    }
    const auto it = handles.constFind(window);
    if (it != handles.constEnd()) {
        return it.value();
    }
    return window->handle() ? window->winId() : 0;
}

bool FakeViewerPlatform::isIconic(NativeWindow handle) {
    record(QStringLiteral("isIconic %1").arg(handle));
    const Window* w = window(handle);
    return available(Feature::Minimise) && w && w->iconic;
}

void FakeViewerPlatform::showWindow(NativeWindow handle, ShowCommand command) {
    record(QStringLiteral("showWindow %1 %2").arg(handle).arg(static_cast<int>(command)));
    Window* w = window(handle);
    if (!available(Feature::Minimise) || !w) {
        return;
    }
    w->iconic = command == ShowCommand::Minimize;
}

QList<NativeWindow> FakeViewerPlatform::topLevelWindows() {
    record(QStringLiteral("topLevelWindows"));
    return available(Feature::WindowEnumeration) ? stackingOrder() : QList<NativeWindow>();
}

bool FakeViewerPlatform::isTopmost(NativeWindow handle) {
    const Window* w = window(handle);
    return w && w->topmost;
}

QString FakeViewerPlatform::windowClassName(NativeWindow handle) {
    const Window* w = window(handle);
    return w ? w->className : QString();
}

void FakeViewerPlatform::placeWindow(NativeWindow handle, InsertAfter where) {
    record(QStringLiteral("placeWindow %1 %2").arg(handle).arg(describe(where)));
    if (!available(Feature::WindowStacking)) {
        return;
    }
    int from = -1;
    for (int i = 0; i < windows.size(); ++i) {
        if (windows.at(i).handle == handle) {
            from = i;
        }
    }
    if (from < 0 || (where.kind == InsertAfter::Kind::Below && where.window == handle)) {
        return;
    }
    Window moved = windows.takeAt(from);
    auto firstNormal = [this] {
        int at = 0;
        while (at < windows.size() && windows.at(at).topmost) {
            ++at;
        }
        return at;
    };
    int to = 0;
    switch (where.kind) {
    case InsertAfter::Kind::Below: {
        to = -1;
        for (int i = 0; i < windows.size(); ++i) {
            if (windows.at(i).handle == where.window) {
                to = i + 1;
            }
        }
        if (to < 0) {
            // Below a window that is not there: the move fails and nothing changes.
            windows.insert(from, moved);
            return;
        }
        break;
    }
    case InsertAfter::Kind::Top:
        to = moved.topmost ? 0 : firstNormal();
        break;
    case InsertAfter::Kind::Topmost:
        moved.topmost = true;
        to = 0;
        break;
    case InsertAfter::Kind::NoTopmost:
        moved.topmost = false;
        to = firstNormal();
        break;
    case InsertAfter::Kind::Bottom:
        to = windows.size();
        moved.topmost = false;
        break;
    }
    if (where.kind == InsertAfter::Kind::Below) {
        // The bands stay whole: placed after a normal window a topmost one leaves its band, placed
        // above a topmost window a normal one joins it.
        if (moved.topmost && to > 0 && !windows.at(to - 1).topmost) {
            moved.topmost = false;
        } else if (!moved.topmost && to < windows.size() && windows.at(to).topmost) {
            moved.topmost = true;
        }
    }
    windows.insert(to, moved);
}

bool FakeViewerPlatform::setOwnerWindow(NativeWindow handle, NativeWindow owner) {
    record(QStringLiteral("setOwnerWindow %1 %2").arg(handle).arg(owner));
    Window* w = window(handle);
    if (!available(Feature::WindowStacking) || !w || handle == owner) {
        return false;
    }
    w->owner = owner;
    return true;
}

bool FakeViewerPlatform::systemMenuHasItem(NativeWindow handle, quint32 id) {
    record(QStringLiteral("systemMenuHasItem %1 %2").arg(handle).arg(id));
    const Window* w = window(handle);
    if (!available(Feature::SystemMenu) || !w) {
        return false;
    }
    for (const auto& item : w->systemMenu) {
        if (item.first == id && id != 0) {
            return true;
        }
    }
    return false;
}

bool FakeViewerPlatform::appendSystemMenuSeparator(NativeWindow handle) {
    record(QStringLiteral("appendSystemMenuSeparator %1").arg(handle));
    Window* w = window(handle);
    if (!available(Feature::SystemMenu) || !w) {
        return false;
    }
    w->systemMenu.append({0, QString()});
    return true;
}

bool FakeViewerPlatform::appendSystemMenuItem(NativeWindow handle, quint32 id, const QString& text) {
    record(QStringLiteral("appendSystemMenuItem %1 %2 %3").arg(handle).arg(id).arg(text));
    Window* w = window(handle);
    if (!available(Feature::SystemMenu) || !w) {
        return false;
    }
    w->systemMenu.append({id, text});
    return true;
}

bool FakeViewerPlatform::registerMultiAxisInput(NativeWindow handle) {
    record(QStringLiteral("registerMultiAxisInput %1").arg(handle));
    return available(Feature::RawInput);
}

bool FakeViewerPlatform::readRawInput(const QByteArray&, void*, RawHidReport* report) {
    if (!available(Feature::RawInput) || rawReports.isEmpty() || !report) {
        return false;
    }
    *report = rawReports.takeFirst();
    return true;
}

bool FakeViewerPlatform::attachParentConsole() {
    record(QStringLiteral("attachParentConsole"));
    return available(Feature::Console);
}

} // namespace ViewerPlatform
