#include "platform/viewer/ViewerPlatform.h"

#include "platform/viewer/X11ViewerPlatform.h"

#include <QGuiApplication>
#include <QX11Info>

#include <memory>

namespace ViewerPlatform {

Interface::~Interface() = default;

bool Interface::setOwnerWindow(NativeWindow, NativeWindow) {
    return false;
}

StackingPlace Interface::stackingPlace(NativeWindow window, const QList<NativeWindow>& others) {
    StackingPlace place;
    const QList<NativeWindow> desktop = topLevelWindows();
    const int at = window ? desktop.indexOf(window) : -1;
    if (at < 0) {
        return place;
    }
    place.found = true;
    place.height = desktop.size() - at;
    for (int i = at - 1; i >= 0; --i) {
        if (others.contains(desktop.at(i))) {
            place.above = desktop.at(i);
            break;
        }
    }
    return place;
}

NativeWindow Interface::watchStacking(NativeWindow) {
    return 0;
}

WindowChange Interface::windowChange(const QByteArray&, void*) {
    return {};
}

namespace {

class Unavailable final : public Interface {
public:
    bool available(Feature) const override { return false; }
    bool isKeyDown(int) override { return false; }
    bool isKeyToggled(int) override { return false; }
    QString keyboardLayoutName() override { return {}; }
    quint32 keyScanCode(quint32) override { return 0; }
    bool sendKeyUp(int) override { return false; }
    LibraryHandle loadLibrary(const QString&) override { return 0; }
    ProcedureHandle findProcedure(LibraryHandle, const QByteArray&) override { return 0; }
    HookHandle setKeyboardHook(ProcedureHandle, LibraryHandle) override { return 0; }
    void removeKeyboardHook(HookHandle) override {}
    void freeLibrary(LibraryHandle) override {}
    bool removePendingDeadChar(NativeWindow) override { return false; }
    NativeWindow nativeHandle(QWindow*) override { return 0; }
    bool isIconic(NativeWindow) override { return false; }
    void showWindow(NativeWindow, ShowCommand) override {}
    QList<NativeWindow> topLevelWindows() override { return {}; }
    bool isTopmost(NativeWindow) override { return false; }
    QString windowClassName(NativeWindow) override { return {}; }
    void placeWindow(NativeWindow, InsertAfter) override {}
    bool systemMenuHasItem(NativeWindow, quint32) override { return false; }
    bool appendSystemMenuSeparator(NativeWindow) override { return false; }
    bool appendSystemMenuItem(NativeWindow, quint32, const QString&) override { return false; }
    bool registerMultiAxisInput(NativeWindow) override { return false; }
    bool readRawInput(const QByteArray&, void*, RawHidReport*) override { return false; }
    bool attachParentConsole() override { return false; }
};

Interface* installed = nullptr;

} // namespace

QList<QByteArray> extraApplicationArguments() {
#ifdef Q_OS_WIN
    return {QByteArrayLiteral("-platform"), QByteArrayLiteral("windows:altgr")};
#else
    return {};
#endif
}

Interface* unavailable() {
    static Unavailable platform;
    return &platform;
}

Interface* instance() {
    if (installed) {
        return installed;
    }
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) && QX11Info::isPlatformX11()) {
        // Bound to Qt's own connection to the display, which a new application object replaces.
        static std::unique_ptr<X11ViewerPlatform> x11;
        static Display* boundTo = nullptr;
        if (!x11 || boundTo != QX11Info::display()) {
            boundTo = QX11Info::display();
            x11 = std::make_unique<X11ViewerPlatform>(boundTo);
        }
        return x11.get();
    }
    return unavailable();
}

void setInstance(Interface* platform) {
    installed = platform;
}

} // namespace ViewerPlatform
