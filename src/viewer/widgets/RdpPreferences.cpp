#include "viewer/widgets/RdpPreferences.h"

#include <QDateTime>
#include <QSettings>
#include <QStringList>

#include <limits>

namespace {

const QString globalGroup = QStringLiteral("RdpGlobalPreferences");
const QString serverGroup = QStringLiteral("RdpServerPreferences");
const QString lastAccessKey = QStringLiteral("LastAccess");
constexpr int maximumServers = 50;

qint64 now() {
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

QString serverPreferenceGroup(const QString& server) {
    // '%' first, so that the encoding stays reversible.
    QString group = server;
    group.replace(QLatin1Char('%'), QLatin1String("%25"));
    group.replace(QLatin1Char('/'), QLatin1String("%2F"));
    group.replace(QLatin1Char('\\'), QLatin1String("%5C"));
    return group;
}

QVariant readGlobalPreference(const QString& key, const QVariant& defaultValue) {
    QSettings settings;
    settings.beginGroup(globalGroup);
    return settings.value(key, defaultValue);
}

void writeGlobalPreference(const QString& key, const QVariant& value) {
    QSettings settings;
    settings.beginGroup(globalGroup);
    settings.setValue(key, value);
}

QVariant readServerPreference(const QString& server, const QString& key, const QVariant& defaultValue) {
    if (server.isEmpty()) {
        return defaultValue;
    }
    const QString group = serverPreferenceGroup(server);
    QSettings settings;
    settings.beginGroup(serverGroup);
    if (!settings.childGroups().contains(group, Qt::CaseSensitive)) {
        return defaultValue;
    }
    settings.beginGroup(group);
    settings.setValue(lastAccessKey, now());
    const QVariant value = settings.value(key, defaultValue);
    settings.endGroup();
    return value;
}

void writeServerPreference(const QString& server, const QString& key, const QVariant& value) {
    if (server.isEmpty()) {
        return;
    }
    const QString group = serverPreferenceGroup(server);
    QSettings settings;
    settings.beginGroup(serverGroup);
    const QStringList groups = settings.childGroups();
    if (!groups.contains(group, Qt::CaseSensitive) && groups.size() > maximumServers) {
        // Least recently used: a group without a readable LastAccess goes first (the last such one
        // in the walk); otherwise the smallest time, the first of equals.
        QString victim;
        quint64 oldest = std::numeric_limits<quint64>::max();
        bool chosen = false;
        for (const QString& candidate : groups) {
            bool ok = false;
            quint64 access = settings.value(candidate + QLatin1Char('/') + lastAccessKey).toULongLong(&ok);
            if (!ok) {
                access = 0;
            }
            if (access == 0 || !chosen || access < oldest) {
                victim = candidate;
                oldest = access;
                chosen = true;
            }
        }
        settings.remove(victim);
    }
    settings.beginGroup(group);
    settings.setValue(lastAccessKey, now());
    settings.setValue(key, value);
    settings.endGroup();
    settings.endGroup();
}
