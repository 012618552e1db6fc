#include "platform/viewer/X11ViewerPlatform.h"

#include "XvfbServer.h"

#include <QtTest>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <memory>
#include <vector>

using namespace ViewerPlatform;
using Feature = ViewerPlatform::Feature;

Q_DECLARE_METATYPE(ViewerPlatform::Feature)

class TestX11ViewerPlatform : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        const QString failure = server.start();
        if (!failure.isEmpty()) {
            QFAIL(qPrintable(failure));
        }
        display = XOpenDisplay(server.displayName().toLatin1().constData());
        QVERIFY(display);
        platform = std::make_unique<X11ViewerPlatform>(display);
    }

    void cleanupTestCase() {
        platform.reset();
        if (display) {
            XCloseDisplay(display);
        }
        server.stop();
    }

    void cleanup() {
        for (Window w : created) {
            XDestroyWindow(display, w);
        }
        created.clear();
        XSync(display, False);
    }

    void features_data() {
        QTest::addColumn<Feature>("feature");
        QTest::addColumn<bool>("available");
        QTest::newRow("keyboard state") << Feature::KeyboardState << true;
        QTest::newRow("keyboard layout") << Feature::KeyboardLayout << true;
        QTest::newRow("synthesised input") << Feature::SyntheticInput << true;
        QTest::newRow("window enumeration") << Feature::WindowEnumeration << true;
        QTest::newRow("stacking") << Feature::WindowStacking << true;
        QTest::newRow("minimise") << Feature::Minimise << true;
        QTest::newRow("keyboard hook (keyboard grab)") << Feature::KeyboardHook << true;
        QTest::newRow("dead characters") << Feature::MessageQueue << false;
        QTest::newRow("system menu") << Feature::SystemMenu << false;
        QTest::newRow("raw input") << Feature::RawInput << false;
    }

    void features() {
        QFETCH(Feature, feature);
        QFETCH(bool, available);
        QCOMPARE(platform->available(feature), available);
    }

    void notAvailableAnswers() {
        QVERIFY(!platform->appendSystemMenuItem(1, 16, QStringLiteral("Settings")));
        QVERIFY(!platform->systemMenuHasItem(1, 16));
        QVERIFY(!platform->registerMultiAxisInput(1));
        QVERIFY(!platform->removePendingDeadChar(1));
        QCOMPARE(platform->nativeHandle(nullptr), NativeWindow(0));
    }

    // The test hook library lies beside the program (as "libgrapnel.so"); the grab itself needs a focused
    // Qt window and is tested with the session's input.
    void hookLibraryByName() {
        QCOMPARE(platform->loadLibrary(QStringLiteral("absent.dll")), LibraryHandle(0));
        const LibraryHandle library = platform->loadLibrary(QStringLiteral("grapnel.dll"));
        QVERIFY(library);
        QCOMPARE(platform->findProcedure(library, "NoSuchProc"), ProcedureHandle(0));
        const ProcedureHandle procedure = platform->findProcedure(library, "GrapnelProc");
        QVERIFY(procedure);
        QCOMPARE(platform->setKeyboardHook(procedure, library), HookHandle(0)); // no focused window
        QCOMPARE(platform->setKeyboardHook(0, library), HookHandle(0));
        platform->removeKeyboardHook(0);
        platform->freeLibrary(library);
    }

    void layoutIds_data() {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("variant");
        QTest::addColumn<QString>("id");
        QTest::newRow("us") << "us"
                            << ""
                            << "00000409";
        QTest::newRow("us dvorak") << "us"
                                   << "dvorak"
                                   << "00010409";
        QTest::newRow("us international") << "us"
                                          << "intl"
                                          << "00020409";
        QTest::newRow("german") << "de"
                                << ""
                                << "00000407";
        QTest::newRow("german variant keeps layout") << "de"
                                                     << "nodeadkeys"
                                                     << "00000407";
        QTest::newRow("british") << "gb"
                                 << ""
                                 << "00000809";
        QTest::newRow("french") << "fr"
                                << ""
                                << "0000040C";
        QTest::newRow("canadian") << "ca"
                                  << ""
                                  << "00001009";
        QTest::newRow("unknown") << "xx"
                                 << ""
                                 << "";
        QTest::newRow("empty") << ""
                               << ""
                               << "";
    }

    void layoutIds() {
        QFETCH(QString, layout);
        QFETCH(QString, variant);
        QFETCH(QString, id);
        QCOMPARE(X11ViewerPlatform::layoutIdFor(layout, variant), id);
    }

    void layoutNameFromRulesNames_data() {
        QTest::addColumn<QByteArray>("names");
        QTest::addColumn<QString>("id");
        QTest::newRow("us") << QByteArray("evdev\0pc105\0us\0\0", 16) << "00000409";
        QTest::newRow("first group of several") << QByteArray("evdev\0pc105\0de,us\0,\0", 20) << "00000407";
        QTest::newRow("variant") << QByteArray("evdev\0pc105\0us\0dvorak\0", 23) << "00010409";
        QTest::newRow("unknown layout") << QByteArray("evdev\0pc105\0zz\0\0", 16) << "";
        QTest::newRow("truncated") << QByteArray("evdev\0pc105", 11) << "";
        QTest::newRow("empty") << QByteArray() << "";
    }

    void layoutNameFromRulesNames() {
        QFETCH(QByteArray, names);
        QFETCH(QString, id);
        const Window root = DefaultRootWindow(display);
        const Atom property = XInternAtom(display, "_XKB_RULES_NAMES", False);
        unsigned char* old = nullptr;
        Atom type = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long remaining = 0;
        XGetWindowProperty(display, root, property, 0, 1024, False, XA_STRING, &type, &format, &count,
                           &remaining, &old);
        const QByteArray saved = old ? QByteArray(reinterpret_cast<char*>(old), int(count)) : QByteArray();
        if (old) {
            XFree(old);
        }

        XChangeProperty(display, root, property, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(names.constData()), names.size());
        XSync(display, False);
        const QString result = platform->keyboardLayoutName();
        XChangeProperty(display, root, property, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(saved.constData()), saved.size());
        XSync(display, False);
        QCOMPARE(result, id);
    }

    void keyStateAndSynthesisedRelease() {
        const KeyCode leftShift = XKeysymToKeycode(display, XK_Shift_L);
        QVERIFY(leftShift);
        XTestFakeKeyEvent(display, leftShift, True, CurrentTime);
        XSync(display, False);
        QVERIFY(platform->isKeyDown(VkLShift));
        QVERIFY(platform->isKeyDown(VkShift));
        QVERIFY(!platform->isKeyDown(VkRShift));
        QVERIFY(!platform->isKeyDown(VkLControl));

        // Releases the key the way the viewer releases a stuck Alt.
        QVERIFY(platform->sendKeyUp(VkLShift));
        XSync(display, False);
        QVERIFY(!platform->isKeyDown(VkLShift));
        QVERIFY(!platform->isKeyDown(VkShift));
        QVERIFY(!platform->isKeyDown(0x41)); // not a key the platform knows
    }

    // Layouts with AltGr (German, French, ...) give the right Alt key the level-3 shift, which the
    // keymap also lists on a key of its own; held right Alt must still count as right Alt, and only it.
    void rightAltHeldAsAltGr() {
        const KeyCode rightAlt = 108;  // evdev 100
        const KeyCode levelThree = 92; // the keymap's own level-3 key, listed first
        int width = 0;
        KeySym* saved = XGetKeyboardMapping(display, levelThree, rightAlt - levelThree + 1, &width);
        QVERIFY(saved && width > 0);
        std::vector<KeySym> altGr(size_t(width), NoSymbol);
        altGr[0] = XK_ISO_Level3_Shift;
        XChangeKeyboardMapping(display, levelThree, width, altGr.data(), 1);
        XChangeKeyboardMapping(display, rightAlt, width, altGr.data(), 1);
        XTestFakeKeyEvent(display, rightAlt, True, CurrentTime);
        XSync(display, False);

        // A fresh connection sees the keymap as a program started with this layout does.
        Display* fresh = XOpenDisplay(server.displayName().toLatin1().constData());
        bool right = false;
        bool left = false;
        if (fresh) {
            X11ViewerPlatform withAltGr(fresh);
            right = withAltGr.isKeyDown(VkRMenu);
            left = withAltGr.isKeyDown(VkLMenu);
            XCloseDisplay(fresh);
        }

        XTestFakeKeyEvent(display, rightAlt, False, CurrentTime);
        XChangeKeyboardMapping(display, levelThree, width, saved, rightAlt - levelThree + 1);
        XFree(saved);
        XSync(display, False);
        QVERIFY(fresh);
        QVERIFY(right);
        QVERIFY(!left);
    }

    void toggleKeys() {
        const KeyCode caps = XKeysymToKeycode(display, XK_Caps_Lock);
        QVERIFY(caps);
        const bool before = platform->isKeyToggled(VkCapital);
        auto tap = [&] {
            XTestFakeKeyEvent(display, caps, True, CurrentTime);
            XTestFakeKeyEvent(display, caps, False, CurrentTime);
            XSync(display, False);
        };
        tap();
        QCOMPARE(platform->isKeyToggled(VkCapital), !before);
        QVERIFY(!platform->isKeyDown(VkCapital));
        tap();
        QCOMPARE(platform->isKeyToggled(VkCapital), before);
        QVERIFY(!platform->isKeyToggled(VkLShift)); // not a toggle key
    }

    void enumerationAndStacking() {
        const Window a = createWindow("Alpha");
        const Window b = createWindow("Beta");
        const Window c = createWindow("Gamma");
        const Window hidden = createWindow("Hidden", false);

        QCOMPARE(ours(), (QList<NativeWindow>{c, b, a}));
        QVERIFY(!platform->topLevelWindows().contains(hidden));
        QCOMPARE(platform->windowClassName(b), QStringLiteral("Beta"));

        platform->placeWindow(c, InsertAfter::below(a));
        QCOMPARE(ours(), (QList<NativeWindow>{b, a, c}));
        platform->placeWindow(c, InsertAfter::top());
        QCOMPARE(ours(), (QList<NativeWindow>{c, b, a}));
        platform->placeWindow(c, InsertAfter::bottom());
        QCOMPARE(ours(), (QList<NativeWindow>{b, a, c}));
        platform->placeWindow(a, InsertAfter::below(a)); // itself: nothing to do
        QCOMPARE(ours(), (QList<NativeWindow>{b, a, c}));
    }

    void windowStateProperties() {
        const Window w = createWindow("State");
        QVERIFY(!platform->isTopmost(w));
        QVERIFY(!platform->isIconic(w));

        const Atom netState = XInternAtom(display, "_NET_WM_STATE", False);
        const long above = long(XInternAtom(display, "_NET_WM_STATE_ABOVE", False));
        XChangeProperty(display, w, netState, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&above), 1);
        const Atom wmState = XInternAtom(display, "WM_STATE", False);
        const long iconic[2] = {IconicState, 0};
        XChangeProperty(display, w, wmState, wmState, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(iconic), 2);
        XSync(display, False);
        QVERIFY(platform->isTopmost(w));
        QVERIFY(platform->isIconic(w));
    }

    void minimizeAsksTheWindowManagerAndRestoreMaps() {
        // A second client listens on the root window as a window manager would.
        Display* manager = XOpenDisplay(server.displayName().toLatin1().constData());
        QVERIFY(manager);
        XSelectInput(manager, DefaultRootWindow(manager), SubstructureNotifyMask);
        XSync(manager, False);

        const Window w = createWindow("Minimise");
        platform->showWindow(w, ShowCommand::Minimize);
        const Atom changeState = XInternAtom(manager, "WM_CHANGE_STATE", False);
        bool asked = false;
        QTRY_VERIFY_WITH_TIMEOUT(
            asked = asked ||
                    [&] {
                        XEvent event;
                        while (XCheckTypedEvent(manager, ClientMessage, &event)) {
                            if (event.xclient.window == w && event.xclient.message_type == changeState &&
                                event.xclient.data.l[0] == IconicState) {
                                return true;
                            }
                        }
                        return false;
                    }(),
            5000);
        XCloseDisplay(manager);

        const Window unmapped = createWindow("Restore", false);
        platform->showWindow(unmapped, ShowCommand::Restore);
        XSync(display, False);
        XWindowAttributes attributes{};
        QVERIFY(XGetWindowAttributes(display, unmapped, &attributes));
        QCOMPARE(attributes.map_state, IsViewable);
    }

    // Without a window manager the top-level windows are their own frames; with one, the frame that
    // holds the window is what is stacked. Others restack them; the configure events tell of it.
    void restacksByOthers() {
        const Window a = createWindow("Alpha");
        const Window b = createWindow("Beta");
        const Window c = createWindow("Gamma");
        QCOMPARE(platform->watchStacking(a), NativeWindow(a));
        StackingPlace place = platform->stackingPlace(a, {b, c});
        QVERIFY(place.found);
        QCOMPARE(place.above, NativeWindow(b));

        // Another program raises `a`: its configure event says what lies below it now.
        Display* other = XOpenDisplay(server.displayName().toLatin1().constData());
        QVERIFY(other);
        XRaiseWindow(other, a);
        XSync(other, False);
        const WindowChange change = nextChange(a, ConfigureNotify);
        QCOMPARE(int(change.kind), int(WindowChange::Kind::Configured));
        QCOMPARE(change.window, NativeWindow(a));
        QCOMPARE(change.below, NativeWindow(c));
        place = platform->stackingPlace(a, {b, c});
        QVERIFY(place.found);
        QCOMPARE(place.above, NativeWindow(0));
        // Windows not asked about are passed over.
        QCOMPARE(platform->stackingPlace(b, {a}).above, NativeWindow(a));
        QVERIFY(platform->stackingPlace(b, {a}).height < platform->stackingPlace(a, {b}).height);

        // A configure event sent by a window manager tells of geometry only.
        XEvent sent{};
        sent.xconfigure.type = ConfigureNotify;
        sent.xconfigure.event = a;
        sent.xconfigure.window = a;
        sent.xconfigure.above = b;
        XSendEvent(other, a, False, StructureNotifyMask, &sent);
        XSync(other, False);
        const WindowChange geometryOnly = nextChange(a, ConfigureNotify);
        QVERIFY(geometryOnly.kind != WindowChange::Kind::Configured);
        QCOMPARE(geometryOnly.window, NativeWindow(0));

        // Framed: the frame is watched, and stands for the window in the stacking order.
        const Window frame = createWindow("Frame");
        const Window client = createWindow("Client");
        QCOMPARE(platform->watchStacking(client), NativeWindow(client));
        XReparentWindow(other, client, frame, 0, 0);
        XSync(other, False);
        created.removeAll(client); // goes with its frame
        const WindowChange reparented = nextChange(client, ReparentNotify);
        QCOMPARE(int(reparented.kind), int(WindowChange::Kind::Reparented));
        QCOMPARE(reparented.window, NativeWindow(client));
        QCOMPARE(platform->watchStacking(client), NativeWindow(frame));
        XLowerWindow(other, frame);
        XSync(other, False);
        const WindowChange lowered = nextChange(frame, ConfigureNotify);
        QCOMPARE(lowered.window, NativeWindow(frame));
        QCOMPARE(lowered.below, NativeWindow(0));
        place = platform->stackingPlace(client, {a, b});
        QVERIFY(place.found);
        QCOMPARE(place.above, NativeWindow(b));
        XCloseDisplay(other);

        // Hidden and vanished windows have no place.
        const Window hidden = createWindow("Hidden", false);
        QVERIFY(!platform->stackingPlace(hidden, {a}).found);
        XDestroyWindow(display, hidden);
        created.removeAll(hidden);
        XSync(display, False);
        QVERIFY(!platform->stackingPlace(hidden, {a}).found);
        QCOMPARE(platform->watchStacking(hidden), NativeWindow(0));
    }

    void vanishedWindowsAreHarmless() {
        const Window w = createWindow("Gone");
        XDestroyWindow(display, w);
        created.removeAll(w);
        XSync(display, False);
        QVERIFY(!platform->isIconic(w));
        QVERIFY(!platform->isTopmost(w));
        QCOMPARE(platform->windowClassName(w), QString());
        platform->placeWindow(w, InsertAfter::top());
        platform->showWindow(w, ShowCommand::Restore);
        QVERIFY(!platform->topLevelWindows().contains(w));
    }

