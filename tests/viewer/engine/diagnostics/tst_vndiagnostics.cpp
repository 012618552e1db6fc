// The diagnostics channel's texts and deltas, the window's samples and graph, and the whole path from
// the simulator's counters to the session's window.

#include "../controller/ControllerFixture.h"
#include "SimDiagnostics.h"
#include "SimServer.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/engine/VnDiagnosticsChannel.h"
#include "viewer/engine/VnDiagnosticsWindow.h"

#include <QLoggingCategory>
#include <QMutex>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace DisplaySim::Diagnostics;

namespace {

void feed(VnDiagnosticsChannel& channel, const QByteArray& message) {
    channel.receive(std::vector<std::uint8_t>(message.begin(), message.end()));
}

const QByteArray kNames = counterNames({{1, "FrameCount"}, {2, "FrameToFrame"}, {3, "Load"}});

QMap<QString, double> deltas(std::initializer_list<std::pair<const char*, double>> values) {
    QMap<QString, double> map;
    for (const auto& [name, value] : values) {
        map.insert(QString::fromLatin1(name), value);
    }
    return map;
}

const QDateTime kNow = QDateTime(QDate(2026, 1, 1), QTime(12, 0), Qt::UTC);

DiagnosticsSample sample(int secondsBeforeNow, double frameToFrame, double encoding, double currentFrame,
                         double bytesSent = 0) {
    DiagnosticsSample s;
    s.time = kNow.addSecs(-secondsBeforeNow);
    s.frameCount = 1;
    s.frameToFrame = frameToFrame;
    s.encoding = encoding;
    s.currentFrame = currentFrame;
    s.bytesSent = bytesSent;
    return s;
}

// Row of the first pixel of exactly that colour in column x, or -1.
int rowOf(const QImage& image, int x, QColor colour) {
    for (int y = 0; y < image.height(); ++y) {
        if (image.pixelColor(x, y) == colour) {
            return y;
        }
    }
    return -1;
}

QtMessageHandler previousHandler = nullptr;
QMutex logMutex;
QStringList diagnosticsLog;

void captureDiagnosticsLog(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (context.category && qstrcmp(context.category, "velnor.diagnostics") == 0) {
        QMutexLocker lock(&logMutex);
        diagnosticsLog << text;
    }
    previousHandler(type, context, text);
}

} // namespace

class TestVnDiagnostics : public QObject {
    Q_OBJECT
private slots:
    void channelTextsAndDeltas() {
        VnDiagnosticsChannel channel("diagnostics", 4);
        QSignalSpy timers(&channel, &VnDiagnosticsChannel::timerStatistics);
        QSignalSpy averages(&channel, &VnDiagnosticsChannel::averageStatistics);
        QSignalSpy finished(&channel, &VnDiagnosticsChannel::countersFinished);

        feed(channel, kNames);
        feed(channel, counters({timer(1, 0, 10), timer(2, 16500, 100), average(3, 1500)}));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(channel.counterTexts().value("FrameCount"), QStringLiteral("FrameCount: 10 (0.000)"));
        QCOMPARE(channel.counterTexts().value("FrameToFrame"), QStringLiteral("FrameToFrame: 100 (16.500)"));
        QCOMPARE(channel.counterTexts().value("Load"), QStringLiteral("Load: 1.500"));
        QCOMPARE(channel.summaryText(),
                 QStringLiteral("FrameCount: 10 (0.000), FrameToFrame: 100 (16.500), Load: 1.500"));
        QCOMPARE(channel.timerDeltas(), deltas({{"FrameCount", 10}, {"FrameToFrame", 100}}));
        QCOMPARE(timers.count(), 2);
        QCOMPARE(timers.at(1).at(0).toString(), QStringLiteral("FrameToFrame"));
        QCOMPARE(timers.at(1).at(1).toDouble(), 16.5);
        QCOMPARE(timers.at(1).at(2).value<qulonglong>(), 100ull);
        QCOMPARE(averages.count(), 1);
        QCOMPARE(averages.at(0).at(1).toDouble(), 1.5);

        // Totals become differences from the previous report.
        feed(channel, counters({timer(1, 0, 25), timer(2, 16500, 250)}));
        QCOMPARE(channel.timerDeltas(), deltas({{"FrameCount", 15}, {"FrameToFrame", 150}}));

        // A timer missing from one report counts from its last total when it is back.
        feed(channel, counters({timer(2, 16500, 300)}));
        QCOMPARE(channel.timerDeltas(), deltas({{"FrameToFrame", 50}}));
        feed(channel, counters({timer(1, 0, 40), timer(2, 16500, 310)}));
        QCOMPARE(channel.timerDeltas(), deltas({{"FrameCount", 15}, {"FrameToFrame", 10}}));
    }

