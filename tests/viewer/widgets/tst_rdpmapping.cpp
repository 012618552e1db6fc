#include "viewer/widgets/RdpMapping.h"

#include <QtTest>

#include <climits>
#include <cmath>
#include <limits>

namespace {

enum class Mapping { ToServer, FromServer };

const double notANumber = std::numeric_limits<double>::quiet_NaN();
const double infinity = std::numeric_limits<double>::infinity();

} // namespace

Q_DECLARE_METATYPE(Mapping)

class TestRdpMapping : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { setVirtualDesktopGeometrySource({}); }

    void mapRect_data() {
        QTest::addColumn<Mapping>("mapping");
        QTest::addColumn<QRect>("input");
        QTest::addColumn<bool>("relative");
        QTest::addColumn<double>("factor");
        QTest::addColumn<QPoint>("origin");
        QTest::addColumn<QRect>("expected");

        const QPoint none(0, 0);
        const QPoint leftAbove(-1920, -200); // a monitor left of and above the primary one
        const QRect odd(-7, 13, 31, 17);

        QTest::newRow("to, factor 1") << Mapping::ToServer << odd << false << 1.0 << none << odd;
        QTest::newRow("from, factor 1") << Mapping::FromServer << odd << false << 1.0 << none << odd;
        QTest::newRow("to, 1.5") << Mapping::ToServer << QRect(0, 0, 100, 100) << false << 1.5 << none
                                 << QRect(0, 0, 150, 150);
        QTest::newRow("to, 2/3 drops the partial pixel") << Mapping::ToServer << QRect(0, 0, 100, 100)
                                                         << false << 2.0 / 3.0 << none << QRect(0, 0, 66, 66);
        QTest::newRow("from, 2/3") << Mapping::FromServer << QRect(0, 0, 150, 150) << false << 2.0 / 3.0
                                   << none << QRect(0, 0, 100, 100);
        QTest::newRow("from, 2 adds a margin")
            << Mapping::FromServer << QRect(0, 0, 10, 10) << false << 2.0 << none << QRect(0, 0, 22, 22);
        QTest::newRow("to, negative, 1.5")
            << Mapping::ToServer << QRect(-10, -10, 5, 5) << false << 1.5 << none << QRect(-15, -15, 7, 7);
        QTest::newRow("from, negative, 2/3") << Mapping::FromServer << QRect(-10, -10, 5, 5) << false
                                             << 2.0 / 3.0 << none << QRect(-7, -7, 4, 4);

        QTest::newRow("to, desktop origin, 1") << Mapping::ToServer << QRect(-1920, -200, 100, 100) << true
                                               << 1.0 << leftAbove << QRect(0, 0, 100, 100);
        QTest::newRow("to, desktop origin, 2") << Mapping::ToServer << QRect(-1910, -190, 100, 100) << true
                                               << 2.0 << leftAbove << QRect(20, 20, 200, 200);
        QTest::newRow("from, desktop origin, 1") << Mapping::FromServer << QRect(0, 0, 100, 100) << true
                                                 << 1.0 << leftAbove << QRect(-1920, -200, 100, 100);
        QTest::newRow("from, desktop origin, 0.5") << Mapping::FromServer << QRect(20, 20, 200, 200) << true
                                                   << 0.5 << leftAbove << QRect(-1910, -190, 100, 100);
        QTest::newRow("origin ignored when not relative")
            << Mapping::ToServer << QRect(5, 5, 10, 10) << false << 1.0 << leftAbove << QRect(5, 5, 10, 10);

        // Every zoom step: a 1200 × 840 window to server pixels, and that back with the reciprocal.
        const struct {
            const char* name;
            double factor;
            QSize server;
            QSize back;
        } zoom[] = {
            {"0.5x", 2.0, {2400, 1680}, {1200, 840}},     {"0.57x", 1.75, {2100, 1470}, {1200, 840}},
            {"0.67x", 1.5, {1800, 1260}, {1200, 840}},    {"0.8x", 1.25, {1500, 1050}, {1200, 840}},
            {"1x", 1.0, {1200, 840}, {1200, 840}},        {"1.25x", 0.8, {960, 672}, {1202, 842}},
            {"1.5x", 2.0 / 3.0, {800, 560}, {1202, 842}}, {"1.75x", 4.0 / 7.0, {685, 480}, {1201, 842}},
            {"2x", 0.5, {600, 420}, {1202, 842}},
        };
        for (const auto& row : zoom) {
            QTest::addRow("zoom %s to", row.name) << Mapping::ToServer << QRect(0, 0, 1200, 840) << false
                                                  << row.factor << none << QRect(QPoint(0, 0), row.server);
            QTest::addRow("zoom %s back", row.name)
                << Mapping::FromServer << QRect(QPoint(0, 0), row.server) << false << 1.0 / row.factor << none
                << QRect(QPoint(0, 0), row.back);
        }

        // Factors that are not scaling factors leave the rectangle as it is.
        const struct {
            const char* name;
            double factor;
        } refused[] = {{"zero", 0.0},
                       {"negative", -1.5},
                       {"NaN", notANumber},
                       {"infinity", infinity},
                       {"-infinity", -infinity}};
        for (const auto& row : refused) {
            QTest::addRow("to, %s", row.name)
                << Mapping::ToServer << odd << false << row.factor << none << odd;
            QTest::addRow("from, %s", row.name)
                << Mapping::FromServer << odd << false << row.factor << none << odd;
        }
        QTest::newRow("from, reciprocal of zero")
            << Mapping::FromServer << odd << false << 1.0 / 0.0 << none << odd;
    }

    void mapRect() {
        QFETCH(Mapping, mapping);
        QFETCH(QRect, input);
        QFETCH(bool, relative);
        QFETCH(double, factor);
        QFETCH(QPoint, origin);
        QFETCH(QRect, expected);

        setVirtualDesktopGeometrySource([origin] { return QRect(origin, QSize(3840, 1280)); });
        const QRect result = mapping == Mapping::ToServer ? mapRectToServer(input, relative, factor)
                                                          : mapRectFromServer(input, relative, factor);
        QCOMPARE(result, expected);
    }

    void mapPoint_data() {
        QTest::addColumn<QPoint>("input");
        QTest::addColumn<bool>("relative");
        QTest::addColumn<double>("factor");
        QTest::addColumn<QPoint>("origin");
        QTest::addColumn<QPoint>("expected");

        QTest::newRow("factor 1") << QPoint(-3, 7) << false << 1.0 << QPoint() << QPoint(-3, 7);
        QTest::newRow("1.5") << QPoint(10, 11) << false << 1.5 << QPoint() << QPoint(15, 16);
        QTest::newRow("negative rounds down") << QPoint(-3, -1) << false << 1.5 << QPoint() << QPoint(-5, -2);
        QTest::newRow("2/3") << QPoint(1, 2) << false << 2.0 / 3.0 << QPoint() << QPoint(0, 1);
        QTest::newRow("desktop origin")
            << QPoint(-1910, -190) << true << 1.0 << QPoint(-1920, -200) << QPoint(10, 10);
        QTest::newRow("desktop origin, 2")
            << QPoint(-1910, -190) << true << 2.0 << QPoint(-1920, -200) << QPoint(20, 20);
        QTest::newRow("NaN") << QPoint(4, 5) << false << notANumber << QPoint() << QPoint(4, 5);
        QTest::newRow("infinity") << QPoint(4, 5) << false << infinity << QPoint() << QPoint(4, 5);
        QTest::newRow("zero") << QPoint(4, 5) << false << 0.0 << QPoint() << QPoint(4, 5);
    }

    void mapPoint() {
        QFETCH(QPoint, input);
        QFETCH(bool, relative);
        QFETCH(double, factor);
        QFETCH(QPoint, origin);
        QFETCH(QPoint, expected);

        setVirtualDesktopGeometrySource([origin] { return QRect(origin, QSize(100, 100)); });
        QCOMPARE(mapPointToServer(input, relative, factor), expected);
    }

    // Far-off coordinates and huge factors (a server scale preset makes the reciprocal of a tiny
    // factor) give rectangles whose width, height and placement are still ints.
    void farCoordinatesStayInRange_data() {
        QTest::addColumn<Mapping>("mapping");
        QTest::addColumn<QRect>("input");
        QTest::addColumn<bool>("relative");
        QTest::addColumn<double>("factor");
        QTest::addColumn<QPoint>("origin");

        const QRect far(INT_MAX / 2, INT_MIN / 2, 1000, 1000);
        const QRect surface(0, 0, 1920, 1080);
        const QPoint right(1920, 100); // a desktop whose primary screen is not the top-left one
        QTest::newRow("to, far, 8") << Mapping::ToServer << far << false << 8.0 << QPoint();
        QTest::newRow("to, far, desktop origin") << Mapping::ToServer << far << true << 8.0 << right;
        QTest::newRow("to, edges of int, 1")
            << Mapping::ToServer << QRect(QPoint(INT_MIN, INT_MIN), QPoint(INT_MAX - 1, INT_MAX - 1)) << true
            << 1.0 << right;
        QTest::newRow("from, reciprocal of 1e-9")
            << Mapping::FromServer << surface << false << 1e9 << QPoint();
        QTest::newRow("from, reciprocal of 1e-9, desktop origin")
            << Mapping::FromServer << surface << true << 1e9 << right;
        QTest::newRow("from, largest finite factor") << Mapping::FromServer << QRect(-5, -5, 10, 10) << true
                                                     << std::numeric_limits<double>::max() << right;
    }

    void farCoordinatesStayInRange() {
        QFETCH(Mapping, mapping);
        QFETCH(QRect, input);
        QFETCH(bool, relative);
        QFETCH(double, factor);
        QFETCH(QPoint, origin);

        setVirtualDesktopGeometrySource([origin] { return QRect(origin, QSize(1920, 1080)); });
        const QRect result = mapping == Mapping::ToServer ? mapRectToServer(input, relative, factor)
                                                          : mapRectFromServer(input, relative, factor);
        // Computed in 64 bits, as the checks must not overflow themselves.
        const qint64 width = qint64(result.right()) - result.left() + 1;
        const qint64 height = qint64(result.bottom()) - result.top() + 1;
        QVERIFY(width > 0 && width <= INT_MAX);
        QVERIFY(height > 0 && height <= INT_MAX);
        QCOMPARE(result.size(), QSize(int(width), int(height)));
        QVERIFY(qAbs(qint64(result.left()) + origin.x()) <= INT_MAX);
        QVERIFY(qAbs(qint64(result.right()) + origin.x()) <= INT_MAX);

        const QPoint point = mapPointToServer(QPoint(INT_MIN, INT_MAX), relative, factor);
        QVERIFY(qAbs(qint64(point.x()) + origin.x()) <= INT_MAX);
        QVERIFY(qAbs(qint64(point.y()) + origin.y()) <= INT_MAX);
    }

    // For every zoom of the table and every length up to a large desktop: the local length is the
    // smallest that shows the server length, and shows exactly it wherever a local pixel is at most one
    // server pixel.
    void lengthsRoundTrip_data() {
        QTest::addColumn<double>("factor");
        for (const ZoomRow& row : zoomTable)
            QTest::newRow(row.label) << row.exactFactor;
        QTest::newRow("off the table") << 0.3;
    }

    void lengthsRoundTrip() {
        QFETCH(double, factor);
        for (int server = -300; server <= 17000; ++server) {
            const int local = mapLengthFromServer(server, factor);
            const int shown = mapLengthToServer(local, factor);
            QVERIFY2(shown >= server && mapLengthToServer(local - 1, factor) < server,
                     qPrintable(QStringLiteral("%1 -> %2 -> %3").arg(server).arg(local).arg(shown)));
            if (factor <= 1.0)
                QCOMPARE(shown, server);
            else
                QVERIFY(shown - server < factor);
        }
    }

    void sizesAndPoints() {
        QCOMPARE(mapSizeFromServer(QSize(1024, 768), 2.0 / 3.0), QSize(1536, 1152));
        QCOMPARE(mapSizeToServer(QSize(1536, 1152), 2.0 / 3.0), QSize(1024, 768));
        QCOMPARE(mapSizeFromServer(QSize(1025, 769), 2.0), QSize(513, 385));
        QCOMPARE(mapSizeToServer(QSize(513, 385), 2.0), QSize(1026, 770));
        QCOMPARE(mapSizeFromServer(QSize(600, 420), 4.0 / 7.0), QSize(1050, 735));
        // Whole rectangles agree with the size rule.
        QCOMPARE(mapRectToServer(QRect(0, 0, 1536, 1152), false, 2.0 / 3.0).size(), QSize(1024, 768));

        setVirtualDesktopGeometrySource([] { return QRect(-1920, -200, 3840, 1280); });
        const QPoint local = mapPointFromServer(QPoint(101, 7), true, 2.0 / 3.0);
        QCOMPARE(local, QPoint(-1920 + 152, -200 + 11));
        QCOMPARE(mapPointToServer(local, true, 2.0 / 3.0), QPoint(101, 7));
    }

    // A window fitted to a server size keeps asking for it where the plain rule cannot reach it.
    void windowServerSize() {
        WindowServerSize sizes;
        const QSize odd(1025, 769);
        const QSize local = mapSizeFromServer(odd, 2.0); // 513 x 385 shows 1026 x 770
        QCOMPARE(sizes.serverSize(local, 2.0, odd), odd);
        // Zoom 1x and back, the server meanwhile at what 1x asked for.
        QCOMPARE(sizes.serverSize(local, 1.0, odd), local);
        QCOMPARE(sizes.serverSize(local, 2.0, local), odd);
        // Another window size asks for what it shows; back at the fitted size, the fitted size again.
        QCOMPARE(sizes.serverSize(QSize(600, 400), 2.0, odd), QSize(1200, 800));
        QCOMPARE(sizes.serverSize(local, 2.0, QSize(1200, 800)), odd);
        // A new fit at the same local size replaces the old one.
        QCOMPARE(sizes.serverSize(local, 2.0, QSize(1026, 770)), QSize(1026, 770));
        QCOMPARE(sizes.serverSize(local, 2.0, QSize(1200, 800)), QSize(1026, 770));
        // Nothing known: the size the window shows.
        QCOMPARE(sizes.serverSize(QSize(513, 385), 1.75, QSize()), QSize(897, 673));
    }

    void nearestZoom_data() {
        QTest::addColumn<double>("factor");
        QTest::addColumn<double>("expected");
        QTest::newRow("a row") << 2.0 / 3.0 << 2.0 / 3.0;
        QTest::newRow("stored value of a row") << 0.67 << 2.0 / 3.0;
        QTest::newRow("scale 3") << 1.0 / 3.0 << 0.5;
        QTest::newRow("largest") << 8.0 << 2.0;
        QTest::newRow("just above 1") << 1.1 << 1.0;
        QTest::newRow("between 1.25 and 1.5") << 1.4 << 1.5;
        QTest::newRow("scale 1.6") << 1.0 / 1.6 << 2.0 / 3.0;
        QTest::newRow("invalid") << -2.0 << 1.0;
    }

    void nearestZoom() {
        QFETCH(double, factor);
        QFETCH(double, expected);
        QCOMPARE(nearestZoomFactor(factor), expected);
        QCOMPARE(zoomIndex(nearestZoomFactor(factor)) < int(zoomTable.size()), true);
    }

    void zoomLookups() {
        QCOMPARE(zoomIndex(0.67), 9);
        QCOMPARE(zoomIndex(2.0 / 3.0), 6);
        QCOMPARE(exactZoomFactor(0.67), 2.0 / 3.0);
        QCOMPARE(exactZoomFactor(0.57), 4.0 / 7.0);
        QCOMPARE(exactZoomFactor(2.0 / 3.0), 1.0);
        QCOMPARE(roundedZoomFactor(2.0 / 3.0), 0.67);
        QCOMPARE(roundedZoomFactor(0.67), 1.0);
        QCOMPARE(zoomLabel(9), QString());
        QCOMPARE(zoomLabel(-1), QString());
        QCOMPARE(zoomFactorAt(-1), 1.0);
        QCOMPARE(zoomFactorAt(9), 1.0);
        QCOMPARE(zoomLabel(0), QStringLiteral("0.5x"));
        QCOMPARE(zoomLabel(8), QStringLiteral("2x"));
    }

    void zoomRowsRoundTripThroughPreferences() {
        // The factor stored in the preferences must read back as the same row.
        for (int row = 0; row < 9; ++row) {
            const double exact = zoomFactorAt(row);
            QCOMPARE(zoomIndex(exact), row);
            QCOMPARE(exactZoomFactor(roundedZoomFactor(exact)), exact);
            QVERIFY(isValidScalingFactor(exact));
            QVERIFY(!zoomLabel(row).isEmpty());
        }
    }

    void scalingFactorRange_data() {
        QTest::addColumn<double>("factor");
        QTest::addColumn<bool>("valid");
        QTest::newRow("1") << 1.0 << true;
        QTest::newRow("8") << 8.0 << true;
        QTest::newRow("tiny") << 1e-9 << true;
        QTest::newRow("above 8") << 8.000001 << false;
        QTest::newRow("zero") << 0.0 << false;
        QTest::newRow("negative zero") << -0.0 << false;
        QTest::newRow("negative") << -1.0 << false;
        QTest::newRow("NaN") << notANumber << false;
        QTest::newRow("infinity") << infinity << false;
    }

    void scalingFactorRange() {
        QFETCH(double, factor);
        QFETCH(bool, valid);
        QCOMPARE(isValidScalingFactor(factor), valid);
    }
};

QTEST_GUILESS_MAIN(TestRdpMapping)
#include "tst_rdpmapping.moc"
