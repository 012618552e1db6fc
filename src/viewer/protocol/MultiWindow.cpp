#include "viewer/protocol/MultiWindow.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace Protocol {
namespace MultiWindow {

namespace {

bool readPoint(Reader& r, Point16& p) {
    return r.readI16(p.x) && r.readI16(p.y);
}

bool readSize(Reader& r, Size16& s) {
    return r.readU16(s.width) && r.readU16(s.height);
}

// A counted list never reserves more than the remaining bytes could hold.
std::size_t reserveFor(std::uint32_t count, const Reader& r, std::size_t smallestItem) {
    return std::min<std::size_t>(count, r.remaining() / smallestItem);
}

bool readWindowList(Reader& r, std::vector<Word>& out) {
    std::uint32_t count = 0;
    if (!r.readLeb128(count)) {
        return false;
    }
    std::vector<Word> list;
    list.reserve(reserveFor(count, r, 4));
    for (std::uint32_t i = 0; i < count; ++i) {
        Word id = 0;
        if (!r.readU32(id)) {
            return false;
        }
        list.push_back(id);
    }
    out = std::move(list);
    return true;
}

// An empty blob is one byte on the wire but a list node in memory: the count is capped as well.
bool readCountedBlobs(Reader& r, std::list<Blob>& out) {
    std::uint32_t count = 0;
    if (!r.readLeb128(count) || count > MaxBlobListEntries) {
        return false;
    }
    std::list<Blob> list;
    for (std::uint32_t i = 0; i < count; ++i) {
        Blob b;
        if (!r.readBlob(b)) {
            return false;
        }
        list.push_back(std::move(b));
    }
    out = std::move(list);
    return true;
}

void writeCountedBlobs(Writer& w, const std::list<Blob>& list) {
    w.leb128(list.size());
    for (const Blob& b : list) {
        w.blob(b);
    }
}

Writer start(Byte channel, Byte id) {
    Writer w;
    w.u8(channel).u8(id);
    return w;
}

std::vector<Byte> finish(Writer& w) {
    return w.ok() ? w.take() : std::vector<Byte>();
}

std::vector<Byte> windowOnly(Byte channel, Byte id, Word window) {
    Writer w = start(channel, id);
    w.u32(window);
    return finish(w);
}

// Coordinates go out as their low 16 bits (two's complement for negative values).
std::uint16_t low16(std::int32_t v) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(v) & 0xFFFFu);
}

} // namespace

// ---- UpdateWindowData ----------------------------------------------------------------------------------

void UpdateWindowData::require(std::uint32_t bit) const {
    if (!has(bit)) {
        throw std::runtime_error("requested unset field " + std::to_string(bit));
    }
}

Word UpdateWindowData::owner() const {
    require(Field::Owner);
    return m_owner;
}
std::uint32_t UpdateWindowData::windowFlags() const {
    require(Field::WindowFlags);
    return m_windowFlags;
}
Byte UpdateWindowData::showState() const {
    require(Field::ShowState);
    return m_showState;
}
const String& UpdateWindowData::title() const {
    require(Field::Title);
    return m_title;
}
Point16 UpdateWindowData::position() const {
    require(Field::Position);
    return m_position;
}
Size16 UpdateWindowData::size() const {
    require(Field::Size);
    return m_size;
}
std::uint32_t UpdateWindowData::surfaceId() const {
    require(Field::SurfaceId);
    return m_surfaceId;
}
const std::vector<Quad>& UpdateWindowData::quads() const {
    require(Field::Quads);
    return m_quads;
}
const std::list<Blob>& UpdateWindowData::icons() const {
    require(Field::Icons);
    return m_icons;
}
Point16 UpdateWindowData::surfaceOrigin() const {
    require(Field::SurfaceOrigin);
    return m_surfaceOrigin;
}

void UpdateWindowData::setOwner(Word v) {
    m_owner = v;
    fields |= Field::Owner;
}
void UpdateWindowData::setWindowFlags(std::uint32_t v) {
    m_windowFlags = v;
    fields |= Field::WindowFlags;
}
void UpdateWindowData::setShowState(Byte v) {
    m_showState = v;
    fields |= Field::ShowState;
}
void UpdateWindowData::setTitle(String v) {
    m_title = std::move(v);
    fields |= Field::Title;
}
void UpdateWindowData::setPosition(Point16 v) {
    m_position = v;
    fields |= Field::Position;
}
void UpdateWindowData::setSize(Size16 v) {
    m_size = v;
    fields |= Field::Size;
}
void UpdateWindowData::setSurfaceId(std::uint32_t v) {
    m_surfaceId = v;
    fields |= Field::SurfaceId;
}
void UpdateWindowData::setQuads(std::vector<Quad> v) {
    m_quads = std::move(v);
    fields |= Field::Quads;
}
void UpdateWindowData::setIcons(std::list<Blob> v) {
    m_icons = std::move(v);
    fields |= Field::Icons;
}
void UpdateWindowData::setSurfaceOrigin(Point16 v) {
    m_surfaceOrigin = v;
    fields |= Field::SurfaceOrigin;
}

