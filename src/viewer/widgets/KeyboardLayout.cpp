#include "viewer/widgets/KeyboardLayout.h"

#include "platform/viewer/ViewerPlatform.h"

void readKeyboardLayout(KeyboardRecord& record) {
    const QString name = ViewerPlatform::instance()->keyboardLayoutName();
    bool ok = false;
    const quint32 layout = name.toUInt(&ok, 16);
    // An unknown layout would tell the server "no layout" (0); a US keyboard is the better guess.
    record.layout = ok && layout != 0 ? layout : DefaultKeyboardLayout;
    record.type = DefaultKeyboardType;
}
