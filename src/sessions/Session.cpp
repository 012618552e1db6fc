#include "sessions/Session.h"

#include <QJsonArray>
#include <QJsonValue>

namespace {

// Numbers become doubles, objects maps and arrays lists, all the way down.
QVariant toVariant(const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::Double:
        return QVariant(value.toDouble());
    case QJsonValue::Object: {
        QVariantMap map;
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            map.insert(it.key(), toVariant(it.value()));
        return map;
    }
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue& entry : value.toArray())
            list.append(toVariant(entry));
        return list;
    }
    default:
        return value.toVariant();
    }
}

QDateTime parseTime(const QJsonValue& value) {
    if (!value.isString())
        return QDateTime();
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
}

void registerOnce() {
    qRegisterMetaType<Session>("Session");
    qRegisterMetaType<SessionList>("SessionList");
}

} // namespace

Q_CONSTRUCTOR_FUNCTION(registerOnce)

void registerSessionMetaTypes() {
    registerOnce();
}

Session Session::fromJson(const QJsonObject& object) {
    Session s;
    const QJsonValue id = object.value(QLatin1String("id"));
    if (id.isString())
        s.m_id = id.toString();
    const QJsonValue windowMode = object.value(QLatin1String("windowMode"));
    if (windowMode.isString())
        s.m_windowMode = windowMode.toString();

    const QJsonValue geometry = object.value(QLatin1String("geometry"));
    if (geometry.isString()) {
        s.m_geometry = geometry.toString();
    } else {
        const QJsonValue w = object.value(QLatin1String("screenWidth"));
        const QJsonValue h = object.value(QLatin1String("screenHeight"));
        if (w.isDouble() && h.isDouble())
            s.m_geometry = QStringLiteral("%1x%2").arg(w.toDouble(), 0, 'g', 6).arg(h.toDouble(), 0, 'g', 6);
    }

    const QJsonValue command = object.value(QLatin1String("command"));
    if (command.isString())
        s.m_command = command.toString();

    const QJsonValue clientCount = object.value(QLatin1String("clientCount"));
    if (clientCount.isDouble()) {
        // toInt gives 0 for a number that is not integral or out of range.
        s.m_clientCount = clientCount.toInt(0);
    }

    s.m_started = parseTime(object.value(QLatin1String("started")));
    s.m_lastConnect = parseTime(object.value(QLatin1String("lastConnect")));
    s.m_lastDisconnect = parseTime(object.value(QLatin1String("lastDisconnect")));

    const QJsonValue login = object.value(QLatin1String("login"));
    if (login.isString())
        s.m_login = login.toString();
    const QJsonValue hostname = object.value(QLatin1String("hostname"));
    if (hostname.isString())
        s.m_hostname = hostname.toString();
    const QJsonValue version = object.value(QLatin1String("version"));
    if (version.isString())
        s.m_version = version.toString();

    const QJsonValue params = object.value(QLatin1String("params"));
    if (params.isObject()) {
        const QJsonObject p = params.toObject();
        for (auto it = p.begin(); it != p.end(); ++it)
            s.m_params.insert(it.key(), toVariant(it.value()));
    }

    const QJsonValue plugins = object.value(QLatin1String("plugins"));
    if (plugins.isObject()) {
        const QJsonValue sharing = plugins.toObject().value(QLatin1String("sharing"));
        s.m_sharing = sharing.isObject() && sharing.toObject().value(QLatin1String("result")).isObject();
    }
    return s;
}

QVariant Session::param(const QString& key, const QVariant& defaultValue) const {
    const auto it = m_params.constFind(key);
    return it == m_params.constEnd() ? defaultValue : it.value();
}

void Session::setParam(const QString& key, const QVariant& value) {
    m_params.insert(key, value);
}

bool Session::operator==(const Session& other) const {
    return m_id == other.m_id && m_windowMode == other.m_windowMode && m_geometry == other.m_geometry &&
           m_command == other.m_command && m_clientCount == other.m_clientCount &&
           m_started == other.m_started && m_lastConnect == other.m_lastConnect &&
           m_lastDisconnect == other.m_lastDisconnect && m_login == other.m_login &&
           m_hostname == other.m_hostname && m_version == other.m_version && m_params == other.m_params;
}

SessionList withChanges(const SessionList& list, const QHash<QString, SessionChange>& changes) {
    if (changes.isEmpty())
        return list;
    SessionList merged;
    merged.reserve(list.size() + changes.size());
    for (const Session& s : list)
        if (!changes.contains(s.id()))
            merged.append(s);
    for (const SessionChange& change : changes)
        if (!change.deleted)
            merged.append(change.session);
    return merged;
}
