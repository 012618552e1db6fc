#pragma once

#include "HttpsServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>

namespace HttpsPeer {

// One session's sharing state for a test: "/v3/api/share/load" answers it, "/v3/api/share/update"
// changes it (users replaced, "sharingKey" set, "public" merged) and records each body. Keep it alive
// as long as the server answers.
class ShareRoutes {
public:
    explicit ShareRoutes(Server& server);

    // The whole load answer, as the server keeps it.
    QJsonObject state() const { return m_state; }
    void setState(const QJsonObject& state) { m_state = state; }
    // Update bodies received, oldest first (the session id included as "id").
    QList<QJsonObject> updates() const { return m_updates; }
    int loads() const { return m_loads; }

private:
    QJsonObject m_state;
    QList<QJsonObject> m_updates;
    int m_loads = 0;
};

} // namespace HttpsPeer
