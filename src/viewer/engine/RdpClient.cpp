#include "viewer/engine/RdpClient.h"

void registerRdpClientMetaTypes() {
    static const bool registered = [] {
        qRegisterMetaType<RdpClient>("RdpClient");
        qRegisterMetaType<QList<RdpClient>>("QList<RdpClient>");
        return true;
    }();
    Q_UNUSED(registered)
}
