#include "platform/viewer/FakeViewerPlatform.h"
#include "platform/viewer/KeyCodeTable.h"
#include "platform/viewer/ViewerPlatform.h"

#include <QGuiApplication>
#include <QWindow>
#include <QtTest>

#include <vector>

using namespace ViewerPlatform;
using Kind = InsertAfter::Kind;

Q_DECLARE_METATYPE(ViewerPlatform::InsertAfter)

namespace {

// "a", "B" ...: one window per letter, top first; upper case is topmost.
FakeViewerPlatform::Window window(QChar letter) {
    FakeViewerPlatform::Window w;
    w.handle = letter.toLower().unicode();
    w.topmost = letter.isUpper();
    return w;
}

QString describe(const FakeViewerPlatform& fake) {
    QString order;
    for (const auto& w : fake.windows) {
        const QChar letter(ushort(w.handle));
        order += w.topmost ? letter.toUpper() : letter;
    }
    return order;
}

} // namespace

class TestViewerPlatform : public QObject {
    Q_OBJECT

private slots:
    void applicationKeepsItsPlatform() {
        // main() built the application with the extra arguments; the chosen platform still holds.
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
        QVERIFY(!QCoreApplication::arguments().contains(QStringLiteral("windows:altgr")));
    }

    void instanceFallsBackToNotAvailable() {
        Interface* platform = instance();
        QCOMPARE(platform, unavailable());
        QVERIFY(!platform->available(Feature::WindowEnumeration));
        QVERIFY(platform->topLevelWindows().isEmpty());
        QWindow window;
        window.create();
        QCOMPARE(platform->nativeHandle(&window), NativeWindow(0));

        FakeViewerPlatform fake;
        {
            ScopedPlatform scope(&fake);
            QCOMPARE(instance(), &fake);
            QVERIFY(instance()->nativeHandle(&window) != 0);
        }
        QCOMPARE(instance(), unavailable());
    }

    void fakeStacking_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QChar>("moved");
        QTest::addColumn<InsertAfter>("where");
        QTest::addColumn<QString>("expected");

