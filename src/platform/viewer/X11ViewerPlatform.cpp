#include "platform/viewer/X11ViewerPlatform.h"

#include "platform/viewer/KeyCodeTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QLibrary>
#include <QWindow>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <vector>

// Xlib's stacking modes are macros that collide with our own names.
namespace {
constexpr int stackAbove = Above;
constexpr int stackBelow = Below;
} // namespace
#undef Above
#undef Below

namespace ViewerPlatform {

namespace {

// Window ids come from other programs and may be gone by the time we use them; Xlib's default
// handler would end the process on the resulting error.
class ErrorTrap {
public:
    explicit ErrorTrap(Display* display)
        : display(display) {
        XSync(display, False);
        failed = false;
        previous = XSetErrorHandler(&ErrorTrap::handler);
    }
    ~ErrorTrap() {
        XSync(display, False);
        XSetErrorHandler(previous);
    }
    bool ok() {
        XSync(display, False);
        return !failed;
    }

private:
    static int handler(Display*, XErrorEvent*) {
        failed = true;
        return 0;
    }
    static bool failed;
    Display* display;
    XErrorHandler previous = nullptr;
};

bool ErrorTrap::failed = false;

std::vector<KeySym> keySymsFor(int virtualKey) {
    switch (virtualKey) {
    case VkShift:
        return {XK_Shift_L, XK_Shift_R};
    case VkControl:
        return {XK_Control_L, XK_Control_R};
    case VkMenu:
        return {XK_Alt_L, XK_Alt_R, XK_ISO_Level3_Shift};
    case VkLShift:
        return {XK_Shift_L};
    case VkRShift:
        return {XK_Shift_R};
    case VkLControl:
        return {XK_Control_L};
    case VkRControl:
        return {XK_Control_R};
    case VkLMenu:
        return {XK_Alt_L};
    case VkRMenu:
        // AltGr on most layouts.
        return {XK_Alt_R, XK_ISO_Level3_Shift};
    case VkCapital:
        return {XK_Caps_Lock};
    case VkNumLock:
        return {XK_Num_Lock};
    case VkScroll:
        return {XK_Scroll_Lock};
    case VkKana:
        return {XK_Kana_Lock};
    default:
        return {};
    }
}

// The key a left or right modifier is on (evdev numbering plus 8, as in the key-code table). Layouts
// move keysyms between keys (AltGr puts the level-3 shift on right Alt and lists it first on a key of its
// own), while the server gets the scan code of the physical key; 0 for other keys.
KeyCode physicalKeyFor(int virtualKey) {
    switch (virtualKey) {
    case VkLShift:
        return 50;
    case VkRShift:
        return 62;
    case VkLControl:
        return 37;
    case VkRControl:
        return 105;
    case VkLMenu:
        return 64;
    case VkRMenu:
        return 108;
    default:
        return 0;
    }
}

const char* indicatorFor(int virtualKey) {
    switch (virtualKey) {
    case VkCapital:
        return "Caps Lock";
    case VkNumLock:
        return "Num Lock";
    case VkScroll:
        return "Scroll Lock";
    case VkKana:
        return "Kana";
    default:
        return nullptr;
    }
}

// Reads a property as a list of 32-bit items (longs in Xlib's representation).
std::vector<unsigned long> longProperty(Display* display, Window window, Atom property, Atom type) {
    std::vector<unsigned long> items;
    Atom actualType = 0;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType, &actualFormat,
                           &count, &remaining, &data) == Success &&
        data) {
        if (actualFormat == 32 && (type == AnyPropertyType || actualType == type)) {
            const auto* values = reinterpret_cast<const unsigned long*>(data);
            items.assign(values, values + count);
        }
        XFree(data);
    }
    return items;
}

bool hasNetState(Display* display, Window window, const char* state) {
    const Atom netState = XInternAtom(display, "_NET_WM_STATE", False);
    const Atom wanted = XInternAtom(display, state, False);
    for (unsigned long atom : longProperty(display, window, netState, XA_ATOM)) {
        if (atom == wanted) {
            return true;
        }
    }
    return false;
}

