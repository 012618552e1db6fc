#pragma once

#include "HttpsServer.h"

#include <QHash>
#include <QImage>
#include <QJsonArray>
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
    struct Plan {
        Shot shot = Labelled;
        int delayMs = 0;
    };

    QJsonArray m_own;
    QJsonArray m_shared;
    bool m_sharedAsRows = false;
    int m_listDelay = 0;
    QHash<QString, Plan> m_shots;
    QStringList m_shotRequests;
    int m_listRequests = 0;
};

} // namespace HttpsPeer
