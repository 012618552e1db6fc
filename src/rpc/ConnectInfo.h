#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>
#include <QVector>

struct ScheduleOutputLine {
    QString line;
    QString type; // "stdout", "stderr" or "system"
    bool eof = false;
};

struct ConnectForm {
    QString name;
    QString id;
    QString html;
    bool allowUnsafeHtml = false;
};

// The reply to a session start or connect.
class ConnectInfo {
public:
    ConnectInfo() = default;

    static ConnectInfo fromJson(const QJsonObject& reply);

    QString stage() const { return m_stage; }
    QString id() const { return m_id; }
    QString password() const { return m_password; }
    QString geometry() const { return m_geometry; }
    QString windowMode() const { return m_windowMode; }
    QString baseUrl() const { return m_baseUrl; }
    quint16 tcpPort() const { return m_tcpPort; }
    QString uri() const { return m_uri; }
    QStringList urls() const { return m_urls; }
    quint16 webSocketPort() const { return m_webSocketPort; }
    QVariantMap params() const { return m_params; }
    QVariantMap auth() const { return m_auth; }
    int scheduleCode() const { return m_scheduleCode; }
    QVector<ScheduleOutputLine> scheduleOutput() const { return m_scheduleOutput; }
    bool scheduleHtml() const { return m_scheduleHtml; }
    ConnectForm form() const { return m_form; }

    QVariant param(const QString& key, const QVariant& defaultValue = QVariant()) const;
    void setId(const QString& id) { m_id = id; }
    void setParam(const QString& key, const QVariant& value) { m_params.insert(key, value); }

    // The schedule result as HTML for the user.
    QString scheduleResultHtml() const;

private:
    QString m_stage;
    QString m_id;
    QString m_password;
    QString m_geometry;
    QString m_windowMode;
    QString m_baseUrl;
    quint16 m_tcpPort = 0;
    QString m_uri;
    QStringList m_urls;
    quint16 m_webSocketPort = 0;
    QVariantMap m_params;
    QVariantMap m_auth;
    int m_scheduleCode = 0;
    QVector<ScheduleOutputLine> m_scheduleOutput;
    bool m_scheduleHtml = false;
    ConnectForm m_form;
};

// Where the server's web service is and the bearer token for it.
struct ServiceInfo {
    QUrl url;
    QString token;
};

Q_DECLARE_METATYPE(ConnectInfo)
Q_DECLARE_METATYPE(ServiceInfo)
