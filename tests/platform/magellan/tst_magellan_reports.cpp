// The 3D mouse's report decoder, descriptor check and report source.

#include "platform/magellan/MagellanReportSource.h"
#include "platform/magellan/MagellanReports.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using MagellanReports::Report;

Q_DECLARE_METATYPE(Report::Kind)

class TestMagellanReports : public QObject {
    Q_OBJECT
private slots:
    void decode_data() {
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<Report::Kind>("kind");
        QTest::addColumn<QList<int>>("axes"); // x y z rx ry rz as unsigned 16-bit
        QTest::addColumn<quint32>("keys");

        const QList<int> none{0, 0, 0, 0, 0, 0};
        // x = d[1..2], y = -d[5..6], z = -d[3..4]; rx = d[7..8], ry = -d[11..12], rz = -d[9..10].
        QTest::newRow("translation and rotation in one 13-byte report")
            << QByteArray::fromHex("01 0100 0200 0300 0400 0500 0600") << Report::Kind::Move
            << QList<int>{1, 0xFFFD, 0xFFFE, 4, 0xFFFA, 0xFFFB} << 0u;
        QTest::newRow("7-byte translation: no rotation")
            << QByteArray::fromHex("01 0a00 f6ff 0080") << Report::Kind::Move
            << QList<int>{10, 0x8000, 10, 0, 0, 0} << 0u;
        QTest::newRow("translation of another length: no rotation")
            << QByteArray::fromHex("01 0100 0200 0300 0400 0500") << Report::Kind::Move
            << QList<int>{1, 0xFFFD, 0xFFFE, 0, 0, 0} << 0u;
        QTest::newRow("rotation") << QByteArray::fromHex("02 0100 0200 0300") << Report::Kind::Move
                                  << QList<int>{0, 0, 0, 1, 0xFFFD, 0xFFFE} << 0u;
        QTest::newRow("buttons") << QByteArray::fromHex("03 01020304") << Report::Kind::Keys << none
                                 << 0x04030201u;
        QTest::newRow("buttons in two bytes")
            << QByteArray::fromHex("03 0180") << Report::Kind::Keys << none << 0x8001u;
        QTest::newRow("buttons: extra bytes ignored")
            << QByteArray::fromHex("03 0100000099") << Report::Kind::Keys << none << 1u;
        QTest::newRow("translation one byte short")
            << QByteArray::fromHex("01 0100 0200 03") << Report::Kind::None << none << 0u;
        QTest::newRow("rotation one byte short")
            << QByteArray::fromHex("02 0100 0200 03") << Report::Kind::None << none << 0u;
        QTest::newRow("buttons without a byte")
            << QByteArray::fromHex("03") << Report::Kind::None << none << 0u;
        QTest::newRow("empty") << QByteArray() << Report::Kind::None << none << 0u;
        QTest::newRow("unknown report id")
            << QByteArray::fromHex("04 0100 0200 0300") << Report::Kind::None << none << 0u;
    }
    void decode() {
        QFETCH(QByteArray, report);
        QFETCH(Report::Kind, kind);
        QFETCH(QList<int>, axes);
        QFETCH(quint32, keys);
        const Report r = MagellanReports::decode(report);
        QCOMPARE(r.kind, kind);
        QList<int> got;
        for (quint16 a : r.axes) {
            got << a;
        }
        QCOMPARE(got, axes);
        QCOMPARE(r.keys, keys);
    }

    void descriptor_data() {
        QTest::addColumn<QByteArray>("descriptor");
        QTest::addColumn<bool>("multiAxis");
        QTest::newRow("multi-axis controller")
            << QByteArray::fromHex("05 01 09 08 a1 01 a1 00 85 01 16 a2 fe 26 5e 01 c0 c0") << true;
        QTest::newRow("usage with its own page") << QByteArray::fromHex("0b 08000100 a1 01 c0") << true;
        QTest::newRow("after a long item and another collection")
            << QByteArray::fromHex("fe 02 10 aabb 05 01 09 02 a1 01 c0 09 08 a1 01 c0") << true;
        QTest::newRow("mouse") << QByteArray::fromHex("05 01 09 02 a1 01 c0") << false;
        QTest::newRow("multi-axis usage nested in a mouse")
            << QByteArray::fromHex("05 01 09 02 a1 01 09 08 a1 01 c0 c0") << false;
        QTest::newRow("physical collection, not application")
            << QByteArray::fromHex("05 01 09 08 a1 00 c0") << false;
        QTest::newRow("other usage page") << QByteArray::fromHex("05 0c 09 08 a1 01 c0") << false;
        QTest::newRow("usage cleared by a main item")
            << QByteArray::fromHex("05 01 09 08 81 02 a1 01 c0") << false;
        QTest::newRow("item cut off") << QByteArray::fromHex("05 01 09 08 a2 01") << false;
        QTest::newRow("long item cut off") << QByteArray::fromHex("fe 20 10 00") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void descriptor() {
        QFETCH(QByteArray, descriptor);
        QFETCH(bool, multiAxis);
        QCOMPARE(MagellanReports::isMultiAxisController(descriptor), multiAxis);
    }

    // Without a readable controller the source reports nothing; injected reports pass unchanged.
    void sourceWithoutDevices() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile notADevice(dir.filePath(QStringLiteral("hidraw0")));
        QVERIFY(notADevice.open(QIODevice::WriteOnly));
        notADevice.write("\x01\x02\x00\x03\x00\x04\x00", 7);
        notADevice.close();

        MagellanReportSource* source = MagellanReportSource::instance();
        QSignalSpy spy(source, &MagellanReportSource::reportReceived);
        source->openDevices(dir.path());
        QCOMPARE(source->openDeviceCount(), 0);
        QTest::qWait(50);
        QCOMPARE(spy.count(), 0);

        source->inject(0x046D, QByteArray::fromHex("0301"));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<quint32>(), 0x046Du);
        QCOMPARE(spy.at(0).at(1).toByteArray(), QByteArray::fromHex("0301"));
    }

    // A device is read report by report until it ends.
    void sourceReadsADevice() {
        int fds[2];
        QCOMPARE(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        MagellanReportSource* source = MagellanReportSource::instance();
        const int before = source->openDeviceCount();
        QSignalSpy spy(source, &MagellanReportSource::reportReceived);
        source->watch(fds[0], 0x046D);
        QCOMPARE(source->openDeviceCount(), before + 1);

        const QByteArray first = QByteArray::fromHex("01 0100 0200 0300 0400 0500 0600");
        QCOMPARE(::write(fds[1], first.constData(), size_t(first.size())), ssize_t(first.size()));
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
        const QByteArray second = QByteArray::fromHex("03 01");
        QCOMPARE(::write(fds[1], second.constData(), size_t(second.size())), ssize_t(second.size()));
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 10000);
        QCOMPARE(spy.at(0).at(1).toByteArray(), first);
        QCOMPARE(spy.at(1).at(0).value<quint32>(), 0x046Du);
        QCOMPARE(spy.at(1).at(1).toByteArray(), second);

        ::close(fds[1]);
        QTRY_COMPARE_WITH_TIMEOUT(source->openDeviceCount(), before, 10000);
        QCOMPARE(spy.count(), 2);
    }
};

QTEST_GUILESS_MAIN(TestMagellanReports)
#include "tst_magellan_reports.moc"
