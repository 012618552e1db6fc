#include "FakeServer.h"

#include "TestImages.h"

#include <QBuffer>
#include <QColor>
#include <QImage>

namespace {

QJsonObject session(const QString& id, const QString& name, const QString& status) {
    return QJsonObject{{"id", id},
                       {"name", name},
                       {"status", status},
                       {"command", "xterm"},
                       {"geometry", "1280x800"},
                       {"windowMode", "desktop"},
                       {"login", "tester"},
                       {"hostname", "node1"},
                       {"version", "3.2"},
                       {"clientCount", 0},
                       {"started", "2026-01-02T03:04:05Z"},
                       {"params", QJsonObject{{"name", name}}}};
}

QJsonObject bookmark(const QString& id, const QString& name, const QString& command) {
    return QJsonObject{{"id", id}, {"name", name}, {"command", command}, {"geometry", "1280x800"}};
}

QString pngDataUrl(int width, int height, QRgb colour = qRgb(40, 90, 160)) {
    return ::pngDataUrl(QSize(qBound(1, width, 512), qBound(1, height, 512)), QColor(colour));
}

FakeServer::Answer ok(const QJsonValue& result) {
    return FakeServer::Answer{result, QJsonValue::Undefined};
}

FakeServer::Answer fail(const QString& name, const QString& message) {
    return FakeServer::Answer{QJsonValue::Undefined, FakeServer::error(name, message)};
}

} // namespace

QJsonObject FakeServer::error(const QString& name, const QString& message) {
    return QJsonObject{{"name", name}, {"message", message}};
}

FakeServer::FakeServer() {
    m_sessions =
        QJsonArray{session("s1", "First desktop", "running"), session("s2", "Second", "disconnected")};
    m_sharedSessions = QJsonArray{session("sh1", "Shared with me", "running")};
    m_userBookmarks = QJsonArray{bookmark("b1", "Terminal", "xterm")};
    m_systemBookmarks = QJsonArray{bookmark("sys1", "Desktop", "startxfce4")};
    addUserHandlers();
    addSessionHandlers();
    addStartAndConnectHandlers();
    addBookmarkHandlers();
    addSharingHandlers();
}

FakeServer::Answer FakeServer::answer(const QString& method, const QJsonObject& params) {
    const auto it = m_handlers.constFind(method);
    if (it == m_handlers.constEnd())
        return fail("not_found", QStringLiteral("Unknown method %1").arg(method));
    return (*it)(params);
}

int FakeServer::findSession(const QString& id) const {
    for (int i = 0; i < m_sessions.size(); ++i) {
        if (m_sessions[i].toObject().value("id").toString() == id)
            return i;
    }
    return -1;
}

void FakeServer::addUserHandlers() {
    m_handlers.insert("/v3/api/user/me", [](const QJsonObject&) {
        return ok(
            QJsonObject{{"config", QJsonObject{{"messageOfTheDay", "Welcome"},
                                               {"bookmark", QJsonObject{}},
                                               {"baseUrl", "https://127.0.0.1:8443/"}}},
                        {"permissions",
                         QJsonObject{{"user", QJsonObject{{"utils", QJsonObject{{"file-download", true}}}}},
                                     {"session", QJsonObject{}},
                                     {"start", QJsonObject{}},
                                     {"bookmark", QJsonObject{}}}},
                        {"login", QJsonObject{{"sub", "tester"}}},
                        {"clientSettings", QJsonArray{}}});
    });
    m_handlers.insert("/v3/api/user/service", [](const QJsonObject&) {
        return ok(QJsonObject{{"url", "https://127.0.0.1:8443/"}, {"token", "service-token"}});
    });
}

