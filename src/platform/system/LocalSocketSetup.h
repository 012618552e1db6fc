#pragma once

#include <QString>

class QLocalServer;

namespace platform {

// Starts server listening on name so that only the current user can connect.
// On failure returns false and sets error to a readable reason; the server is then not listening.
bool listenUserOnly(QLocalServer* server, const QString& name, QString* error);

} // namespace platform
