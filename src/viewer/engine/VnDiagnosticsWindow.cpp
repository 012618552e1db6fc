#include "viewer/engine/VnDiagnosticsWindow.h"

#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

namespace {

// A series' vertical scale: 90 % of the height for its largest value. Nothing to scale by (no values,
// or none above 0) leaves the values as they are.
double scaleFor(double largest, int height) {
    return largest > 0 ? height * 0.9 / largest : 1.0;
}

double perFrame(const QMap<QString, double>& deltas, const char* name, double frameCount) {
    return deltas.value(QString::fromLatin1(name), 0.0) / frameCount;
}

} // namespace

VnDiagnosticsWindow::VnDiagnosticsWindow(QWidget* parent)
    : QWidget(parent) {
    setWindowTitle(tr("Diagnostics"));
}

void VnDiagnosticsWindow::addSample(const QMap<QString, double>& deltas) {
    addSample(deltas, QDateTime::currentDateTimeUtc());
}

void VnDiagnosticsWindow::addSample(const QMap<QString, double>& deltas, const QDateTime& now) {
    const QDateTime oldest = now.addSecs(-KeepSeconds);
    m_samples.erase(std::remove_if(m_samples.begin(), m_samples.end(),
                                   [&](const DiagnosticsSample& s) { return s.time < oldest; }),
                    m_samples.end());

    const double frameCount = deltas.value(QStringLiteral("FrameCount"), 0.0);
    if (frameCount > 0) {
        DiagnosticsSample sample;
        sample.time = now;
        sample.frameCount = frameCount;
        sample.bytesSent = deltas.value(QStringLiteral("BytesSent"), 0.0);
        sample.currentFrame = perFrame(deltas, "CurrentFrame", frameCount);
        sample.frameToFrame = perFrame(deltas, "FrameToFrame", frameCount);
        sample.networkWait = perFrame(deltas, "NetworkWait", frameCount);
        sample.idleTimer = perFrame(deltas, "IdleTimer", frameCount);
        sample.encoding = perFrame(deltas, "Encoding", frameCount);
        sample.transmit = perFrame(deltas, "Transmit", frameCount);
        sample.cpuDelay = perFrame(deltas, "CpuDelay", frameCount);

        const bool merge = !m_samples.isEmpty() && m_lastSampleStarted.isValid() &&
                           m_lastSampleStarted <= now &&
                           m_lastSampleStarted.msecsTo(now) < MinSampleIntervalMs;
        if (merge) {
            // Per-frame values weighted by their frame counts; the bytes add up, and the sample now ends
            // here, so its bandwidth covers the whole merged interval.
            DiagnosticsSample& last = m_samples.last();
            const double total = last.frameCount + frameCount;
            auto mix = [&](double a, double b) { return (a * last.frameCount + b * frameCount) / total; };
            last.currentFrame = mix(last.currentFrame, sample.currentFrame);
            last.frameToFrame = mix(last.frameToFrame, sample.frameToFrame);
            last.networkWait = mix(last.networkWait, sample.networkWait);
            last.idleTimer = mix(last.idleTimer, sample.idleTimer);
            last.encoding = mix(last.encoding, sample.encoding);
            last.transmit = mix(last.transmit, sample.transmit);
            last.cpuDelay = mix(last.cpuDelay, sample.cpuDelay);
            last.frameCount = total;
            last.bytesSent += sample.bytesSent;
            last.time = now;
        } else {
            m_samples.append(sample);
            m_lastSampleStarted = now;
            if (m_samples.size() > MaxSamples) {
                m_samples.erase(m_samples.begin(), m_samples.begin() + (m_samples.size() - MaxSamples));
            }
        }
    }
    if (isVisible()) {
        redraw(now);
    }
}

void VnDiagnosticsWindow::updateGraph() {
    if (isVisible()) {
        redraw(QDateTime::currentDateTimeUtc());
    }
}

void VnDiagnosticsWindow::redraw(const QDateTime& now) {
    m_graph = drawGraph(size(), m_samples, now, locale());
    update();
}

