#include "SimMultiWindow.h"

namespace DisplaySim {

namespace {

enum : quint8 {
    Capabilities = 0,
    UpdateWindow = 2,
    DeleteWindow = 3,
    ActivateWindow = 4,
    DeactivateWindow = 5,
    RaiseWindow = 6,
    RestackWindow = 7,
    Syscommand = 8,
    MoveWindow = 9,
    ZOrder = 10,
    MonitorLayout = 11,
    DesktopSync = 12,
};

qint16 signed16(quint16 v) {
    return static_cast<qint16>(v);
}

} // namespace

WindowUpdate WindowUpdate::created(qint16 x, qint16 y, quint16 width, quint16 height, quint8 showState,
                                   quint32 windowFlags) {
    WindowUpdate u;
    u.setWindowFlags(windowFlags).setShowState(showState).setPosition(x, y).setSize(width, height);
    return u;
}

QByteArray WindowUpdate::encode() const {
    FrameWriter w;
    w.u8(flags).u32(fields);
    if (fields & MultiWindowField::Owner)
        w.u32(owner);
    if (fields & MultiWindowField::WindowFlags)
        w.u32(windowFlags);
    if (fields & MultiWindowField::ShowState)
        w.u8(showState);
    if (fields & MultiWindowField::Title)
        w.string(title);
    if (fields & MultiWindowField::Position)
        w.i16(x).i16(y);
    if (fields & MultiWindowField::Size)
        w.u16(width).u16(height);
    if (fields & MultiWindowField::SurfaceId)
        w.u32(surfaceId);
    if (fields & MultiWindowField::Quads) {
        w.leb128(quadCount);
        for (quint32 i = 0; i < quadCount; ++i)
            w.u16(0).u16(0).u16(0).u16(0);
    }
    if (fields & MultiWindowField::Icons) {
        w.leb128(quint32(icons.size()));
        for (const QByteArray& icon : icons)
            w.blob(icon);
    }
    if (fields & MultiWindowField::SurfaceOrigin)
        w.i16(originX).i16(originY);
    return w.bytes();
}

MultiWindowPeer::MultiWindowPeer(Server& server, const QString& channelName)
    : m_server(server)
    , m_name(channelName) {
    connect(&server, &Server::frameReceived, this, &MultiWindowPeer::onFrame);
}

quint8 MultiWindowPeer::number() const {
    return m_server.channelNumber(m_name);
}

void MultiWindowPeer::sendCapabilities(const QList<QByteArray>& entries) {
    FrameWriter w(number(), Capabilities);
    w.leb128(quint32(entries.size()));
    for (const QByteArray& e : entries)
        w.blob(e);
    m_server.send(w.bytes());
}

void MultiWindowPeer::sendUpdate(quint32 window, const WindowUpdate& update) {
    m_server.send(FrameWriter(number(), UpdateWindow).u32(window).raw(update.encode()).bytes());
}

void MultiWindowPeer::sendDelete(quint32 window) {
    m_server.send(FrameWriter(number(), DeleteWindow).u32(window).bytes());
}

void MultiWindowPeer::sendActivate(quint32 window) {
    m_server.send(FrameWriter(number(), ActivateWindow).u32(window).bytes());
}

void MultiWindowPeer::sendRaise(quint32 window) {
    m_server.send(FrameWriter(number(), RaiseWindow).u32(window).bytes());
}

void MultiWindowPeer::sendZOrder(const QList<quint32>& bottomToTop) {
    FrameWriter w(number(), ZOrder);
    w.leb128(quint32(bottomToTop.size()));
    for (quint32 id : bottomToTop)
        w.u32(id);
    m_server.send(w.bytes());
}

void MultiWindowPeer::sendDesktopSync(bool active) {
    m_server.send(FrameWriter(number(), DesktopSync).u8(active ? 1 : 0).bytes());
}

void MultiWindowPeer::onFrame(const ClientFrame& frame) {
    if (!number() || frame.channel != number() || !frame.messageId)
        return;
    FrameReader r = frame.fields();
    const auto malformed = [&] { m_record.malformed << QString::fromLatin1(frame.bytes.toHex(' ')); };
    switch (*frame.messageId) {
    case Capabilities: {
        quint32 count = 0;
        QList<QByteArray> entries;
        bool ok = r.leb128(count);
        for (quint32 i = 0; ok && i < count; ++i) {
            QByteArray b;
            ok = r.blob(b);
            entries << b;
        }
        if (!ok)
            return malformed();
        m_record.capabilities << entries;
        return;
    }
    case ActivateWindow:
    case DeactivateWindow:
    case RaiseWindow: {
        quint32 id = 0;
        if (!r.u32(id) || !r.atEnd())
            return malformed();
        if (*frame.messageId == ActivateWindow)
            m_record.activations << id;
        else if (*frame.messageId == DeactivateWindow)
            m_record.deactivations << id;
        else
            m_record.raises << id;
        return;
    }
    case RestackWindow: {
        quint32 id = 0;
        quint32 sibling = 0;
        if (!r.u32(id) || !r.u32(sibling) || !r.atEnd())
            return malformed();
        m_record.restacks << MultiWindowRecord::Restack{id, sibling};
        return;
    }
    case Syscommand: {
        quint32 id = 0;
        quint16 command = 0;
        if (!r.u32(id) || !r.u16(command) || !r.atEnd())
            return malformed();
        m_record.syscommands << MultiWindowRecord::Syscommand{id, command};
        return;
    }
    case MoveWindow: {
        quint32 id = 0;
        quint16 v[4] = {};
        if (!r.u32(id) || !r.u16(v[0]) || !r.u16(v[1]) || !r.u16(v[2]) || !r.u16(v[3]) || !r.atEnd())
            return malformed();
        m_record.moves << MultiWindowRecord::Move{id, QRect(signed16(v[0]), signed16(v[1]), v[2], v[3])};
        return;
    }
    case MonitorLayout: {
        quint32 count = 0;
        QList<QRect> monitors;
        bool ok = r.leb128(count);
        for (quint32 i = 0; ok && i < count; ++i) {
            quint16 v[4] = {};
            ok = r.u16(v[0]) && r.u16(v[1]) && r.u16(v[2]) && r.u16(v[3]);
            monitors << QRect(signed16(v[0]), signed16(v[1]), v[2], v[3]);
        }
        if (!ok || !r.atEnd())
            return malformed();
        m_record.monitorLayouts << monitors;
        return;
    }
    default:
        return malformed();
    }
}

} // namespace DisplaySim
