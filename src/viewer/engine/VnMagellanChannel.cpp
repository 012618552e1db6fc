#include "viewer/engine/VnMagellanChannel.h"

#include "viewer/engine/MagellanMonitor.h"
#include "viewer/engine/RdpMaster.h"

#include <QTimer>
#include <QWidget> // RdpMaster.h holds a QPointer<QWidget>

VnMagellanChannel::VnMagellanChannel(std::string name, Protocol::Byte number, RdpMaster* master,
                                     QObject* parent)
    : QObject(parent)
    , Protocol::Magellan::MagellanClientChannel(std::move(name), number)
    , m_master(master) {}

void VnMagellanChannel::setMaster(RdpMaster* master) {
    m_master = master;
}

void VnMagellanChannel::onCapabilities() {
    QTimer::singleShot(0, this, &VnMagellanChannel::handleReady);
}

void VnMagellanChannel::handleReady() {
    if (m_ready) {
        return;
    }
    m_ready = true;
    emit ready();
    m_monitor = new MagellanMonitor(this);
    connect(m_monitor, &MagellanMonitor::gotMove, this, &VnMagellanChannel::handleMoveFromMonitor);
    connect(m_monitor, &MagellanMonitor::gotKeys, this, &VnMagellanChannel::handleKeysFromMonitor);
    if (RdpMaster* master = m_master.data()) {
        connect(master, &RdpMaster::mouseQuantumChanged, m_monitor, &MagellanMonitor::setInterval);
        connect(master, &RdpMaster::focusChanged, m_monitor, &MagellanMonitor::enable);
        m_monitor->setInterval(master->mouseQuantum());
        if (master->focus()) {
            m_monitor->enable(true);
        }
    }
}

void VnMagellanChannel::handleMoveFromMonitor(short x, short y, short z, short rx, short ry, short rz,
                                              ulong period) {
    if (!m_ready) {
        return;
    }
    Protocol::Magellan::MoveMessage message;
    message.channel = number;
    message.x = x;
    message.y = y;
    message.z = z;
    message.rx = rx;
    message.ry = ry;
    message.rz = rz;
    message.period = quint32(period);
    sendMove(message);
}

void VnMagellanChannel::handleKeysFromMonitor(ulong keys) {
    if (!m_ready) {
        return;
    }
    Protocol::Magellan::KeysMessage message;
    message.channel = number;
    message.keys = quint32(keys);
    sendKeys(message);
}
