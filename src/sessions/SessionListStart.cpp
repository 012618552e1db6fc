// The session page's connect and start: the user profile that feeds its permission checks, the
// connect and start requests, and the start reply's stages (schedule, form, sign-in).

#include "sessions/SessionListWidget.h"

#include "bookmarks/PromiseLifetime.h"
#include "bookmarks/StartParamsForm.h"
#include "bookmarks/StartSessionDialog.h"
#include "rpc/RpcInstance.h"
#include "sessions/ConnectionContext.h"
#include "sessions/SessionConnectOp.h"
#include "sessions/SessionModel.h"
#include "sessions/SessionPageBoxes.h"
#include "sessions/SessionTexts.h"
#include "signin/AuthDialog.h"
#include "viewer/engine/RdpInstance.h"

#include <QAbstractProxyModel>
#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTreeView>

#include <functional>

using namespace SessionPageBoxes;

namespace {

// The reply to a connect or start, handed on while the page is open. The op outlives the page; a
// reply that comes after the page closed only ends the op.
void awaitConnectInfo(QObject* page, RpcPromise<ConnectInfo>* promise, SessionConnectOp* op,
                      std::function<void(const ConnectInfo&)> onReply,
                      std::function<void(const QString&, const QString&, const QVariantMap&)> onFailure) {
    deleteWhenSettled(promise, nullptr);
    const QPointer<QObject> open(page);
    QObject::connect(promise, &RpcPromiseBase::succeeded, op, [open, op, promise, onReply] {
        if (open)
            onReply(promise->value);
        else
            op->deleteLater();
    });
    QObject::connect(
        promise, &RpcPromiseBase::failed, op,
        [open, op, onFailure](const QString& error, const QString& message, const QVariantMap& extras) {
            op->deleteLater();
            if (open)
                onFailure(error, message, extras);
        });
}

} // namespace

void SessionListWidget::setUpConnectAndStart() {
    connect(m_model, &SessionModel::sessionAdded, this, [this](const QModelIndex& index) {
        const Session session = index.data(SessionModel::SessionRole).value<Session>();
        if (!session.id().isEmpty() &&
            (!m_list->currentIndex().isValid() || session.id() == m_lastStartedSessionId)) {
            m_list->setCurrentIndex(static_cast<QAbstractProxyModel*>(m_list->model())->mapFromSource(index));
            m_grid->setCurrentIndex(static_cast<QAbstractProxyModel*>(m_grid->model())->mapFromSource(index));
        }
    });
    // A change of the current row forgets the session last started here.
    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(m_list), static_cast<QAbstractItemView*>(m_grid)})
        connect(view->selectionModel(), &QItemSelectionModel::currentChanged, this,
                [this] { m_lastStartedSessionId.clear(); });
    connect(m_model, &SessionModel::sessionsUpdated, this, [this] { m_lastStartedSessionId.clear(); });
}

void SessionListWidget::beginInteraction() {
    if (m_begun)
        return;
    m_begun = true;
    const QVariantMap hostInfo = m_context ? m_context->hostInfo : QVariantMap();
    // A host without screenshots has no grid; the user's own choice of page stays as it was.
    if (!hostInfo.value(QStringLiteral("screenShot"), true).toBool()) {
        m_showGridAction->setChecked(false);
        m_showGridAction->setEnabled(false);
        m_showListAction->setChecked(true);
        switchToList(false);
    }
    m_newSession->setVisible(!hostInfo.value(QStringLiteral("disableStart"), false).toBool());
    m_model->startUpdating();
    updateActions();
    if (m_rpc) {
        RpcPromise<QVariantMap>* me = m_rpc->userMe();
        deleteWhenSettled(me, this);
        connect(me, &RpcPromiseBase::succeeded, this, [this, me] { applyProfile(me->value); });
        connect(me, &RpcPromiseBase::failed, this, [this](const QString& name, const QString& message) {
            showConnectFailure(tr("Failed to get user profile."), name, message);
        });
    }
    emit begin();
}

void SessionListWidget::tokenInteraction(const QString&) {
    if (m_rpc)
        m_rpc->reservedOperation();
    beginInteraction();
}

void SessionListWidget::applyProfile(const QVariantMap& profile) {
    m_profile = profile;
    const QVariantMap config = profile.value(QStringLiteral("config")).toMap();
    // The message of the day is the server's own HTML, shown as such.
    const QString motd = config.value(QStringLiteral("messageOfTheDay")).toString();
    if (!motd.isEmpty()) {
        QMessageBox* box = serverHtmlBox(QMessageBox::Information, QStringLiteral("Message of the day"), motd);
        box->setObjectName(QStringLiteral("MessageOfTheDayBox"));
        box->show();
    }
    m_bookmarkConfig = config.value(QStringLiteral("bookmark")).toMap();
    const QVariantMap user =
        profile.value(QStringLiteral("permissions")).toMap().value(QStringLiteral("user")).toMap();
    const QVariantMap utils = user.value(QStringLiteral("utils")).toMap();
    m_networkTypes = QJsonArray::fromVariantList(profile.value(QStringLiteral("clientSettings")).toList());
    if (utils.value(QStringLiteral("file-download")).toBool())
        m_fileBrowser->setEnabled(true);
    m_sessionPermissions = user.value(QStringLiteral("session")).toMap();
    m_startPermissions = user.value(QStringLiteral("start")).toMap();
    updateActions();
    m_bookmarkPermissions = user.value(QStringLiteral("bookmark")).toMap();
    if (m_bookmarksAction)
        m_bookmarksAction->setEnabled(m_bookmarkPermissions.value(QStringLiteral("user"), false).toBool());
}

