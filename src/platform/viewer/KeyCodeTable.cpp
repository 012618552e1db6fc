#include "platform/viewer/KeyCodeTable.h"

namespace ViewerPlatform {

namespace {

constexpr quint32 EvdevOffset = 8;

// Evdev codes above the main block, with the scan code Windows reports for them. Pause is left out:
// Windows reports it as 0x45, the code NumLock reaches the server with, so it would toggle NumLock there.
struct Extra {
    quint32 evdev;
    quint32 scanCode;
};

constexpr Extra extras[] = {
    {69, 0x145},  // NumLock: Windows reports it as extended
    {85, 0x76},   // Zenkaku/Hankaku
    {86, 0x56},   // the key left of Z on 102-key keyboards
    {87, 0x57},   // F11
    {88, 0x58},   // F12
    {89, 0x73},   // Ro
    {90, 0x78},   // Katakana
    {91, 0x77},   // Hiragana
    {92, 0x79},   // Henkan
    {93, 0x70},   // Katakana/Hiragana
    {94, 0x7B},   // Muhenkan
    {95, 0x5C},   // keypad comma (JP)
    {96, 0x11C},  // keypad Enter
    {97, 0x11D},  // right Ctrl
    {98, 0x135},  // keypad /
    {99, 0x137},  // Print Screen
    {100, 0x138}, // right Alt / AltGr
    {102, 0x147}, // Home
    {103, 0x148}, // Up
    {104, 0x149}, // Page Up
    {105, 0x14B}, // Left
    {106, 0x14D}, // Right
    {107, 0x14F}, // End
    {108, 0x150}, // Down
    {109, 0x151}, // Page Down
    {110, 0x152}, // Insert
    {111, 0x153}, // Delete
    {117, 0x59},  // keypad =
    {121, 0x7E},  // keypad comma
    {122, 0x72},  // Hangul
    {123, 0x71},  // Hanja
    {124, 0x7D},  // Yen
    {125, 0x15B}, // left Windows
    {126, 0x15C}, // right Windows
    {127, 0x15D}, // Menu
    {183, 0x64},  // F13
    {184, 0x65},  // F14
    {185, 0x66},  // F15
    {186, 0x67},  // F16
    {187, 0x68},  // F17
    {188, 0x69},  // F18
    {189, 0x6A},  // F19
    {190, 0x6B},  // F20
    {191, 0x6C},  // F21
    {192, 0x6D},  // F22
    {193, 0x6E},  // F23
    {194, 0x76},  // F24
};

} // namespace

quint32 scanCodeForXKeycode(quint32 keycode) {
    if (keycode <= EvdevOffset) {
        return 0;
    }
    const quint32 evdev = keycode - EvdevOffset;
    for (const Extra& extra : extras) {
        if (extra.evdev == evdev) {
            return extra.scanCode;
        }
    }
    // Escape (1) to keypad . (83): evdev took its numbers from set 1, so they are the same.
    if (evdev >= 1 && evdev <= 83) {
        return evdev;
    }
    return 0;
}

} // namespace ViewerPlatform
