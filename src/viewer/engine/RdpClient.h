#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

// One participant of a shared session, as the share service reports it. Whether a participant is this
// viewer is decided by comparing `client` with the controller's own record.
struct RdpClient {
    QString client; // id
    QString role;
    QString status;
    QString name;
    QString login;
    QString version;

    bool operator==(const RdpClient& other) const {
        return client == other.client && role == other.role && status == other.status && name == other.name &&
               login == other.login && version == other.version;
    }
    bool operator!=(const RdpClient& other) const { return !(*this == other); }
    // Whether the participant changed in a way a viewer shows; login and version do not count.
    bool differsFrom(const RdpClient& other) const {
        return client != other.client || name != other.name || role != other.role || status != other.status;
    }
    // Participants are ordered by their id.
    bool operator<(const RdpClient& other) const { return client < other.client; }
};

Q_DECLARE_METATYPE(RdpClient)
Q_DECLARE_METATYPE(QList<RdpClient>)

// Registers RdpClient and QList<RdpClient> for queued connections; safe to call more than once.
void registerRdpClientMetaTypes();
