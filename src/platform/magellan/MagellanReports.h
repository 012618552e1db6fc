#pragma once

// Pure decoding of a multi-axis controller's (3D mouse's) HID reports and report descriptors. Every
// length is checked before a byte is read; what does not fit is no report.

#include <QByteArray>
#include <QtGlobal>

#include <array>

namespace MagellanReports {

// The only vendor whose controllers are read.
constexpr quint32 VendorId = 0x046D;

struct Report {
    enum class Kind { None, Move, Keys };
    Kind kind = Kind::None;
    // x, y, z, rx, ry, rz as the device's 16-bit values, already turned into the session's axes.
    std::array<quint16, 6> axes{};
    quint32 keys = 0; // bit mask of pressed buttons
};

// Decodes one report (byte 0 is the report id):
//   1: translation; a 13-byte report also carries rotation (otherwise rotation is 0); at least 7 bytes.
//   2: rotation; at least 7 bytes.
//   3: buttons, a little-endian mask from byte 1 on (up to 4 bytes; missing high bytes are 0).
// Anything else, and any report too short for its id, gives Kind::None.
Report decode(const QByteArray& report);

// True when a HID report descriptor declares a top-level application collection of usage page 1
// (generic desktop), usage 8 (multi-axis controller).
bool isMultiAxisController(const QByteArray& descriptor);

} // namespace MagellanReports
