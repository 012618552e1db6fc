#include "ControllerFixture.h"
#include "SimServer.h"
#include "viewer/engine/RdpInstance.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/widgets/RdpLogDialog.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpWidget.h"

#include <QApplication>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QMetaProperty>
#include <QPainter>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

using namespace ControllerTest;
using namespace DisplaySim;

namespace {

const QString host = QStringLiteral("host.example");

QVariant serverPreference(const QString& key) {
    QSettings settings;
    const QString path = QStringLiteral("RdpServerPreferences/%1/%2").arg(host, key);
    return settings.value(path);
}

QVariant globalPreference(const QString& key) {
    QSettings settings;
    return settings.value(QStringLiteral("RdpGlobalPreferences/%1").arg(key));
}

// The settings every session pushes when its main sequence starts, with first-session values.
QList<QList<QByteArray>> firstSessionPush() {
    return {
        {Entry::automaticAdjust(true)},
        {Entry::triple(SettingTag::Compression, 5, 0, 0)},
        {Entry::codec(SettingTag::SmallBlockImageFormat, 3)},
        {Entry::codec(SettingTag::BigBlockImageFormat, 3)},
        {Entry::bigBlockMinimumSize(64, 64)},
        {Entry::triple(SettingTag::FrameRate, 30, 0, 0)},
        {Entry::triple(SettingTag::FrameWindow, 2, 0, 0)},
        {Entry::keyboard(0x409, 4)},
        {Entry::highQualityUpgrades(true)},
    };
}

// Through the property where the controller has one; dpi, drawImmediately and highQualityUpgrades have
// plain setters only.
bool setSetting(RdpMaster& master, const QByteArray& name, const QVariant& value) {
    if (name == "dpi") {
        master.setDpi(value.toInt());
        return true;
    }
    if (name == "drawImmediately") {
        master.setDrawImmediately(value.toBool());
        return true;
    }
    if (name == "highQualityUpgrades") {
        master.setHighQualityUpgrades(value.toBool());
        return true;
    }
    return master.setProperty(name.constData(), value);
}

QSize eightyPercentOfScreen() {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    return QSize(int(screen.width() * 0.8), int(screen.height() * 0.8));
}

QImage testPattern(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(10, 120, 200));
    QPainter p(&image);
    p.fillRect(QRect(64, 0, 64, 64), QColor(250, 250, 250));
    return image;
}

} // namespace

