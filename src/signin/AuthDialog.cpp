#include "signin/AuthDialog.h"

#include "bookmarks/PromiseLifetime.h"
#include "rpc/RpcInstance.h"
#include "signin/AuthInstance.h"
#include "ui_AuthDialog.h"

#include <QPushButton>

namespace {

// Replies that end the sign-in: the start went through, was scheduled, or now needs the
// parameter form, which the start's owner shows.
bool endsSignIn(const QString& stage) {
    return stage == QLatin1String("success") || stage == QLatin1String("schedule") ||
           stage == QLatin1String("form");
}

} // namespace

AuthDialog::AuthDialog(QSharedPointer<RpcInstance> instance, QWidget* parent)
    : QDialog(parent)
    , m_instance(std::move(instance))
    , m_auth(new AuthInstance(this))
    , m_ui(new Ui::AuthDialog) {
    m_ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    m_continue = m_ui->ButtonBox->addButton(tr("Continue"), QDialogButtonBox::AcceptRole);
    m_continue->setEnabled(false);
    // Return in the field presses Continue; it never aborts, wherever focus went after an answer.
    m_continue->setDefault(true);
    m_ui->ButtonBox->addButton(tr("Abort"), QDialogButtonBox::RejectRole)->setAutoDefault(false);
    connect(m_continue, &QPushButton::clicked, this, &AuthDialog::continuePressed);
    connect(m_ui->ButtonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    m_ui->AnswerLineEdit->setEnabled(false);
    m_auth->setDialogParent(this);
    m_auth->setAgentAllowed(AuthInstance::agentAllowedFor(m_instance.data()));
    connect(m_auth, &AuthInstance::agentStatus, this, [this](const QString& text) {
        m_agentText = text;
        m_ui->StatusLabel->setText(text);
    });
}

AuthDialog::~AuthDialog() {
    delete m_ui;
}

void AuthDialog::startAuth(const QJsonObject& auth) {
    if (!m_started) {
        m_started = true;
        connect(m_auth, &AuthInstance::sendAuth, this, &AuthDialog::handleAuth);
        connect(m_auth, &AuthInstance::userInput, this, &AuthDialog::userInput);
        connect(m_auth, &AuthInstance::failed, this, &AuthDialog::failed);
        connect(m_auth, &AuthInstance::succeeded, this, &AuthDialog::succeeded);
    }
    m_auth->handleAuth(auth);
}

void AuthDialog::handleAuth(const QJsonObject& reply) {
    // The key that signed this reply, if one did, stays in view.
    QString status = tr("Connecting...");
    if (!m_agentText.isEmpty())
        status += QLatin1Char('\n') + m_agentText;
    m_agentText.clear();
    m_ui->StatusLabel->setText(status);
    m_ui->InstructionsLabel->clear();
    m_ui->AnswerLineEdit->setEnabled(false);
    if (m_continue)
        m_continue->setEnabled(false);
    if (!isVisible()) {
        setWindowModality(Qt::WindowModal);
        open();
    }
    if (!m_instance) {
        emit failed(QStringLiteral("deleted"), tr("The connection is gone."), QVariantMap());
        return;
    }
    RpcPromise<QJsonObject>* promise = m_instance->startSessionRaw(reply);
    deleteWhenSettled(promise, this);
    QPointer<RpcPromise<QJsonObject>> guard(promise);
    connect(promise, &RpcPromiseBase::succeeded, this, [this, guard] {
        if (!guard)
            return;
        const QJsonObject value = guard->value;
        if (endsSignIn(value.value(QLatin1String("stage")).toString()))
            emit succeeded(value);
        else
            m_auth->handleAuth(value);
    });
    connect(promise, &RpcPromiseBase::failed, this, &AuthDialog::failed);
}

void AuthDialog::userInput(const QString& prompt) {
    m_ui->InstructionsLabel->setText(prompt);
    m_ui->StatusLabel->clear();
    m_ui->AnswerLineEdit->setEnabled(true);
    m_ui->AnswerLineEdit->clear();
    m_ui->AnswerLineEdit->setFocus();
    on_AnswerLineEdit_textChanged(QString());
    if (!isVisible()) {
        setWindowModality(Qt::WindowModal);
        open();
    }
}

void AuthDialog::on_AnswerLineEdit_textChanged(const QString& text) {
    if (m_continue)
        m_continue->setEnabled(m_ui->AnswerLineEdit->isEnabled() && !text.isEmpty());
}

void AuthDialog::continuePressed() {
    if (!m_ui->AnswerLineEdit->isEnabled())
        return;
    const QString answer = m_ui->AnswerLineEdit->text();
    m_ui->AnswerLineEdit->setEnabled(false);
    if (m_continue)
        m_continue->setEnabled(false);
    m_auth->handleUserInput(answer);
}
