#pragma once

#include <QString>
#include <QVariant>

// The viewer's remembered options in the application's default settings store. Options of the local
// computer are global; options of the remote side are kept per server, for at most 51 servers (the
// least recently used one is dropped before a 52nd is added). Reading or writing a server's value
// counts as using that server.

QVariant readGlobalPreference(const QString& key, const QVariant& defaultValue);
void writeGlobalPreference(const QString& key, const QVariant& value);

// An empty server key names no server: reads give the default and writes are dropped.
QVariant readServerPreference(const QString& server, const QString& key, const QVariant& defaultValue);
void writeServerPreference(const QString& server, const QString& key, const QVariant& value);

// The settings group that holds a server's values. Server keys may be whole URLs; the group name
// is escaped so that "/" and "\" do not split it into nested groups.
QString serverPreferenceGroup(const QString& server);
