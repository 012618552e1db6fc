#pragma once

#include <QVariantMap>

// What a connection hands to everything it opens: the server and the signed-in user.
class ConnectionContext {
public:
    // "hostname"; the session list also reads "screenShot", "disableStart", "hideCommandField".
    QVariantMap hostInfo;
    // "displayName", "login".
    QVariantMap userInfo;
};
