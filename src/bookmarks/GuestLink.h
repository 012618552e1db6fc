#pragma once

#include <QString>
#include <QUrl>

// The public guest link of a shared session: the server's base URL with its own path kept and
// "/client/guest;id=<id>;key=<key>" appended, id and key percent-encoded, query and fragment dropped.
// Empty when the server URL or the key is empty.
QString guestLink(const QString& serverUrl, const QString& sessionId, const QString& key);
