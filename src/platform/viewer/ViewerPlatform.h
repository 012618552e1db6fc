#pragma once

#include <QByteArray>
#include <QHashFunctions>
#include <QList>
#include <QString>
#include <QtGlobal>

class QWindow;

// The viewer's window-system calls behind one interface. The viewer's own rules (which keys to
// resynchronise, how to restack windows, ...) are written against it; an implementation only answers
// the single call. Where a system has no such thing the answer is a plain "not available": a zero
// handle, false, an empty text or an empty list, and `available` says so.
//
// Key codes and show commands use the numbering the display server expects (virtual-key codes).
namespace ViewerPlatform {

// A native top-level window (0 = none).
using NativeWindow = quintptr;
// A loaded hook library, a procedure in it and an installed hook (0 = none).
using LibraryHandle = quintptr;
using ProcedureHandle = quintptr;
using HookHandle = quintptr;

enum VirtualKey : int {
    VkShift = 0x10,
    VkControl = 0x11,
    VkMenu = 0x12,
    VkCapital = 0x14,
    VkKana = 0x15,
    VkNumLock = 0x90,
    VkScroll = 0x91,
    VkLShift = 0xA0,
    VkRShift = 0xA1,
    VkLControl = 0xA2,
    VkRControl = 0xA3,
    VkLMenu = 0xA4,
    VkRMenu = 0xA5,
};

enum class Feature {
    KeyboardState,
    KeyboardLayout,
    SyntheticInput,
    KeyboardHook,
    MessageQueue,
    NativeHandles,
    Minimise,
    WindowEnumeration,
    WindowStacking,
    SystemMenu,
    RawInput,
    Console,
};

inline uint qHash(Feature feature, uint seed = 0) {
    return ::qHash(static_cast<int>(feature), seed);
}

enum class ShowCommand : int {
    Minimize = 6,
    Restore = 9,
};

// Where a window goes in the stacking order.
struct InsertAfter {
    enum class Kind {
        Below,     // directly below `window`
        Top,       // top of the window's own band
        Topmost,   // top of the topmost band
        NoTopmost, // top of the normal band, leaving the topmost band
        Bottom,
    };
    Kind kind = Kind::Top;
    NativeWindow window = 0;

    static InsertAfter below(NativeWindow w) { return {Kind::Below, w}; }
    static InsertAfter top() { return {Kind::Top, 0}; }
    static InsertAfter topmost() { return {Kind::Topmost, 0}; }
    static InsertAfter noTopmost() { return {Kind::NoTopmost, 0}; }
    static InsertAfter bottom() { return {Kind::Bottom, 0}; }
    bool operator==(const InsertAfter& o) const { return kind == o.kind && window == o.window; }
    bool operator!=(const InsertAfter& o) const { return !(*this == o); }
};

// Where a shown top-level window lies in the stacking order.
struct StackingPlace {
    bool found = false;     // false: the window is not shown, or not known
    NativeWindow above = 0; // the nearest of the windows asked about that lies above it; 0: none does
    int height = 0;         // higher lies above lower
};

// What a native event tells of a window.
struct WindowChange {
    enum class Kind {
        None,
        Configured, // moved, resized or restacked
        Reparented,
    };
    Kind kind = Kind::None;
    NativeWindow window = 0;
    NativeWindow below = 0; // configured: the window that then lay directly below it; 0 none or unknown
};

// One report of a multi-axis controller, read from a native input message.
struct RawHidReport {
    quint32 vendorId = 0;
    QByteArray data; // byte 0 is the report id
};

class Interface {
public:
    virtual ~Interface();

    virtual bool available(Feature feature) const = 0;

    // Keyboard state and layout.
    // Key held down (the sign bit of the key state).
    virtual bool isKeyDown(int virtualKey) = 0;
    // Toggle key on (the low bit of the key state): Caps, Num and Scroll Lock, Kana.
    virtual bool isKeyToggled(int virtualKey) = 0;
    // The active layout as eight hexadecimal digits (e.g. "00000409"); empty when unknown.
    virtual QString keyboardLayoutName() = 0;
    // The set-1 scan code (0x100 added for extended keys) of a key event's native key code; 0 when the
    // key has none. Where native key codes are scan codes already, the code is returned unchanged.
    virtual quint32 keyScanCode(quint32 nativeKeyCode) = 0;