void FakeServer::addSessionHandlers() {
    m_handlers.insert("/v3/api/session/list", [this](const QJsonObject&) { return ok(m_sessions); });
    m_handlers.insert("/v3/api/session/list-shared",
                      [this](const QJsonObject&) { return ok(m_sharedSessions); });
    m_handlers.insert("/v3/api/session/params", [this](const QJsonObject& params) {
        const int i = findSession(params.value("id").toString());
        if (i < 0)
            return fail("not_found", "No such session");
        QJsonObject s = m_sessions[i].toObject();
        QJsonObject stored = s.value("params").toObject();
        for (auto it = params.begin(); it != params.end(); ++it) {
            if (it.key() != "id")
                stored.insert(it.key(), it.value());
        }
        s.insert("params", stored);
        m_sessions[i] = s;
        return ok(stored);
    });
    m_handlers.insert("/v3/api/session/params-form/list", [](const QJsonObject&) {
        return ok(QJsonObject{{"forms", QJsonArray{QJsonObject{{"id", "f1"}, {"name", "Resolution"}}}}});
    });
    m_handlers.insert("/v3/api/session/screenshot", [](const QJsonObject& params) {
        return ok(QJsonObject{
            {"src", pngDataUrl(params.value("width").toInt(64), params.value("height").toInt(48))}});
    });
    m_handlers.insert("/v3/api/session/servers/list", [](const QJsonObject&) {
        return ok(QJsonObject{{"servers", QJsonArray{QJsonObject{{"name", "node1"}, {"load", 0.5}}}}});
    });
    m_handlers.insert("/v3/api/session/log", [](const QJsonObject& params) {
        return ok(
            QJsonObject{{"session.log", QStringLiteral("log of %1\n").arg(params.value("id").toString())},
                        {"xsession.log", "started\n"}});
    });
    m_handlers.insert("/v3/api/session/exec", [](const QJsonObject& params) {
        return ok(QJsonObject{
            {"code", 0},
            {"output",
             QJsonArray{QJsonObject{{"line", params.value("command").toString("true")}, {"type", "system"}},
                        QJsonObject{{"line", "done"}, {"type", "stdout"}}}}});
    });
    m_handlers.insert("/v3/api/session/exec-bg", [](const QJsonObject&) {
        return ok(QJsonObject{{"pid", 4242}});
    });
    const auto end = [this](const QString& status) {
        return [this, status](const QJsonObject& params) {
            const int i = findSession(params.value("id").toString());
            if (i < 0)
                return fail("not_found", "No such session");
            if (status.isEmpty()) {
                m_sessions.removeAt(i);
            } else {
                QJsonObject s = m_sessions[i].toObject();
                s.insert("status", status);
                m_sessions[i] = s;
            }
            return ok(QJsonObject{});
        };
    };
    m_handlers.insert("/v3/api/session/disconnect", end("disconnected"));
    m_handlers.insert("/v3/api/session/terminate", end(QString()));
    m_handlers.insert("/v3/api/session/purge", end(QString()));
}

QJsonObject FakeServer::connectReply(const QString& id, const QJsonObject& params) const {
    return QJsonObject{{"stage", "success"},
                       {"id", id},
                       {"password", "display-password"},
                       {"geometry", "1280x800"},
                       {"windowMode", "desktop"},
                       {"webSocketPort", 8080},
                       {"tcpPort", 4100},
                       {"uri", QStringLiteral("/ws/%1").arg(id)},
                       {"urls", QJsonArray{QStringLiteral("ws://127.0.0.1:8080/ws/%1").arg(id)}},
                       {"params", QJsonObject{{"name", params.value("name").toString("Desktop")}}}};
}

void FakeServer::addStartAndConnectHandlers() {
    // The start variant follows the requested command: "schedule", "form" and "sign-in" give those
    // stages, anything else a session that is ready to view.
    m_handlers.insert("/v3/api/session/start", [this](const QJsonObject& params) {
        const QString command = params.value("command").toString();
        if (command == "schedule")
            return ok(
                QJsonObject{{"stage", "schedule"},
                            {"code", 0},
                            {"output", QJsonArray{QJsonObject{{"line", "scheduled"}, {"type", "stdout"}}}}});
        if (command == "form")
            return ok(QJsonObject{{"stage", "form"},
                                  {"form", QJsonObject{{"id", "f1"},
                                                       {"name", "Resolution"},
                                                       {"html", "<input name=\"geometry\">"},
                                                       {"allowUnsafeHtml", false}}}});
        if (command == "sign-in")
            return ok(
                QJsonObject{{"stage", "password"}, {"authtoken", "stage-token"}, {"prompt", "Password:"}});
        const QString id = QStringLiteral("s%1").arg(m_nextSession++);
        QJsonObject s = session(id, params.value("name").toString("New session"), "running");
        if (!command.isEmpty())
            s.insert("command", command);
        m_sessions.append(s);
        return ok(connectReply(id, params));
    });
    const auto connect = [this](const QJsonObject& params) {
        const QString id = params.value("id").toString();
        if (id.isEmpty())
            return fail("bad_request", "No session id");
        return ok(connectReply(id, params));
    };
    m_handlers.insert("/v3/api/session/connect", connect);
    m_handlers.insert("/v3/api/share/connect", connect);
    m_handlers.insert("/v3/api/nologin/share/connect", connect);
    m_handlers.insert("/v3/api/session/connect/shortcut", [this](const QJsonObject& params) {
        const QString id = QStringLiteral("s%1").arg(m_nextSession++);
        m_sessions.append(session(id, params.value("id").toString(), "running"));
        return ok(connectReply(id, params));
    });
}

