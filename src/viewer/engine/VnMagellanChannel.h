#pragma once

// The Qt side of the "magellan" channel. Lives on its session controller's thread. Once the server's
// capabilities arrive it creates the session's motion monitor, which follows the session's mouse quantum
// and keyboard focus, and sends what the monitor emits.

#include "viewer/protocol/Magellan.h"

#include <QObject>
#include <QPointer>

class MagellanMonitor;
class RdpMaster;

class VnMagellanChannel : public QObject, public Protocol::Magellan::MagellanClientChannel {
    Q_OBJECT
public:
    VnMagellanChannel(std::string name, Protocol::Byte number, RdpMaster* master = nullptr,
                      QObject* parent = nullptr);

    // The session whose focus and quantum the monitor follows; set before the channel is ready.
    void setMaster(RdpMaster* master);
    bool isReady() const { return m_ready; }
    MagellanMonitor* monitor() const { return m_monitor; }

    // Network thread: hands over to the channel's own thread.
    void onCapabilities() override;

public slots:
    void handleReady();
    void handleMoveFromMonitor(short x, short y, short z, short rx, short ry, short rz, ulong period);
    void handleKeysFromMonitor(ulong keys);

signals:
    void ready();

private:
    QPointer<RdpMaster> m_master;
    bool m_ready = false;
    MagellanMonitor* m_monitor = nullptr;
};
