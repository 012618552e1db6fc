#include "signin/SshInitDialog.h"

#include "platform/system/UserInfo.h"
#include "rpc/RpcInstance.h"
#include "rpc/RpcInstanceSsh.h"
#include "signin/SshProcess.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QStyle>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {

// Prompt and banner texts come from the server: shown as they are, never as markup.
QLabel* textLabel(const QString& objectName, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

SshInitDialog::SshInitDialog(QSharedPointer<RpcInstance> instance, SshProcess* process, QWidget* parent)
    : QDialog(parent)
    , instance(std::move(instance))
    , process(process) {
    buildForm();
    if (process)
        connect(process, &SshProcess::questioned, this, &SshInitDialog::classifyPrompt);
    showStatusPage();
}

SshInitDialog::SshInitDialog(QSharedPointer<RpcInstanceSsh> instance, QWidget* parent)
    : SshInitDialog(instance, instance ? instance->process() : nullptr, parent) {}

SshInitDialog::~SshInitDialog() = default;

void SshInitDialog::buildForm() {
    setObjectName(QStringLiteral("SshInitDialog"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    resize(500, 400);

    stackedWidget = new QStackedWidget(this);
    stackedWidget->setObjectName(QStringLiteral("stackedWidget"));

    auto* status = new QWidget(stackedWidget);
    status->setObjectName(QStringLiteral("StatusPage"));
    LogTextBrowser = new QTextBrowser(status);
    LogTextBrowser->setObjectName(QStringLiteral("LogTextBrowser"));
    StatusLabel = textLabel(QStringLiteral("StatusLabel"), status);
    StatusBanner = textLabel(QStringLiteral("StatusBanner"), status);
    auto* statusLayout = new QVBoxLayout(status);
    statusLayout->addWidget(StatusLabel);
    statusLayout->addWidget(LogTextBrowser, 1);
    statusLayout->addWidget(StatusBanner);

    auto* answer = new QWidget(stackedWidget);
    answer->setObjectName(QStringLiteral("AnswerPage"));
    InstructionsLabel = textLabel(QStringLiteral("InstructionsLabel"), answer);
    AnswerLineEdit = new QLineEdit(answer);
    AnswerLineEdit->setObjectName(QStringLiteral("AnswerLineEdit"));
    AnswerLineEdit->setEchoMode(QLineEdit::Password);
    InstructionsBanner = textLabel(QStringLiteral("InstructionsBanner"), answer);
    auto* answerLayout = new QVBoxLayout(answer);
    answerLayout->addWidget(InstructionsLabel);
    answerLayout->addWidget(AnswerLineEdit);
    answerLayout->addWidget(InstructionsBanner, 1);

    auto* hostKey = new QWidget(stackedWidget);
    hostKey->setObjectName(QStringLiteral("HostKeyPage"));
    WarningIconLabel = new QLabel(hostKey);
    WarningIconLabel->setObjectName(QStringLiteral("WarningIconLabel"));
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    WarningIconLabel->setPixmap(
        style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this).pixmap(iconSize, iconSize));
    WarningIconLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QLabel* hostKeyText = textLabel(QStringLiteral("HostKeyLabel"), hostKey);
    hostKeyText->setText(tr("This host is not recognized by the system. Are you sure you want to continue?"));
    HostKeyLineEdit = new QLineEdit(hostKey);
    HostKeyLineEdit->setObjectName(QStringLiteral("HostKeyLineEdit"));
    HostKeyLineEdit->setReadOnly(true);
    auto* hostKeyLayout = new QGridLayout(hostKey);
    hostKeyLayout->addWidget(WarningIconLabel, 0, 0, 2, 1);
    hostKeyLayout->addWidget(hostKeyText, 0, 1);
    hostKeyLayout->addWidget(HostKeyLineEdit, 1, 1);
    hostKeyLayout->setRowStretch(2, 1);
    hostKeyLayout->setColumnStretch(1, 1);

    auto* username = new QWidget(stackedWidget);
    username->setObjectName(QStringLiteral("UsernamePage"));
    QLabel* usernameText = textLabel(QStringLiteral("UsernameLabel"), username);
    usernameText->setText(tr("The username for this connection:"));
    UsernameLineEdit = new QLineEdit(username);
    UsernameLineEdit->setObjectName(QStringLiteral("UsernameLineEdit"));
    UsernameBanner = textLabel(QStringLiteral("UsernameBanner"), username);
    auto* usernameLayout = new QVBoxLayout(username);
    usernameLayout->addWidget(usernameText);
    usernameLayout->addWidget(UsernameLineEdit);
    usernameLayout->addWidget(UsernameBanner, 1);

    auto* motd = new QWidget(stackedWidget);
    motd->setObjectName(QStringLiteral("MotdPage"));
    MotdBox = new QTextBrowser(motd);
    MotdBox->setObjectName(QStringLiteral("MotdBox"));
    MotdBox->setOpenExternalLinks(true);
    auto* motdLayout = new QVBoxLayout(motd);
    motdLayout->addWidget(MotdBox);

    // Same order as the Page values.
    for (QWidget* page : {status, answer, hostKey, username, motd})
        stackedWidget->addWidget(page);

    buttonBox = new QDialogButtonBox(this);
    buttonBox->setObjectName(QStringLiteral("buttonBox"));
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(stackedWidget, 1);
    layout->addWidget(buttonBox);

    QMetaObject::connectSlotsByName(this);
}

bool SshInitDialog::onPage(Page page) const {
    return stackedWidget->currentIndex() == page;
}

void SshInitDialog::removeAllButtons() {
    // Taken out now and deleted later: the pressed button may still be inside its clicked signal.
    const QList<QAbstractButton*> buttons = buttonBox->buttons();
    for (QAbstractButton* button : buttons) {
        buttonBox->removeButton(button);
        button->disconnect(this);
        button->deleteLater();
    }
    ContinueButton = nullptr;
}

void SshInitDialog::addPageButtons(const QString& text, bool enabled) {
    removeAllButtons();
    if (!text.isEmpty()) {
        ContinueButton = buttonBox->addButton(text, QDialogButtonBox::AcceptRole);
        ContinueButton->setEnabled(enabled);
        ContinueButton->setDefault(true);
        connect(ContinueButton, &QPushButton::clicked, this, &SshInitDialog::continuePressed);
    }
    // Return must never abort: a second press after an answer lands wherever focus went.
    buttonBox->addButton(tr("Abort"), QDialogButtonBox::RejectRole)->setAutoDefault(false);
}

void SshInitDialog::classifyPrompt(const QString& prompt) {
    awaitingAnswer = true;
    // Any key type: older ssh clients said "RSA key fingerprint is", newer ones name the actual type.
    static const QRegularExpression fingerprint(QStringLiteral("key fingerprint is (.*)\\."));
    static const QRegularExpression updateKey(QStringLiteral("Update key (.*) for host"));
    static const QRegularExpression storeKey(QStringLiteral("Store key (.*) for host"));

    QRegularExpressionMatch match = fingerprint.match(prompt);
    if (match.hasMatch()) {
        showHostKeyPage(match.captured(1), QStringLiteral("yes"));
        return;
    }
    for (const QRegularExpression* saving : {&updateKey, &storeKey}) {
        match = saving->match(prompt);
        if (match.hasMatch()) {
            showHostKeyPage(match.captured(1), QStringLiteral("save"));
            return;
        }
    }
    if (prompt.contains(QLatin1String("login as")))
        showUsernamePage();
    else
        showAnswerPage(prompt, prompt.contains(QLatin1String("Enter passphrase")));
}

void SshInitDialog::showStatusPage() {
    addPageButtons(QString(), false);
    StatusLabel->setText(tr("Connecting..."));
    StatusBanner->setText(bannerText);
    LogTextBrowser->setPlainText(instance ? instance->log().join(QLatin1Char('\n')) : QString());
    stackedWidget->setCurrentIndex(StatusPage);
}

void SshInitDialog::showHostKeyPage(const QString& key, const QString& answer) {
    hostKeyAnswer = answer;
    stackedWidget->setCurrentIndex(HostKeyPage);
    addPageButtons(tr("Continue"), true);
    HostKeyLineEdit->setText(key);
    HostKeyLineEdit->selectAll();
    HostKeyLineEdit->setFocus();
}

void SshInitDialog::showUsernamePage() {
    stackedWidget->setCurrentIndex(UsernamePage);
    addPageButtons(tr("Continue"), false);
    UsernameLineEdit->setText(platform::loginName().left(maxUserNameLength));
    on_UsernameLineEdit_textChanged(UsernameLineEdit->text());
    UsernameBanner->setText(bannerText);
    UsernameLineEdit->setFocus();
}

void SshInitDialog::showAnswerPage(const QString& prompt, bool isPassphrase) {
    passphrase = isPassphrase;
    stackedWidget->setCurrentIndex(AnswerPage);
    addPageButtons(passphrase ? tr("Skip") : tr("Continue"), passphrase);
    InstructionsLabel->setText(prompt);
    AnswerLineEdit->clear();
    on_AnswerLineEdit_textChanged(QString());
    InstructionsBanner->setText(bannerText);
    AnswerLineEdit->setFocus();
}

void SshInitDialog::showBanner(const QString& banner) {
    bannerText = banner;
    switch (stackedWidget->currentIndex()) {
    case StatusPage:
        StatusBanner->setText(banner);
        // The page keeps a single Abort, after the Continue that dismisses the banner.
        if (!ContinueButton)
            addPageButtons(tr("Continue"), true);
        break;
    case AnswerPage:
        InstructionsBanner->setText(banner);
        break;
    case UsernamePage:
        UsernameBanner->setText(banner);
        break;
    default:
        break;
    }
}

void SshInitDialog::on_AnswerLineEdit_textChanged(const QString& text) {
    if (!onPage(AnswerPage) || !ContinueButton)
        return;
    if (passphrase)
        ContinueButton->setText(text.isEmpty() ? tr("Skip") : tr("Continue"));
    else
        ContinueButton->setEnabled(!text.isEmpty());
}

void SshInitDialog::on_UsernameLineEdit_textChanged(const QString& text) {
    if (!onPage(UsernamePage) || !ContinueButton)
        return;
    ContinueButton->setEnabled(!text.isEmpty());
}

void SshInitDialog::continuePressed() {
    if (!ContinueButton || !ContinueButton->isEnabled())
        return;
    switch (stackedWidget->currentIndex()) {
    case StatusPage:
        // Dismisses the banner; Abort stays, so the dialog can still be left.
        bannerText.clear();
        StatusBanner->clear();
        addPageButtons(QString(), false);
        break;
    case HostKeyPage:
        sendAnswer(hostKeyAnswer);
        break;
    case UsernamePage:
        if (!UsernameLineEdit->text().isEmpty())
            sendAnswer(UsernameLineEdit->text());
        break;
    case AnswerPage:
        if (passphrase || !AnswerLineEdit->text().isEmpty())
            sendAnswer(AnswerLineEdit->text());
        break;
    default:
        break;
    }
}

void SshInitDialog::sendAnswer(const QString& text) {
    if (!awaitingAnswer)
        return;
    awaitingAnswer = false;
    if (process)
        process->answer(text);
    // Secrets do not linger in the form once sent.
    AnswerLineEdit->clear();
    showStatusPage();
}
