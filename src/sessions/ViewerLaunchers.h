#pragma once

#include "rpc/ConnectInfo.h"

#include <QJsonArray>
#include <QString>
#include <QUrl>

class CertificateTrust;
class ConnectionContext;
class RdpInstance;

// Start the built-in viewer for a connect reply. The viewer has no parent, keeps the application
// alive and is registered under the reply's id until it finishes; then it reports and deletes itself.
RdpInstance* launchViewerSsh(const ConnectionContext* context, const ConnectInfo& info, const QString& name,
                             const QJsonArray& networkTypes, quint16 tunnelPort);
RdpInstance* launchViewerWeb(const ConnectionContext* context, const ConnectInfo& info, const QString& name,
                             const QJsonArray& networkTypes, const QUrl& baseUrl, bool disableDirectMode,
                             const CertificateTrust* trust);
