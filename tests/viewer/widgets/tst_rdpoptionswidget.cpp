// The options panel on a session served by the simulator: what it lists and shows, and what its
// controls make the session send.

#include "ControllerFixture.h"
#include "SimServer.h"
#include "viewer/engine/RdpInstance.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpOptionsWidget.h"
#include "viewer/widgets/RdpPreferences.h"
#include "viewer/widgets/RdpWidget.h"
#include "viewer/widgets/RdpWidgetDesktopCaddy.h"
#include "viewer/widgets/RdpWidgetToolbar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QToolBox>
#include <QtTest>

#include <memory>

using namespace ControllerTest;
using namespace DisplaySim;

using Messages = QList<QList<QByteArray>>;

namespace {

QStringList itemTexts(const QComboBox* box) {
    QStringList texts;
    for (int i = 0; i < box->count(); ++i) {
        texts << box->itemText(i);
    }
    return texts;
}

// One session on the simulator; the panel is opened with `open()`.
struct Session {
    PrivateSettings settings;
    Server sim;
    RdpInstance instance;
    std::unique_ptr<RdpOptionsWidget> panel;

    explicit Session(ServerOptions options = simOptions())
        : sim(std::move(options)) {}
    ~Session() {
        panel.reset();
        instance.quit();
    }

    bool start(const QJsonArray& networkTypes = {}, const QString& geometry = QStringLiteral("640x480")) {
        if (!settings.isValid() || !sim.listen()) {
            return false;
        }
        QVariantMap info{{"RealHost", "host.example"}};
        if (!networkTypes.isEmpty()) {
            info.insert(QStringLiteral("NetworkTypes"), networkTypes);
        }
        instance.start(QNetworkRequest(sim.url()), QNetworkProxy(QNetworkProxy::NoProxy),
                       QStringLiteral("tester"), QStringLiteral("secret"), geometry, QStringLiteral("Desk"),
                       false, info);
        return instance.running();
    }
    bool ready() { return awaitSessionReady(sim, instance.isSingleApplication() ? 5 : 4); }

    RdpOptionsWidget* open() {
        panel = std::make_unique<RdpOptionsWidget>(&instance);
        panel->show();
        return panel.get();
    }
    template <typename T>
    T* child(const char* name) const {
        return panel->findChild<T*>(QLatin1String(name));
    }
    QComboBox* presets() const { return child<QComboBox>("PerformanceSettingsComboBox"); }
    bool onCustom() const {
        return presets()->currentIndex() == presets()->count() - 1 && instance.networkType().isEmpty();
    }
    Messages sentBy(const std::function<void()>& action) {
        return settingsSentBy(sim, *instance.master(), action);
    }
};

// A user picking the entry after the current one.
void pickNext(QComboBox* box) {
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Down);
}

const QJsonArray autodetectPreset{
    QJsonObject{{"_id", "Autodetect"}, {"name", "Automatic"}, {"frameRate", 20}}};

} // namespace