    void countersBeforeNames() {
        VnDiagnosticsChannel channel("diagnostics", 4);
        QSignalSpy finished(&channel, &VnDiagnosticsChannel::countersFinished);
        feed(channel, counters({timer(1, 0, 10), average(3, 1500)}));
        QCOMPARE(finished.count(), 1);
        QVERIFY(channel.counterTexts().isEmpty());
        QVERIFY(channel.timerDeltas().isEmpty());
        QCOMPARE(channel.summaryText(), QString());

        VnDiagnosticsWindow window;
        window.addSample(channel.timerDeltas(), kNow);
        QVERIFY(window.samples().isEmpty());
    }

    // Names the server has dropped or renamed keep no texts or totals behind: what the channel holds
    // stays within its bound on names, however the server renames its counters.
    void renamedCountersKeepNothingBehind() {
        VnDiagnosticsChannel channel("diagnostics", 4);
        for (int round = 0; round < 3; ++round) {
            const QString name = QStringLiteral("Timer%1").arg(round);
            feed(channel, counterNames({{1, name}}));
            feed(channel, counters({timer(1, 0, quint64(10 * (round + 1)))}));
            QCOMPARE(channel.counterTexts().keys(), QStringList{name});
            QCOMPARE(channel.timerDeltas().keys(), QStringList{name});
        }
    }

    void samplesPerFrame() {
        VnDiagnosticsWindow window;
        window.addSample(deltas({{"FrameCount", 4},
                                 {"FrameToFrame", 80},
                                 {"Encoding", 20},
                                 {"CurrentFrame", 40},
                                 {"Transmit", 8},
                                 {"NetworkWait", 4},
                                 {"IdleTimer", 2},
                                 {"CpuDelay", 1},
                                 {"BytesSent", 4000}}),
                         kNow);
        QCOMPARE(window.samples().size(), 1);
        const DiagnosticsSample& s = window.samples().first();
        QCOMPARE(s.time, kNow);
        QCOMPARE(s.frameCount, 4.0);
        QCOMPARE(s.frameToFrame, 20.0);
        QCOMPARE(s.encoding, 5.0);
        QCOMPARE(s.currentFrame, 10.0);
        QCOMPARE(s.transmit, 2.0);
        QCOMPARE(s.networkWait, 1.0);
        QCOMPARE(s.idleTimer, 0.5);
        QCOMPARE(s.cpuDelay, 0.25);
        QCOMPARE(s.bytesSent, 4000.0); // over the interval, not per frame
    }

    // A report without frames adds nothing but still drops what is older than half an hour, and redraws.
    void frameCountZero() {
        VnDiagnosticsWindow window;
        window.resize(320, 240);
        window.addSample(deltas({{"FrameCount", 1}}), kNow.addSecs(-1801));
        window.addSample(deltas({{"FrameCount", 1}}), kNow.addSecs(-1700));
        QCOMPARE(window.samples().size(), 2);
        window.show();
        const qint64 before = window.graph().cacheKey();
        window.addSample(deltas({{"FrameCount", 0}, {"FrameToFrame", 50}}), kNow);
        QCOMPARE(window.samples().size(), 1);
        QCOMPARE(window.samples().first().time, kNow.addSecs(-1700));
        QVERIFY(window.graph().cacheKey() != before);
    }

    // However often the server reports, the window keeps at most one sample a second, and draws only
    // while it is shown.
    void samplesAreBoundedAndDrawnWhenShown() {
        VnDiagnosticsWindow window;
        window.resize(320, 240);
        for (int i = 0; i < 100; ++i) {
            window.addSample(
                deltas({{"FrameCount", 1}, {"FrameToFrame", double(i % 2 ? 30 : 10)}, {"BytesSent", 10}}),
                kNow.addMSecs(i * 5));
        }
        QCOMPARE(window.samples().size(), 1);
        const DiagnosticsSample merged = window.samples().first();
        QCOMPARE(merged.frameCount, 100.0);
        QCOMPARE(merged.frameToFrame, 20.0);
        QCOMPARE(merged.bytesSent, 1000.0);
        QCOMPARE(merged.time, kNow.addMSecs(99 * 5));
        window.addSample(deltas({{"FrameCount", 1}}), kNow.addMSecs(1000));
        QCOMPARE(window.samples().size(), 2);
        QVERIFY(window.graph().isNull());

        // A clock that keeps jumping back cannot grow the list past its cap.
        for (int i = 0; i < VnDiagnosticsWindow::MaxSamples + 10; ++i) {
            window.addSample(deltas({{"FrameCount", 1}}), kNow.addSecs(-i));
        }
        QCOMPARE(window.samples().size(), VnDiagnosticsWindow::MaxSamples);
        QVERIFY(window.graph().isNull());

        window.show();
        QCOMPARE(window.graph().size(), QSize(320, 240));
    }

