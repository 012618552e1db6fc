#include "SimMagellan.h"

#include "SimServer.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace DisplaySim {

MagellanPeer::MagellanPeer(Server& server, const QString& channelName)
    : QObject(&server)
    , m_server(server)
    , m_channelName(channelName) {
    connect(&server, &Server::frameReceived, this, &MagellanPeer::onFrame);
}

QByteArray MagellanPeer::capabilities() {
    return QByteArray(1, char(CapabilitiesId));
}

std::optional<MagellanPeer::Move> MagellanPeer::readMove(const QByteArray& frame) {
    if (frame.size() != 18 || quint8(frame.at(1)) != MoveId) {
        return std::nullopt;
    }
    FrameReader r(frame, 2);
    quint16 axes[6] = {};
    Move m;
    for (quint16& a : axes) {
        r.u16(a);
    }
    r.u32(m.period);
    m.x = qint16(axes[0]);
    m.y = qint16(axes[1]);
    m.z = qint16(axes[2]);
    m.rx = qint16(axes[3]);
    m.ry = qint16(axes[4]);
    m.rz = qint16(axes[5]);
    return m;
}

std::optional<quint32> MagellanPeer::readKeys(const QByteArray& frame) {
    if (frame.size() != 6 || quint8(frame.at(1)) != KeysId) {
        return std::nullopt;
    }
    quint32 keys = 0;
    FrameReader(frame, 2).u32(keys);
    return keys;
}

void MagellanPeer::onFrame(const ClientFrame& frame) {
    const quint8 number = m_server.channelNumber(m_channelName);
    if (number == 0 || frame.channel != number) {
        return;
    }
    Event e;
    e.bytes = frame.bytes;
    if (auto move = readMove(frame.bytes)) {
        e.kind = Event::MoveEvent;
        e.move = *move;
    } else if (auto keys = readKeys(frame.bytes)) {
        e.kind = Event::KeysEvent;
        e.keys = *keys;
    }
    m_events.append(e);
}

bool MagellanPeer::awaitEvents(int count, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (m_events.size() < count && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return m_events.size() >= count;
}

bool MagellanPeer::noEvents(int waitMs) {
    const int before = m_events.size();
    QDeadlineTimer deadline(waitMs);
    while (!deadline.hasExpired() && m_events.size() == before) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return m_events.size() == before;
}

} // namespace DisplaySim
