#pragma once

// The Qt side of the "diagnostics" channel. It lives on the network thread, keeps the counters' latest
// texts and turns the timers' running totals into per-report differences.

#include "viewer/protocol/Diagnostics.h"

#include <QMap>
#include <QObject>
#include <QString>

class VnDiagnosticsWindow;

class VnDiagnosticsChannel : public QObject, public Protocol::Diagnostics::DiagnosticsClientChannel {
    Q_OBJECT
public:
    VnDiagnosticsChannel(std::string name, Protocol::Byte number, QObject* parent = nullptr);

    void onCounterNames(const Protocol::Diagnostics::CounterNameList& names) override;
    void onCounterValue(const std::string& name, std::uint32_t value) override;
    void onTimerCounter(const std::string& name, std::uint32_t average, std::uint64_t total) override;
    void onCountersFinished() override;

    // Read on the channel's thread (e.g. from a slot of countersFinished).
    const QMap<QString, QString>& counterTexts() const { return m_counterTexts; }
    const QMap<QString, double>& timerDeltas() const { return m_timerDeltas; }
    QString summaryText() const { return m_summaryText; }

signals:
    void timerStatistics(QString name, double average, qulonglong total);
    void averageStatistics(QString name, double average);
    void countersFinished();

private:
    QMap<QString, QString> m_counterTexts;
    QMap<QString, double> m_timerTotals;
    QMap<QString, double> m_previousTimerTotals;
    QMap<QString, double> m_timerDeltas;
    QString m_summaryText;
    bool m_droppedNamesLogged = false;
};

// Session wiring: after each report the summary goes to the debug log ("velnor.diagnostics") and the
// timer deltas to the window, which is fed on its own (GUI) thread. Nothing reaches a deleted window.
void connectDiagnosticsWindow(VnDiagnosticsChannel* channel, VnDiagnosticsWindow* window);
