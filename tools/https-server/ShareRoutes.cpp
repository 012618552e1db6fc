#include "ShareRoutes.h"

namespace HttpsPeer {

ShareRoutes::ShareRoutes(Server& server)
    : m_state{{QStringLiteral("sharingKey"), QString()},
              {QStringLiteral("public"),
               QJsonObject{{QStringLiteral("visibility"), QString()}, {QStringLiteral("role"), QString()}}},
              {QStringLiteral("users"), QJsonArray()},
              {QStringLiteral("groups"), QJsonArray()}} {
    server.route("POST", QStringLiteral("/v3/api/share/load"), [this](const Request&) {
        ++m_loads;
        return Response::result(m_state);
    });
    server.route("POST", QStringLiteral("/v3/api/share/update"), [this](const Request& r) {
        const QJsonObject body = r.json();
        m_updates.append(body);
        if (body.contains(QLatin1String("users")))
            m_state.insert(QStringLiteral("users"), body.value(QLatin1String("users")));
        QJsonObject pub = m_state.value(QLatin1String("public")).toObject();
        if (body.contains(QLatin1String("sharingKey"))) {
            const QString key = body.value(QLatin1String("sharingKey")).toString();
            m_state.insert(QStringLiteral("sharingKey"), key);
            pub.insert(QStringLiteral("visibility"), key.isEmpty() ? QString() : QStringLiteral("public"));
        }
        const QJsonObject changed = body.value(QLatin1String("public")).toObject();
        for (auto it = changed.begin(); it != changed.end(); ++it)
            pub.insert(it.key(), it.value());
        m_state.insert(QStringLiteral("public"), pub);
        return Response::result(true);
    });
}

} // namespace HttpsPeer
