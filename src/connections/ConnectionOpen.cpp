// Opening a connection: its server interface, the session list page and the sign-in dialog, wired so
// that a sign-in starts the page and a failure ends up on the page.

#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"
#include "rpc/RpcInstanceSsh.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/ConnectionContext.h"
#include "sessions/SessionListWidget.h"
#include "signin/SshInitDialog.h"
#include "signin/WebInitDialog.h"

#include <QPointer>
#include <QUrl>

namespace {

QString logOf(const RpcInstance& instance) {
    return instance.log().join(QLatin1Char('\n'));
}

// The interface's end, once: closes the sign-in dialog and reports on the page with the log.
void reportEndOnPage(const QSharedPointer<RpcInstance>& rpc, SessionListWidget* page, QDialog* dialog) {
    const QWeakPointer<RpcInstance> weak = rpc;
    const QPointer<SessionListWidget> guardedPage(page);
    const QPointer<QDialog> guardedDialog(dialog);
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = QObject::connect(rpc.data(), &RpcInstance::finished, rpc.data(),
                             [weak, guardedPage, guardedDialog, once](const QString& reason, const QString& details) {
                                 if (guardedDialog)
                                     guardedDialog->close();
                                 QObject::disconnect(*once);
                                 const auto instance = weak.toStrongRef();
                                 if (guardedPage && instance)
                                     emit guardedPage->failed(reason, details, logOf(*instance));
                             });
}

} // namespace

QWidget* HttpsConnection::open(QWidget* parent) {
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(host());
    url.setUserName(user());
    url.setPort(port() == 0 ? 3300 : port());
    url.setPath(uri().isEmpty() || uri().startsWith(QLatin1Char('/')) ? uri() : QLatin1Char('/') + uri());
    QSharedPointer<RpcInstanceWeb> rpc(
        new RpcInstanceWeb(QUrl(url.toString()), ignoreSslErrors(), disableDirectMode(), nullptr));
    auto context = QSharedPointer<ConnectionContext>::create();
    context->hostInfo.insert(QStringLiteral("hostname"), url.host(QUrl::FullyDecoded));
    context->userInfo.insert(QStringLiteral("displayName"), user());
    context->userInfo.insert(QStringLiteral("login"), user());

    auto* page = new SessionListWidget(rpc, context, toJson(), nullptr);
    page->setAttribute(Qt::WA_DeleteOnClose);
    // Titled by the connection's own name (the host when it has none), as its list row is.
    page->setWindowTitle(QCoreApplication::translate("HttpsConnection", "%1 (%2)")
                             .arg(m_connectionName.isEmpty() ? host() : m_connectionName, url.toString()));

    QPointer<WebInitDialog> dialog = new WebInitDialog(rpc, context->userInfo, authMethod(), parent);
    dialog->setModal(true);
    QPointer<SessionListWidget> guardedPage(page);
    QObject::connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    QObject::connect(dialog, &QDialog::rejected, page, &QWidget::close);
    QWeakPointer<RpcInstanceWeb> weak = rpc;
    auto tokenOnce = std::make_shared<QMetaObject::Connection>();
    *tokenOnce = QObject::connect(dialog, &WebInitDialog::tokenAdded, page, [weak, page, dialog, tokenOnce](const QString& token) {
        if (const auto instance = weak.toStrongRef())
            instance->setAuthToken(token);
        QObject::disconnect(*tokenOnce);
        page->beginInteraction();
        // A signed-in dialog has done its work: deleting it releases its web view and the interface.
        if (dialog)
            dialog->deleteLater();
    });
    QObject::connect(dialog, &WebInitDialog::succeeded, page, [page, dialog] {
        page->beginInteraction();
        if (dialog)
            dialog->deleteLater();
    });
    reportEndOnPage(rpc, page, dialog);
    auto failedOnce = std::make_shared<QMetaObject::Connection>();
    *failedOnce = QObject::connect(dialog, &WebInitDialog::failed, page,
                                   [weak, guardedPage, dialog, failedOnce](const QString& name, const QString& message) {
        if (dialog)
            dialog->close();
        QObject::disconnect(*failedOnce);
        const auto instance = weak.toStrongRef();
        if (guardedPage)
            emit guardedPage->failed(name, message, instance ? logOf(*instance) : QString());
    });
    dialog->show();
    return page;
}

QWidget* SshConnection::open(QWidget*) {
    const SshLaunchSettings& launch = settings();
    QSharedPointer<RpcInstanceSsh> rpc(new RpcInstanceSsh(launch));
    auto context = QSharedPointer<ConnectionContext>::create();
    context->hostInfo.insert(QStringLiteral("hostname"), launch.host);
    context->userInfo.insert(QStringLiteral("displayName"), launch.user);
    context->userInfo.insert(QStringLiteral("login"), launch.user);

    auto* page = new SessionListWidget(rpc, context, toJson(), nullptr);
    page->setAttribute(Qt::WA_DeleteOnClose);
    const QString port = launch.port == 0 || launch.port == 22 ? QString() : QStringLiteral(":%1").arg(launch.port);
    page->setWindowTitle(QStringLiteral("%1 (ssh://%2@%3%4)")
                             .arg(m_connectionName.isEmpty() ? launch.host : m_connectionName, launch.user,
                                  launch.host, port));

    QPointer<SshInitDialog> dialog = new SshInitDialog(rpc, page);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(true);
    QObject::connect(dialog, &QDialog::rejected, page, &QWidget::close);
    QObject::connect(rpc.data(), &RpcInstance::ready, page, [page, dialog] {
        page->beginInteraction();
        if (dialog)
            dialog->hide();
    });
    reportEndOnPage(rpc, page, dialog);
    if (dialog)
        dialog->show();
    return page;
}