class TestRdpMaster : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setOrganizationName(QStringLiteral("VelnorTest"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_rdpmaster"));
        qRegisterMetaType<RdpClient>();
    }

    void init() {
        settings = std::make_unique<PrivateSettings>();
        QVERIFY(settings->isValid());
    }

    void cleanup() { settings.reset(); }

    void firstSessionDefaults() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QCOMPARE(master->compressionLevel(), 5);
        QCOMPARE(master->smallBlockImageFormat(), uchar(3));
        QCOMPARE(master->bigBlockImageFormat(), uchar(3));
        QCOMPARE(master->bigBlockMinimumSize(), 64);
        QCOMPARE(master->framePerSecond(), 30);
        QCOMPARE(master->frameWindowSize(), 2);
        QCOMPARE(master->mouseQuantum(), 50);
        QCOMPARE(master->adjustsAutomatically(), true);
        QCOMPARE(master->highQualityUpgrades(), true);
        QCOMPARE(master->drawImmediately(), false);
        QCOMPARE(master->dpi(), 0);
        QCOMPARE(master->scalingFactor(), 1.0);
        QCOMPARE(master->networkType(), QStringLiteral("Autodetect"));
        const QJsonArray customOnly{QJsonObject{{"name", "Custom"}, {"BandwidthThrottleAdjust", false}}};
        QCOMPARE(master->networkTypes(), customOnly);
        QCOMPARE(master->keyboardLayout(), quint32(0x409));
        QCOMPARE(master->keyboardType(), quint32(4));
        QVERIFY(master->fullScreensOnCurrentMonitor());
        QVERIFY(master->capturesKeys());
        QVERIFY(master->handlePrimarySelection());
        QVERIFY(master->autoResize());
        QVERIFY(!master->sendCommandKey());
        QVERIFY(!master->commandSendsAlt());
        QVERIFY(!master->connected());
        QVERIFY(!master->focus());

        // Loading writes nothing; entering the main sequence pushes every value in its order, then asks for
        // the side channels.
        QVERIFY(awaitSessionReady(sim));
        QCOMPARE(sim.record().displayName, QStringLiteral("tester"));
        QCOMPARE(sim.record().password, QByteArray("secret"));
        QCOMPARE(sim.record().clientIdentity, QStringLiteral("Velnor"));
        // The desktop window's own size requests come on top, whenever it has a size to ask for.
        const auto isGeometry = [](const QList<QByteArray>& message) {
            return message.size() == 1 && !message.first().isEmpty() &&
                   quint8(message.first().at(0)) == SettingTag::Geometry;
        };
        QList<QList<QByteArray>> pushed = sim.record().clientSettings;
        pushed.erase(std::remove_if(pushed.begin(), pushed.end(), isGeometry), pushed.end());
        QCOMPARE(pushed, firstSessionPush());
        QCOMPARE(sim.record().channelRequests,
                 (QList<QString>{"clipboard", "magellan", "diagnostics", "clientcomm"}));
        QVERIFY(settings->allKeys().isEmpty());
        QTRY_VERIFY(master->connected());
        QTRY_VERIFY(std::any_of(sim.record().clientSettings.cbegin(), sim.record().clientSettings.cend(),
                                isGeometry));
    }

    void loadClamps_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("loaded");

        QTest::newRow("compression 7")
            << "Compression" << QVariant(7) << QByteArray("compressionLevel") << QVariant(5);
        QTest::newRow("compression 0")
            << "Compression" << QVariant(0) << QByteArray("compressionLevel") << QVariant(1);
        QTest::newRow("small format 9")
            << "SmallBlockImageFormat" << QVariant(9) << QByteArray("smallBlockImageFormat") << QVariant(7);
        QTest::newRow("big format 1")
            << "BigBlockImageFormat" << QVariant(1) << QByteArray("bigBlockImageFormat") << QVariant(2);
        QTest::newRow("big block 10")
            << "BigBlockMinimumSize" << QVariant(10) << QByteArray("bigBlockMinimumSize") << QVariant(64);
        QTest::newRow("big block 5000")
            << "BigBlockMinimumSize" << QVariant(5000) << QByteArray("bigBlockMinimumSize") << QVariant(1024);
        QTest::newRow("fps 0") << "FPSLimit" << QVariant(0) << QByteArray("framePerSecond") << QVariant(1);
        QTest::newRow("fps 99") << "FPSLimit" << QVariant(99) << QByteArray("framePerSecond") << QVariant(60);
        QTest::newRow("window 61") << "FrameAcknowledgeWindow" << QVariant(61)
                                   << QByteArray("frameWindowSize") << QVariant(60);
        QTest::newRow("mouse quantum -5")
            << "MouseQuantum" << QVariant(-5) << QByteArray("mouseQuantum") << QVariant(0);
        QTest::newRow("mouse quantum 900")
            << "MouseQuantum" << QVariant(900) << QByteArray("mouseQuantum") << QVariant(500);
        QTest::newRow("not a number")
            << "Compression" << QVariant("abc") << QByteArray("compressionLevel") << QVariant(1);
        QTest::newRow("stored zoom 0.67")
            << "ScalingFactor" << QVariant(0.67) << QByteArray("scalingFactor") << QVariant(2.0 / 3.0);
    }

    void loadClamps() {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(QByteArray, property);
        QFETCH(QVariant, loaded);
        {
            QSettings s;
            s.setValue(QStringLiteral("RdpServerPreferences/%1/%2").arg(host, key), stored);
        }
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        const QVariant value = master->property(property.constData());
        QVERIFY2(value.isValid(), property.constData());
        QCOMPARE(value.toDouble(), loaded.toDouble());
    }

    void setterClamps_data() {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("stored");

        QTest::newRow("compression 7 stays") << QByteArray("compressionLevel") << 7 << 7;
        QTest::newRow("compression 9") << QByteArray("compressionLevel") << 9 << 7;
        QTest::newRow("compression -1") << QByteArray("compressionLevel") << -1 << 0;
        QTest::newRow("fps 0") << QByteArray("framePerSecond") << 0 << 1;
        QTest::newRow("fps 61") << QByteArray("framePerSecond") << 61 << 60;
        QTest::newRow("window 100") << QByteArray("frameWindowSize") << 100 << 60;
        QTest::newRow("mouse quantum 501") << QByteArray("mouseQuantum") << 501 << 500;
        QTest::newRow("mouse quantum -1") << QByteArray("mouseQuantum") << -1 << 0;
    }

    void setterClamps() {
        QFETCH(QByteArray, property);
        QFETCH(int, value);
        QFETCH(int, stored);
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QVERIFY(master->setProperty(property.constData(), value));
        QCOMPARE(master->property(property.constData()).toInt(), stored);
    }

    // Each row changes one setting after the main sequence has started.
    void changedValue_data() {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("global");
        QTest::addColumn<QVariant>("written");
        QTest::addColumn<QByteArray>("entry"); // empty: nothing goes to the server
        QTest::addColumn<QByteArray>("signal");

        QTest::newRow("automatic adjust")
            << QByteArray("adjustsAutomatically") << QVariant(false) << "BandwidthThrottleAdjust" << false
            << QVariant(false) << Entry::automaticAdjust(false)
            << QByteArray(SIGNAL(adjustsAutomaticallyChanged(bool)));
        QTest::newRow("compression") << QByteArray("compressionLevel") << QVariant(3) << "Compression"
                                     << false << QVariant(3)
                                     << Entry::triple(SettingTag::Compression, 3, 0, 0)
                                     << QByteArray(SIGNAL(compressionLevelChanged(int)));
        QTest::newRow("small format")
            << QByteArray("smallBlockImageFormat") << QVariant::fromValue(uchar(4)) << "SmallBlockImageFormat"
            << false << QVariant(4) << Entry::codec(SettingTag::SmallBlockImageFormat, 4)
            << QByteArray(SIGNAL(smallBlockImageFormatChanged(uchar)));
        QTest::newRow("big format") << QByteArray("bigBlockImageFormat") << QVariant::fromValue(uchar(2))
                                    << "BigBlockImageFormat" << false << QVariant(2)
                                    << Entry::codec(SettingTag::BigBlockImageFormat, 2)
                                    << QByteArray(SIGNAL(bigBlockImageFormatChanged(uchar)));
        QTest::newRow("big block minimum")
            << QByteArray("bigBlockMinimumSize") << QVariant(128) << "BigBlockMinimumSize" << false
            << QVariant(128) << Entry::bigBlockMinimumSize(128, 128)
            << QByteArray(SIGNAL(bigBlockMinimumSizeChanged(int, int)));
        QTest::newRow("frame rate") << QByteArray("framePerSecond") << QVariant(20) << "FPSLimit" << false
                                    << QVariant(20) << Entry::triple(SettingTag::FrameRate, 20, 0, 0)
                                    << QByteArray(SIGNAL(framesPerSecondChanged(int)));
        QTest::newRow("frame window")
            << QByteArray("frameWindowSize") << QVariant(4) << "FrameAcknowledgeWindow" << false
            << QVariant(4) << Entry::triple(SettingTag::FrameWindow, 4, 0, 0)
            << QByteArray(SIGNAL(frameWindowSizeChanged(int)));
        QTest::newRow("high-quality upgrades")
            << QByteArray("highQualityUpgrades") << QVariant(false) << "HighQualityUpgrades" << false
            << QVariant(false) << Entry::highQualityUpgrades(false)
            << QByteArray(SIGNAL(highQualityUpgradesChanged(bool)));
        QTest::newRow("mouse quantum")
            << QByteArray("mouseQuantum") << QVariant(100) << "MouseQuantum" << false << QVariant(100)
            << QByteArray() << QByteArray(SIGNAL(mouseQuantumChanged(int)));
        QTest::newRow("dpi") << QByteArray("dpi") << QVariant(120) << "DPI" << false << QVariant(120)
                             << QByteArray() << QByteArray(SIGNAL(dpiChanged(int)));
        QTest::newRow("draw immediately")
            << QByteArray("drawImmediately") << QVariant(true) << "DrawImmediately" << false << QVariant(true)
            << QByteArray() << QByteArray();
        QTest::newRow("scaling factor 2/3 stored rounded")
            << QByteArray("scalingFactor") << QVariant(2.0 / 3.0) << "ScalingFactor" << false
            << QVariant(0.67) << QByteArray() << QByteArray(SIGNAL(scalingFactorChanged(double)));
        QTest::newRow("scaling factor off the table snaps to the nearest row")
            << QByteArray("scalingFactor") << QVariant(0.3) << "ScalingFactor" << false << QVariant(0.5)
            << QByteArray() << QByteArray(SIGNAL(scalingFactorChanged(double)));
        QTest::newRow("captures keys")
            << QByteArray("capturesKeys") << QVariant(false) << "CaptureKeys" << true << QVariant(false)
            << QByteArray() << QByteArray(SIGNAL(capturesKeysChanged(bool)));
        QTest::newRow("send command key")
            << QByteArray("sendCommandKey") << QVariant(true) << "SendCommandKey" << true << QVariant(true)
            << QByteArray() << QByteArray(SIGNAL(sendCommandKeyChanged(bool)));
        QTest::newRow("auto resize") << QByteArray("autoResize") << QVariant(false) << "AutoResize" << true
                                     << QVariant(false) << QByteArray()
                                     << QByteArray(SIGNAL(autoResizeChanged(bool)));
    }

    void changedValue() {
        QFETCH(QByteArray, property);
        QFETCH(QVariant, value);
        QFETCH(QString, key);
        QFETCH(bool, global);
        QFETCH(QVariant, written);
        QFETCH(QByteArray, entry);
        QFETCH(QByteArray, signal);

        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QVERIFY(awaitSessionReady(sim));

        std::unique_ptr<QSignalSpy> spy;
        if (!signal.isEmpty()) {
            spy = std::make_unique<QSignalSpy>(master.get(), signal.constData());
        }
        const auto sent =
            settingsSentBy(sim, *master, [&] { QVERIFY(setSetting(*master, property, value)); });
        if (entry.isEmpty()) {
            QVERIFY2(sent.isEmpty(), "nothing goes to the server");
        } else {
            QCOMPARE(sent, (QList<QList<QByteArray>>{{entry}}));
        }
        const QVariant stored = global ? globalPreference(key) : serverPreference(key);
        QCOMPARE(stored.toString(), written.toString());
        if (spy) {
            QCOMPARE(spy->count(), 1);
            if (property == "bigBlockMinimumSize") {
                QCOMPARE(spy->at(0), (QList<QVariant>{128, 128}));
            }
        }

        // The same value again: no preference write, nothing sent, no signal.
        QSettings().clear();
        const int signalsBefore = spy ? spy->count() : 0;
        const auto again =
            settingsSentBy(sim, *master, [&] { QVERIFY(setSetting(*master, property, value)); });
        QVERIFY(again.isEmpty());
        QVERIFY(settings->allKeys().isEmpty());
        if (spy) {
            QCOMPARE(spy->count(), signalsBefore);
        }
    }

    void valuesFromServerAreNotSentBack() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QVERIFY(awaitSessionReady(sim));
        QSignalSpy compression(master.get(), &RdpMaster::compressionLevelChanged);
        const auto sent = settingsSentBy(sim, *master, [&] {
            sim.sendSettings({Entry::triple(SettingTag::Compression, 2, 1, 5), Entry::keyboard(0x407, 4),
                              Entry::bigBlockMinimumSize(300, 200)});
            QTRY_COMPARE(master->bigBlockMinimumSize(), 300);
        });
        QVERIFY(sent.isEmpty());
        QCOMPARE(master->compressionLevel(), 2);
        QCOMPARE(compression.count(), 1);
        QCOMPARE(master->keyboardLayout(), quint32(0x407));
        QCOMPARE(serverPreference(QStringLiteral("Compression")).toInt(), 2);
    }

    // The server's values arrive in the same message that starts the main sequence.
    void firstSettingsFromServerAreSeen() {
        ServerOptions options = simOptions();
        options.firstSettings = {Entry::geometry(1024, 768),
                                 Entry::triple(SettingTag::Compression, 2, 1, 5),
                                 Entry::triple(SettingTag::FrameRate, 20, 1, 60),
                                 Entry::keyboard(0x407, 4),
                                 Entry::bigBlockMinimumSize(300, 200),
                                 Entry::highQualityUpgrades(false)};
        Server sim(options);
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QVERIFY(awaitSessionReady(sim));
        QTRY_COMPARE(master->highQualityUpgrades(), false);
        QCOMPARE(master->compressionLevel(), 2);
        QCOMPARE(master->framePerSecond(), 20);
        QCOMPARE(master->keyboardLayout(), quint32(0x407));
        QCOMPARE(master->bigBlockMinimumSize(), 300);
        QCOMPARE(serverPreference(QStringLiteral("Compression")).toInt(), 2);
        // Nothing of it goes back: sends keep their order, so once a later one has arrived any echo
        // would have too.
        master->setCompressionLevel(4);
        auto arrived = [&sim] {
            for (const QList<QByteArray>& message : sim.record().clientSettings)
                if (message.contains(Entry::triple(SettingTag::Compression, 4, 0, 0)))
                    return true;
            return false;
        };
        QTRY_VERIFY(arrived());
        for (const QList<QByteArray>& message : sim.record().clientSettings) {
            QVERIFY(!message.contains(Entry::triple(SettingTag::Compression, 2, 0, 0)));
            QVERIFY(!message.contains(Entry::highQualityUpgrades(false)));
        }
    }

    void emptyRealHostWritesNoServerPreference() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim, QStringLiteral("1024x768"), QString());
        QVERIFY(awaitSessionReady(sim));
        QSignalSpy compression(master.get(), &RdpMaster::compressionLevelChanged);
        const auto sent = settingsSentBy(sim, *master, [&] {
            master->setCompressionLevel(2);
            master->setCapturesKeys(false);
        });
        QCOMPARE(sent, (QList<QList<QByteArray>>{{Entry::triple(SettingTag::Compression, 2, 0, 0)}}));
        QCOMPARE(compression.count(), 1);
        QCOMPARE(settings->allKeys(), QStringList{QStringLiteral("RdpGlobalPreferences/CaptureKeys")});
    }

    void presets_data() {
        QTest::addColumn<QJsonObject>("preset");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("expected");
        QTest::addColumn<QList<QList<QByteArray>>>("sent");

        const QList<QByteArray> quality{
            Entry::automaticAdjust(true), Entry::triple(SettingTag::Compression, 5, 0, 0),
            Entry::triple(SettingTag::FrameRate, 30, 0, 0), Entry::triple(SettingTag::FrameWindow, 2, 0, 0)};
        QTest::newRow("big block minimum 300x200")
            << QJsonObject{{"bigBlockMinimumSize", "300x200"}} << QByteArray("bigBlockMinimumSize")
            << QVariant(300) << QList<QList<QByteArray>>{{Entry::bigBlockMinimumSize(300, 300)}, quality};
        QTest::newRow("big block minimum not WxH")
            << QJsonObject{{"bigBlockMinimumSize", "300"}} << QByteArray("bigBlockMinimumSize")
            << QVariant(64) << QList<QList<QByteArray>>{quality};
        QTest::newRow("scaling 2") << QJsonObject{{"scaling", 2}} << QByteArray("scalingFactor")
                                   << QVariant(0.5) << QList<QList<QByteArray>>{quality};
        QTest::newRow("scaling 1.6 shows and keeps 1.5x")
            << QJsonObject{{"scaling", 1.6}} << QByteArray("scalingFactor") << QVariant(2.0 / 3.0)
            << QList<QList<QByteArray>>{quality};
        QTest::newRow("scaling 0 ignored") << QJsonObject{{"scaling", 0}} << QByteArray("scalingFactor")
                                           << QVariant(1.0) << QList<QList<QByteArray>>{quality};
        QTest::newRow("scaling -2 ignored") << QJsonObject{{"scaling", -2}} << QByteArray("scalingFactor")
                                            << QVariant(1.0) << QList<QList<QByteArray>>{quality};
        QTest::newRow("scaling 0.01 ignored") << QJsonObject{{"scaling", 0.01}} << QByteArray("scalingFactor")
                                              << QVariant(1.0) << QList<QList<QByteArray>>{quality};
        QTest::newRow("compression in one quality message")
            << QJsonObject{{"compression", 2}, {"automaticAdjust", false}} << QByteArray("compressionLevel")
            << QVariant(2)
            << QList<QList<QByteArray>>{{Entry::automaticAdjust(false),
                                         Entry::triple(SettingTag::Compression, 2, 0, 0),
                                         Entry::triple(SettingTag::FrameRate, 30, 0, 0),
                                         Entry::triple(SettingTag::FrameWindow, 2, 0, 0)}};
        QTest::newRow("formats sent")
            << QJsonObject{{"smallBlockImageFormat", 4}, {"bigBlockImageFormat", 7}}
            << QByteArray("bigBlockImageFormat") << QVariant(7)
            << QList<QList<QByteArray>>{{Entry::codec(SettingTag::BigBlockImageFormat, 7)},
                                        {Entry::codec(SettingTag::SmallBlockImageFormat, 4)},
                                        quality};
        QTest::newRow("mouse quantum clamped")
            << QJsonObject{{"MouseQuantum", 9000}} << QByteArray("mouseQuantum") << QVariant(500)
            << QList<QList<QByteArray>>{quality};
        QTest::newRow("wrong type ignored")
            << QJsonObject{{"compression", "2"}} << QByteArray("compressionLevel") << QVariant(5)
            << QList<QList<QByteArray>>{quality};
    }

    void presets() {
        QFETCH(QJsonObject, preset);
        QFETCH(QByteArray, property);
        QFETCH(QVariant, expected);
        QFETCH(QList<QList<QByteArray>>, sent);

        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QVERIFY(awaitSessionReady(sim));
        preset.insert(QStringLiteral("_id"), QStringLiteral("lan"));
        master->setNetworkTypes(QJsonArray{preset});
        QSignalSpy typeChanged(master.get(), &RdpMaster::networkTypeChanged);
        const auto actual =
            settingsSentBy(sim, *master, [&] { master->setNetworkType(QStringLiteral("lan")); });
        QCOMPARE(master->property(property.constData()).toDouble(), expected.toDouble());
        QCOMPARE(actual, sent);
        QCOMPARE(typeChanged.count(), 1);
        QCOMPARE(serverPreference(QStringLiteral("NetworkType")).toString(), QStringLiteral("lan"));
        if (property == "scalingFactor") {
            // What is remembered reads back as what is shown.
            const QVariant stored = serverPreference(QStringLiteral("ScalingFactor"));
            QCOMPARE(exactZoomFactor(stored.isValid() ? stored.toDouble() : 1.0), expected.toDouble());
        }
    }

    void networkTypesGetCustomAppended() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QSignalSpy typesChanged(master.get(), &RdpMaster::networkTypesChanged);
        // "Autodetect", the default network type, matches nothing: no preset, nothing changes.
        master->setNetworkTypes(QJsonArray{QJsonObject{{"_id", "Autodetect-not"}, {"compression", 1}}});
        QCOMPARE(master->networkTypes().size(), 2);
        QCOMPARE(master->networkTypes().at(1).toObject(), (QJsonObject{{"name", "Custom"}}));
        QCOMPARE(master->compressionLevel(), 5);
        master->setNetworkTypes(QJsonArray());
        QCOMPARE(master->networkTypes(), (QJsonArray{QJsonObject{{"name", "Custom"}}}));
        QCOMPARE(typesChanged.count(), 2);
    }

    void geometry_data() {
        QTest::addColumn<QString>("geometry");
        QTest::addColumn<QSize>("size"); // invalid: 80 % of the primary screen
        QTest::addColumn<bool>("rootless");

        QTest::newRow("1280x720") << "1280x720" << QSize(1280, 720) << false;
        QTest::newRow("1x1") << "1x1" << QSize(1, 1) << false;
        QTest::newRow("65535x2") << "65535x2" << QSize(65535, 2) << false;
        QTest::newRow("1280x0") << "1280x0" << QSize() << false;
        QTest::newRow("abc") << "abc" << QSize() << false;
        QTest::newRow("1280x720x3") << "1280x720x3" << QSize() << false;
        QTest::newRow("upper-case X") << "1280X720" << QSize() << false;
        QTest::newRow("empty") << "" << QSize() << false;
        QTest::newRow("x720") << "x720" << QSize() << false;
        QTest::newRow("negative") << "-5x100" << QSize() << false;
        QTest::newRow("70000x500") << "70000x500" << QSize() << false;
        QTest::newRow("huge") << "99999999999x5" << QSize() << false;
        QTest::newRow("fullscreen") << "fullscreen" << QGuiApplication::primaryScreen()->geometry().size()
                                    << false;
        QTest::newRow("rootless") << "rootless" << QSize(800, 600) << true;
    }

    void geometry() {
        QFETCH(QString, geometry);
        QFETCH(QSize, size);
        QFETCH(bool, rootless);
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim, geometry);
        QCOMPARE(master->defaultViewSize(), size.isValid() ? size : eightyPercentOfScreen());
        QCOMPARE(master->mainView()->surfaceSize(), master->defaultViewSize());
        QCOMPARE(master->isSingleApplication(), rootless);
    }

    void sizeAskedBeforeTheMainSequenceArrives() {
        // The window asks for its size as soon as it shows, before the handshake is over; the server
        // takes sizes only in the main sequence, so the last request must be sent once that starts.
        Server sim(simOptions());
        QVERIFY(sim.listen());
        // Rootless: no desktop window asks for sizes of its own.
        auto master = startMaster(sim, QStringLiteral("rootless"));
        master->resizeDesktop(QSize(1111, 777), QSize(290, 205));
        master->resizeDesktop(QSize(1234, 567));
        QVERIFY(awaitSessionReady(sim, 5));
        const QList<QByteArray> latest{DisplaySim::Entry::geometry(1234, 567)};
        const QList<QByteArray> stale{DisplaySim::Entry::geometry(1111, 777, 290, 205)};
        QTRY_VERIFY(sim.record().clientSettings.contains(latest));
        QVERIFY(!sim.record().clientSettings.contains(stale));
    }

    void desktopWindowAndChannelOrder_data() {
        QTest::addColumn<QString>("geometry");
        QTest::addColumn<QList<QString>>("channels");
        QTest::addColumn<bool>("desktopWindow");
        QTest::newRow("desktop") << "1024x768"
                                 << QList<QString>{"clipboard", "magellan", "diagnostics", "clientcomm"}
                                 << true;
        QTest::newRow("rootless") << "rootless"
                                  << QList<QString>{"multiwindow", "clipboard", "magellan", "diagnostics",
                                                    "clientcomm"}
                                  << false;
    }

    void desktopWindowAndChannelOrder() {
        QFETCH(QString, geometry);
        QFETCH(QList<QString>, channels);
        QFETCH(bool, desktopWindow);
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim, geometry, host, QStringLiteral("My session"));
        QSignalSpy connectedChanged(master.get(), &RdpMaster::connectedChanged);
        QVERIFY(awaitSessionReady(sim, channels.size()));
        QCOMPARE(sim.record().channelRequests, channels);
        QTRY_COMPARE(connectedChanged.count(), 1);
        QCOMPARE(connectedChanged.at(0).at(0).toBool(), true);
        // A second report of the same connection opens nothing more.
        const int topLevels = QApplication::topLevelWidgets().size();
        master->handleConnectFinishFromTransportLoop();
        QCOMPARE(QApplication::topLevelWidgets().size(), topLevels);
        QCOMPARE(connectedChanged.count(), 1);
        QCOMPARE(master->widgetList()->windowIds(), desktopWindow ? QList<quint32>{1} : QList<quint32>{});
        if (desktopWindow) {
            QPointer<RdpWidget> window = master->widgetList()->widget(1);
            QVERIFY(window);
            QCOMPARE(window->windowTitle(), QStringLiteral("My session"));
            QVERIFY(window->isVisible());
            QCOMPARE(window->masterObject(), master.get());
            // The window goes (later) with the controller.
            master.reset();
            QTRY_VERIFY(!window);
        }
    }

    void sessionEndReported() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QSignalSpy finished(master.get(), &RdpMaster::finished);
        QVERIFY(awaitSessionReady(sim));
        sim.sendDisconnect(QStringLiteral("Bye"), quint8(7));
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toString(), QStringLiteral("Bye"));
        QCOMPARE(finished.at(0).at(1).value<uchar>(), uchar(7));
    }

    void framesBecomeSurfaceSignals() {
        if (!Server::canEncodeRfx7()) {
            QSKIP("The simulator was built without the tile encoder");
        }
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QSignalSpy attached(master.get(), &RdpMaster::surfaceAttached);
        QSignalSpy sized(master.get(), &RdpMaster::surfaceSizeChanged);
        QSignalSpy contents(master.get(), &RdpMaster::surfaceContentsChanged);
        QSignalSpy detached(master.get(), &RdpMaster::surfaceDetached);
        QVERIFY(awaitSessionReady(sim));

        // Reads from the fan-out's own slots happen while it holds the lock and must not lock again.
        QImage seenInSlot;
        connect(master.get(), &RdpMaster::surfaceContentsChanged, this,
                [&](int id) { seenInSlot = master->surfaceImage(id); });

        const QImage pattern = testPattern(QSize(128, 64));
        sim.sendFrameBegin(1);
        sim.sendSurfaceCreate(0, 256, 128);
        QVERIFY(sim.sendRfx7Image(0, pattern, 0, 0));
        sim.sendFrameEnd(1);
        QVERIFY(sim.awaitAck(1));
        QTRY_COMPARE(contents.count(), 1);
        QCOMPARE(attached.count(), 1);
        QCOMPARE(attached.at(0).at(0).toInt(), 0);
        QCOMPARE(sized.at(0), (QList<QVariant>{0, QSize(256, 128)}));
        QCOMPARE(contents.at(0).at(1).value<QRegion>(), QRegion(0, 0, 128, 64));
        QVERIFY(!seenInSlot.isNull());

        // Outside the fan-out the read takes the lock.
        const QImage image = master->surfaceImage(0);
        QCOMPARE(image.size(), QSize(256, 128));
        QVERIFY(qAbs(qRed(image.pixel(80, 10)) - 250) < 24);
        QVERIFY(qAbs(qBlue(image.pixel(10, 10)) - 200) < 24);
        QCOMPARE(master->surfaceImage(5), QImage());

        sim.sendFrameBegin(2);
        sim.sendSurfaceCopy(0, {{0, 0, 64, 64}}, 0, 128, 0);
        sim.sendSurfaceResize(0, 300, 100);
        sim.sendSurfaceDestroy(0);
        sim.sendFrameEnd(2);
        QVERIFY(sim.awaitAck(2));
        QTRY_COMPARE(detached.count(), 1);
        QCOMPARE(contents.count(), 2);
        QCOMPARE(contents.at(1), (QList<QVariant>{0, QVariant::fromValue(QRegion(128, 0, 64, 64))}));
        QCOMPARE(sized.last(), (QList<QVariant>{0, QSize(300, 100)}));
        QCOMPARE(master->surfaceImage(0), QImage());
    }

    void drawImmediatelyAppliesWithoutFrameEnd() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QSignalSpy contents(master.get(), &RdpMaster::surfaceContentsChanged);
        QSignalSpy attached(master.get(), &RdpMaster::surfaceAttached);
        QVERIFY(awaitSessionReady(sim));
        // Nothing goes to the server; the flag reaches the network thread before the marker does.
        QVERIFY(settingsSentBy(sim, *master, [&] { master->setDrawImmediately(true); }).isEmpty());
        sim.sendSurfaceCreate(0, 64, 64);
        sim.sendFrameEnd(1);
        QTRY_COMPARE(attached.count(), 1);
        sim.sendSurfaceCopy(0, {{0, 0, 8, 8}}, 0, 8, 8); // no frame end follows
        QTRY_COMPARE(contents.count(), 1);
    }

    // Every read of a surface outside the fan-out (the controller's own, and a surface view's image and
    // size, as a window's paint event makes them) waits while the lock is held elsewhere.
    void paintingTakesTheLockOutsideTheFanOut_data() {
        QTest::addColumn<int>("reader");
        QTest::newRow("controller image") << 0;
        QTest::newRow("view image") << 1;
        QTest::newRow("view size") << 2;
    }

    void paintingTakesTheLockOutsideTheFanOut() {
        QFETCH(int, reader);
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QVERIFY(awaitSessionReady(sim));
        QSignalSpy attached(master.get(), &RdpMaster::surfaceAttached);
        sim.sendSurfaceCreate(0, 64, 32);
        sim.sendFrameEnd(1);
        QTRY_COMPARE(attached.count(), 1);
        const VnSurface* view = master->mainView();
        std::promise<void> locked;
        std::promise<void> release;
        std::thread holder([&] {
            RdpMaster::SurfaceReadLock lock(*master);
            locked.set_value();
            release.get_future().wait();
        });
        locked.get_future().wait();
        auto read = std::async(std::launch::async, [&] {
            if (reader == 0) {
                master->surfaceImage(0);
            } else if (reader == 1) {
                view->image();
            } else {
                view->surfaceSize();
            }
        });
        const std::future_status whileHeld = read.wait_for(std::chrono::milliseconds(100));
        release.set_value();
        holder.join();
        QCOMPARE(whileHeld, std::future_status::timeout);
        QCOMPARE(read.wait_for(std::chrono::seconds(10)), std::future_status::ready);

        // A thread that holds the lock may read again (a paint event that locks around its reads).
        RdpMaster::SurfaceReadLock outer(*master);
        QCOMPARE(view->surfaceSize(), QSize(64, 32));
        QCOMPARE(master->surfaceImage(0).size(), QSize(64, 32));
        QCOMPARE(view->image().size(), QSize(64, 32));
    }

    // Ending the session while frames are being applied on the network thread: the controller must
    // wait for (or outlive) the frame it interrupts. Checked under the sanitizers.
    void teardownWhileFramesFlow() {
        if (!Server::canEncodeRfx7()) {
            QSKIP("The simulator was built without the tile encoder");
        }
        Server sim(simOptions());
        QVERIFY(sim.listen());
        const QImage pattern = testPattern(QSize(256, 128));
        for (int round = 0; round < 3; ++round) {
            auto master = startMaster(sim);
            QVERIFY(awaitSessionReady(sim));
            sim.sendSurfaceCreate(0, 512, 256);
            for (int frame = 0; frame < 20; ++frame) {
                sim.sendFrameBegin(quint16(frame));
                QVERIFY(sim.sendRfx7Image(0, pattern, 64 * (frame % 4), 0));
                sim.sendFrameEnd(quint16(frame));
            }
            QVERIFY(sim.awaitAck(0));
            master.reset();
            QVERIFY(sim.awaitClientGone());
        }
    }

    void stopFromAFanOutSlot() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QVERIFY(awaitSessionReady(sim));
        QSignalSpy attached(master.get(), &RdpMaster::surfaceAttached);
        connect(master.get(), &RdpMaster::surfaceAttached, this, [&] { master->stop(); });
        sim.sendSurfaceCreate(0, 64, 64);
        sim.sendSurfaceCreate(1, 64, 64);
        sim.sendFrameEnd(1);
        QTRY_COMPARE(attached.count(), 1);
        QVERIFY(!master->connection());
        QVERIFY(sim.awaitClientGone());
        QCOMPARE(attached.count(), 1); // the fan-out stops with the session
    }

    // A slot of the fan-out that runs a nested event loop may get the next queued pass delivered inside it.
    void nestedFanOutPass() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QVERIFY(awaitSessionReady(sim));
        QSignalSpy attached(master.get(), &RdpMaster::surfaceAttached);
        bool nested = false;
        connect(master.get(), &RdpMaster::surfaceAttached, this, [&] {
            if (!nested) {
                nested = true;
                QVERIFY(
                    QMetaObject::invokeMethod(master.get(), "handleCommandsUpdated", Qt::DirectConnection));
            }
        });
        sim.sendSurfaceCreate(0, 64, 64);
        sim.sendSurfaceCreate(1, 64, 64);
        sim.sendFrameEnd(1);
        QTRY_COMPARE(attached.count(), 2);
        QVERIFY(nested);
        QVERIFY(!master->surfaceImage(1).isNull());
    }

    void diagnosticsWindowGoesWithController() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QPointer<QWidget> diagnostics = master->diagnosticsWindow();
        QVERIFY(diagnostics);
        QVERIFY(!diagnostics->isVisible());
        QCOMPARE(diagnostics->size(), QSize(800, 600));
        QVERIFY(!diagnostics->parent());
        master->diagnostics();
        QVERIFY(diagnostics->isVisible());
        master.reset();
        QVERIFY(!diagnostics);
    }

    void logWindowWhenAsked() {
        qputenv("VELNOR_ENABLE_SESSION_LOGGING", "1");
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim, QStringLiteral("800x600"), host, QStringLiteral("Work"));
        qunsetenv("VELNOR_ENABLE_SESSION_LOGGING");
        QPointer<QWidget> log = master->logDialog();
        QVERIFY(log);
        QCOMPARE(log->windowTitle(), QStringLiteral("Work Log"));
        QVERIFY(log->isVisible());
        master.reset();
        QVERIFY(!log);

        auto withoutLog = startMaster(sim);
        QVERIFY(!withoutLog->logDialog());
    }

    void focusFollowsTheSessionsWindows() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        auto other = startMaster(sim);
        QSignalSpy focus(master.get(), &RdpMaster::focusChanged);
        RdpWidget own(master.get(), 7);
        RdpWidget foreign(other.get(), 7);
        QWidget plain;
        master->handleFocusObjectChange(&own);
        master->handleFocusObjectChange(&own);
        QCOMPARE(focus.count(), 1);
        QVERIFY(master->focus());
        master->handleFocusObjectChange(&foreign);
        QVERIFY(!master->focus());
        master->handleFocusObjectChange(&own);
        master->handleFocusObjectChange(&plain);
        master->handleFocusObjectChange(nullptr);
        QCOMPARE(focus.count(), 4);
        QVERIFY(!master->focus());
    }

    void participants() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        auto master = startMaster(sim);
        QSignalSpy me(master.get(), &RdpMaster::clientMeChanged);
        QSignalSpy clients(master.get(), &RdpMaster::clientsChanged);

        master->shareMe(QJsonObject{{"client", "c1"},
                                    {"role", "owner"},
                                    {"version", "1.0"},
                                    {"name", "Ann"},
                                    {"login", "ann"},
                                    {"status", "input"}});
        master->shareHello(QStringLiteral("c2"), QStringLiteral("viewer"), QStringLiteral("bob"),
                           QStringLiteral("9.9"));
        QCOMPARE(me.count(), 2);
        const RdpClient self = master->clientMe();
        QCOMPARE(self.client, QStringLiteral("c2"));
        QCOMPARE(self.role, QStringLiteral("viewer"));
        QCOMPARE(self.login, QStringLiteral("bob"));
        QCOMPARE(self.version, QStringLiteral("1.0")); // the hello's version is not kept
        QCOMPARE(self.name, QStringLiteral("Ann"));

        master->shareClient(QJsonArray{QJsonObject{{"client", "b"}, {"role", "viewer"}, {"name", 5}},
                                       QJsonObject{{"client", ""}}, QJsonObject{{"role", "x"}}, QJsonValue(3),
                                       QJsonObject{{"client", "a"}, {"status", "lobby"}}});
        QCOMPARE(clients.count(), 1);
        const QList<RdpClient> list = master->clients();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.at(0).client, QStringLiteral("b"));
        QCOMPARE(list.at(0).name, QString());
        QCOMPARE(list.at(1).status, QStringLiteral("lobby"));
        master->shareClient(QJsonArray());
        QVERIFY(master->clients().isEmpty());
    }

    void screenFunctions() {
        const QRect primary = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(primaryScreenGeometry(), primary);
        QVERIFY(intersectsAnyScreen(QRect(primary.right(), primary.bottom(), 10, 10)));
        QVERIFY(!intersectsAnyScreen(QRect(primary.right() + 1, primary.top(), 10, 10)));
        QVERIFY(!intersectsAnyScreen(QRect(-500, -500, 100, 100)));
    }

private:
    std::unique_ptr<PrivateSettings> settings;
};

QTEST_MAIN(TestRdpMaster)
#include "tst_rdpmaster.moc"
