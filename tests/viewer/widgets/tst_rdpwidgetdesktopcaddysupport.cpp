#include "viewer/widgets/RdpWidgetDesktopCaddySupport.h"

#include <QtTest>

#include <limits>
#include <optional>

using namespace CaddySupport;

namespace {

RdpClient client(const QString& id, const QString& name, const QString& status = QString()) {
    RdpClient c;
    c.client = id;
    c.name = name;
    c.status = status;
    return c;
}

const qreal notANumber = std::numeric_limits<qreal>::quiet_NaN();
const qreal infinity = std::numeric_limits<qreal>::infinity();

QList<QPointF> screens(std::initializer_list<QPointF> dpis) {
    return QList<QPointF>(dpis);
}

} // namespace

using OptionalSize = std::optional<QSize>;
Q_DECLARE_METATYPE(OptionalSize)

class TestCaddySupport : public QObject {
    Q_OBJECT

private slots:
    void participantMessages_data() {
        QTest::addColumn<QList<RdpClient>>("before");
        QTest::addColumn<QList<RdpClient>>("after");
        QTest::addColumn<QStringList>("expected");

        const RdpClient ann = client("a", "Ann");
        const RdpClient bob = client("b", "Bob");
        const RdpClient annInput = client("a", "Ann", "input");
        const RdpClient bobInput = client("b", "Bob", "input");

        QTest::newRow("nothing changes")
            << QList<RdpClient>{ann, bob} << QList<RdpClient>{ann, bob} << QStringList();
        QTest::newRow("control taken") << QList<RdpClient>{ann, bob} << QList<RdpClient>{ann, bobInput}
                                       << QStringList{"Bob now has control of the session."};
        QTest::newRow("control moves") << QList<RdpClient>{annInput, bob} << QList<RdpClient>{ann, bobInput}
                                       << QStringList{"Bob now has control of the session."};
        QTest::newRow("control given up")
            << QList<RdpClient>{annInput, bob} << QList<RdpClient>{ann, bob} << QStringList();
        QTest::newRow("controller keeps id, another joins")
            << QList<RdpClient>{annInput} << QList<RdpClient>{annInput, bob}
            << QStringList{"Bob has joined the session."};
        QTest::newRow("unnamed join") << QList<RdpClient>{ann} << QList<RdpClient>{ann, client("c", "")}
                                      << QStringList{"A new user has joined the session."};
        QTest::newRow("leave") << QList<RdpClient>{ann, bob} << QList<RdpClient>{ann}
                               << QStringList{"Bob has left the session."};
        QTest::newRow("joins by name, then id, before leaves")
            << QList<RdpClient>{ann, bob}
            << QList<RdpClient>{client("z", "Cid"), client("y", "Cid"), client("x", "Abe", "input")}
            << QStringList{"Abe now has control of the session.", "Abe has joined the session.",
                           "Cid has joined the session.",         "Cid has joined the session.",
                           "Ann has left the session.",           "Bob has left the session."};
        QTest::newRow("first list") << QList<RdpClient>{} << QList<RdpClient>{annInput, bob}
                                    << QStringList{"Ann now has control of the session.",
                                                   "Ann has joined the session.",
                                                   "Bob has joined the session."};
    }

    void participantMessages() {
        QFETCH(QList<RdpClient>, before);
        QFETCH(QList<RdpClient>, after);
        QFETCH(QStringList, expected);
        QCOMPARE(CaddySupport::participantMessages(before, after), expected);
    }

    void joinOrderIsByNameThenId() {
        const QStringList messages =
            CaddySupport::participantMessages({client("a", "Ann")}, {client("a", "Ann"), client("q", "Zed"),
                                                                     client("p", "Zed"), client("r", "Amy")});
        QCOMPARE(messages, (QStringList{"Amy has joined the session.", "Zed has joined the session.",
                                        "Zed has joined the session."}));
    }