void SessionListWidget::connectCurrentSession(const QModelIndex& index) {
    const QModelIndex row = index.isValid() ? index : currentView()->currentIndex();
    const Session session = row.sibling(row.row(), 0).data(SessionModel::SessionRole).value<Session>();
    if (!session.id().isEmpty())
        connectSession(session.id(), sessionDisplayName(session));
}

SessionConnectOp* SessionListWidget::newConnectOp(const QString& name) {
    auto* op = new SessionConnectOp(m_rpc, m_context);
    connect(qApp, &QCoreApplication::aboutToQuit, op, &QObject::deleteLater);
    connect(op, &SessionConnectOp::sessionStarting, op, &QObject::deleteLater);
    connect(op, &SessionConnectOp::sessionStarting, this, [this, name](RdpInstance* viewer) {
        const QWeakPointer<RpcInstance> rpc = m_rpc;
        connect(viewer, &RdpInstance::logInfo, this, [rpc, name](const QString& text) {
            if (const QSharedPointer<RpcInstance> instance = rpc.toStrongRef())
                instance->appendLog(QStringLiteral("%1: %2").arg(name, text));
        });
        m_lastStartedSessionId = viewer->sessionId();
    });
    return op;
}

void SessionListWidget::connectSession(const QString& id, const QString& name) {
    if (!m_rpc)
        return;
    // With session permissions, connecting needs their "connect" entry.
    if (!m_sessionPermissions.isEmpty() && !m_sessionPermissions.value(QStringLiteral("connect")).toBool())
        return;
    SessionConnectOp* op = newConnectOp(name);
    RpcPromise<ConnectInfo>* promise =
        m_shared->currentIndex() < 1 ? m_rpc->connectSession(id) : m_rpc->connectShare(id);
    awaitConnectInfo(
        this, promise, op, [this, op, name](const ConnectInfo& info) { beginViewer(op, info, name); },
        [this](const QString& error, const QString& message, const QVariantMap&) {
            showConnectFailure(
                QCoreApplication::translate("SessionConnectOp", "Failed to connect to the session."), error,
                message);
        });
}

void SessionListWidget::beginViewer(SessionConnectOp* op, const ConnectInfo& info, const QString& name) {
    const QString sub = m_profile.value(QStringLiteral("login")).toMap().value(QStringLiteral("sub")).toString();
    op->begin(info, sub, name, m_networkTypes);
}

void SessionListWidget::on_NewSessionButton_clicked() {
    if (m_startDialog) {
        m_startDialog->raise();
        m_startDialog->activateWindow();
        return;
    }
    if (m_shared->currentIndex() != 0 || !m_rpc)
        return;
    const bool lockCommand =
        m_context ? m_context->hostInfo.value(QStringLiteral("hideCommandField"), false).toBool() : false;
    m_startDialog = new StartSessionDialog(m_rpc, lockCommand, m_bookmarkConfig, this);
    if (!m_startPermissions.isEmpty()) {
        m_startDialog->setBookmarksEnabled(m_startPermissions.value(QStringLiteral("bookmark"), false).toBool());
        m_startDialog->setCustomEnabled(m_startPermissions.value(QStringLiteral("custom"), false).toBool());
    }
    m_startDialog->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<StartSessionDialog> dialog = m_startDialog;
    connect(m_startDialog, &QDialog::accepted, this, [this, dialog] {
        if (dialog)
            startSession(dialog->sessionParams());
    });
    m_startDialog->show();
}

void SessionListWidget::startSession(QJsonObject request) {
    if (!m_rpc)
        return;
    QString name = request.value(QStringLiteral("name")).toString();
    if (name.isEmpty())
        name = request.value(QStringLiteral("command")).toString();
    const QJsonObject params = request.value(QStringLiteral("params")).toObject();
    if (params.value(QStringLiteral("windowMode")).toString() == QLatin1String("fullscreen")) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QSize size = screen->size();
            request.insert(QStringLiteral("geometry"), QStringLiteral("%1x%2").arg(size.width()).arg(size.height()));
        }
    }
    SessionConnectOp* op = newConnectOp(name);
    RpcPromise<ConnectInfo>* promise = m_rpc->startSession(request);
    awaitConnectInfo(
        this, promise, op,
        [this, op, name, request](const ConnectInfo& info) { handleStartReply(op, info, name, request); },
        [](const QString&, const QString& message, const QVariantMap& extras) {
            showStartError(QCoreApplication::translate("SessionConnectOp", "Failed to start the session."),
                           message, extras);
        });
}

