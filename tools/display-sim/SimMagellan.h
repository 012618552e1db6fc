#pragma once

// The server side of the "magellan" channel: it announces that the server takes 3D-mouse input and
// records the motion and button messages the client sends, in order.
//
//     DisplaySim::MagellanPeer magellan(server);          // follows the channel named "magellan"
//     server.sendChannelFrame(server.channelNumber("magellan"), DisplaySim::MagellanPeer::capabilities());
//     QVERIFY(magellan.awaitEvents(2));
//     magellan.events()[0].move.x ...

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

namespace DisplaySim {

class Server;
struct ClientFrame;

class MagellanPeer : public QObject {
    Q_OBJECT
public:
    enum : quint8 { CapabilitiesId = 1, MoveId = 2, KeysId = 3 };

    struct Move {
        qint16 x = 0, y = 0, z = 0, rx = 0, ry = 0, rz = 0;
        quint32 period = 0;
        bool operator==(const Move& o) const {
            return x == o.x && y == o.y && z == o.z && rx == o.rx && ry == o.ry && rz == o.rz &&
                   period == o.period;
        }
    };
    struct Event {
        enum Kind { MoveEvent, KeysEvent, Malformed };
        Kind kind = Malformed;
        Move move;
        quint32 keys = 0;
        QByteArray bytes; // the whole frame
    };

    explicit MagellanPeer(Server& server, const QString& channelName = QStringLiteral("magellan"));

    // The capabilities message (the frame after the channel byte).
    static QByteArray capabilities();
    // Decoders of a whole client frame; empty when it is not exactly that message.
    static std::optional<Move> readMove(const QByteArray& frame);
    static std::optional<quint32> readKeys(const QByteArray& frame);

    const QList<Event>& events() const { return m_events; }
    void clear() { m_events.clear(); }
    // Runs the event loop until at least `count` events are recorded.
    bool awaitEvents(int count, int timeoutMs = 5000);
    // True when no further event arrives within the time.
    bool noEvents(int waitMs);

private:
    void onFrame(const ClientFrame& frame);

    Server& m_server;
    QString m_channelName;
    QList<Event> m_events;
};

} // namespace DisplaySim