// The child of the root that holds `window`: the frame a window manager put it in, or the window itself;
// 0 when the window is gone.
Window frameOf(Display* display, Window window) {
    Window current = window;
    // Frames are shallow; the bound only guards against a tree changing under the walk.
    for (int depth = 0; depth < 32 && current; ++depth) {
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, current, &root, &parent, &children, &count)) {
            return 0;
        }
        if (children) {
            XFree(children);
        }
        if (current == root) {
            return 0;
        }
        if (parent == root) {
            return current;
        }
        current = parent;
    }
    return 0;
}

// Window managers may make their frames override-redirect: only being mapped counts.
bool isShown(Display* display, Window window) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

} // namespace

X11ViewerPlatform::X11ViewerPlatform(Display* display)
    : display(display) {
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    hasXTest = display && XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor);
}

QString X11ViewerPlatform::layoutIdFor(const QString& layout, const QString& variant) {
    if (layout == QLatin1String("us")) {
        if (variant == QLatin1String("dvorak")) {
            return QStringLiteral("00010409");
        }
        if (variant == QLatin1String("intl") || variant == QLatin1String("altgr-intl")) {
            return QStringLiteral("00020409");
        }
    }
    static const QHash<QString, int> ids{
        {QStringLiteral("us"), 0x409},    {QStringLiteral("gb"), 0x809},  {QStringLiteral("de"), 0x407},
        {QStringLiteral("at"), 0xC07},    {QStringLiteral("ch"), 0x807},  {QStringLiteral("fr"), 0x40C},
        {QStringLiteral("be"), 0x80C},    {QStringLiteral("ca"), 0x1009}, {QStringLiteral("es"), 0x40A},
        {QStringLiteral("latam"), 0x80A}, {QStringLiteral("it"), 0x410},  {QStringLiteral("pt"), 0x816},
        {QStringLiteral("br"), 0x416},    {QStringLiteral("nl"), 0x413},  {QStringLiteral("dk"), 0x406},
        {QStringLiteral("no"), 0x414},    {QStringLiteral("se"), 0x41D},  {QStringLiteral("fi"), 0x40B},
        {QStringLiteral("is"), 0x40F},    {QStringLiteral("ee"), 0x425},  {QStringLiteral("lv"), 0x426},
        {QStringLiteral("lt"), 0x427},    {QStringLiteral("pl"), 0x415},  {QStringLiteral("cz"), 0x405},
        {QStringLiteral("sk"), 0x41B},    {QStringLiteral("hu"), 0x40E},  {QStringLiteral("si"), 0x424},
        {QStringLiteral("hr"), 0x41A},    {QStringLiteral("ro"), 0x418},  {QStringLiteral("bg"), 0x402},
        {QStringLiteral("gr"), 0x408},    {QStringLiteral("tr"), 0x41F},  {QStringLiteral("ru"), 0x419},
        {QStringLiteral("ua"), 0x422},    {QStringLiteral("il"), 0x40D},  {QStringLiteral("jp"), 0x411},
        {QStringLiteral("kr"), 0x412},
    };
    const auto it = ids.constFind(layout);
    if (it == ids.constEnd()) {
        return {};
    }
    return QStringLiteral("%1").arg(it.value(), 8, 16, QLatin1Char('0')).toUpper();
}

bool X11ViewerPlatform::available(Feature feature) const {
    if (!display) {
        return false;
    }
    switch (feature) {
    case Feature::KeyboardState:
    case Feature::KeyboardLayout:
    case Feature::NativeHandles:
    case Feature::Minimise:
    case Feature::WindowEnumeration:
    case Feature::WindowStacking:
    case Feature::Console:
        return true;
    case Feature::SyntheticInput:
        return hasXTest;
    case Feature::KeyboardHook:
        return true;
    case Feature::MessageQueue:
    case Feature::SystemMenu:
    case Feature::RawInput:
        return false;
    }
    return false;
}

bool X11ViewerPlatform::isKeyDown(int virtualKey) {
    if (!display) {
        return false;
    }
    char keys[32] = {};
    XQueryKeymap(display, keys);
    const auto isDown = [&keys](KeyCode code) { return code && (keys[code / 8] & (1 << (code % 8))); };
    if (isDown(physicalKeyFor(virtualKey))) {
        return true;
    }
    for (KeySym sym : keySymsFor(virtualKey)) {
        if (isDown(XKeysymToKeycode(display, sym))) {
            return true;
        }
    }
    return false;
}

