#pragma once

#include <QtGlobal>

class QKeyEvent;

// One key event as a session window hands it to RdpBasic::keyDown / RdpBasic::keyUp.
struct KeyInput {
    quint32 nativeVirtualKey = 0;
    // Set-1 scan code with 0x100 added for extended keys, as the local system reports it; 0 = unknown.
    quint32 nativeScanCode = 0;
    quint32 nativeModifiers = 0;
    bool autoRepeat = false;

    // Reads a window's key event. The window system's own key code is turned into the scan code by the
    // platform layer; a key it does not know gets scan code 0 and is never sent.
    static KeyInput fromEvent(const QKeyEvent& event);
};