bool UpdateWindowData::read(Reader& r) {
    UpdateWindowData d;
    if (!r.readU8(d.flags) || !r.readU32(d.fields)) {
        return false;
    }
    if (d.has(Field::Owner) && !r.readU32(d.m_owner)) {
        return false;
    }
    if (d.has(Field::WindowFlags) && !r.readU32(d.m_windowFlags)) {
        return false;
    }
    if (d.has(Field::ShowState) && !r.readU8(d.m_showState)) {
        return false;
    }
    if (d.has(Field::Title) && !r.readString(d.m_title)) {
        return false;
    }
    if (d.has(Field::Position) && !readPoint(r, d.m_position)) {
        return false;
    }
    if (d.has(Field::Size) && !readSize(r, d.m_size)) {
        return false;
    }
    if (d.has(Field::SurfaceId) && !r.readU32(d.m_surfaceId)) {
        return false;
    }
    if (d.has(Field::Quads)) {
        std::uint32_t count = 0;
        if (!r.readLeb128(count)) {
            return false;
        }
        d.m_quads.reserve(reserveFor(count, r, 8));
        for (std::uint32_t i = 0; i < count; ++i) {
            Quad q;
            for (std::uint16_t& v : q.values) {
                if (!r.readU16(v)) {
                    return false;
                }
            }
            d.m_quads.push_back(q);
        }
    }
    if (d.has(Field::Icons) && !readCountedBlobs(r, d.m_icons)) {
        return false;
    }
    if (d.has(Field::SurfaceOrigin) && !readPoint(r, d.m_surfaceOrigin)) {
        return false;
    }
    *this = std::move(d);
    return true;
}

bool UpdateWindowData::write(Writer& w) const {
    w.u8(flags).u32(fields);
    if (has(Field::Owner))
        w.u32(m_owner);
    if (has(Field::WindowFlags))
        w.u32(m_windowFlags);
    if (has(Field::ShowState))
        w.u8(m_showState);
    if (has(Field::Title))
        w.string(m_title);
    if (has(Field::Position))
        w.i16(m_position.x).i16(m_position.y);
    if (has(Field::Size))
        w.u16(m_size.width).u16(m_size.height);
    if (has(Field::SurfaceId))
        w.u32(m_surfaceId);
    if (has(Field::Quads)) {
        w.leb128(m_quads.size());
        for (const Quad& q : m_quads) {
            for (std::uint16_t v : q.values) {
                w.u16(v);
            }
        }
    }
    if (has(Field::Icons))
        writeCountedBlobs(w, m_icons);
    if (has(Field::SurfaceOrigin))
        w.i16(m_surfaceOrigin.x).i16(m_surfaceOrigin.y);
    return w.ok();
}

// ---- encoders ------------------------------------------------------------------------------------------

std::vector<Byte> encode(const CapabilitiesMessage& m) {
    Writer w = start(m.channel, ClientMessageId::Capabilities);
    writeCountedBlobs(w, m.capabilities);
    return finish(w);
}

std::vector<Byte> encode(const ActivateWindowMessage& m) {
    return windowOnly(m.channel, ClientMessageId::ActivateWindow, m.window);
}

std::vector<Byte> encode(const DeactivateWindowMessage& m) {
    return windowOnly(m.channel, ClientMessageId::DeactivateWindow, m.window);
}

std::vector<Byte> encode(const RaiseWindowMessage& m) {
    return windowOnly(m.channel, ClientMessageId::RaiseWindow, m.window);
}

std::vector<Byte> encode(const RestackWindowMessage& m) {
    Writer w = start(m.channel, ClientMessageId::RestackWindow);
    w.u32(m.window).u32(m.sibling);
    return finish(w);
}

std::vector<Byte> encode(const SyscommandMessage& m) {
    Writer w = start(m.channel, ClientMessageId::Syscommand);
    w.u32(m.window).u16(m.command);
    return finish(w);
}

std::vector<Byte> encode(const MoveWindowMessage& m) {
    Writer w = start(m.channel, ClientMessageId::MoveWindow);
    w.u32(m.window).u16(low16(m.left)).u16(low16(m.top)).u16(low16(m.width)).u16(low16(m.height));
    return finish(w);
}

