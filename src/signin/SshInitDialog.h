#pragma once

#include <QDialog>
#include <QPointer>
#include <QSharedPointer>
#include <QString>

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTextBrowser;
class RpcInstance;
class RpcInstanceSsh;
class SshProcess;

// The conversation window while an ssh connection comes up: progress, the instance log, ssh's
// banner, and one page for each question ssh asks through the prompt program.
class SshInitDialog : public QDialog {
    Q_OBJECT
public:
    enum Page { StatusPage, AnswerPage, HostKeyPage, UsernamePage, MotdPage };

    // Carries the conversation of the instance's ssh process.
    explicit SshInitDialog(QSharedPointer<RpcInstanceSsh> instance, QWidget* parent = nullptr);
    // The instance supplies the log; the process asks the questions and takes the answers.
    // Either may be null.
    SshInitDialog(QSharedPointer<RpcInstance> instance, SshProcess* process, QWidget* parent = nullptr);
    ~SshInitDialog() override;

    // Longest local user name offered on the user-name page.
    static constexpr int maxUserNameLength = 256;

public slots:
    void showBanner(const QString& banner);
    void classifyPrompt(const QString& prompt);

private slots:
    void on_AnswerLineEdit_textChanged(const QString& text);
    void on_UsernameLineEdit_textChanged(const QString& text);
    void continuePressed();

private:
    void buildForm();
    void removeAllButtons();
    void addPageButtons(const QString& text, bool enabled);
    void showStatusPage();
    void showHostKeyPage(const QString& key, const QString& answer);
    void showUsernamePage();
    void showAnswerPage(const QString& prompt, bool passphrase);
    void sendAnswer(const QString& text);
    bool onPage(Page page) const;

    QSharedPointer<RpcInstance> instance;
    QPointer<SshProcess> process;

    QStackedWidget* stackedWidget = nullptr;
    QDialogButtonBox* buttonBox = nullptr;
    QTextBrowser* LogTextBrowser = nullptr;
    QLabel* StatusLabel = nullptr;
    QLabel* StatusBanner = nullptr;
    QLineEdit* AnswerLineEdit = nullptr;
    QLabel* InstructionsLabel = nullptr;
    QLabel* InstructionsBanner = nullptr;
    QLabel* WarningIconLabel = nullptr;
    QLineEdit* HostKeyLineEdit = nullptr;
    QLineEdit* UsernameLineEdit = nullptr;
    QLabel* UsernameBanner = nullptr;
    QTextBrowser* MotdBox = nullptr;

    QPointer<QPushButton> ContinueButton;
    bool passphrase = false;
    QString bannerText;
    // The fixed answer of the host-key page.
    QString hostKeyAnswer;
    // A question has been shown and not yet answered; guards against a second answer per press.
    bool awaitingAnswer = false;
};
