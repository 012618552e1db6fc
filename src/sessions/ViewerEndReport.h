#pragma once

#include <QString>

class RdpInstance;

enum class ViewerTransport { Ssh, Web };

// What the user is told when a viewer ends. Empty texts mean no box.
struct ViewerEndReport {
    QString errorTitle;
    QString errorText;
    QString disconnectTitle;
    QString disconnectText;
    bool logMessage = false;
};

// The server's message and the window title are shown as text, never read as markup.
ViewerEndReport viewerEndReport(ViewerTransport transport, bool wasConnected, int finishLevel,
                                const QString& finishMessage, const QString& lastWindowTitle);

// Shows the boxes without blocking and puts the finish message on the instance's log.
void reportViewerFinished(ViewerTransport transport, RdpInstance* instance);
void reportViewerFinishedSsh(RdpInstance* instance);
void reportViewerFinishedWeb(RdpInstance* instance);
