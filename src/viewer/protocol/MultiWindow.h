#pragma once

// The "multiwindow" side channel's messages: the server reports its top-level windows, the client
// reports local activation, moves, system commands, stacking and its monitor layout.

#include "viewer/protocol/Channel.h"
#include "viewer/protocol/Messages.h"
#include "viewer/protocol/Types.h"
#include "viewer/protocol/Wire.h"

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace Protocol {
namespace MultiWindow {

namespace ServerMessageId {
constexpr Byte Capabilities = 0;
constexpr Byte UpdateWindow = 2;
constexpr Byte DeleteWindow = 3;
constexpr Byte ActivateWindow = 4;
constexpr Byte RaiseWindow = 6;
constexpr Byte ZOrder = 10;
constexpr Byte DesktopSync = 12;
} // namespace ServerMessageId

namespace ClientMessageId {
constexpr Byte Capabilities = 0;
constexpr Byte ActivateWindow = 4;
constexpr Byte DeactivateWindow = 5;
constexpr Byte RaiseWindow = 6;
constexpr Byte RestackWindow = 7;
constexpr Byte Syscommand = 8;
constexpr Byte MoveWindow = 9;
constexpr Byte MonitorLayout = 11;
} // namespace ClientMessageId

// Presence bits of UpdateWindowData::fields, in wire order.
namespace Field {
constexpr std::uint32_t Owner = 0x001;
constexpr std::uint32_t WindowFlags = 0x002;
constexpr std::uint32_t ShowState = 0x004;
constexpr std::uint32_t Title = 0x008;
constexpr std::uint32_t Position = 0x010;
constexpr std::uint32_t Size = 0x020;
constexpr std::uint32_t SurfaceId = 0x040;
constexpr std::uint32_t Quads = 0x080;
constexpr std::uint32_t Icons = 0x100;
constexpr std::uint32_t SurfaceOrigin = 0x200;
} // namespace Field

// UpdateWindowData::flags bits.
namespace UpdateFlag {
constexpr Byte Full = 0x1; // absent fields take their defaults
constexpr Byte ModalityGiven = 0x2;
constexpr Byte Modal = 0x4; // with ModalityGiven
} // namespace UpdateFlag

namespace ShowState {
constexpr int Normal = 0;
constexpr int Minimized = 1;
constexpr int Maximized = 2;
constexpr int FullScreen = 4;
} // namespace ShowState

namespace Syscommand {
constexpr std::uint16_t Minimize = 1;
constexpr std::uint16_t Maximize = 2;
constexpr std::uint16_t Restore = 3;
constexpr std::uint16_t Close = 4;
} // namespace Syscommand

// Low four bits of windowFlags.
namespace WindowKind {
constexpr std::uint32_t Normal = 1;
constexpr std::uint32_t Popup = 9;
} // namespace WindowKind

struct Point16 {
    std::int16_t x = 0;
    std::int16_t y = 0;
    bool operator==(const Point16& o) const { return x == o.x && y == o.y; }
};

struct Size16 {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    bool operator==(const Size16& o) const { return width == o.width && height == o.height; }
};

struct Quad {
    std::uint16_t values[4] = {0, 0, 0, 0};
    bool operator==(const Quad& o) const {
        return values[0] == o.values[0] && values[1] == o.values[1] && values[2] == o.values[2] &&
               values[3] == o.values[3];
    }
};

// What one update says about a window. Each field is valid only when its bit is in `fields`; reading an
// unset one throws std::runtime_error("requested unset field <bit>"), so callers test has() first.
class UpdateWindowData {
public:
    Byte flags = 0;
    std::uint32_t fields = 0;

    bool has(std::uint32_t bit) const { return (fields & bit) == bit; }
    bool isFull() const { return (flags & UpdateFlag::Full) != 0; }

    Word owner() const;
    std::uint32_t windowFlags() const;
    Byte showState() const;
    const String& title() const;
    Point16 position() const;
    Size16 size() const;
    std::uint32_t surfaceId() const;
    const std::vector<Quad>& quads() const;
    const std::list<Blob>& icons() const;
    Point16 surfaceOrigin() const;

    // Each setter sets the field's bit too.
    void setOwner(Word v);
    void setWindowFlags(std::uint32_t v);
    void setShowState(Byte v);
    void setTitle(String v);
    void setPosition(Point16 v);
    void setSize(Size16 v);
    void setSurfaceId(std::uint32_t v);
    void setQuads(std::vector<Quad> v);
    void setIcons(std::list<Blob> v);
    void setSurfaceOrigin(Point16 v);

    bool read(Reader& r);
    bool write(Writer& w) const;

private:
    void require(std::uint32_t bit) const;

    Word m_owner = 0;
    std::uint32_t m_windowFlags = 0;
    Byte m_showState = 0;
    String m_title;
    Point16 m_position;
    Size16 m_size;
    std::uint32_t m_surfaceId = 0;
    std::vector<Quad> m_quads;
    std::list<Blob> m_icons;
    Point16 m_surfaceOrigin;
};

// Messages. Both directions use id 0 for capabilities.
struct CapabilitiesMessage : MessageBase {
    std::list<Blob> capabilities;
};
struct UpdateWindowMessage : MessageBase {
    Word window = 0;
    UpdateWindowData data;
};
struct DeleteWindowMessage : MessageBase {
    Word window = 0;
};
struct ActivateWindowMessage : MessageBase {
    Word window = 0;
};
struct DeactivateWindowMessage : MessageBase {
    Word window = 0;
};
struct RaiseWindowMessage : MessageBase {
    Word window = 0;
};
// Puts `window` directly below `sibling`.
struct RestackWindowMessage : MessageBase {
    Word window = 0;
    Word sibling = 0;
};
struct SyscommandMessage : MessageBase {
    Word window = 0;
    std::uint16_t command = 0;
};
// Server desktop pixels; each value goes out as its low 16 bits.
struct MoveWindowMessage : MessageBase {
    Word window = 0;
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};
// Window ids from bottom to top.
struct ZOrderMessage : MessageBase {
    std::vector<Word> windows;
};
struct DesktopSyncMessage : MessageBase {
    Byte active = 0;
};
struct Monitor {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};
struct MonitorLayoutMessage : MessageBase {
    std::vector<Monitor> monitors;
};

// Client frames, channel number first; empty when a length cannot be encoded.
std::vector<Byte> encode(const CapabilitiesMessage& m);
std::vector<Byte> encode(const ActivateWindowMessage& m);
std::vector<Byte> encode(const DeactivateWindowMessage& m);
std::vector<Byte> encode(const RaiseWindowMessage& m);
std::vector<Byte> encode(const RestackWindowMessage& m);
std::vector<Byte> encode(const SyscommandMessage& m);
std::vector<Byte> encode(const MoveWindowMessage& m);
std::vector<Byte> encode(const MonitorLayoutMessage& m);
// Server frames (for peers and tests), channel number first.
std::vector<Byte> encode(const UpdateWindowMessage& m);
std::vector<Byte> encode(const DeleteWindowMessage& m);
std::vector<Byte> encode(const ZOrderMessage& m);
std::vector<Byte> encode(const DesktopSyncMessage& m);

// Decodes what the server sends and calls one handler per message; a frame that fails to decode is
// reported through error() at level 4 and calls nothing.
class MultiWindowClientChannel : public Channel {
public:
    MultiWindowClientChannel(std::string name, Byte number);

    void receive(std::vector<std::uint8_t> bytes) override;

    virtual void onCapabilities(std::list<Blob> capabilities) = 0;
    virtual void onDeleteWindow(Word window) = 0;
    virtual void onUpdateWindow(Word window, UpdateWindowData data) = 0;
    virtual void onActivateWindow(Word window) = 0;
    virtual void onRaiseWindow(Word window) = 0;
    virtual void onZOrder(std::vector<Word> windows) = 0;
    virtual void onDesktopSync(Byte active) = 0;

    // Encoders: refuse a message stamped with another channel's number; true when the frame was sent.
    bool sendMessage(const CapabilitiesMessage& m);
    bool sendMessage(const ActivateWindowMessage& m);
    bool sendMessage(const DeactivateWindowMessage& m);
    bool sendMessage(const RaiseWindowMessage& m);
    bool sendMessage(const RestackWindowMessage& m);
    bool sendMessage(const SyscommandMessage& m);
    bool sendMessage(const MoveWindowMessage& m);
    bool sendMessage(const MonitorLayoutMessage& m);

private:
    template <typename M>
    bool sendEncoded(const M& m);
};

} // namespace MultiWindow
} // namespace Protocol
