#include "viewer/engine/MagellanMonitor.h"

#include "viewer/engine/MagellanWindow.h"

#include <limits>

MagellanMonitor::MagellanMonitor(QObject* parent)
    : QObject(parent) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(50);
    connect(&m_timer, &QTimer::timeout, this, &MagellanMonitor::sendValues);
}

void MagellanMonitor::enable(bool on) {
    m_enabled = on;
    if (on) {
        connectWindow();
        return;
    }
    disconnectWindow();
    if (m_timer.isActive()) {
        sendValues();
        m_timer.stop();
    }
}

void MagellanMonitor::setInterval(int msecs) {
    m_timer.setInterval(qMax(0, msecs));
}

void MagellanMonitor::connectWindow() {
    MagellanWindow* window = MagellanWindow::instance();
    if (!window || m_moveConnection) {
        return;
    }
    m_moveConnection =
        connect(window, &MagellanWindow::gotMove, this,
                [this](ushort x, ushort y, ushort z, ushort rx, ushort ry, ushort rz, ulong period) {
                    handleMove(short(x), short(y), short(z), short(rx), short(ry), short(rz), period);
                });
    m_keysConnection = connect(window, &MagellanWindow::gotKeys, this, &MagellanMonitor::handleKeys);
}

void MagellanMonitor::disconnectWindow() {
    disconnect(m_moveConnection);
    disconnect(m_keysConnection);
    m_moveConnection = {};
    m_keysConnection = {};
}

void MagellanMonitor::handleMove(short x, short y, short z, short rx, short ry, short rz, ulong period) {
    const std::array<int, 6> values{x, y, z, rx, ry, rz};
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int value = values[i];
        const int accumulated = m_axes[i];
        if ((value > 0 && accumulated > AxisLimit - value) ||
            (value < 0 && accumulated < -AxisLimit - value)) {
            sendValues();
            break;
        }
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        m_axes[i] = qint16(m_axes[i] + values[i]);
    }
    const quint64 sum = quint64(m_period) + quint64(period);
    m_period = quint32(qMin<quint64>(sum, std::numeric_limits<quint32>::max()));
    if (!m_timer.isActive()) {
        sendValues();
    }
}

void MagellanMonitor::handleKeys(ulong keys) {
    if (m_timer.isActive()) {
        sendValues();
    }
    emit gotKeys(keys);
}

void MagellanMonitor::sendValues() {
    const std::array<qint16, 6> axes = m_axes;
    const quint32 period = m_period;
    m_axes = {};
    m_period = 0;
    if (axes == std::array<qint16, 6>{}) {
        return;
    }
    emit gotMove(axes[0], axes[1], axes[2], axes[3], axes[4], axes[5], period);
    m_timer.start();
}
