#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>
#include <QVector>

// One user or group a session is shared with.
struct ShareMember {
    QString name;
    QString role;

    static ShareMember fromJson(const QJsonObject& object);
    bool operator==(const ShareMember& other) const { return name == other.name && role == other.role; }
};

// A session's sharing settings as the server's share load reports them.
struct SharingData {
    QVector<ShareMember> users;
    QVector<ShareMember> groups;
    QString sharingKey;
    bool publicEnabled = false;
    QString publicRole;

    static SharingData fromJson(const QJsonObject& object);
};

Q_DECLARE_METATYPE(SharingData)
