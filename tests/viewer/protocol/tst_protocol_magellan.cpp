// The 3D-mouse channel's decoder and encoders.

#include "Hex.h"
#include "viewer/protocol/Magellan.h"

#include <QStringList>
#include <QtTest>

using namespace Protocol;
using namespace Protocol::Magellan;

namespace {

class RecordingChannel : public MagellanClientChannel {
public:
    RecordingChannel()
        : MagellanClientChannel("magellan", 5) {}

    void onCapabilities() override { log << QStringLiteral("capabilities"); }
    void send(std::vector<std::uint8_t> frame) override { log << QStringLiteral("send ") + toHex(frame); }
    void error(std::string message, unsigned char level) override {
        log << QStringLiteral("error %1 %2").arg(QString::fromStdString(message)).arg(level);
    }

    QStringList log;
};

} // namespace

class TestProtocolMagellan : public QObject {
    Q_OBJECT
private slots:
    void receive_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("capabilities") << "01" << QStringList{"capabilities"};
        QTest::newRow("capabilities with fields") << "01 0203" << QStringList{"capabilities"};
        QTest::newRow("empty") << "" << QStringList{"error Failed to read message id 4"};
        QTest::newRow("client message id from the server")
            << "02" << QStringList{"error Invalid message id 4"};
        QTest::newRow("unknown id") << "ff 00" << QStringList{"error Invalid message id 4"};
    }
    void receive() {
        QFETCH(QString, frame);
        QFETCH(QStringList, expected);
        RecordingChannel channel;
        channel.receive(hex(frame.toLatin1().constData()));
        QCOMPARE(channel.log, expected);
    }

    void encoders() {
        RecordingChannel channel;
        MoveMessage move;
        move.channel = 5;
        move.x = 1;
        move.y = -1;
        move.z = 0x1234;
        move.rx = -32768;
        move.ry = 32767;
        move.rz = -2;
        move.period = 70000;
        QVERIFY(channel.sendMove(move));
        KeysMessage keys;
        keys.channel = 5;
        keys.keys = 0x80000003;
        QVERIFY(channel.sendKeys(keys));
        QCOMPARE(channel.log, (QStringList{"send 05 02 01 00 ff ff 34 12 00 80 ff 7f fe ff 70 11 01 00",
                                           "send 05 03 03 00 00 80"}));
    }

    void foreignChannelNumberIsRefused() {
        RecordingChannel channel;
        MoveMessage move;
        move.channel = 6;
        KeysMessage keys;
        keys.channel = 0;
        QVERIFY(!channel.sendMove(move));
        QVERIFY(!channel.sendKeys(keys));
        const QString refused = "error Message channel number does not match assigned channel number 4";
        QCOMPARE(channel.log, (QStringList{refused, refused}));
    }
};

QTEST_GUILESS_MAIN(TestProtocolMagellan)
#include "tst_protocol_magellan.moc"