std::vector<Byte> encode(const MonitorLayoutMessage& m) {
    Writer w = start(m.channel, ClientMessageId::MonitorLayout);
    w.leb128(m.monitors.size());
    for (const Monitor& monitor : m.monitors) {
        w.u16(low16(monitor.left))
            .u16(low16(monitor.top))
            .u16(low16(monitor.width))
            .u16(low16(monitor.height));
    }
    return finish(w);
}

std::vector<Byte> encode(const UpdateWindowMessage& m) {
    Writer w = start(m.channel, ServerMessageId::UpdateWindow);
    w.u32(m.window);
    m.data.write(w);
    return finish(w);
}

std::vector<Byte> encode(const DeleteWindowMessage& m) {
    return windowOnly(m.channel, ServerMessageId::DeleteWindow, m.window);
}

std::vector<Byte> encode(const ZOrderMessage& m) {
    Writer w = start(m.channel, ServerMessageId::ZOrder);
    w.leb128(m.windows.size());
    for (Word id : m.windows) {
        w.u32(id);
    }
    return finish(w);
}

std::vector<Byte> encode(const DesktopSyncMessage& m) {
    Writer w = start(m.channel, ServerMessageId::DesktopSync);
    w.u8(m.active);
    return finish(w);
}

// ---- channel -------------------------------------------------------------------------------------------

MultiWindowClientChannel::MultiWindowClientChannel(std::string name_, Byte number_)
    : Channel(std::move(name_), number_) {}

void MultiWindowClientChannel::receive(std::vector<std::uint8_t> bytes) {
    Reader r(bytes);
    Byte id = 0;
    if (!r.readU8(id)) {
        error("Failed to read message id", ErrorLevel::Protocol);
        return;
    }
    const auto fail = [this](const char* text) { error(text, ErrorLevel::Protocol); };
    switch (id) {
    case ServerMessageId::Capabilities: {
        std::list<Blob> list;
        if (!readCountedBlobs(r, list)) {
            fail("failed to read the capabilities message");
            return;
        }
        onCapabilities(std::move(list));
        return;
    }
    case ServerMessageId::UpdateWindow: {
        Word window = 0;
        UpdateWindowData data;
        if (!r.readU32(window) || !data.read(r)) {
            fail("failed to read the update window message");
            return;
        }
        onUpdateWindow(window, std::move(data));
        return;
    }
    case ServerMessageId::DeleteWindow: {
        Word window = 0;
        if (!r.readU32(window)) {
            fail("failed to read the delete window message");
            return;
        }
        onDeleteWindow(window);
        return;
    }
    case ServerMessageId::ActivateWindow: {
        Word window = 0;
        if (!r.readU32(window)) {
            fail("failed to read the activate window message");
            return;
        }
        onActivateWindow(window);
        return;
    }
    case ServerMessageId::RaiseWindow: {
        Word window = 0;
        if (!r.readU32(window)) {
            fail("failed to read the raise window message");
            return;
        }
        onRaiseWindow(window);
        return;
    }
    case ServerMessageId::ZOrder: {
        std::vector<Word> windows;
        if (!readWindowList(r, windows)) {
            fail("failed to read the zorder message");
            return;
        }
        onZOrder(std::move(windows));
        return;
    }
    case ServerMessageId::DesktopSync: {
        Byte active = 0;
        if (!r.readU8(active)) {
            fail("failed to read the desktop sync message");
            return;
        }
        onDesktopSync(active);
        return;
    }
    default:
        fail("Invalid message id");
        return;
    }
}

template <typename M>
bool MultiWindowClientChannel::sendEncoded(const M& m) {
    if (m.channel != number) {
        error("Message channel number does not match assigned channel number", ErrorLevel::Protocol);
        return false;
    }
    std::vector<Byte> frame = encode(m);
    if (frame.empty()) {
        return false;
    }
    send(std::move(frame));
    return true;
}

bool MultiWindowClientChannel::sendMessage(const CapabilitiesMessage& m) {
    return sendEncoded(m);
}
bool MultiWindowClientChannel::sendMessage(const ActivateWindowMessage& m) {
    return sendEncoded(m);
}
bool MultiWindowClientChannel::sendMessage(const DeactivateWindowMessage& m) {
    return sendEncoded(m);
}
bool MultiWindowClientChannel::sendMessage(const RaiseWindowMessage& m) {
    return sendEncoded(m);
}
bool MultiWindowClientChannel::sendMessage(const RestackWindowMessage& m) {
    return sendEncoded(m);
}
bool MultiWindowClientChannel::sendMessage(const SyscommandMessage& m) {
    return sendEncoded(m);
}
bool MultiWindowClientChannel::sendMessage(const MoveWindowMessage& m) {
    return sendEncoded(m);
}
bool MultiWindowClientChannel::sendMessage(const MonitorLayoutMessage& m) {
    return sendEncoded(m);
}

} // namespace MultiWindow
} // namespace Protocol
