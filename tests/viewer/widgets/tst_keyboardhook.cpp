// The process-wide keyboard hook and the keyboard-layout reader, against the recording platform fake.
#include "platform/viewer/FakeViewerPlatform.h"
#include "viewer/widgets/KeyInput.h"
#include "viewer/widgets/KeyboardHook.h"
#include "viewer/widgets/KeyboardLayout.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QtTest>

#include <cstdio>

using namespace ViewerPlatform;

namespace {

// The hook only compares owners; any distinct addresses serve.
RdpBasic* owner(int n) {
    static char owners[4];
    return reinterpret_cast<RdpBasic*>(&owners[n]);
}

QStringList hookCalls(const QStringList& calls) {
    QStringList result;
    for (const QString& call : calls) {
        if (call.startsWith(QLatin1String("setKeyboardHook")) ||
            call.startsWith(QLatin1String("removeKeyboardHook")) ||
            call.startsWith(QLatin1String("loadLibrary")) || call.startsWith(QLatin1String("freeLibrary"))) {
            result << call.section(QLatin1Char(' '), 0, 0);
        }
    }
    return result;
}

} // namespace

class TestKeyboardHook : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { KeyboardHook::release(); }

    void missingPieces_data() {
        QTest::addColumn<bool>("library");
        QTest::addColumn<bool>("procedure");
        QTest::addColumn<bool>("hooked");
        QTest::newRow("library missing") << false << true << false;
        QTest::newRow("procedure missing") << true << false << false;
        QTest::newRow("both there") << true << true << true;
    }

    // Whatever is missing, the holder exists, installs nothing and gives back what it took.
    void missingPieces() {
        QFETCH(bool, library);
        QFETCH(bool, procedure);
        QFETCH(bool, hooked);
        FakeViewerPlatform fake;
        ScopedPlatform scope(&fake);
        if (library) {
            fake.libraries << QStringLiteral("grapnel.dll");
        }
        if (procedure) {
            fake.procedures << "GrapnelProc";
        }
        KeyboardHook::install(owner(0));
        QVERIFY(KeyboardHook::current());
        QCOMPARE(KeyboardHook::current()->owner(), owner(0));
        QCOMPARE(KeyboardHook::current()->isHooked(), hooked);
        QCOMPARE(fake.installedHooks.size(), hooked ? 1 : 0);

        KeyboardHook::releaseFor(owner(0));
        QVERIFY(!KeyboardHook::current());
        QVERIFY(fake.installedHooks.isEmpty());
        QVERIFY(fake.loadedLibraries.isEmpty());
    }

    void newHookIsSetBeforeTheOldOneGoes() {
        FakeViewerPlatform fake;
        ScopedPlatform scope(&fake);
        fake.libraries << QStringLiteral("grapnel.dll");
        fake.procedures << "GrapnelProc";
        KeyboardHook::install(owner(0));
        fake.calls.clear();
        KeyboardHook::install(owner(1));
        QCOMPARE(hookCalls(fake.calls),
                 (QStringList{"loadLibrary", "setKeyboardHook", "removeKeyboardHook", "freeLibrary"}));
        QCOMPARE(KeyboardHook::current()->owner(), owner(1));
        QCOMPARE(fake.installedHooks.size(), 1);

        // Only the owner's release takes it away.
        KeyboardHook::releaseFor(owner(0));
        QVERIFY(KeyboardHook::current());
        KeyboardHook::releaseFor(owner(1));
        QVERIFY(!KeyboardHook::current());
        QVERIFY(fake.installedHooks.isEmpty());
        QVERIFY(fake.loadedLibraries.isEmpty());
    }

    void layout_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("available");
        QTest::addColumn<quint32>("layout");
        QTest::newRow("us") << "00000409" << true << 0x409u;
        QTest::newRow("german") << "00000407" << true << 0x407u;
        QTest::newRow("french") << "0000040C" << true << 0x40Cu;
        QTest::newRow("british") << "00000809" << true << 0x809u;
        QTest::newRow("us dvorak") << "00010409" << true << 0x10409u;
        QTest::newRow("unknown layout") << "" << true << 0x409u;
        QTest::newRow("not hexadecimal") << "zz" << true << 0x409u;
        QTest::newRow("zero") << "00000000" << true << 0x409u;
        QTest::newRow("no keyboard layout here") << "00000407" << false << 0x409u;
    }

    void layout() {
        QFETCH(QString, name);
        QFETCH(bool, available);
        QFETCH(quint32, layout);
        FakeViewerPlatform fake;
        ScopedPlatform scope(&fake);
        fake.layoutName = name;
        if (!available) {
            fake.missing << Feature::KeyboardLayout;
        }
        KeyboardRecord record;
        readKeyboardLayout(record);
        QCOMPARE(record.layout, layout);
        QCOMPARE(record.type, 4u);
    }

    // Under X11 a key event carries the X keycode; the platform turns it into the scan code.
    void keyEventsGiveScanCodes() {
        FakeViewerPlatform fake;
        ScopedPlatform scope(&fake);
        const QKeyEvent rightCtrl(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 105, 0xffe4, 4);
        const KeyInput input = KeyInput::fromEvent(rightCtrl);
        QCOMPARE(input.nativeScanCode, 0x11Du);
        QCOMPARE(input.nativeVirtualKey, 0xffe4u);
        QCOMPARE(input.nativeModifiers, 4u);
        QVERIFY(!input.autoRepeat);

        const QKeyEvent mute(QEvent::KeyPress, Qt::Key_VolumeMute, Qt::NoModifier, 121, 0x1008ff12, 0,
                             QString(), true);
        const KeyInput unknown = KeyInput::fromEvent(mute);
        QCOMPARE(unknown.nativeScanCode, 0u);
        QVERIFY(unknown.autoRepeat);
    }
};

// After the tests, a hook still held when the application object goes must be released with it.
int main(int argc, char** argv) {
    FakeViewerPlatform fake;
    fake.libraries << QStringLiteral("grapnel.dll");
    fake.procedures << "GrapnelProc";
    int code = 0;
    {
        QGuiApplication app(argc, argv);
        TestKeyboardHook test;
        code = QTest::qExec(&test, argc, argv);
        setInstance(&fake);
        KeyboardHook::install(owner(3));
        if (fake.installedHooks.size() != 1) {
            std::fprintf(stderr, "FAIL!  : no hook to release at exit\n");
            code = code ? code : 1;
        }
    }
    const bool released =
        !KeyboardHook::current() && fake.installedHooks.isEmpty() && fake.loadedLibraries.isEmpty();
    setInstance(nullptr);
    if (!released) {
        std::fprintf(stderr, "FAIL!  : the keyboard hook outlived the application\n");
        return code ? code : 1;
    }
    return code;
}

#include "tst_keyboardhook.moc"
