#include "app/BookmarkBringUp.h"

#include "app/CloseHelper.h"
#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"
#include "rpc/RpcInstanceSsh.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/ConnectInfoTitle.h"
#include "sessions/ConnectionContext.h"
#include "sessions/SessionConnectOp.h"
#include "signin/SshInitDialog.h"
#include "signin/WebInitDialog.h"
#include "viewer/engine/RdpInstance.h"

#include <QApplication>
#include <QJsonArray>
#include <QMessageBox>
#include <QPointer>

#include <memory>

namespace {

QSharedPointer<ConnectionContext> makeContext(const QString& host, const QString& user) {
    auto context = QSharedPointer<ConnectionContext>::create();
    context->hostInfo.insert(QStringLiteral("hostname"), host);
    context->userInfo.insert(QStringLiteral("displayName"), user);
    context->userInfo.insert(QStringLiteral("login"), user);
    return context;
}

void showSignIn(QDialog* dialog, const QString& host) {
    dialog->setWindowTitle(QCoreApplication::translate("Connecting", "%1").arg(host));
    dialog->show();
}

} // namespace

QUrl webBookmarkBaseUrl(const HttpsConnection& connection) {
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(connection.host(), QUrl::DecodedMode);
    const QString path = connection.uri();
    url.setPath(path.isEmpty() || path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + path,
                QUrl::DecodedMode);
    url.setPort(connection.port() == 0 ? 3300 : connection.port());
    return QUrl(url.toString());
}

void launchWebBookmark(const HttpsConnection& connection, const QString& bookmarkId) {
    // Interfaces go through deleteLater: the last holder may let go inside one of its signals.
    QSharedPointer<RpcInstanceWeb> web(new RpcInstanceWeb(webBookmarkBaseUrl(connection), connection.ignoreSslErrors(),
                                                          connection.disableDirectMode(), nullptr),
                                       &QObject::deleteLater);
    const QSharedPointer<ConnectionContext> context = makeContext(connection.host(), connection.user());
    auto* dialog = new WebInitDialog(web, context->userInfo, connection.authMethod(), nullptr);

    // The staged sign-in ends in succeeded, the server's sign-in page in tokenAdded; whichever
    // comes first asks for the session, once.
    QPointer<WebInitDialog> guarded(dialog);
    auto asked = std::make_shared<bool>(false);
    const auto bringUp = [web, context, bookmarkId, guarded, asked] {
        if (*asked || !guarded)
            return;
        *asked = true;
        bringUpBookmarkSession(web, context, bookmarkId, guarded);
    };
    QObject::connect(dialog, &WebInitDialog::succeeded, dialog, bringUp);
    QObject::connect(dialog, &WebInitDialog::tokenAdded, dialog, [web, bringUp](const QString& token) {
        web->setAuthToken(token);
        bringUp();
    });
    // A failed sign-in is shown in the failure box before the dialog goes; a cancel is not a failure.
    QObject::connect(dialog, &WebInitDialog::failed, dialog,
                     [web, guarded, asked](const QString& name, const QString& message) {
                         if (!guarded || *asked)
                             return;
                         *asked = true;
                         if (name != QLatin1String("cancelled"))
                             showBringUpFailure(web, message.isEmpty() ? name : message);
                         guarded->deleteLater();
                     });
    QObject::connect(dialog, &QDialog::rejected, dialog, &QObject::deleteLater);
    showSignIn(dialog, connection.host());
}

void launchSshBookmark(const SshConnection& connection, const QString& bookmarkId) {
    const SshLaunchSettings& settings = connection.settings();
    // Creating the interface starts the ssh process. The dialog holds the interface until the
    // remote interface is ready; a cancel deletes the dialog, and with it the last hold, so the
    // interface ends (and stops ssh) exactly once, by its shared pointer.
    QSharedPointer<RpcInstanceSsh> ssh(new RpcInstanceSsh(settings), &QObject::deleteLater);
    const QSharedPointer<ConnectionContext> context = makeContext(settings.host, settings.user);
    auto* dialog = new SshInitDialog(ssh);

    QWeakPointer<RpcInstanceSsh> weak = ssh;
    QPointer<SshInitDialog> guarded(dialog);
    // Until the remote interface is ready, or the sign-in is cancelled or fails.
    struct Waiting {
        QMetaObject::Connection ready;
        bool active = true;
        void end() {
            active = false;
            QObject::disconnect(ready);
        }
    };
    auto waiting = std::make_shared<Waiting>();
    waiting->ready = QObject::connect(ssh.data(), &RpcInstance::ready, dialog, [weak, context, bookmarkId, guarded, waiting] {
        if (!waiting->active)
            return;
        waiting->end();
        const QSharedPointer<RpcInstance> rpc = weak.toStrongRef();
        if (rpc && guarded)
            bringUpBookmarkSession(rpc, context, bookmarkId, guarded);
    });
    // A cancel before ready: no request is sent for a dialog that is on its way out.
    QObject::connect(dialog, &QDialog::rejected, dialog, [waiting] { waiting->end(); });
    // ssh that ends before the remote interface is ready would leave the dialog connecting forever:
    // the user is told why, with the log, and the dialog goes.
    QObject::connect(ssh.data(), &RpcInstance::finished, dialog,
                     [weak, guarded, waiting](const QString& reason, const QString& details) {
                         if (!waiting->active)
                             return;
                         waiting->end();
                         showBringUpFailure(weak.toStrongRef(), details.isEmpty() ? reason : details);
                         if (guarded)
                             guarded->deleteLater();
                     });
    QObject::connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    showSignIn(dialog, settings.host);
}

