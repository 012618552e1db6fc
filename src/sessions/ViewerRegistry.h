#pragma once

#include <QString>

class RdpInstance;

// The process's open viewers by session id. Several viewers may share an id; GUI thread only.
// A viewer leaves when it finishes or is destroyed.
void registerViewer(const QString& id, RdpInstance* instance);
// The viewer registered last under the id, or null.
RdpInstance* findViewer(const QString& id);
// Removes every entry of that id and instance; returns how many.
int unregisterViewer(const QString& id, RdpInstance* instance);
