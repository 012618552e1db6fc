#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// One remote session as the server reports it.
class Session {
public:
    Session() = default;

    static Session fromJson(const QJsonObject& object);

    const QString& id() const { return m_id; }
    QString windowMode() const { return m_windowMode; }
    QString geometry() const { return m_geometry; }
    QString command() const { return m_command; }
    int clientCount() const { return m_clientCount; }
    QDateTime started() const { return m_started; }
    QDateTime lastConnect() const { return m_lastConnect; }
    QDateTime lastDisconnect() const { return m_lastDisconnect; }
    QString login() const { return m_login; }
    QString hostname() const { return m_hostname; }
    QString version() const { return m_version; }
    QVariantMap params() const { return m_params; }
    bool isSharing() const { return m_sharing; }

    QVariant param(const QString& key, const QVariant& defaultValue = QVariant()) const;
    void setParam(const QString& key, const QVariant& value);

    // The sharing flag takes no part in equality.
    bool operator==(const Session& other) const;
    bool operator!=(const Session& other) const { return !(*this == other); }

private:
    QString m_id;
    QString m_windowMode;
    QString m_geometry;
    QString m_command;
    int m_clientCount = 0;
    QDateTime m_started;
    QDateTime m_lastConnect;
    QDateTime m_lastDisconnect;
    QString m_login;
    QString m_hostname;
    QString m_version;
    QVariantMap m_params;
    bool m_sharing = false;
};

using SessionList = QList<Session>;

// A pushed change of one session: its new state, or its deletion.
struct SessionChange {
    bool deleted = false;
    Session session;
};

// The list with the latest change per id laid over it: a changed session replaces its row or is
// added, a deleted one goes.
SessionList withChanges(const SessionList& list, const QHash<QString, SessionChange>& changes);

Q_DECLARE_METATYPE(Session)
Q_DECLARE_METATYPE(SessionList)

// Registers "Session" and "SessionList" with the meta-type system; safe to call repeatedly.
void registerSessionMetaTypes();
