#pragma once

#include "HttpsServer.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QString>

namespace HttpsPeer {

// One bookmark state for a test: system, user, suggestion and history entries and the favourite
// ids. Edit, delete, favorite and unfavorite change it, and every bookmark route answers with the
// complete lists. Installs its routes on the server; keep it alive as long as the server answers.
class BookmarkRoutes {
public:
    // The operations, named by the last part of their path.
    static const QStringList operations; // "list", "edit", "delete", "favorite", "unfavorite"

    explicit BookmarkRoutes(Server& server);

    QJsonArray system;
    QJsonArray user;
    QJsonArray suggestions;
    QJsonArray history;
    QJsonArray favorites;

    // Every answer is held back this long.
    void setDelay(int ms) { m_delayMs = ms; }
    // The next answers of one operation are held back these times, in turn, before the usual delay.
    void delayNext(const QString& operation, const QList<int>& ms) { m_nextDelays[operation] += ms; }
    // The next requests of one operation are answered these times later, in turn, and change the
    // state only then: a server that takes a change late. Lists answered meanwhile lack it.
    void takeLate(const QString& operation, const QList<int>& ms) { m_lateTakes[operation] += ms; }
    // These operations fail with the error, and leave the state as it is.
    void refuse(const QStringList& operations, const QString& name = QStringLiteral("denied"),
                const QString& message = QStringLiteral("Not allowed"));

    // The request bodies each operation received, oldest first.
    QList<QJsonObject> received(const QString& operation) const { return m_received.value(operation); }
    int requestCount() const;

    QJsonObject lists() const;

    // An entry as the server sends it; icon is a data URL or empty.
    static QJsonObject entry(const QString& id, const QString& name, const QString& command,
                             const QString& geometry = QStringLiteral("1024x768"),
                             const QStringList& tags = {}, const QString& icon = QString());
    // A data URL of a small PNG filled with the colour.
    static QString pngIcon(const QColor& colour, int size = 16);

private:
    QJsonObject apply(const QString& operation, const QJsonObject& body);

    int m_delayMs = 0;
    QHash<QString, QList<int>> m_nextDelays;
    QHash<QString, QList<int>> m_lateTakes;
    QSet<QString> m_refused;
    QString m_errorName;
    QString m_errorMessage;
    QHash<QString, QList<QJsonObject>> m_received;
    int m_nextId = 1;
};

} // namespace HttpsPeer