bool X11ViewerPlatform::isKeyToggled(int virtualKey) {
    const char* name = indicatorFor(virtualKey);
    if (!display || !name) {
        return false;
    }
    int index = 0;
    Bool on = False;
    const Atom atom = XInternAtom(display, name, False);
    return XkbGetNamedIndicator(display, atom, &index, &on, nullptr, nullptr) && on;
}

QString X11ViewerPlatform::keyboardLayoutName() {
    if (!display) {
        return {};
    }
    // "rules\0model\0layouts\0variants\0options", as set by setxkbmap or the server's defaults.
    const Atom names = XInternAtom(display, "_XKB_RULES_NAMES", False);
    Atom actualType = 0;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    QList<QByteArray> fields;
    if (XGetWindowProperty(display, DefaultRootWindow(display), names, 0, 1024, False, XA_STRING, &actualType,
                           &actualFormat, &count, &remaining, &data) == Success &&
        data) {
        if (actualFormat == 8) {
            fields = QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(count)).split('\0');
        }
        XFree(data);
    }
    if (fields.size() < 3) {
        return {};
    }
    const QStringList layouts = QString::fromLatin1(fields.at(2)).split(QLatin1Char(','));
    const QStringList variants =
        fields.size() > 3 ? QString::fromLatin1(fields.at(3)).split(QLatin1Char(',')) : QStringList();
    XkbStateRec state{};
    int group = 0;
    if (XkbGetState(display, XkbUseCoreKbd, &state) == Success) {
        group = state.group;
    }
    if (group < 0 || group >= layouts.size()) {
        group = 0;
    }
    return layoutIdFor(layouts.value(group).trimmed(), variants.value(group).trimmed());
}

quint32 X11ViewerPlatform::keyScanCode(quint32 nativeKeyCode) {
    return scanCodeForXKeycode(nativeKeyCode);
}

bool X11ViewerPlatform::sendKeyUp(int virtualKey) {
    if (!hasXTest) {
        return false;
    }
    for (KeySym sym : keySymsFor(virtualKey)) {
        const KeyCode code = XKeysymToKeycode(display, sym);
        if (code) {
            XTestFakeKeyEvent(display, code, False, CurrentTime);
            XFlush(display);
            return true;
        }
    }
    return false;
}

LibraryHandle X11ViewerPlatform::loadLibrary(const QString& name) {
    if (!display) {
        return 0;
    }
    // "name.dll" is "libname.so" here; like the Windows loader, look beside the program first.
    QString base = QFileInfo(name).fileName();
    if (base.endsWith(QLatin1String(".dll"), Qt::CaseInsensitive)) {
        base.chop(4);
    }
    if (base.isEmpty()) {
        return 0;
    }
    QStringList candidates;
    if (QCoreApplication::instance()) {
        candidates
            << QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("lib%1.so").arg(base));
    }
    candidates << base;
    for (const QString& candidate : candidates) {
        auto* library = new QLibrary(candidate);
        if (library->load()) {
            return reinterpret_cast<LibraryHandle>(library);
        }
        delete library;
    }
    return 0;
}

ProcedureHandle X11ViewerPlatform::findProcedure(LibraryHandle library, const QByteArray& name) {
    if (!library) {
        return 0;
    }
    return reinterpret_cast<ProcedureHandle>(reinterpret_cast<QLibrary*>(library)->resolve(name.constData()));
}

HookHandle X11ViewerPlatform::setKeyboardHook(ProcedureHandle procedure, LibraryHandle library) {
    if (!display || !procedure || !library) {
        return 0;
    }
    QWindow* focus = qobject_cast<QGuiApplication*>(QCoreApplication::instance())
                         ? QGuiApplication::focusWindow()
                         : nullptr;
    if (!focus || !focus->handle()) {
        return 0;
    }
    ErrorTrap trap(display);
    // Keys still go to our own windows as usual (owner events); the rest of the desktop gets none.
    const int status = XGrabKeyboard(display, static_cast<Window>(focus->winId()), True, GrabModeAsync,
                                     GrabModeAsync, CurrentTime);
    if (!trap.ok() || status != GrabSuccess) {
        return 0;
    }
    // A newer hook takes the grab over from an older one, which then lets go of nothing.
    grabHook = ++lastHook;
    return grabHook;
}

