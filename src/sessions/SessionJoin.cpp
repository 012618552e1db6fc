#include "sessions/SessionJoin.h"

#include "bookmarks/PromiseLifetime.h"
#include "connections/HttpsConnection.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/ConnectInfoTitle.h"
#include "sessions/ConnectionContext.h"
#include "sessions/SessionConnectOp.h"
#include "viewer/engine/RdpInstance.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QMessageBox>
#include <QPointer>
#include <QSharedPointer>
#include <QUrl>

namespace {

QUrl serverAddress(const HttpsConnection& connection) {
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(connection.host());
    url.setPort(connection.effectivePort());
    url.setPath(connection.uri());
    return QUrl(url.toString());
}

} // namespace

void joinSharedSession(const HttpsConnection& connection, const QString& sessionId, const QString& sharingKey,
                       const QString& displayName) {
    QSharedPointer<RpcInstance> rpc(new RpcInstanceWeb(serverAddress(connection), connection.ignoreSslErrors(),
                                                       connection.disableDirectMode(), nullptr),
                                    &QObject::deleteLater);
    // The handlers hold the interface weakly: once the op and the promise are gone, so is it.
    QWeakPointer<RpcInstance> weakRpc = rpc;

    auto context = QSharedPointer<ConnectionContext>::create();
    context->hostInfo.insert(QStringLiteral("hostname"), connection.host());
    context->userInfo.insert(QStringLiteral("displayName"), displayName);

    auto* box = new QMessageBox(QMessageBox::Information, sessionId,
                                QCoreApplication::translate("Joining", "Connecting..."), QMessageBox::Abort);
    box->setObjectName(QStringLiteral("JoinProgressBox"));
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::NonModal);
    QObject::connect(box, &QDialog::finished, box, &QObject::deleteLater);

    auto* op = new SessionConnectOp(rpc, context);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, op, &QObject::deleteLater);
    QObject::connect(op, &SessionConnectOp::sessionStarting, op, &QObject::deleteLater);
    QObject::connect(op, &SessionConnectOp::sessionStarting, box, &QObject::deleteLater);
    QObject::connect(box, &QDialog::finished, op, &QObject::deleteLater);

    RpcPromise<ConnectInfo>* promise = rpc->connectShareNoLogin(sessionId, sharingKey);
    // Deleted once settled, or when the application quits; Abort deletes it too, and with it the
    // handlers below, so neither runs after Abort.
    deleteWhenSettled(promise, nullptr);
    QObject::connect(box, &QDialog::finished, promise, &QObject::deleteLater);

    QPointer<SessionConnectOp> guardedOp(op);
    QPointer<QMessageBox> guardedBox(box);
    QObject::connect(promise, &RpcPromiseBase::succeeded, op, [promise, guardedOp, guardedBox] {
        if (!guardedOp)
            return;
        const ConnectInfo info = promise->value;
        guardedOp->begin(info, QString(),
                         QCoreApplication::translate("Joining", "Viewing %1").arg(connectInfoTitle(info)),
                         QJsonArray());
        // A viewer that could not start has said why; the join is over either way.
        if (guardedOp)
            guardedOp->deleteLater();
        if (guardedBox)
            guardedBox->deleteLater();
    });
    QObject::connect(promise, &RpcPromiseBase::failed, box,
                     [weakRpc, guardedBox, guardedOp](const QString&, const QString& message, const QVariantMap&) {
                         if (const QSharedPointer<RpcInstance> instance = weakRpc.toStrongRef())
                             instance->appendLog(
                                 QCoreApplication::translate("Joining", "Failed to join the session: %1")
                                     .arg(message));
                         if (guardedOp)
                             guardedOp->deleteLater();
                         if (guardedBox) {
                             // A failure that only reached a log nobody sees would look like nothing
                             // happened: tell the user, in plain text.
                             auto* failure = new QMessageBox(
                                 QMessageBox::Warning, guardedBox->windowTitle(),
                                 QCoreApplication::translate("Joining", "Failed to join the session: %1")
                                     .arg(message),
                                 QMessageBox::Ok);
                             failure->setObjectName(QStringLiteral("JoinFailureBox"));
                             failure->setTextFormat(Qt::PlainText);
                             failure->setAttribute(Qt::WA_DeleteOnClose);
                             failure->show();
                             guardedBox->hide();
                             guardedBox->deleteLater();
                         }
                     });
    box->show();
}
