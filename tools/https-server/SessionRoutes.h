#pragma once

#include "HttpsServer.h"

#include <QHash>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QSize>
#include <QStringList>

namespace HttpsPeer {

// A small session state for one test: the own and shared session lists, and per session id how
// its screenshot is answered. Installs its routes on the server; keep it alive as long as the
// server answers.
class SessionRoutes {
public:
    enum Shot { Labelled, Missing, NotAnImage, Huge, NoAnswer };

    explicit SessionRoutes(Server& server);

    // The session operations over the own list: disconnect (client count to 0), terminate and purge
    // (the session removed), params (entries merged, an empty value removes the key) each change the
    // state and push the change on the event stream ("update" or "delete"); exec answers
    // {"code", "output"} from setExecReply, exec-bg {"pid"} from setBackgroundPid; log answers the logs
    // set with setLogs. A session id not in the list gets the error "not_found". Off until called,
    // so that tests that script these routes themselves keep the server's defaults.
    void addOperationRoutes();
    void setExecReply(const QJsonObject& reply) { m_execReply = reply; }
    void setBackgroundPid(const QJsonValue& pid) { m_pid = pid; }
    void setLogs(const QJsonObject& logs) { m_logs = logs; }
    // The next request to that operation path fails with this error.
    void failNext(const QString& path, const QString& name, const QString& message);
    // Bodies received by the operation routes, by path, oldest first.
    QList<QJsonObject> operations(const QString& path) const { return m_operations.value(path); }
    QJsonArray own() const { return m_own; }

    void setOwn(const QJsonArray& sessions) { m_own = sessions; }
    // The shared list is sent as an array, or as {"rows": [...]}.
    void setShared(const QJsonArray& sessions, bool asRows = false) {
        m_shared = sessions;
        m_sharedAsRows = asRows;
    }
    // Each list answer is held back this long.
    void setListDelay(int ms) { m_listDelay = ms; }
    void setShot(const QString& id, Shot shot, int delayMs = 0) { m_shots.insert(id, {shot, delayMs}); }

    // Session ids of the screenshot requests, in order of arrival.
    QStringList screenshotRequests() const { return m_shotRequests; }
    int listRequests() const { return m_listRequests; }

    static const QSize labelledSize;
    // A PNG of labelledSize carrying the id as its "session" text.
    static QByteArray labelledPng(const QString& id);
    static QString labelOf(const QImage& image) { return image.text(QStringLiteral("session")); }
    // A valid PNG header declaring a picture far too large to decode.
    static QByteArray hugePng();

private:
    Response operate(const QString& path, const Request& request);

    struct Plan {
        Shot shot = Labelled;
        int delayMs = 0;
    };

    Server* m_server = nullptr;
    QJsonArray m_own;
    QJsonObject m_execReply;
    QJsonValue m_pid = 42;
    QJsonObject m_logs;
    QHash<QString, QList<QJsonObject>> m_operations;
    QHash<QString, QPair<QString, QString>> m_failNext;
    QJsonArray m_shared;
    bool m_sharedAsRows = false;
    int m_listDelay = 0;
    QHash<QString, Plan> m_shots;
    QStringList m_shotRequests;
    int m_listRequests = 0;
};

} // namespace HttpsPeer
