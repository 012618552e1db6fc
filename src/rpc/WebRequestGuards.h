#pragma once

#include <QString>
#include <QUrl>

class QNetworkReply;
class QNetworkRequest;

// Redirects are followed only where they are safe: never from https to http, and a request that
// carries a secret (the token header, or a body such as a sign-in's password) only within its own
// origin (scheme, host and port), so that nothing is sent on to another server. A refused redirect
// aborts the reply; refusedRedirect then names where it pointed.
void followSafeRedirects(QNetworkRequest& request);
void watchRedirects(QNetworkReply* reply, bool carriesSecrets);
QUrl refusedRedirect(const QNetworkReply* reply);
bool sameOrigin(const QUrl& a, const QUrl& b);

// A URL for debug output: without user information.
QString redactedUrl(const QUrl& url);