QJsonObject FakeServer::bookmarkReply() const {
    return QJsonObject{{"system", m_systemBookmarks},
                       {"user", m_userBookmarks},
                       {"suggestions", m_suggestions},
                       {"history", m_history},
                       {"favorites", m_favorites}};
}

void FakeServer::setBookmarkState(const QJsonObject& state) {
    const auto entries = [&state](const char* key) {
        QJsonArray list = state.value(key).toArray();
        for (int i = 0; i < list.size(); ++i) {
            QJsonObject entry = list[i].toObject();
            const QString icon = entry.value("icon").toString();
            if (icon.startsWith("png:")) {
                entry.insert("icon", pngDataUrl(16, 16, QColor(icon.mid(4)).rgb()));
                list[i] = entry;
            }
        }
        return list;
    };
    m_systemBookmarks = entries("system");
    m_userBookmarks = entries("user");
    m_suggestions = entries("suggestions");
    m_history = entries("history");
    m_favorites = state.value("favorites").toArray();
}

void FakeServer::addBookmarkHandlers() {
    m_handlers.insert("/v3/api/bookmark/list", [this](const QJsonObject&) { return ok(bookmarkReply()); });
    m_handlers.insert("/v3/api/bookmark/edit", [this](const QJsonObject& params) {
        QString id = params.value("id").toString();
        if (id.isEmpty())
            id = QStringLiteral("u%1").arg(m_nextBookmark++);
        QJsonObject b = bookmark(id, params.value("name").toString(), params.value("command").toString());
        if (params.contains("geometry"))
            b.insert("geometry", params.value("geometry"));
        bool replaced = false;
        for (int i = 0; i < m_userBookmarks.size(); ++i) {
            QJsonObject stored = m_userBookmarks[i].toObject();
            if (stored.value("id").toString() == id) {
                // Tags, icon, params and forms stay as they were.
                for (auto it = b.begin(); it != b.end(); ++it)
                    stored.insert(it.key(), it.value());
                m_userBookmarks[i] = stored;
                replaced = true;
            }
        }
        if (!replaced)
            m_userBookmarks.append(b);
        return ok(bookmarkReply());
    });
    m_handlers.insert("/v3/api/bookmark/delete", [this](const QJsonObject& params) {
        const QString id = params.value("id").toString();
        for (QJsonArray* list : {&m_userBookmarks, &m_history}) {
            for (int i = list->size() - 1; i >= 0; --i) {
                if (list->at(i).toObject().value("id").toString() == id)
                    list->removeAt(i);
            }
        }
        return ok(bookmarkReply());
    });
    m_handlers.insert("/v3/api/bookmark/favorite", [this](const QJsonObject& params) {
        if (!m_favorites.contains(params.value("id")))
            m_favorites.append(params.value("id"));
        return ok(bookmarkReply());
    });
    m_handlers.insert("/v3/api/bookmark/unfavorite", [this](const QJsonObject& params) {
        for (int i = m_favorites.size() - 1; i >= 0; --i) {
            if (m_favorites[i] == params.value("id"))
                m_favorites.removeAt(i);
        }
        return ok(bookmarkReply());
    });
}

void FakeServer::addSharingHandlers() {
    const auto stored = [this](const QString& id) {
        return m_sharing.value(id, QJsonObject{{"sharingKey", ""},
                                               {"public", QJsonObject{{"role", ""}, {"visibility", ""}}},
                                               {"users", QJsonArray{}},
                                               {"groups", QJsonArray{}}});
    };
    m_handlers.insert("/v3/api/share/load", [stored](const QJsonObject& params) {
        return ok(stored(params.value("id").toString()));
    });
    const auto merge = [this, stored](const QJsonObject& params) {
        const QString id = params.value("id").toString();
        QJsonObject sharing = stored(id);
        for (auto it = params.begin(); it != params.end(); ++it) {
            if (it.key() != "id")
                sharing.insert(it.key(), it.value());
        }
        m_sharing.insert(id, sharing);
        return ok(QJsonObject{});
    };
    m_handlers.insert("/v3/api/share/update", merge);
    m_handlers.insert("/v3/api/share/save", merge);
    m_handlers.insert("/v3/api/share/remove", [this](const QJsonObject& params) {
        m_sharing.remove(params.value("id").toString());
        return ok(QJsonObject{});
    });
}
