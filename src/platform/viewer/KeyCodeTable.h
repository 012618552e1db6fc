#pragma once

#include <QtGlobal>

namespace ViewerPlatform {

// The set-1 scan code (0x100 added for extended keys) a Windows keyboard driver reports for the key
// with this X keycode (evdev numbering plus 8, as the X server's evdev and libinput drivers assign
// them); 0 for keys without one. Right Shift and NumLock are given as Windows reports them (0x36 and
// 0x145); Pause has none, as its code would reach the server as NumLock.
quint32 scanCodeForXKeycode(quint32 keycode);

} // namespace ViewerPlatform
