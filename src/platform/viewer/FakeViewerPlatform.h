#pragma once

#include "platform/viewer/ViewerPlatform.h"

#include <QHash>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QStringList>

namespace ViewerPlatform {

// An in-memory window system for tests: its state is set up by the test, every call except the pure
// queries (`available`, `nativeHandle`, `keyScanCode`, `isTopmost`, `windowClassName`, `readRawInput`)
// is recorded in `calls` as one line ("showWindow 7 6"), and stacking, minimising, the system menu and
// synthesised key releases act on that state.
class FakeViewerPlatform : public Interface {
public:
    struct Window {
        NativeWindow handle = 0;
        QString className;
        bool topmost = false;
        bool iconic = false;
        NativeWindow owner = 0; // set by setOwnerWindow
        QList<QPair<quint32, QString>> systemMenu; // id 0 is a separator
    };

    QStringList calls;

    QSet<Feature> missing; // features answered as "not available"
    QSet<int> keysDown;    // virtual keys held
    QSet<int> keysToggled; // toggle keys on
    QString layoutName = QStringLiteral("00000409");
    QSet<QString> libraries;     // names that load
    QSet<QByteArray> procedures; // procedures every loaded library exports
    QHash<NativeWindow, int> pendingDeadChars;
    QHash<QWindow*, NativeWindow> handles; // explicit handles; otherwise a created window's id
    QList<Window> windows;                 // top-level windows, topmost first
    QList<RawHidReport> rawReports;        // handed out by readRawInput, one per call

    // Live libraries and hooks, to check that everything taken is given back.
    QSet<LibraryHandle> loadedLibraries;
    QSet<HookHandle> installedHooks;

    Window* window(NativeWindow handle);
    QList<NativeWindow> stackingOrder() const;
    Window& addWindow(NativeWindow handle, const QString& className = {}, bool topmost = false);

    bool available(Feature feature) const override;
    bool isKeyDown(int virtualKey) override;
    bool isKeyToggled(int virtualKey) override;
    QString keyboardLayoutName() override;
    // Native key codes are X keycodes here, as under X11.
    quint32 keyScanCode(quint32 nativeKeyCode) override;
    bool sendKeyUp(int virtualKey) override;
    LibraryHandle loadLibrary(const QString& name) override;
    ProcedureHandle findProcedure(LibraryHandle library, const QByteArray& name) override;
    HookHandle setKeyboardHook(ProcedureHandle procedure, LibraryHandle library) override;
    void removeKeyboardHook(HookHandle hook) override;
    void freeLibrary(LibraryHandle library) override;
    bool removePendingDeadChar(NativeWindow window) override;
    NativeWindow nativeHandle(QWindow* window) override;
    bool isIconic(NativeWindow window) override;
    void showWindow(NativeWindow window, ShowCommand command) override;
    QList<NativeWindow> topLevelWindows() override;
    bool isTopmost(NativeWindow window) override;
    QString windowClassName(NativeWindow window) override;
    void placeWindow(NativeWindow window, InsertAfter where) override;
    bool setOwnerWindow(NativeWindow window, NativeWindow owner) override;
    bool systemMenuHasItem(NativeWindow window, quint32 id) override;
    bool appendSystemMenuSeparator(NativeWindow window) override;
    bool appendSystemMenuItem(NativeWindow window, quint32 id, const QString& text) override;
    bool registerMultiAxisInput(NativeWindow window) override;
    bool readRawInput(const QByteArray& eventType, void* message, RawHidReport* report) override;
    bool attachParentConsole() override;

private:
    void record(const QString& line) { calls << line; }
    quintptr nextHandle = 0x1000;
};

// Installs a platform for the lifetime of a scope, e.g. a fake in one test function.
class ScopedPlatform {
public:
    explicit ScopedPlatform(Interface* platform) { setInstance(platform); }
    ~ScopedPlatform() { setInstance(nullptr); }
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;
};

} // namespace ViewerPlatform
