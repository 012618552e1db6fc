#include "signin/WebInitDialog.h"

#include "bookmarks/PromiseLifetime.h"
#include "platform/system/UserInfo.h"
#include "rpc/RpcInstanceWeb.h"
#include "rpc/ServerWebView.h"
#include "signin/AuthInstance.h"
#include "ui_WebInitDialog.h"

#include <QInputDialog>
#include <QJsonArray>
#include <QNetworkCookie>
#include <QPushButton>
#include <QUrlQuery>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineView>

const QString WebInitDialog::tokenCookieName = QStringLiteral("__session-vn3-token");

namespace {

const QString samlMethod = QStringLiteral("SAML");
const QString oidcMethod = QStringLiteral("OpenID Connect");
const QString autodetectMethod = QStringLiteral("Autodetect");

} // namespace

WebInitDialog::WebInitDialog(QSharedPointer<RpcInstanceWeb> instance, const QVariantMap& userInfo,
                             const QString& method, QWidget* parent)
    : QDialog(parent)
    , m_instance(std::move(instance))
    , m_userInfo(userInfo)
    , m_method(method)
    , m_auth(new AuthInstance(this))
    , m_ui(new Ui::WebInitDialog) {
    m_ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    connect(m_ui->ButtonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    addAbortButton();
    m_auth->setDialogParent(this);
    m_auth->setAgentAllowed(AuthInstance::agentAllowedFor(m_instance.data()));
    connect(m_auth, &AuthInstance::agentStatus, this, [this](const QString& text) {
        m_agentText = text;
        m_ui->StatusLabel->setText(text);
    });

    if (isWebMethod(m_method))
        startWebSignIn();
    else
        startStagedSignIn(m_userInfo.value(QStringLiteral("login")).toString());
}

WebInitDialog::~WebInitDialog() {
    // The page must go before its profile.
    delete m_view;
    delete m_profile;
    delete m_ui;
}

bool WebInitDialog::isWebMethod(const QString& method) {
    return method == samlMethod || method == oidcMethod || method == autodetectMethod;
}

QUrl WebInitDialog::signInUrl(const QUrl& baseUrl, const QString& method) {
    QUrl url = baseUrl;
    if (method == samlMethod || method == oidcMethod) {
        url.setPath(method == samlMethod ? QStringLiteral("/auth/saml") : QStringLiteral("/auth/oidc"));
        url.setQuery(QStringLiteral("no-redirect=1"));
        if (method == oidcMethod)
            url.setUserName(QString());
    } else {
        // The server's own page, which leads to the sign-in it is set up for.
        url.setPath(QStringLiteral("/auth"));
        url.setQuery(QString());
    }
    url.setFragment(QString());
    return url;
}

void WebInitDialog::startWebSignIn() {
    const QUrl url = signInUrl(m_instance->baseUrl(), m_method);
    // A profile of its own, off the record: no cookie from an earlier sign-in is seen and no token
    // is written to disk.
    m_profile = new QWebEngineProfile(this);
    m_profile->setHttpCacheType(QWebEngineProfile::NoCache);
    m_view = new QWebEngineView;
    m_view->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_view->setPage(new ServerWebPage(url, m_instance->certificateTrust(), m_profile, m_view));
    m_ui->StackedWidget->addWidget(m_view);
    m_ui->StackedWidget->setCurrentIndex(WebPage);
    connect(m_ui->ButtonBox, &QDialogButtonBox::accepted, this, &QWidget::hide);

    QWebEngineCookieStore* store = m_profile->cookieStore();
    const QString host = url.host();
    if (!host.isEmpty()) {
        connect(store, &QWebEngineCookieStore::cookieAdded, this, [this, host](const QNetworkCookie& cookie) {
            if (cookie.name() != tokenCookieName.toUtf8() || cookie.domain() != host ||
                cookie.value().isEmpty())
                return;
            m_token = QString::fromUtf8(cookie.value());
            clearButtons();
            addButton(tr("Close"), QDialogButtonBox::AcceptRole);
            emit tokenAdded(m_token);
        });
    }
    store->loadAllCookies();
    m_view->load(url);
}

void WebInitDialog::startStagedSignIn(const QString& login) {
    connect(m_auth, &AuthInstance::sendAuth, this, &WebInitDialog::handleAuth);
    connect(m_auth, &AuthInstance::userInput, this, &WebInitDialog::userInput);
    connect(m_auth, &AuthInstance::failed, this, &WebInitDialog::failed);
    connect(m_auth, &AuthInstance::succeeded, this, [this] { emit succeeded(); });
    if (!login.isEmpty()) {
        begin(login);
        return;
    }
    m_ui->StackedWidget->setCurrentIndex(UsernamePage);
    clearButtons();
    m_continue = addContinueButton();
    addAbortButton();
    connect(m_continue, &QPushButton::clicked, this, [this] {
        const QString name = m_ui->UsernameLineEdit->text();
        if (name.isEmpty() || m_ui->StackedWidget->currentIndex() != UsernamePage)
            return;
        begin(name);
    });
    m_ui->UsernameLineEdit->setText(platform::loginName());
    m_ui->UsernameLineEdit->selectAll();
    m_ui->UsernameLineEdit->setFocus();
    on_UsernameLineEdit_textChanged(m_ui->UsernameLineEdit->text());
}

void WebInitDialog::begin(const QString& username) {
    m_query = QJsonObject{{QStringLiteral("username"), username},
                          {QStringLiteral("usePK"), true},
                          {QStringLiteral("banner"), true},
                          {QStringLiteral("selectServer"), true}};
    showStatus();
    RpcPromise<QVariantMap>* config = m_instance->sshAuthConfig();
    deleteWhenSettled(config, this);
    QPointer<RpcPromise<QVariantMap>> guard(config);
    connect(config, &RpcPromiseBase::succeeded, this, [this, guard] {
        if (!guard)
            return;
        const QVariant disable = guard->value.value(QStringLiteral("disable"));
        if (disable.type() == QVariant::Bool && disable.toBool()) {
            emit failed(QStringLiteral("ssh_disabled"), tr("SSH is disabled."), QVariantMap());
            return;
        }
        sendQuery();
    });
    connect(config, &RpcPromiseBase::failed, this,
            [this](const QString& name, const QString& message, const QVariantMap& extras) {
                if (name == QLatin1String("http"))
                    emit failed(name, message, extras);
                else
                    sendQuery();
            });
}

void WebInitDialog::sendQuery() {
    RpcPromise<QJsonObject>* promise = m_instance->sshAuth(m_query);
    deleteWhenSettled(promise, this);
    showStatus();
    QPointer<RpcPromise<QJsonObject>> guard(promise);
    connect(promise, &RpcPromiseBase::succeeded, this, [this, guard] {
        if (!guard)
            return;
        const QJsonObject value = guard->value;
        if (value.value(QLatin1String("stage")).toString() == QLatin1String("server"))
            selectServer(value);
        else
            m_auth->handleAuth(value);
    });
    connect(promise, &RpcPromiseBase::failed, this, &WebInitDialog::failed);
}

void WebInitDialog::selectServer(const QJsonObject& reply) {
    const QJsonArray servers = reply.value(QLatin1String("servers")).toArray();
    QStringList choices{tr("Automatic")};
    for (const QJsonValue& server : servers)
        choices.append(server.toObject().value(QLatin1String("hostname")).toString());
    auto* ask = new QInputDialog(this);
    ask->setObjectName(QStringLiteral("SelectServerDialog"));
    ask->setAttribute(Qt::WA_DeleteOnClose);
    ask->setWindowTitle(tr("Select Server"));
    ask->setLabelText(tr("Requested Server:"));
    ask->setComboBoxItems(choices);
    ask->setComboBoxEditable(false);
    ask->setTextValue(choices.first());
    connect(ask, &QInputDialog::finished, this, [this, ask, servers](int result) {
        if (result != QDialog::Accepted) {
            emit failed(QStringLiteral("cancelled"), QString(), QVariantMap());
            return;
        }
        const QString chosen = ask->textValue();
        QJsonValue id = QString();
        for (const QJsonValue& server : servers) {
            const QJsonObject entry = server.toObject();
            if (entry.value(QLatin1String("hostname")).toString() == chosen) {
                id = entry.value(QLatin1String("id"));
                break;
            }
        }
        m_query.insert(QStringLiteral("selectServer"), false);
        m_query.insert(QStringLiteral("serverId"), id);
        sendQuery();
    });
    ask->open();
}

void WebInitDialog::handleAuth(const QJsonObject& reply) {
    RpcPromise<QJsonObject>* promise = m_instance->postJson(reply, QStringLiteral("/v3/api/auth/ssh"));
    deleteWhenSettled(promise, this);
    showStatus();
    QPointer<RpcPromise<QJsonObject>> guard(promise);
    connect(promise, &RpcPromiseBase::succeeded, this, [this, guard] {
        if (guard)
            m_auth->handleAuth(guard->value);
    });
    connect(promise, &RpcPromiseBase::failed, this, &WebInitDialog::showFailure);
}

void WebInitDialog::userInput(const QString& prompt) {
    m_ui->StackedWidget->setCurrentIndex(AnswerPage);
    m_ui->InstructionsLabel->setText(prompt);
    m_ui->AnswerLineEdit->setEnabled(true);
    m_ui->AnswerLineEdit->clear();
    m_ui->AnswerLineEdit->setFocus();
    clearButtons();
    m_continue = addContinueButton();
    addAbortButton();
    connect(m_continue, &QPushButton::clicked, this, &WebInitDialog::answerPressed);
    on_AnswerLineEdit_textChanged(QString());
}

void WebInitDialog::answerPressed() {
    if (!m_ui->AnswerLineEdit->isEnabled() || m_ui->AnswerLineEdit->text().isEmpty())
        return;
    const QString answer = m_ui->AnswerLineEdit->text();
    // One answer per press: the field stays closed until the next prompt.
    m_ui->AnswerLineEdit->setEnabled(false);
    if (m_continue)
        m_continue->setEnabled(false);
    m_auth->handleUserInput(answer);
}

void WebInitDialog::on_AnswerLineEdit_textChanged(const QString& text) {
    if (m_continue && m_ui->StackedWidget->currentIndex() == AnswerPage)
        m_continue->setEnabled(m_ui->AnswerLineEdit->isEnabled() && !text.isEmpty());
}

void WebInitDialog::on_UsernameLineEdit_textChanged(const QString& text) {
    if (m_continue && m_ui->StackedWidget->currentIndex() == UsernamePage)
        m_continue->setEnabled(!text.isEmpty());
}

void WebInitDialog::showStatus() {
    m_ui->StackedWidget->setCurrentIndex(StatusPage);
    m_ui->StatusLabel->setText(tr("Connecting..."));
    // The key that signed this reply, if one did, stays in view.
    m_ui->DetailsLabel->setText(m_agentText);
    m_agentText.clear();
    clearButtons();
    addAbortButton();
}

void WebInitDialog::showFailure(const QString& name, const QString& message, const QVariantMap& extras) {
    m_ui->StackedWidget->setCurrentIndex(StatusPage);
    m_ui->StatusLabel->setText(name);
    m_ui->DetailsLabel->setText(message);
    m_ui->LogTextBrowser->setPlainText(m_instance->log().join(QLatin1Char('\n')));
    clearButtons();
    addButton(tr("Close"), QDialogButtonBox::RejectRole);
    emit failed(name, message, extras);
}

void WebInitDialog::clearButtons() {
    // The buttons go later: this may run while one of them is still delivering its click.
    for (QAbstractButton* button : m_ui->ButtonBox->buttons()) {
        m_ui->ButtonBox->removeButton(button);
        button->hide();
        button->deleteLater();
    }
    m_continue = nullptr;
}

void WebInitDialog::addAbortButton() {
    // Return never aborts, wherever focus went after an answer.
    addButton(tr("Abort"), QDialogButtonBox::RejectRole)->setAutoDefault(false);
}

QPushButton* WebInitDialog::addContinueButton() {
    // Return in the page's field presses it.
    QPushButton* button = addButton(tr("Continue"), QDialogButtonBox::AcceptRole);
    button->setDefault(true);
    return button;
}

QPushButton* WebInitDialog::addButton(const QString& text, int role) {
    return m_ui->ButtonBox->addButton(text, QDialogButtonBox::ButtonRole(role));
}
