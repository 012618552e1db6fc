#pragma once

// The server side of the "multiwindow" channel for tests: sends capabilities, window updates with any
// field mask, deletes, activation, raises, z-order and desktop sync, and records what the client sends
// on the channel (capabilities, activation, deactivation, raises, restacks, system commands, moves and
// monitor layouts).
//
//     DisplaySim::MultiWindowPeer windows(server);     // the channel must be open (autoOpenChannels)
//     windows.sendUpdate(7, DisplaySim::WindowUpdate::created(100, 100, 640, 480));
//     QTRY_COMPARE(windows.record().moves.size(), 1);

#include "SimServer.h"

#include <QList>
#include <QObject>
#include <QRect>
#include <QString>

namespace DisplaySim {

namespace MultiWindowField {
enum : quint32 {
    Owner = 0x001,
    WindowFlags = 0x002,
    ShowState = 0x004,
    Title = 0x008,
    Position = 0x010,
    Size = 0x020,
    SurfaceId = 0x040,
    Quads = 0x080,
    Icons = 0x100,
    SurfaceOrigin = 0x200,
};
}

// One update window message; each setter adds its field to the mask.
struct WindowUpdate {
    quint8 flags = 0;
    quint32 fields = 0;
    quint32 owner = 0;
    quint32 windowFlags = 1;
    quint8 showState = 0;
    QString title;
    qint16 x = 0;
    qint16 y = 0;
    quint16 width = 0;
    quint16 height = 0;
    quint32 surfaceId = 0;
    quint32 quadCount = 0;
    QList<QByteArray> icons;
    qint16 originX = 0;
    qint16 originY = 0;

    // What creates a window: kind, show state, position and size.
    static WindowUpdate created(qint16 x, qint16 y, quint16 width, quint16 height, quint8 showState = 0,
                                quint32 windowFlags = 1);
    WindowUpdate& full() {
        flags |= 1;
        return *this;
    }
    WindowUpdate& modal() {
        flags |= 6;
        return *this;
    }
    WindowUpdate& setOwner(quint32 v) {
        owner = v;
        fields |= MultiWindowField::Owner;
        return *this;
    }
    WindowUpdate& setWindowFlags(quint32 v) {
        windowFlags = v;
        fields |= MultiWindowField::WindowFlags;
        return *this;
    }
    WindowUpdate& setShowState(quint8 v) {
        showState = v;
        fields |= MultiWindowField::ShowState;
        return *this;
    }
    WindowUpdate& setTitle(const QString& v) {
        title = v;
        fields |= MultiWindowField::Title;
        return *this;
    }
    WindowUpdate& setPosition(qint16 px, qint16 py) {
        x = px;
        y = py;
        fields |= MultiWindowField::Position;
        return *this;
    }
    WindowUpdate& setSize(quint16 w, quint16 h) {
        width = w;
        height = h;
        fields |= MultiWindowField::Size;
        return *this;
    }
    WindowUpdate& setSurface(quint32 id) {
        surfaceId = id;
        fields |= MultiWindowField::SurfaceId;
        return *this;
    }
    WindowUpdate& setIcons(const QList<QByteArray>& v) {
        icons = v;
        fields |= MultiWindowField::Icons;
        return *this;
    }
    WindowUpdate& setOrigin(qint16 ox, qint16 oy) {
        originX = ox;
        originY = oy;
        fields |= MultiWindowField::SurfaceOrigin;
        return *this;
    }

    QByteArray encode() const; // the fields after the window id
};

struct MultiWindowRecord {
    struct Syscommand {
        quint32 window;
        quint16 command;
    };
    struct Move {
        quint32 window;
        QRect rect; // left and top read back as signed 16-bit values
    };
    struct Restack {
        quint32 window;
        quint32 sibling;
    };
    QList<QList<QByteArray>> capabilities;
    QList<quint32> activations;
    QList<quint32> deactivations;
    QList<quint32> raises;
    QList<Restack> restacks;
    QList<Syscommand> syscommands;
    QList<Move> moves;
    QList<QList<QRect>> monitorLayouts;
    QStringList malformed; // client frames on the channel that did not decode
};

class MultiWindowPeer : public QObject {
    Q_OBJECT
public:
    explicit MultiWindowPeer(Server& server, const QString& channelName = QStringLiteral("multiwindow"));

    quint8 number() const;
    const MultiWindowRecord& record() const { return m_record; }
    void clearRecord() { m_record = {}; }

    void sendCapabilities(const QList<QByteArray>& entries = {});
    void sendUpdate(quint32 window, const WindowUpdate& update);
    void sendDelete(quint32 window);
    void sendActivate(quint32 window);
    void sendRaise(quint32 window);
    void sendZOrder(const QList<quint32>& bottomToTop);
    void sendDesktopSync(bool active);

private:
    void onFrame(const ClientFrame& frame);

    Server& m_server;
    QString m_name;
    MultiWindowRecord m_record;
};

} // namespace DisplaySim