QImage VnDiagnosticsWindow::drawGraph(QSize size, const QVector<DiagnosticsSample>& samples,
                                      const QDateTime& now, const QLocale& locale) {
    QImage image(size.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    image.fill(Qt::white);
    const int width = image.width();
    const int height = image.height();

    const QDateTime start = now.addSecs(-SpanSeconds);
    QPolygonF frameToFrame;
    QPolygonF encoding;
    QPolygonF currentFrame;
    QPolygonF bandwidth;
    double largestFrameToFrame = 0;
    double largestBandwidth = 0;
    bool anyFrameToFrame = false;
    const DiagnosticsSample* previous = nullptr;
    for (const DiagnosticsSample& s : samples) {
        if (s.time < start) {
            continue;
        }
        const double x = start.msecsTo(s.time) / 1000.0 * width / SpanSeconds;
        frameToFrame << QPointF(x, s.frameToFrame);
        encoding << QPointF(x, s.encoding);
        currentFrame << QPointF(x, s.currentFrame);
        largestFrameToFrame =
            anyFrameToFrame ? std::max(largestFrameToFrame, s.frameToFrame) : s.frameToFrame;
        anyFrameToFrame = true;
        if (previous) {
            const qint64 ms = previous->time.msecsTo(s.time);
            if (ms > 0) {
                const double rate = std::trunc(s.bytesSent * 1000.0 / double(ms));
                bandwidth << QPointF(std::trunc(x), rate);
                largestBandwidth = bandwidth.size() == 1 ? rate : std::max(largestBandwidth, rate);
            }
        }
        previous = &s;
    }

    const double timingScale = scaleFor(largestFrameToFrame, height);
    const double bandwidthScale = scaleFor(largestBandwidth, height);
    auto place = [height](QPolygonF series, double scale) {
        for (QPointF& p : series) {
            p.setY(height - p.y() * scale);
        }
        return series;
    };

    QPainter painter(&image);
    auto drawSeries = [&](const QPolygonF& series, double scale, Qt::GlobalColor colour) {
        if (series.isEmpty()) {
            return;
        }
        QPen pen(colour);
        pen.setCosmetic(true); // clipped to the image, however far off a value lies
        painter.setPen(pen);
        const QPolygonF placed = place(series, scale);
        if (placed.size() == 1) {
            painter.drawPoint(placed.first());
        } else {
            painter.drawPolyline(placed);
        }
    };
    drawSeries(frameToFrame, timingScale, Qt::black);
    drawSeries(encoding, timingScale, Qt::green);
    drawSeries(currentFrame, timingScale, Qt::red);
    drawSeries(bandwidth, bandwidthScale, Qt::blue);

    painter.fillRect(QRect(0, 0, 100, 200), Qt::white);
    if (!samples.isEmpty()) {
        const DiagnosticsSample& last = samples.last();
        auto line = [&](int y, const QString& text, Qt::GlobalColor square, bool withSquare) {
            if (withSquare) {
                painter.fillRect(QRect(4, y - 6, 4, 4), square);
            }
            painter.setPen(Qt::black);
            painter.drawText(QPoint(10, y), text);
        };
        const qint64 bytes = qint64(std::clamp(last.bytesSent, 0.0, 1e18));
        line(16, QStringLiteral("BytesSent %1").arg(locale.formattedDataSize(bytes, 2)), Qt::blue, true);
        line(32, QStringLiteral("FrameToFrame %1").arg(last.frameToFrame), Qt::black, true);
        line(48, QStringLiteral("CurrentFrame %1").arg(last.currentFrame), Qt::red, true);
        line(64, QStringLiteral("Encoding %1").arg(last.encoding), Qt::green, true);
        line(80, QStringLiteral("Transmit %1").arg(last.transmit), Qt::black, false);
        line(96, QStringLiteral("NetworkWait %1").arg(last.networkWait), Qt::black, false);
        line(112, QStringLiteral("IdleTimer %1").arg(last.idleTimer), Qt::black, false);
        line(128, QStringLiteral("CpuDelay %1").arg(last.cpuDelay), Qt::black, false);
    }
    return image;
}

void VnDiagnosticsWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(0, 0, m_graph);
}

void VnDiagnosticsWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateGraph();
}

void VnDiagnosticsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    redraw(QDateTime::currentDateTimeUtc());
}