    void millimetres_data() {
        QTest::addColumn<QSize>("viewport");
        QTest::addColumn<double>("factor");
        QTest::addColumn<int>("dpi");
        QTest::addColumn<QList<QPointF>>("screens");
        QTest::addColumn<OptionalSize>("expected");

        const QList<QPointF> screen96{QPointF(96, 96)};
        // 1024 px at 96 dpi: 1024 * 254 / 960 = 270 (integer division); the inclusive rectangle adds one.
        QTest::newRow("server dpi") << QSize(1024, 768) << 1.0 << -1 << screen96 << OptionalSize();
        QTest::newRow("automatic") << QSize(1024, 768) << 1.0 << 0 << screen96
                                   << OptionalSize(QSize(271, 204));
        QTest::newRow("setting 96 over a 192 screen")
            << QSize(1024, 768) << 1.0 << 96 << screens({QPointF(192, 192)}) << OptionalSize(QSize(271, 204));
        QTest::newRow("largest of all screens, truncated")
            << QSize(1000, 1000) << 1.0 << 0
            << screens({QPointF(96, 72), QPointF(100.9, 50), QPointF(80, 127.9)})
            << OptionalSize(QSize(1000 * 254 / 1000 + 1, 1000 * 254 / 1270 + 1));
        QTest::newRow("factor 2") << QSize(1024, 768) << 2.0 << 0 << screen96
                                  << OptionalSize(QSize(542, 408));
        QTest::newRow("no screens") << QSize(1024, 768) << 1.0 << 0 << screens({}) << OptionalSize();
        QTest::newRow("dpi 0 reported")
            << QSize(1024, 768) << 1.0 << 0 << screens({QPointF(0, 0)}) << OptionalSize();
        QTest::newRow("dpi below 1") << QSize(1024, 768) << 1.0 << 0 << screens({QPointF(0.5, 0.5)})
                                     << OptionalSize();
        QTest::newRow("dpi not a number")
            << QSize(1024, 768) << 1.0 << 0 << screens({QPointF(notANumber, notANumber)}) << OptionalSize();
        QTest::newRow("dpi infinite")
            << QSize(1024, 768) << 1.0 << 0 << screens({QPointF(infinity, -infinity)}) << OptionalSize();
        QTest::newRow("one axis unknown")
            << QSize(1024, 768) << 1.0 << 0 << screens({QPointF(96, notANumber)}) << OptionalSize();
        QTest::newRow("bad screen beside a good one")
            << QSize(1024, 768) << 1.0 << 0 << screens({QPointF(notANumber, 0), QPointF(96, 96)})
            << OptionalSize(QSize(271, 204));
        QTest::newRow("setting overrides unknown screens")
            << QSize(1024, 768) << 1.0 << 96 << screens({QPointF(notANumber, notANumber)})
            << OptionalSize(QSize(271, 204));
        QTest::newRow("huge viewport stays in range") << QSize(std::numeric_limits<int>::max(), 10) << 1.0
                                                      << 1 << screen96 << OptionalSize(QSize(65536, 255));
    }

    void millimetres() {
        QFETCH(QSize, viewport);
        QFETCH(double, factor);
        QFETCH(int, dpi);
        QFETCH(QList<QPointF>, screens);
        QFETCH(OptionalSize, expected);
        const OptionalSize result = desktopMillimetreSize(viewport, factor, dpi, screens);
        QCOMPARE(result.has_value(), expected.has_value());
        if (expected)
            QCOMPARE(*result, *expected);
    }

    void boundedSizes_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("ordinary") << QSize(1024, 768) << QSize(1024, 768);
        QTest::newRow("empty") << QSize(0, 0) << QSize(1, 1);
        QTest::newRow("invalid") << QSize() << QSize(1, 1);
        QTest::newRow("too wide") << QSize(65536, 10) << QSize(65535, 10);
        QTest::newRow("too tall") << QSize(10, 100000) << QSize(10, 65535);
    }

    void boundedSizes() {
        QFETCH(QSize, size);
        QFETCH(QSize, expected);
        QCOMPARE(boundedServerSize(size), expected);
    }

    void pixelSizeFollowsTheFactor_data() {
        QTest::addColumn<double>("factor");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("1") << 1.0 << QSize(1000, 700);
        QTest::newRow("2") << 2.0 << QSize(2000, 1400);
        QTest::newRow("2/3 drops the partial pixel") << 2.0 / 3.0 << QSize(666, 466);
    }

    void pixelSizeFollowsTheFactor() {
        QFETCH(double, factor);
        QFETCH(QSize, expected);
        QCOMPARE(desktopPixelSize(QSize(1000, 700), factor), expected);
    }

    void positions() {
        const QRect window(0, 0, 1000, 600);
        const QSize toolbar(318, 56);
        const QSize banner(300, 40);

        const QRect toolbarHidden = toolbarHiddenGeometry(window, toolbar);
        QCOMPARE(toolbarHidden.size(), toolbar);
        QCOMPARE(toolbarHidden.center().x(), window.center().x());
        // Its lowest six rows stay inside the window.
        QCOMPARE(toolbarHidden.intersected(window).height(), 6);
        const QRect toolbarShown = toolbarShownGeometry(window, toolbar);
        QCOMPARE(toolbarShown.left(), toolbarHidden.left());
        QVERIFY(window.contains(toolbarShown));

        const QRect bannerHidden = bannerHiddenGeometry(window, banner);
        QCOMPARE(bannerHidden.size(), banner);
        QCOMPARE(bannerHidden.right(), window.right() - 1);
        QVERIFY(!bannerHidden.intersects(window));
        const QRect bannerShown = bannerShownGeometry(window, banner);
        QCOMPARE(bannerShown.right(), window.right() - 1);
        QVERIFY(window.contains(bannerShown));
    }
};

QTEST_MAIN(TestCaddySupport)
#include "tst_rdpwidgetdesktopcaddysupport.moc"
