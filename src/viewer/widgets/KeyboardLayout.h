#pragma once

#include <QtGlobal>

// The local keyboard as the server's keyboard setting carries it.
struct KeyboardRecord {
    quint32 layout = 0; // Windows-style layout id, e.g. 0x409
    quint32 type = 0;
};

// Layout id of a US keyboard: used when the local layout is unknown or unreadable.
constexpr quint32 DefaultKeyboardLayout = 0x409;
constexpr quint32 DefaultKeyboardType = 4;

// Fills the record from the local system's active layout; the type is always 4.
void readKeyboardLayout(KeyboardRecord& record);