    void graphPixels() {
        // Three samples 100 s apart; x = seconds into the 300 s span, one pixel a second.
        QVector<DiagnosticsSample> samples{sample(250, 10, 5, 2.5), sample(150, 10, 5, 2.5, 2000),
                                           sample(50, 10, 5, 2.5, 1000)};
        // Older than the span: not drawn and not part of the scale.
        samples.prepend(sample(400, 1000, 1000, 1000, 1e9));
        const QImage image = VnDiagnosticsWindow::drawGraph(QSize(300, 200), samples, kNow, QLocale::c());
        QCOMPARE(image.size(), QSize(300, 200));
        // The timings share the largest frame-to-frame value (10) at 90 % height: 18 px per unit.
        QVERIFY(qAbs(rowOf(image, 120, Qt::black) - 20) <= 1);
        QVERIFY(qAbs(rowOf(image, 120, Qt::green) - 110) <= 1);
        QVERIFY(qAbs(rowOf(image, 120, Qt::red) - 155) <= 1);
        // Bandwidth: 20 B/s at x 150, 10 B/s at x 250, on its own scale (largest 20 at 90 %).
        QVERIFY(qAbs(rowOf(image, 200, Qt::blue) - 65) <= 2);
        QCOMPARE(rowOf(image, 120, Qt::blue), -1);
        // Nothing left of the first sample in the span (outside the legend).
        for (int y = 0; y < image.height(); ++y) {
            QCOMPARE(image.pixelColor(299, y) == Qt::black, false);
        }
        // Legend squares.
        QCOMPARE(image.pixelColor(5, 11), QColor(Qt::blue));
        QCOMPARE(image.pixelColor(5, 27), QColor(Qt::black));
        QCOMPARE(image.pixelColor(5, 43), QColor(Qt::red));
        QCOMPARE(image.pixelColor(5, 59), QColor(Qt::green));
        QCOMPARE(image.pixelColor(5, 75), QColor(Qt::white));
    }

    // No frame-to-frame time above 0: the timings are drawn unscaled instead of divided by zero.
    void graphWithZeroLargestValue() {
        const QVector<DiagnosticsSample> samples{sample(250, 0, 5, 0), sample(150, 0, 5, 0)};
        const QImage image = VnDiagnosticsWindow::drawGraph(QSize(300, 200), samples, kNow, QLocale::c());
        QVERIFY(qAbs(rowOf(image, 120, Qt::green) - 195) <= 1);

        const QImage empty = VnDiagnosticsWindow::drawGraph(QSize(300, 200), {}, kNow, QLocale::c());
        for (int y = 0; y < empty.height(); y += 7) {
            for (int x = 0; x < empty.width(); x += 7) {
                QCOMPARE(empty.pixelColor(x, y), QColor(Qt::white));
            }
        }
    }

    // From the simulator's counters to the session's window.
    void sessionFeedsItsWindow() {
        ControllerTest::PrivateSettings settings;
        DisplaySim::Server sim(ControllerTest::simOptions());
        QVERIFY(sim.listen());
        auto master = ControllerTest::startMaster(sim);
        QVERIFY(ControllerTest::awaitSessionReady(sim));
        auto* window = qobject_cast<VnDiagnosticsWindow*>(master->diagnosticsWindow());
        QVERIFY(window);
        QVERIFY(!window->isVisible());
        QCOMPARE(window->size(), QSize(800, 600));
        const quint8 number = sim.channelNumber(QStringLiteral("diagnostics"));
        QVERIFY(number != 0);
        QLoggingCategory::setFilterRules(QStringLiteral("velnor.diagnostics.debug=true"));
        previousHandler = qInstallMessageHandler(captureDiagnosticsLog);
        sim.sendChannelFrame(number, counterNames({{1, "FrameCount"}, {2, "FrameToFrame"}}));
        // Reports sent before the controller has wired the opened channel reach no window; the server
        // keeps reporting, each report 4 frames and 80 ms of frame-to-frame time further.
        for (int k = 1; k <= 200 && window->samples().isEmpty(); ++k) {
            sim.sendChannelFrame(number, counters({timer(1, 0, 4 * k), timer(2, 16000, 80 * k)}));
            QTest::qWait(50);
        }
        qInstallMessageHandler(previousHandler);
        QLoggingCategory::setFilterRules(QString());
        QCOMPARE(window->samples().size(), 1);
        {
            QMutexLocker lock(&logMutex);
            QVERIFY(!diagnosticsLog.isEmpty());
            QVERIFY2(QRegularExpression(QStringLiteral("^FrameCount: \\d+ \\(0\\.000\\), FrameToFrame: \\d+ "
                                                       "\\(16\\.000\\)$"))
                         .match(diagnosticsLog.last())
                         .hasMatch(),
                     qPrintable(diagnosticsLog.last()));
        }
        QCOMPARE(window->samples().first().frameToFrame, 20.0);

        master->diagnostics();
        QVERIFY(window->isVisible());
        QCOMPARE(window->graph().size(), QSize(800, 600));

        // A malformed report is a protocol error that ends the session.
        QSignalSpy finished(master.get(), &RdpMaster::finished);
        sim.sendChannelFrame(number, QByteArray::fromHex("03 01 01000000 01 0c fa00"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QCOMPARE(finished.at(0).at(0).toString(), QStringLiteral("failed to read the counters message"));
        QCOMPARE(finished.at(0).at(1).value<uchar>(), uchar(4));
    }
};

QTEST_MAIN(TestVnDiagnostics)
#include "tst_vndiagnostics.moc"
