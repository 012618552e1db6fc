#include "viewer/widgets/KeyInput.h"

#include "platform/viewer/ViewerPlatform.h"

#include <QKeyEvent>

KeyInput KeyInput::fromEvent(const QKeyEvent& event) {
    KeyInput input;
    input.nativeVirtualKey = event.nativeVirtualKey();
    input.nativeScanCode = ViewerPlatform::instance()->keyScanCode(event.nativeScanCode());
    input.nativeModifiers = event.nativeModifiers();
    input.autoRepeat = event.isAutoRepeat();
    return input;
}
