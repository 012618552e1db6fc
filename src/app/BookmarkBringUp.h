#pragma once

#include <QSharedPointer>
#include <QString>
#include <QUrl>

class ConnectInfo;
class ConnectionContext;
class HttpsConnection;
class QDialog;
class RpcInstance;
class SessionConnectOp;
class SshConnection;
template <typename T>
class RpcPromise;

// One bookmark's session brought up from a connection given on the command line: sign in, ask the
// server to connect the bookmark's session and show it in the built-in viewer. Only the sign-in
// dialog, the viewer's windows and, on failure, one message box appear; the quit policy ends the
// program once they are all gone.

// Starts the ssh process and shows the ssh sign-in dialog; the request goes out once the remote
// interface is ready.
void launchSshBookmark(const SshConnection& connection, const QString& bookmarkId);
// Shows the web sign-in dialog; the request goes out once the user is signed in.
void launchWebBookmark(const HttpsConnection& connection, const QString& bookmarkId);

// The server address of a web launch: https, the connection's host and path, its port or 3300.
QUrl webBookmarkBaseUrl(const HttpsConnection& connection);

// Asks for the bookmark's session. Rejecting the dialog drops the pending request and operation;
// the server interface lives on while someone holds it (at most as long as the viewer).
void bringUpBookmarkSession(const QSharedPointer<RpcInstance>& rpc,
                            const QSharedPointer<ConnectionContext>& context, const QString& bookmarkId,
                            QDialog* dialog);
// Starts the viewer for the reply of a settled request.
void beginBookmarkSession(RpcPromise<ConnectInfo>* promise, SessionConnectOp* op);
// The warning box of a failed sign-in or request, with the interface's log as its details.
void showBringUpFailure(const QSharedPointer<RpcInstance>& rpc, const QString& message);
// How many failure boxes this process has shown; a launch that showed one exits with 1.
int bringUpFailures();
