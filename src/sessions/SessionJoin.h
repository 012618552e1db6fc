#pragma once

#include <QString>

class HttpsConnection;

// Joins someone else's shared session without sign-in: asks the server of the connection for the
// session with its sharing key and shows it in the built-in viewer. Everything after the request is
// asynchronous; a "Connecting..." box with Abort stands until the viewer starts or the request fails.
void joinSharedSession(const HttpsConnection& connection, const QString& sessionId, const QString& sharingKey,
                       const QString& displayName);