void bringUpBookmarkSession(const QSharedPointer<RpcInstance>& rpc,
                            const QSharedPointer<ConnectionContext>& context, const QString& bookmarkId,
                            QDialog* dialog) {
    if (!rpc)
        return;
    auto* op = new SessionConnectOp(rpc, context, nullptr);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, op, &QObject::deleteLater);
    QObject::connect(op, &SessionConnectOp::sessionStarting, op, &QObject::deleteLater);
    // Over ssh the viewer reaches its session through the interface's ssh process (its tunnel): the
    // interface stays as long as the viewer does.
    if (qobject_cast<RpcInstanceSsh*>(rpc.data())) {
        QObject::connect(op, &SessionConnectOp::sessionStarting, op, [rpc](RdpInstance* viewer) {
            if (viewer)
                QObject::connect(viewer, &QObject::destroyed, [rpc] {});
        });
    }
    if (dialog) {
        QObject::connect(dialog, &QDialog::rejected, op, &QObject::deleteLater);
        QObject::connect(op, &SessionConnectOp::sessionStarting, dialog, &QObject::deleteLater);
    }

    RpcPromise<ConnectInfo>* promise = rpc->connectShortcut(bookmarkId);
    promise->setParent(nullptr);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, promise, &QObject::deleteLater);
    QObject::connect(promise, &RpcPromiseBase::succeeded, promise, &QObject::deleteLater);
    QObject::connect(promise, &RpcPromiseBase::failed, promise, &QObject::deleteLater);
    if (dialog) {
        // A reply that arrives after the cancel runs neither handler.
        QObject::connect(dialog, &QDialog::rejected, promise, [promise] {
            QObject::disconnect(promise, &RpcPromiseBase::succeeded, nullptr, nullptr);
            QObject::disconnect(promise, &RpcPromiseBase::failed, nullptr, nullptr);
            promise->deleteLater();
        });
    }

    QPointer<SessionConnectOp> guardedOp(op);
    QPointer<QDialog> guardedDialog(dialog);
    QObject::connect(promise, &RpcPromiseBase::succeeded, op, [promise, op] { beginBookmarkSession(promise, op); });
    QObject::connect(promise, &RpcPromiseBase::failed, promise,
                     [rpc, guardedOp, guardedDialog](const QString&, const QString& message, const QVariantMap&) {
                         if (guardedOp)
                             guardedOp->deleteLater();
                         showBringUpFailure(rpc, message);
                         if (guardedDialog)
                             guardedDialog->deleteLater();
                     });
}

void beginBookmarkSession(RpcPromise<ConnectInfo>* promise, SessionConnectOp* op) {
    if (!promise || !op)
        return;
    const ConnectInfo info = promise->value;
    op->begin(info, QString(), connectInfoTitle(info), QJsonArray());
}

namespace {
int failureBoxes = 0;
}

int bringUpFailures() {
    return failureBoxes;
}

void showBringUpFailure(const QSharedPointer<RpcInstance>& rpc, const QString& message) {
    ++failureBoxes;
    auto* box = new QMessageBox(
        QMessageBox::Warning,
        QCoreApplication::translate("Connecting", "%1 Error").arg(QCoreApplication::applicationName()),
        QStringLiteral("%1<br><br>%2")
            .arg(QCoreApplication::translate("Connecting", "Failed to bring up the session."),
                 message.toHtmlEscaped()),
        QMessageBox::Close);
    box->setObjectName(QStringLiteral("BringUpFailureBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The layout is markup; the server's message was escaped above and shows as plain text.
    box->setTextFormat(Qt::RichText);
    box->setDetailedText(rpc ? rpc->log().join(QLatin1Char('\n')) : QString());
    box->setStyleSheet(QStringLiteral("QTextEdit { font: 10px \"Courier\" }"));
    box->setModal(false);
    box->show();
}
