#pragma once

#include "platform/viewer/ViewerPlatform.h"

// Kept out of the header: Xlib's macros (None, Bool, Status, ...) clash with Qt's names.
typedef struct _XDisplay Display;

namespace ViewerPlatform {

// The viewer's calls on an X11 display. X11 has keyboard state, layouts, synthesised input (XTEST),
// window enumeration, stacking (with notice of restacks by others) and iconifying; it has no
// dead-character messages, no system menu and no raw input of multi-axis controllers. The keyboard hook is a
// keyboard grab for the focused window, taken only when the hook library ("lib<name>.so" for "<name>.dll",
// looked for beside the program first) and its procedure are there; the procedure is not called.
class X11ViewerPlatform : public Interface {
public:
    // The display is not owned.
    explicit X11ViewerPlatform(Display* display);

    // Windows-style layout id for an XKB layout and variant ("us", "de", "fr" with "bepo", ...);
    // empty when the layout is not known.
    static QString layoutIdFor(const QString& layout, const QString& variant);

    bool available(Feature feature) const override;
    bool isKeyDown(int virtualKey) override;
    bool isKeyToggled(int virtualKey) override;
    QString keyboardLayoutName() override;
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
    // Read from the window tree, which is up to date when a change is reported, unlike the window
    // manager's client list.
    StackingPlace stackingPlace(NativeWindow window, const QList<NativeWindow>& others) override;
    // Selects structure events on the window's frame: its configure events tell of its restacks.
    NativeWindow watchStacking(NativeWindow window) override;
    // Configure events that the window manager sends itself tell of geometry only, never of a restack.
    WindowChange windowChange(const QByteArray& eventType, void* message) override;
    // WM_TRANSIENT_FOR: window managers keep a window above the one it is transient for.
    bool setOwnerWindow(NativeWindow window, NativeWindow owner) override;
    bool systemMenuHasItem(NativeWindow window, quint32 id) override;
    bool appendSystemMenuSeparator(NativeWindow window) override;
    bool appendSystemMenuItem(NativeWindow window, quint32 id, const QString& text) override;
    bool registerMultiAxisInput(NativeWindow window) override;
    bool readRawInput(const QByteArray& eventType, void* message, RawHidReport* report) override;
    bool attachParentConsole() override;

private:
    Display* display;
    bool hasXTest = false;
    HookHandle grabHook = 0; // the hook holding the keyboard grab
    HookHandle lastHook = 0;
};

} // namespace ViewerPlatform