class TestRdpOptionsWidget : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setOrganizationName(QStringLiteral("VelnorTest"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_rdpoptionswidget"));
    }

    // Opened before the handshake, the panel fills its codec lists when the server's capabilities arrive
    // and shows the session's formats in them.
    void codecLists_data() {
        QTest::addColumn<QList<quint8>>("offered");
        QTest::addColumn<QStringList>("imageFormats");
        QTest::addColumn<QStringList>("hiResFormats");
        QTest::addColumn<QString>("shown"); // the session's format (JPEG) where the lists hold it

        QTest::newRow("2 4 7") << QList<quint8>{2, 4, 7} << QStringList{"RFX", "RFX Progressive", "PNG"}
                               << QStringList{"RFX", "PNG"} << QString();
        QTest::newRow("all, in list order")
            << QList<quint8>{6, 5, 4, 3, 7, 2}
            << QStringList{"RFX", "RFX Progressive", "JPEG", "PNG", "GIF", "WebP"}
            << QStringList{"RFX", "JPEG", "PNG", "GIF", "WebP"} << QStringLiteral("JPEG");
        QTest::newRow("progressive only")
            << QList<quint8>{7} << QStringList{"RFX Progressive"} << QStringList{} << QString();
    }

    void codecLists() {
        QFETCH(QList<quint8>, offered);
        QFETCH(QStringList, imageFormats);
        QFETCH(QStringList, hiResFormats);
        QFETCH(QString, shown);
        ServerOptions options = simOptions();
        options.capabilities = {Entry::codecList(offered), Entry::password()};
        Session s(options);
        QVERIFY(s.start());
        s.open();
        auto* big = s.child<QComboBox>("BigBlockCodecBox");
        auto* small = s.child<QComboBox>("SmallBlockCodecBox");
        QCOMPARE(big->count(), 0);
        QVERIFY(s.ready());
        QTRY_COMPARE(itemTexts(big), imageFormats);
        QCOMPARE(itemTexts(small), hiResFormats);
        QCOMPARE(big->currentText(), shown);
        QCOMPARE(small->currentText(), shown);
    }

    // Each control calls its setter, and the session sends what the setting sends; the controls that
    // change a network setting leave the preset for "Custom".
    void controls_data() {
        QTest::addColumn<QByteArray>("control");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<Messages>("sent");
        QTest::addColumn<bool>("custom");

        QTest::newRow("automatic adjust")
            << QByteArray("AutomaticAdjustBox") << QByteArray("adjustsAutomatically") << QVariant(false)
            << Messages{{Entry::automaticAdjust(false)}} << true;
        QTest::newRow("high quality upgrades")
            << QByteArray("HighQualityUpgradesBox") << QByteArray("highQualityUpgrades") << QVariant(false)
            << Messages{{Entry::highQualityUpgrades(false)}} << true;
        QTest::newRow("draw immediately") << QByteArray("DrawImmediatelyBox") << QByteArray("drawImmediately")
                                          << QVariant(true) << Messages{} << true;
        QTest::newRow("DPI Server") << QByteArray("DPIBox") << QByteArray("DPI") << QVariant(-1) << Messages{}
                                    << true;
        QTest::newRow("image format") << QByteArray("BigBlockCodecBox") << QByteArray("bigBlockImageFormat")
                                      << QVariant::fromValue(uchar(4))
                                      << Messages{{Entry::codec(SettingTag::BigBlockImageFormat, 4)}} << true;
        QTest::newRow("hi res format")
            << QByteArray("SmallBlockCodecBox") << QByteArray("smallBlockImageFormat")
            << QVariant::fromValue(uchar(4)) << Messages{{Entry::codec(SettingTag::SmallBlockImageFormat, 4)}}
            << true;
        QTest::newRow("hi res size") << QByteArray("BigBlockSizeBox") << QByteArray("bigBlockMinimumSize")
                                     << QVariant(128) << Messages{{Entry::bigBlockMinimumSize(128, 128)}}
                                     << true;
        QTest::newRow("capture keys") << QByteArray("CaptureKeysBox") << QByteArray("capturesKeys")
                                      << QVariant(false) << Messages{} << false;
        QTest::newRow("current monitor")
            << QByteArray("CurrentMonitorBox") << QByteArray("fullScreensOnCurrentMonitor") << QVariant(false)
            << Messages{} << false;
        QTest::newRow("primary selection")
            << QByteArray("HandlePrimarySelectionBox") << QByteArray("handlePrimarySelection")
            << QVariant(false) << Messages{} << false;
    }

    void controls() {
        QFETCH(QByteArray, control);
        QFETCH(QByteArray, property);
        QFETCH(QVariant, value);
        QFETCH(Messages, sent);
        QFETCH(bool, custom);
        Session s;
        QVERIFY(s.start(autodetectPreset));
        QVERIFY(s.ready());
        QTRY_VERIFY(!s.instance.supportedCodecs().isEmpty());
        s.open();
        QCOMPARE(s.presets()->currentText(), QStringLiteral("Automatic"));

        QWidget* widget = s.child<QWidget>(control.constData());
        QVERIFY(widget);
        const Messages messages = s.sentBy([&] {
            if (auto* box = qobject_cast<QCheckBox*>(widget)) {
                box->click();
            } else {
                pickNext(qobject_cast<QComboBox*>(widget));
            }
        });
        QCOMPARE(s.instance.property(property.constData()), value);
        QCOMPARE(messages, sent);
        QCOMPARE(s.onCustom(), custom);
        if (!custom) {
            QCOMPARE(s.instance.networkType(), QStringLiteral("Autodetect"));
            QCOMPARE(s.presets()->currentIndex(), 0);
        }
    }

    // Dragging sets the value at every step; only letting go switches to "Custom". A step by keyboard
    // sets the value and keeps the preset.
    void sliders_data() {
        QTest::addColumn<QByteArray>("slider");
        QTest::addColumn<QList<int>>("positions");
        QTest::addColumn<Messages>("sent");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("value");

        QTest::newRow("frame rate") << QByteArray("FpsSlider") << QList<int>{40, 41, 12}
                                    << Messages{{Entry::triple(SettingTag::FrameRate, 40, 0, 0)},
                                                {Entry::triple(SettingTag::FrameRate, 41, 0, 0)},
                                                {Entry::triple(SettingTag::FrameRate, 12, 0, 0)}}
                                    << QByteArray("framePerSecond") << QVariant(12);
        QTest::newRow("frame window") << QByteArray("FrameAckSlider") << QList<int>{5, 9}
                                      << Messages{{Entry::triple(SettingTag::FrameWindow, 5, 0, 0)},
                                                  {Entry::triple(SettingTag::FrameWindow, 9, 0, 0)}}
                                      << QByteArray("frameWindowSize") << QVariant(9);
        QTest::newRow("quality") << QByteArray("QualitySlider") << QList<int>{3, 1}
                                 << Messages{{Entry::triple(SettingTag::Compression, 3, 0, 0)},
                                             {Entry::triple(SettingTag::Compression, 1, 0, 0)}}
                                 << QByteArray("compressionLevel") << QVariant(1);
        QTest::newRow("zoom") << QByteArray("ScaleSlider") << QList<int>{8, 6} << Messages{}
                              << QByteArray("scalingFactor") << QVariant(2.0 / 3.0);
    }

    void sliders() {
        QFETCH(QByteArray, slider);
        QFETCH(QList<int>, positions);
        QFETCH(Messages, sent);
        QFETCH(QByteArray, property);
        QFETCH(QVariant, value);
        Session s;
        QVERIFY(s.start(autodetectPreset));
        QVERIFY(s.ready());
        s.open();
        auto* control = s.child<QSlider>(slider.constData());
        QVERIFY(control);

        QSignalSpy type(&s.instance, &RdpInstance::networkTypeChanged);
        const Messages dragged = s.sentBy([&] {
            control->setSliderDown(true);
            for (int position : positions) {
                control->setSliderPosition(position);
                QCOMPARE(type.count(), 0); // still on the preset while dragging
            }
        });
        QCOMPARE(dragged, sent);
        QCOMPARE(s.instance.property(property.constData()), value);
        QCOMPARE(control->value(), positions.constLast());
        control->setSliderDown(false);
        QVERIFY(s.onCustom());

        s.instance.setNetworkType(QStringLiteral("Autodetect"));
        QCOMPARE(s.presets()->currentIndex(), 0);
        control->setValue(positions.constFirst());
        control->triggerAction(QAbstractSlider::SliderSingleStepSub);
        QCOMPARE(control->value(), positions.constFirst() - 1);
        if (slider == "ScaleSlider") {
            QCOMPARE(s.instance.scalingFactor(), zoomFactorAt(positions.constFirst() - 1));
        } else {
            QCOMPARE(s.instance.property(property.constData()).toInt(), positions.constFirst() - 1);
        }
        QCOMPARE(s.instance.networkType(), QStringLiteral("Autodetect"));
    }

    // The zoom slider shows the table row of the session's factor; a factor off the table shows as its
    // nearest row and is kept as that row's factor.
    void zoomRow_data() {
        QTest::addColumn<double>("factor");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("label");
        QTest::addColumn<double>("stored");

        QTest::newRow("1") << 1.0 << zoomIndex(1.0) << "Zoom: 1x" << 1.0;
        QTest::newRow("0.5") << 0.5 << 8 << "Zoom: 2x" << 0.5;
        QTest::newRow("2/3") << 2.0 / 3.0 << 6 << "Zoom: 1.5x" << 0.67;
        QTest::newRow("1.1 off the table") << 1.1 << zoomIndex(1.0) << "Zoom: 1x" << 1.0;
        QTest::newRow("3 off the table") << 3.0 << 0 << "Zoom: 0.5x" << 2.0;
        QTest::newRow("0.3 off the table") << 0.3 << 8 << "Zoom: 2x" << 0.5;
    }

    void zoomRow() {
        QFETCH(double, factor);
        QFETCH(int, row);
        QFETCH(QString, label);
        QFETCH(double, stored);
        Session s;
        QVERIFY(s.start());
        s.open();
        auto* slider = s.child<QSlider>("ScaleSlider");
        auto* zoom = s.child<QLabel>("ScaleLabel");
        s.instance.setScalingFactor(0.8); // a change, whatever the factor asked for
        s.instance.setScalingFactor(factor);
        QCOMPARE(slider->value(), row);
        QCOMPARE(zoom->text(), label);
        QCOMPARE(zoomFactorAt(slider->value()), s.instance.scalingFactor());
        QCOMPARE(readServerPreference(QStringLiteral("host.example"), QStringLiteral("ScalingFactor"), 0)
                     .toDouble(),
                 stored);

        // A fresh panel starts on the same row.
        s.open();
        QCOMPARE(s.child<QSlider>("ScaleSlider")->value(), row);
    }

    void zoomWithoutSession() {
        RdpInstance instance; // its factor is 0 while no session runs
        RdpOptionsWidget panel(&instance);
        QCOMPARE(panel.findChild<QSlider*>(QStringLiteral("ScaleSlider"))->value(), zoomIndex(1.0));
        QCOMPARE(panel.findChild<QLabel*>(QStringLiteral("ScaleLabel"))->text(), QStringLiteral("Zoom: 1x"));
    }

    // Which preset the list shows for the session's network type, and which page opens.
    void presetSelection_data() {
        QTest::addColumn<QJsonArray>("types");
        QTest::addColumn<QString>("networkType");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<int>("page");

        const QJsonObject lan{{"_id", "lan"}, {"name", "LAN"}};
        const QJsonObject wan{{"_id", "wan"}, {"name", "WAN"}};
        const QJsonObject noId{{"name", "No id"}, {"frameRate", 7}};
        const QJsonObject emptyId{{"_id", ""}, {"name", "Empty id"}, {"frameRate", 7}};
        QTest::newRow("match") << QJsonArray{lan, wan} << "wan"
                               << "WAN" << 3;
        QTest::newRow("no match") << QJsonArray{lan, wan} << "satellite"
                                  << "LAN" << 3;
        QTest::newRow("custom") << QJsonArray{lan, wan} << ""
                                << "Custom" << 0;
        QTest::newRow("custom beside a preset without id") << QJsonArray{noId, lan} << ""
                                                           << "Custom" << 0;
        QTest::newRow("custom beside a preset with empty id") << QJsonArray{emptyId} << ""
                                                              << "Custom" << 0;
    }

    void presetSelection() {
        QFETCH(QJsonArray, types);
        QFETCH(QString, networkType);
        QFETCH(QString, selected);
        QFETCH(int, page);
        Session s;
        QVERIFY(s.start(types));
        s.instance.setNetworkType(networkType);
        s.open();
        QCOMPARE(itemTexts(s.presets()).constLast(), QStringLiteral("Custom"));
        QCOMPARE(s.presets()->currentText(), selected);
        QCOMPARE(s.child<QToolBox>("SettingsToolBox")->currentIndex(), page);
        QCOMPARE(s.instance.framePerSecond(), 30); // no id-less preset was applied
    }

    // Leaving a preset for "Custom" applies no preset that lacks an id, and picking a preset applies it
    // and the controls follow.
    void presetsApplied() {
        const QJsonArray types{
            QJsonObject{{"_id", ""}, {"name", "Empty id"}, {"frameRate", 7}},
            QJsonObject{{"name", "No id"}, {"frameRate", 8}},
            QJsonObject{{"_id", "lan"}, {"name", "LAN"}, {"frameRate", 50}, {"compression", 2}}};
        Session s;
        QVERIFY(s.start(types));
        QVERIFY(s.ready());
        s.open();
        auto* fps = s.child<QSlider>("FpsSlider");
        QCOMPARE(s.presets()->currentIndex(), 0); // "Autodetect" matches nothing

        const Messages custom = s.sentBy([&] { s.child<QCheckBox>("AutomaticAdjustBox")->click(); });
        QCOMPARE(custom, (Messages{{Entry::automaticAdjust(false)}}));
        QVERIFY(s.onCustom());
        QCOMPARE(s.instance.framePerSecond(), 30);

        for (int index : {0, 1}) { // the entries without an id are custom too
            const Messages none = s.sentBy([&] { emit s.presets()->activated(index); });
            QVERIFY(none.isEmpty());
            QCOMPARE(s.instance.framePerSecond(), 30);
            QVERIFY(s.instance.networkType().isEmpty());
        }

        const Messages lan = s.sentBy([&] {
            s.presets()->setCurrentIndex(1);
            pickNext(s.presets());
        });
        QCOMPARE(lan,
                 (Messages{{Entry::automaticAdjust(false), Entry::triple(SettingTag::Compression, 2, 0, 0),
                            Entry::triple(SettingTag::FrameRate, 50, 0, 0),
                            Entry::triple(SettingTag::FrameWindow, 2, 0, 0)}}));
        QCOMPARE(s.instance.networkType(), QStringLiteral("lan"));
        QCOMPARE(s.presets()->currentText(), QStringLiteral("LAN"));
        QCOMPARE(fps->value(), 50);
        QCOMPARE(s.child<QLabel>("FpsLabel")->text(), QStringLiteral("Frame Rate: 50 fps"));
        QCOMPARE(s.child<QSlider>("QualitySlider")->value(), 2);
    }

    // Values the server reports, and the settings that no Settings message carries, reach a panel that
    // was opened before the handshake.
    void followsSession() {
        Session s;
        QVERIFY(s.start());
        s.open();
        QVERIFY(s.ready());
        s.sim.sendSettings({Entry::triple(SettingTag::FrameWindow, 7, 1, 60),
                            Entry::bigBlockMinimumSize(512, 512),
                            Entry::codec(SettingTag::SmallBlockImageFormat, 4)});
        QTRY_COMPARE(s.child<QSlider>("FrameAckSlider")->value(), 7);
        QCOMPARE(s.child<QLabel>("FrameAckLabel")->text(), QStringLiteral("Frame Window Size: 7 frames"));
        QTRY_COMPARE(s.child<QComboBox>("BigBlockSizeBox")->currentText(), QStringLiteral("512x512"));
        QTRY_COMPARE(s.child<QComboBox>("SmallBlockCodecBox")->currentText(), QStringLiteral("PNG"));

        struct Box {
            const char* name;
            const char* property;
        };
        for (const Box& box :
             {Box{"SendCommandKeyBox", "sendCommandKey"}, Box{"CommandSendsAltBox", "commandSendsAlt"},
              Box{"HandlePrimarySelectionBox", "handlePrimarySelection"},
              Box{"CaptureKeysBox", "capturesKeys"}}) {
            const bool now = s.instance.property(box.property).toBool();
            s.instance.setProperty(box.property, !now);
            QCOMPARE(s.child<QCheckBox>(box.name)->isChecked(), !now);
        }
        s.instance.setDpi(160);
        QCOMPARE(s.child<QComboBox>("DPIBox")->currentText(), QStringLiteral("160"));
        s.instance.setDpi(150); // no such entry: nothing shown rather than another value
        QCOMPARE(s.child<QComboBox>("DPIBox")->currentIndex(), -1);
    }

    // A panel left open over the end of a session shows the next session of the same instance.
    void nextSession() {
        Session s;
        QVERIFY(s.start());
        s.open();
        s.instance.quit();
        QVERIFY(s.sim.awaitClientGone());
        const QJsonArray types{QJsonObject{{"_id", "Autodetect"}, {"name", "Automatic"}, {"frameRate", 24}}};
        s.instance.start(QNetworkRequest(s.sim.url()), QNetworkProxy(QNetworkProxy::NoProxy),
                         QStringLiteral("tester"), QStringLiteral("secret"), QStringLiteral("640x480"),
                         QStringLiteral("Desk"), false, {{"NetworkTypes", types}});
        QCOMPARE(itemTexts(s.presets()), (QStringList{"Automatic", "Custom"}));
        QCOMPARE(s.presets()->currentIndex(), 0);
        QCOMPARE(s.child<QSlider>("FpsSlider")->value(), 24);
    }

    void hiddenBoxes_data() {
        QTest::addColumn<QString>("geometry");
        QTest::addColumn<bool>("monitorAndKeys");
        QTest::newRow("desktop") << "640x480" << true;
        QTest::newRow("single application") << "rootless" << false;
    }

    void hiddenBoxes() {
        QFETCH(QString, geometry);
        QFETCH(bool, monitorAndKeys);
        Session s;
        QVERIFY(s.start({}, geometry));
        s.open();
        QCOMPARE(!s.child<QCheckBox>("CaptureKeysBox")->isHidden(), monitorAndKeys);
        QCOMPARE(!s.child<QCheckBox>("CurrentMonitorBox")->isHidden(), monitorAndKeys);
        QVERIFY(s.child<QCheckBox>("SendCommandKeyBox")->isHidden());
        QVERIFY(s.child<QCheckBox>("CommandSendsAltBox")->isHidden());
        QVERIFY(!s.child<QCheckBox>("HandlePrimarySelectionBox")->isHidden());
    }

    // The session's own handlers open this panel, and its buttons reach the session.
    void openedByTheSession() {
        Session s;
        QVERIFY(s.start());
        RdpDefaultHandlers handlers(&s.instance);
        QTRY_VERIFY(s.instance.master()->widgetList()->widget(1));
        auto* caddy =
            qobject_cast<RdpWidgetDesktopCaddy*>(s.instance.master()->widgetList()->widget(1).data());
        QVERIFY(caddy);
        auto* gear = caddy->toolbar()->findChild<QPushButton*>(QStringLiteral("OptionsButton"));
        QVERIFY(gear);
        gear->click();
        QPointer<QWidget> window = handlers.optionsWindow();
        QVERIFY(qobject_cast<RdpOptionsWidget*>(window.data()));
        QCOMPARE(window->windowTitle(), QStringLiteral("Desk - Options"));
        QVERIFY(!(window->windowFlags() & Qt::WindowFullscreenButtonHint));

        QSignalSpy quit(&s.instance, &RdpInstance::wantsToQuit);
        QMetaObject::invokeMethod(window, "disconnectFromSession");
        QCOMPARE(quit.count(), 1);
        QTRY_VERIFY(!s.instance.running());

        window->findChild<QDialogButtonBox*>(QStringLiteral("ButtonBox"))
            ->button(QDialogButtonBox::Close)
            ->click();
        QTRY_VERIFY(!window);
    }
};

QTEST_MAIN(TestRdpOptionsWidget)
#include "tst_rdpoptionswidget.moc"
