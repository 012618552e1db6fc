#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <functional>

// The default answers of the test server: a plausible reply for every operation the client sends,
// over a little state (sessions, bookmarks, sharing) that the operations change as a server would.
// A new operation is one more handler in the table; new state is one more member.
class FakeServer {
public:
    struct Answer {
        QJsonValue result;
        QJsonValue error;
    };

    FakeServer();

    // Whether a handler exists for the method.
    bool knows(const QString& method) const { return m_handlers.contains(method); }
    // The answer to one request; an unknown method gets the error "not_found".
    Answer answer(const QString& method, const QJsonObject& params);

    static QJsonObject error(const QString& name, const QString& message);

    // Replaces the bookmark state: the lists "system", "user", "suggestions", "history" and the ids in
    // "favorites"; a missing key leaves an empty list. An entry's "icon" of the form "png:#rrggbb"
    // becomes a data URL of a small PNG in that colour.
    void setBookmarkState(const QJsonObject& state);

private:
    using Handler = std::function<Answer(const QJsonObject& params)>;

    void addSessionHandlers();
    void addStartAndConnectHandlers();
    void addBookmarkHandlers();
    void addSharingHandlers();
    void addUserHandlers();

    QJsonObject connectReply(const QString& id, const QJsonObject& params) const;
    QJsonObject bookmarkReply() const;
    int findSession(const QString& id) const;

    QHash<QString, Handler> m_handlers;
    QJsonArray m_sessions;
    QJsonArray m_sharedSessions;
    QJsonArray m_userBookmarks;
    QJsonArray m_systemBookmarks;
    QJsonArray m_favorites;
    QJsonArray m_suggestions;
    QJsonArray m_history;
    QHash<QString, QJsonObject> m_sharing;
    int m_nextSession = 100;
    int m_nextBookmark = 1;
};