private:
    Window createWindow(const char* className, bool mapped = true) {
        const Window w = XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 50, 50, 0, 0, 0);
        XClassHint hint;
        hint.res_name = const_cast<char*>("test");
        hint.res_class = const_cast<char*>(className);
        XSetClassHint(display, w, &hint);
        if (mapped) {
            XMapWindow(display, w);
        }
        XSync(display, False);
        created << w;
        return w;
    }

    // The next event of `type` about `window` on the platform's connection, handed over as Qt's xcb
    // platform hands events to native event filters.
    WindowChange nextChange(Window window, int type) {
        XEvent event{};
        if (!QTest::qWaitFor([&] { return XCheckTypedWindowEvent(display, window, type, &event); }, 5000)) {
            return {};
        }
        const auto sentBit = quint8(event.xany.send_event ? 0x80 : 0);
        if (type == ConfigureNotify) {
            xcb_configure_notify_event_t configure{};
            configure.response_type = quint8(XCB_CONFIGURE_NOTIFY | sentBit);
            configure.event = xcb_window_t(event.xconfigure.event);
            configure.window = xcb_window_t(event.xconfigure.window);
            configure.above_sibling = xcb_window_t(event.xconfigure.above);
            return platform->windowChange("xcb_generic_event_t", &configure);
        }
        xcb_reparent_notify_event_t reparent{};
        reparent.response_type = quint8(XCB_REPARENT_NOTIFY | sentBit);
        reparent.event = xcb_window_t(event.xreparent.event);
        reparent.window = xcb_window_t(event.xreparent.window);
        reparent.parent = xcb_window_t(event.xreparent.parent);
        return platform->windowChange("xcb_generic_event_t", &reparent);
    }

    QList<NativeWindow> ours() {
        QList<NativeWindow> result;
        for (NativeWindow w : platform->topLevelWindows()) {
            if (created.contains(Window(w))) {
                result << w;
            }
        }
        return result;
    }

    XvfbServer server;
    Display* display = nullptr;
    std::unique_ptr<X11ViewerPlatform> platform;
    QList<Window> created;
};

QTEST_GUILESS_MAIN(TestX11ViewerPlatform)
#include "tst_x11viewerplatform.moc"