void X11ViewerPlatform::removeKeyboardHook(HookHandle hook) {
    if (!display || !hook || hook != grabHook) {
        return;
    }
    grabHook = 0;
    XUngrabKeyboard(display, CurrentTime);
    XFlush(display);
}

void X11ViewerPlatform::freeLibrary(LibraryHandle library) {
    if (!library) {
        return;
    }
    auto* loaded = reinterpret_cast<QLibrary*>(library);
    loaded->unload();
    delete loaded;
}

bool X11ViewerPlatform::removePendingDeadChar(NativeWindow) {
    // Dead keys are composed by the input method before Qt sees the key; nothing is queued.
    return false;
}

NativeWindow X11ViewerPlatform::nativeHandle(QWindow* window) {
    return window && window->handle() ? static_cast<NativeWindow>(window->winId()) : 0;
}

bool X11ViewerPlatform::isIconic(NativeWindow window) {
    if (!display || !window) {
        return false;
    }
    ErrorTrap trap(display);
    const Atom wmState = XInternAtom(display, "WM_STATE", False);
    const auto state = longProperty(display, window, wmState, wmState);
    const bool iconic = (!state.empty() && state.front() == IconicState) ||
                        hasNetState(display, window, "_NET_WM_STATE_HIDDEN");
    return trap.ok() && iconic;
}

void X11ViewerPlatform::showWindow(NativeWindow window, ShowCommand command) {
    if (!display || !window) {
        return;
    }
    ErrorTrap trap(display);
    if (command == ShowCommand::Minimize) {
        XIconifyWindow(display, window, DefaultScreen(display));
    } else {
        XMapRaised(display, window);
    }
}

QList<NativeWindow> X11ViewerPlatform::topLevelWindows() {
    QList<NativeWindow> result;
    if (!display) {
        return result;
    }
    ErrorTrap trap(display);
    const Window root = DefaultRootWindow(display);
    // A window manager lists its clients bottom to top; without one the root's mapped children are
    // the top-level windows, also bottom to top.
    const Atom stacking = XInternAtom(display, "_NET_CLIENT_LIST_STACKING", False);
    const auto clients = longProperty(display, root, stacking, XA_WINDOW);
    if (!clients.empty()) {
        for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
            result << static_cast<NativeWindow>(*it);
        }
        return result;
    }
    Window rootReturn = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, root, &rootReturn, &parent, &children, &count)) {
        return result;
    }
    for (unsigned int i = count; i-- > 0;) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display, children[i], &attributes) && attributes.map_state == IsViewable &&
            !attributes.override_redirect) {
            result << static_cast<NativeWindow>(children[i]);
        }
    }
    if (children) {
        XFree(children);
    }
    return result;
}

bool X11ViewerPlatform::isTopmost(NativeWindow window) {
    if (!display || !window) {
        return false;
    }
    ErrorTrap trap(display);
    const bool above = hasNetState(display, window, "_NET_WM_STATE_ABOVE");
    return trap.ok() && above;
}

