#include "sessions/ViewerEndReport.h"

#include "sessions/SessionPageBoxes.h"
#include "viewer/engine/RdpInstance.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("Running", text);
}

QString shownAsText(const QString& text) {
    return text.toHtmlEscaped()
        .replace(QLatin1String("\r\n"), QLatin1String("<br />"))
        .replace(QLatin1Char('\n'), QLatin1String("<br />"));
}

void showBox(const QString& title, const QString& text) {
    // Not modal: one viewer's end must not block the others.
    SessionPageBoxes::looseBox(QMessageBox::Warning, title, text)->show();
}

} // namespace

ViewerEndReport viewerEndReport(ViewerTransport transport, bool wasConnected, int finishLevel,
                                const QString& finishMessage, const QString& lastWindowTitle) {
    ViewerEndReport report;
    const QString appName = QCoreApplication::applicationName();
    if (!wasConnected) {
        const QString hint =
            transport == ViewerTransport::Ssh
                ? tr("Make sure it is still running and that SSH tunneling is enabled.")
                : tr("Make sure it is still running and that you have access to the server.");
        report.errorTitle = tr("%1 Error").arg(appName);
        report.errorText =
            QStringLiteral("%1<br><br>%2<br>%3")
                .arg(tr("There was a problem connecting to the session."), shownAsText(finishMessage), hint);
    }
    if (!finishMessage.isEmpty()) {
        if (finishLevel < 5) {
            report.disconnectTitle = tr("%1 Disconnected").arg(appName);
            report.disconnectText = QStringLiteral("%1<br><br>%2")
                                        .arg(tr("%1 has disconnected.").arg(lastWindowTitle.toHtmlEscaped()),
                                             shownAsText(finishMessage));
        }
        report.logMessage = true;
    }
    return report;
}

void reportViewerFinished(ViewerTransport transport, RdpInstance* instance) {
    if (!instance)
        return;
    const ViewerEndReport report =
        viewerEndReport(transport, instance->wasConnected(), instance->finishLevel(),
                        instance->finishMessage(), instance->lastWindowTitle());
    if (!report.errorText.isEmpty())
        showBox(report.errorTitle, report.errorText);
    if (!report.disconnectText.isEmpty())
        showBox(report.disconnectTitle, report.disconnectText);
    if (report.logMessage)
        emit instance->logInfo(instance->finishMessage(), 0);
}

void reportViewerFinishedSsh(RdpInstance* instance) {
    reportViewerFinished(ViewerTransport::Ssh, instance);
}

void reportViewerFinishedWeb(RdpInstance* instance) {
    reportViewerFinished(ViewerTransport::Web, instance);
}