    // Synthesised input: one key release of `virtualKey` with scan code 0.
    virtual bool sendKeyUp(int virtualKey) = 0;

    // Low-level keyboard hook, step by step as its owner performs them. Where the system has no such
    // hook, setting one grabs the keyboard for the focused window and removing it lets go.
    virtual LibraryHandle loadLibrary(const QString& name) = 0;
    virtual ProcedureHandle findProcedure(LibraryHandle library, const QByteArray& name) = 0;
    virtual HookHandle setKeyboardHook(ProcedureHandle procedure, LibraryHandle library) = 0;
    virtual void removeKeyboardHook(HookHandle hook) = 0;
    virtual void freeLibrary(LibraryHandle library) = 0;

    // Message queue: drop one pending dead-character message of `window`; true when one was dropped.
    virtual bool removePendingDeadChar(NativeWindow window) = 0;

    // Native handle of a Qt window, 0 when it has none.
    virtual NativeWindow nativeHandle(QWindow* window) = 0;

    // Minimising and restoring.
    virtual bool isIconic(NativeWindow window) = 0;
    virtual void showWindow(NativeWindow window, ShowCommand command) = 0;

    // Enumeration and stacking. Top-level windows of the desktop, topmost first.
    virtual QList<NativeWindow> topLevelWindows() = 0;
    virtual bool isTopmost(NativeWindow window) = 0;
    virtual QString windowClassName(NativeWindow window) = 0;
    // Moves `window` in the stacking order only: no size change, no move, no activation.
    virtual void placeWindow(NativeWindow window, InsertAfter where) = 0;
    // `window`'s place among the shown top-level windows, with the nearest of `others` above it. The
    // default reads `topLevelWindows`.
    virtual StackingPlace stackingPlace(NativeWindow window, const QList<NativeWindow>& others);
    // Changes of the stacking made by others (the user, a window manager, another program). Asks to be
    // told of changes of `window`'s place and answers the window whose native events tell of them: the
    // frame a window manager put `window` in, or `window` itself; 0 where nothing tells (the default).
    // The frame changes when the window is reparented: ask again then.
    virtual NativeWindow watchStacking(NativeWindow window);
    // What a native event tells of a window; nothing for other events (the default).
    virtual WindowChange windowChange(const QByteArray& eventType, void* message);
    // Makes `owner` the window that `window` belongs to (0: none), so that the window system keeps
    // `window` above it. False where the system has no such relation; the default has none.
    virtual bool setOwnerWindow(NativeWindow window, NativeWindow owner);

    // The window's system menu.
    virtual bool systemMenuHasItem(NativeWindow window, quint32 id) = 0;
    virtual bool appendSystemMenuSeparator(NativeWindow window) = 0;
    virtual bool appendSystemMenuItem(NativeWindow window, quint32 id, const QString& text) = 0;

    // Raw input of multi-axis controllers (usage page 1, usage 8) delivered to `window`.
    virtual bool registerMultiAxisInput(NativeWindow window) = 0;
    // Reads a report from a native event; false when the event is not one.
    virtual bool readRawInput(const QByteArray& eventType, void* message, RawHidReport* report) = 0;

    // Console of the parent process, for a GUI program started from a terminal.
    virtual bool attachParentConsole() = 0;
};

// Arguments a program appends to its own before it creates the application object. Only the Windows
// build has any (its platform's AltGr handling); elsewhere another platform's name would make Qt
// abort, and it would override a platform chosen for the process, such as offscreen.
QList<QByteArray> extraApplicationArguments();

// The process's implementation: the one set with `setInstance`, otherwise the one that fits the
// running Qt platform (X11 under "xcb", "not available" elsewhere, e.g. offscreen). GUI thread only:
// the X11 implementation shares Qt's display connection.
Interface* instance();
// Replaces the process's implementation (not owned; nullptr restores the default).
void setInstance(Interface* platform);

// An implementation that answers "not available" to everything.
Interface* unavailable();

} // namespace ViewerPlatform