QString X11ViewerPlatform::windowClassName(NativeWindow window) {
    if (!display || !window) {
        return {};
    }
    ErrorTrap trap(display);
    XClassHint hint{};
    QString name;
    if (XGetClassHint(display, window, &hint)) {
        name = QString::fromLocal8Bit(hint.res_class);
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    return trap.ok() ? name : QString();
}

void X11ViewerPlatform::placeWindow(NativeWindow window, InsertAfter where) {
    if (!display || !window) {
        return;
    }
    ErrorTrap trap(display);
    XWindowChanges changes{};
    unsigned int mask = CWStackMode;
    switch (where.kind) {
    case InsertAfter::Kind::Below:
        if (!where.window || where.window == window) {
            return;
        }
        changes.sibling = where.window;
        changes.stack_mode = stackBelow;
        mask |= CWSibling;
        break;
    case InsertAfter::Kind::Top:
    case InsertAfter::Kind::Topmost:
    case InsertAfter::Kind::NoTopmost:
        // Bands belong to the window manager; we only raise within the window's own.
        changes.stack_mode = stackAbove;
        break;
    case InsertAfter::Kind::Bottom:
        changes.stack_mode = stackBelow;
        break;
    }
    // Restacks directly, or asks the window manager when it manages the window.
    XReconfigureWMWindow(display, window, DefaultScreen(display), mask, &changes);
}

StackingPlace X11ViewerPlatform::stackingPlace(NativeWindow window, const QList<NativeWindow>& others) {
    StackingPlace place;
    if (!display || !window) {
        return place;
    }
    ErrorTrap trap(display);
    const Window frame = frameOf(display, window);
    if (!frame || !isShown(display, frame)) {
        return place;
    }
    QHash<Window, NativeWindow> framesOfOthers;
    for (NativeWindow other : others) {
        const Window otherFrame = other && other != window ? frameOf(display, other) : 0;
        if (otherFrame && otherFrame != frame) {
            framesOfOthers.insert(otherFrame, other);
        }
    }
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        return place;
    }
    // Bottom to top.
    unsigned int at = 0;
    while (at < count && children[at] != frame) {
        ++at;
    }
    if (at < count) {
        place.found = true;
        place.height = int(at);
        for (unsigned int i = at + 1; i < count; ++i) {
            const auto it = framesOfOthers.constFind(children[i]);
            if (it != framesOfOthers.constEnd() && isShown(display, children[i])) {
                place.above = it.value();
                break;
            }
        }
    }
    if (children) {
        XFree(children);
    }
    return trap.ok() ? place : StackingPlace();
}

NativeWindow X11ViewerPlatform::watchStacking(NativeWindow window) {
    if (!display || !window) {
        return 0;
    }
    ErrorTrap trap(display);
    const Window frame = frameOf(display, window);
    XWindowAttributes attributes{};
    if (!frame || !XGetWindowAttributes(display, frame, &attributes)) {
        return 0;
    }
    // Adds to this connection's own selection, which on our own windows is Qt's. (The root window's
    // substructure events would tell of every frame too, but Qt keeps only the last of consecutive
    // configure events for one event window.)
    if (!(attributes.your_event_mask & StructureNotifyMask)) {
        XSelectInput(display, frame, attributes.your_event_mask | StructureNotifyMask);
    }
    return trap.ok() ? frame : 0;
}

WindowChange X11ViewerPlatform::windowChange(const QByteArray& eventType, void* message) {
    WindowChange change;
    if (!message || eventType != "xcb_generic_event_t") {
        return change;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if (event->response_type == XCB_CONFIGURE_NOTIFY) { // sent ones have the top bit set
        const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
        change.kind = WindowChange::Kind::Configured;
        change.window = configure->window;
        change.below = configure->above_sibling;
    } else if ((event->response_type & 0x7F) == XCB_REPARENT_NOTIFY) {
        change.kind = WindowChange::Kind::Reparented;
        change.window = reinterpret_cast<const xcb_reparent_notify_event_t*>(event)->window;
    }
    return change;
}

bool X11ViewerPlatform::setOwnerWindow(NativeWindow window, NativeWindow owner) {
    if (!display || !window || window == owner) {
        return false;
    }
    ErrorTrap trap(display);
    if (owner) {
        XSetTransientForHint(display, window, owner);
    } else {
        XDeleteProperty(display, window, XA_WM_TRANSIENT_FOR);
    }
    return trap.ok();
}

bool X11ViewerPlatform::systemMenuHasItem(NativeWindow, quint32) {
    return false;
}

bool X11ViewerPlatform::appendSystemMenuSeparator(NativeWindow) {
    return false;
}

bool X11ViewerPlatform::appendSystemMenuItem(NativeWindow, quint32, const QString&) {
    return false;
}

bool X11ViewerPlatform::registerMultiAxisInput(NativeWindow) {
    return false;
}

bool X11ViewerPlatform::readRawInput(const QByteArray&, void*, RawHidReport*) {
    return false;
}

bool X11ViewerPlatform::attachParentConsole() {
    // A Linux program inherits its parent's standard streams; there is nothing to attach.
    return true;
}

} // namespace ViewerPlatform
