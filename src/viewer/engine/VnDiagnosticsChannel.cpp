#include "viewer/engine/VnDiagnosticsChannel.h"

#include "viewer/engine/VnDiagnosticsWindow.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <iterator>

namespace {
Q_LOGGING_CATEGORY(lcDiagnostics, "velnor.diagnostics")
}

VnDiagnosticsChannel::VnDiagnosticsChannel(std::string name, Protocol::Byte number, QObject* parent)
    : QObject(parent)
    , Protocol::Diagnostics::DiagnosticsClientChannel(std::move(name), number) {}

void VnDiagnosticsChannel::onCounterNames(const Protocol::Diagnostics::CounterNameList&) {
    if (droppedNames > 0 && !m_droppedNamesLogged) {
        m_droppedNamesLogged = true;
        qCWarning(lcDiagnostics) << "Counter names beyond the first" << Protocol::Diagnostics::MaxCounterNames
                                 << "dropped";
    }
    // Values of counters that lost their name are no longer reported; nor are they kept.
    QSet<QString> named;
    for (const auto& entry : counterNames) {
        named.insert(QString::fromStdString(entry.second));
    }
    const auto prune = [&named](auto& map) {
        for (auto it = map.begin(); it != map.end();) {
            it = named.contains(it.key()) ? std::next(it) : map.erase(it);
        }
    };
    prune(m_counterTexts);
    prune(m_timerTotals);
    prune(m_previousTimerTotals);
}

void VnDiagnosticsChannel::onCounterValue(const std::string& name, std::uint32_t value) {
    const QString key = QString::fromStdString(name);
    const double average = value / 1000.0;
    m_counterTexts.insert(key, QStringLiteral("%1: %2").arg(key).arg(average, 0, 'f', 3));
    emit averageStatistics(key, average);
}

void VnDiagnosticsChannel::onTimerCounter(const std::string& name, std::uint32_t average,
                                          std::uint64_t total) {
    const QString key = QString::fromStdString(name);
    const double averageValue = average / 1000.0;
    m_counterTexts.insert(
        key, QStringLiteral("%1: %2 (%3)").arg(key).arg(qulonglong(total)).arg(averageValue, 0, 'f', 3));
    emit timerStatistics(key, averageValue, qulonglong(total));
    m_timerTotals.insert(key, double(total));
}

void VnDiagnosticsChannel::onCountersFinished() {
    m_summaryText = QStringList(m_counterTexts.values()).join(QStringLiteral(", "));
    m_timerDeltas.clear();
    for (auto it = m_timerTotals.cbegin(); it != m_timerTotals.cend(); ++it) {
        m_timerDeltas.insert(it.key(), it.value() - m_previousTimerTotals.value(it.key(), 0.0));
        // A timer missing from one report keeps its last total, so that its next delta covers only
        // the time since then, not its whole running total.
        m_previousTimerTotals.insert(it.key(), it.value());
    }
    m_timerTotals.clear();
    emit countersFinished();
}

void connectDiagnosticsWindow(VnDiagnosticsChannel* channel, VnDiagnosticsWindow* window) {
    QPointer<VnDiagnosticsWindow> target(window);
    QObject::connect(
        channel, &VnDiagnosticsChannel::countersFinished, channel,
        [channel, target] {
            qCDebug(lcDiagnostics).noquote() << channel->summaryText();
            const QMap<QString, double> deltas = channel->timerDeltas();
            // The window is only looked at on its own thread, where it may have gone meanwhile.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [target, deltas] {
                    if (target) {
                        target->addSample(deltas);
                    }
                },
                Qt::QueuedConnection);
        },
        Qt::DirectConnection);
}
