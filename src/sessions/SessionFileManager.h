#pragma once

#include <QSharedPointer>

class QDialog;
class QWidget;
class RpcInstance;
struct ServiceInfo;

// The server's web file manager in a window of the page: back and forward through its history, and
// downloads saved where the user chooses, with their progress in a status line. Null when this
// program has no web views.
QDialog* openFileManager(const QSharedPointer<RpcInstance>& rpc, const ServiceInfo& service, QWidget* page);