void SessionListWidget::handleStartReply(SessionConnectOp* op, const ConnectInfo& info, const QString& name,
                                         const QJsonObject& request) {
    const QString stage = info.stage();
    if (stage.isEmpty() || stage == QLatin1String("success")) {
        beginViewer(op, info, name);
    } else if (stage == QLatin1String("schedule")) {
        showScheduleResult(info.scheduleResultHtml());
        op->deleteLater();
    } else if (stage == QLatin1String("form")) {
        showStartForm(info, request);
    } else {
        startSignIn(op, info, name);
    }
}

void SessionListWidget::showStartForm(const ConnectInfo& info, const QJsonObject& request) {
    const ConnectForm form = info.form();
    auto* dialog = new StartParamsForm(this);
    dialog->setWindowTitle(form.name);
    dialog->setFormHtml(form.html, form.allowUnsafeHtml);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    const QString formId = form.id;
    connect(dialog, &QDialog::accepted, this, [this, dialog, formId, sent = request] {
        QJsonObject request = sent;
        QJsonObject params = request.value(QStringLiteral("params")).toObject();
        const QJsonObject data = dialog->formData();
        for (auto it = data.begin(); it != data.end(); ++it)
            params.insert(it.key(), it.value());
        QJsonArray forms = request.value(QStringLiteral("forms")).toArray();
        if (forms.isEmpty()) {
            request.insert(QStringLiteral("forms"), QJsonValue::Null);
        } else {
            for (int i = 0; i < forms.size(); ++i) {
                if (forms.at(i) == QJsonValue(formId)) {
                    forms.removeAt(i);
                    break;
                }
            }
            request.insert(QStringLiteral("forms"), forms);
        }
        request.insert(QStringLiteral("params"), params);
        startSession(request);
    });
    dialog->show();
}

void SessionListWidget::startSignIn(SessionConnectOp* op, const ConnectInfo& info, const QString& name) {
    auto* dialog = new AuthDialog(m_rpc, this);
    QPointer<SessionConnectOp> guarded(op);
    connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    connect(dialog, &AuthDialog::failed, dialog, &QObject::deleteLater);
    connect(dialog, &AuthDialog::succeeded, dialog, &QObject::deleteLater);
    connect(dialog, &QDialog::rejected, op, &QObject::deleteLater);
    connect(dialog, &AuthDialog::failed, this, [](const QString&, const QString& message) {
        if (!message.isEmpty())
            showStartError(QCoreApplication::translate("SessionConnectOp", "Failed to authenticate."), message,
                           QVariantMap());
    });
    const QWeakPointer<RpcInstance> weakRpc = m_rpc;
    connect(dialog, &AuthDialog::succeeded, this, [this, guarded, weakRpc, name](const QJsonObject& map) {
        ConnectInfo reply = ConnectInfo::fromJson(map);
        const QString stage = reply.stage();
        if (stage.isEmpty() || stage == QLatin1String("success")) {
            if (const QSharedPointer<RpcInstance> rpc = weakRpc.toStrongRef())
                rpc->addViewerParameters(reply);
            if (guarded)
                beginViewer(guarded, reply, name);
        } else if (stage == QLatin1String("schedule")) {
            showScheduleResult(reply.scheduleResultHtml());
            if (guarded)
                guarded->deleteLater();
        }
    });
    dialog->startAuth(QJsonObject::fromVariantMap(info.auth()));
}

void SessionListWidget::showConnectFailure(const QString& sentence, const QString& name, const QString& message) {
    // The server's words are shown as typed, never read as markup.
    QMessageBox* box = looseBox(QMessageBox::Warning, errorTitle("SessionConnectOp"),
                                longForm(sentence, message, name));
    box->setObjectName(QStringLiteral("SessionFailureBox"));
    box->show();
}

void SessionListWidget::showStartError(const QString& title, const QString& message, const QVariantMap&) {
    QMessageBox* box = looseBox(QMessageBox::Warning, errorTitle("SessionConnectOp"),
                                QStringLiteral("%1<br><br>%2").arg(title.toHtmlEscaped(), message.toHtmlEscaped()));
    box->setObjectName(QStringLiteral("SessionFailureBox"));
    box->show();
}

void SessionListWidget::showScheduleResult(const QString& html) {
    // The schedule result is the server's own HTML report.
    QMessageBox* box = serverHtmlBox(QMessageBox::Information, QCoreApplication::applicationName(), html);
    box->setObjectName(QStringLiteral("ScheduleResultBox"));
    box->setStyleSheet(QStringLiteral("QTextEdit { font: 10px \"Courier\" } .text-danger { color: #900 }"));
    box->show();
}
