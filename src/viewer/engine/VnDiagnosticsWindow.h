#pragma once

// The session's diagnostics window: the server's frame timings and bandwidth over the last five
// minutes as a graph with a legend. Created hidden with the session, fed one sample per counters report.

#include <QDateTime>
#include <QImage>
#include <QLocale>
#include <QMap>
#include <QString>
#include <QVector>
#include <QWidget>

struct DiagnosticsSample {
    QDateTime time;
    double frameCount = 0;
    double currentFrame = 0; // this and the timings below: per frame
    double frameToFrame = 0;
    double networkWait = 0;
    double idleTimer = 0;
    double encoding = 0;
    double transmit = 0;
    double cpuDelay = 0;
    double bytesSent = 0; // over the whole interval
};

class VnDiagnosticsWindow : public QWidget {
    Q_OBJECT
public:
    // Samples are kept this long.
    static constexpr int KeepSeconds = 1800;
    // The graph spans this much.
    static constexpr int SpanSeconds = 300;
    // Reports closer together than this are merged into one sample, which bounds the list to one sample
    // a second however often the server reports; the cap covers a clock that jumps back.
    static constexpr qint64 MinSampleIntervalMs = 1000;
    static constexpr int MaxSamples = 2 * KeepSeconds;

    explicit VnDiagnosticsWindow(QWidget* parent = nullptr);

    // Timer deltas of one report (names as the server gives them). GUI thread.
    void addSample(const QMap<QString, double>& deltas);
    void addSample(const QMap<QString, double>& deltas, const QDateTime& now);

    const QVector<DiagnosticsSample>& samples() const { return m_samples; }
    const QImage& graph() const { return m_graph; }

    // The graph of `samples` (oldest first) for an image of `size`, as seen at `now`.
    static QImage drawGraph(QSize size, const QVector<DiagnosticsSample>& samples, const QDateTime& now,
                            const QLocale& locale);

public slots:
    // Redraws the graph at the window's size; skipped while the window is hidden (it is redrawn when
    // shown).
    void updateGraph();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void redraw(const QDateTime& now);

    QVector<DiagnosticsSample> m_samples;
    QDateTime m_lastSampleStarted; // when the newest sample took its first report
    QImage m_graph;
};