        QTest::newRow("below another") << "abcd" << QChar('a') << InsertAfter::below('c') << "bcad";
        QTest::newRow("below the last") << "abcd" << QChar('b') << InsertAfter::below('d') << "acdb";
        QTest::newRow("below itself") << "abc" << QChar('b') << InsertAfter::below('b') << "abc";
        QTest::newRow("top of the normal band") << "ABcd" << QChar('d') << InsertAfter::top() << "ABdc";
        QTest::newRow("top of the topmost band") << "ABcd" << QChar('b') << InsertAfter::top() << "BAcd";
        QTest::newRow("into the topmost band") << "Abc" << QChar('c') << InsertAfter::topmost() << "CAb";
        QTest::newRow("out of the topmost band") << "ABc" << QChar('a') << InsertAfter::noTopmost() << "Bac";
        QTest::newRow("bottom") << "abc" << QChar('a') << InsertAfter::bottom() << "bca";
        QTest::newRow("bottom leaves the topmost band")
            << "Abc" << QChar('a') << InsertAfter::bottom() << "bca";
        QTest::newRow("below a normal window leaves the topmost band")
            << "ABcd" << QChar('a') << InsertAfter::below('c') << "Bcad";
        QTest::newRow("below the last topmost stays in the band")
            << "ABcd" << QChar('a') << InsertAfter::below('b') << "BAcd";
        QTest::newRow("between topmost windows joins the band")
            << "ABcd" << QChar('d') << InsertAfter::below('a') << "ADBc";
        QTest::newRow("below the last topmost tops the normal band")
            << "ABcd" << QChar('d') << InsertAfter::below('b') << "ABdc";
        QTest::newRow("below a window that is not there")
            << "abc" << QChar('a') << InsertAfter::below('z') << "abc";
        QTest::newRow("unknown window") << "abc" << QChar('z') << InsertAfter::top() << "abc";
    }

    void fakeStacking() {
        QFETCH(QString, start);
        QFETCH(QChar, moved);
        QFETCH(InsertAfter, where);
        QFETCH(QString, expected);

        FakeViewerPlatform fake;
        for (QChar letter : start) {
            fake.windows << window(letter);
        }
        fake.placeWindow(moved.unicode(), where);
        QCOMPARE(describe(fake), expected);
        QCOMPARE(fake.calls.size(), 1);
    }

    void fakeNewWindowsOpenAtTheTopOfTheirBand() {
        FakeViewerPlatform fake;
        fake.addWindow('a');
        fake.addWindow('b', QString(), true);
        fake.addWindow('c');
        QCOMPARE(describe(fake), QStringLiteral("Bca"));
    }

    void fakeHookGivesBackWhatItTook() {
        FakeViewerPlatform fake;
        QCOMPARE(fake.loadLibrary(QStringLiteral("grapnel.dll")), LibraryHandle(0)); // not there

        fake.libraries << QStringLiteral("grapnel.dll");
        const LibraryHandle library = fake.loadLibrary(QStringLiteral("grapnel.dll"));
        QVERIFY(library);
        QCOMPARE(fake.findProcedure(library, "GrapnelProc"), ProcedureHandle(0)); // not exported
        fake.procedures << "GrapnelProc";
        const ProcedureHandle procedure = fake.findProcedure(library, "GrapnelProc");
        QVERIFY(procedure);
        const HookHandle hook = fake.setKeyboardHook(procedure, library);
        QVERIFY(hook);
        QCOMPARE(fake.installedHooks.size(), 1);

        fake.removeKeyboardHook(hook);
        fake.freeLibrary(library);
        QVERIFY(fake.installedHooks.isEmpty());
        QVERIFY(fake.loadedLibraries.isEmpty());
        QCOMPARE(fake.calls.first(), QStringLiteral("loadLibrary grapnel.dll"));
    }

    // X keycodes (evdev + 8) to the scan codes the server expects.
    void scanCodesOfXKeycodes_data() {
        QTest::addColumn<quint32>("keycode");
        QTest::addColumn<quint32>("scanCode");
        QTest::newRow("Escape") << 9u << 0x01u;
        QTest::newRow("A") << 38u << 0x1Eu;
        QTest::newRow("left Ctrl") << 37u << 0x1Du;
        QTest::newRow("left Shift") << 50u << 0x2Au;
        QTest::newRow("right Shift") << 62u << 0x36u;
        QTest::newRow("left Alt") << 64u << 0x38u;
        QTest::newRow("keypad 7") << 79u << 0x47u;
        QTest::newRow("keypad .") << 91u << 0x53u;
        QTest::newRow("102nd key") << 94u << 0x56u;
        QTest::newRow("F12") << 96u << 0x58u;
        QTest::newRow("NumLock, as Windows reports it") << 77u << 0x145u;
        QTest::newRow("Pause would be NumLock on the server") << 127u << 0u;
        QTest::newRow("keypad Enter") << 104u << 0x11Cu;
        QTest::newRow("right Ctrl") << 105u << 0x11Du;
        QTest::newRow("keypad /") << 106u << 0x135u;
        QTest::newRow("Print") << 107u << 0x137u;
        QTest::newRow("right Alt") << 108u << 0x138u;
        QTest::newRow("Home") << 110u << 0x147u;
        QTest::newRow("Left") << 113u << 0x14Bu;
        QTest::newRow("Delete") << 119u << 0x153u;
        QTest::newRow("left Windows") << 133u << 0x15Bu;
        QTest::newRow("Menu") << 135u << 0x15Du;
        QTest::newRow("F24") << 202u << 0x76u;
        QTest::newRow("unknown: volume mute") << 121u << 0u;
        QTest::newRow("unknown: gap in the main block") << 92u << 0u;
        QTest::newRow("below the evdev range") << 8u << 0u;
        QTest::newRow("zero") << 0u << 0u;
        QTest::newRow("beyond every table") << 0xFFFFFFFFu << 0u;
    }

    void scanCodesOfXKeycodes() {
        QFETCH(quint32, keycode);
        QFETCH(quint32, scanCode);
        QCOMPARE(scanCodeForXKeycode(keycode), scanCode);
        FakeViewerPlatform fake;
        QCOMPARE(fake.keyScanCode(keycode), scanCode);
        QCOMPARE(unavailable()->keyScanCode(keycode), 0u);
    }

    void fakeAnswersNotAvailable() {
        FakeViewerPlatform fake;
        fake.keysDown << VkLShift;
        fake.pendingDeadChars[7] = 1;
        fake.addWindow(7);
        fake.missing = {Feature::KeyboardState, Feature::MessageQueue, Feature::SystemMenu,
                        Feature::WindowStacking};
        QVERIFY(!fake.isKeyDown(VkLShift));
        QVERIFY(!fake.removePendingDeadChar(7));
        QVERIFY(!fake.appendSystemMenuItem(7, 16, QStringLiteral("Settings")));
        fake.placeWindow(7, InsertAfter::bottom());
        QVERIFY(fake.window(7)->systemMenu.isEmpty());

        fake.missing.clear();
        QVERIFY(fake.removePendingDeadChar(7));
        QVERIFY(!fake.removePendingDeadChar(7)); // only one was pending
        QVERIFY(fake.sendKeyUp(VkLShift));
        QVERIFY(!fake.isKeyDown(VkLShift));
    }
};

int main(int argc, char** argv) {
    // Build the application the way the programs do, with the platform's extra arguments.
    std::vector<QByteArray> storage;
    for (int i = 0; i < argc; ++i) {
        storage.emplace_back(argv[i]);
    }
    for (const QByteArray& extra : extraApplicationArguments()) {
        storage.push_back(extra);
    }
    std::vector<char*> arguments;
    for (QByteArray& argument : storage) {
        arguments.push_back(argument.data());
    }
    int count = int(arguments.size());
    arguments.push_back(nullptr);
    QGuiApplication app(count, arguments.data());
    TestViewerPlatform test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_viewerplatform.moc"
