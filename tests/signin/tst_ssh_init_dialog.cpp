// The ssh sign-in dialog against SshProcess's real prompt server: each question arrives the way
// the prompt program sends it, and the answer is read back off the same connection.

#include "TestRpcInstance.h"
#include "platform/system/UserInfo.h"
#include "rpc/RpcInstance.h"
#include "signin/SshInitDialog.h"
#include "signin/SshProcess.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QTextBrowser>

namespace {

QByteArray netstring(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return QByteArray::number(bytes.size()) + ':' + bytes + ',';
}

QString localUser() {
    return platform::loginName().left(SshInitDialog::maxUserNameLength);
}

// The dialog on a process whose prompt server is up, and one prompt-program connection to it.
struct Conversation {
    SshProcess process;
    SshInitDialog dialog{QSharedPointer<RpcInstance>(), &process};
    QLocalSocket socket;
    QByteArray received;

    bool open() {
        // ssh only prints its configuration and ends; the prompt server stays up.
        SshLaunchSettings settings;
        settings.host = QStringLiteral("example.invalid");
        settings.sshOptions = QStringList{QStringLiteral("-G")};
        process.start(settings);
        if (process.promptServerName().isEmpty())
            return false;
        socket.connectToServer(process.promptServerName());
        if (!socket.waitForConnected(5000))
            return false;
        dialog.show();
        return true;
    }
    void ask(const QString& prompt) {
        socket.write(netstring(prompt));
        socket.flush();
    }
    const QByteArray& replies() {
        received += socket.readAll();
        return received;
    }
    int page() const { return dialog.findChild<QStackedWidget*>("stackedWidget")->currentIndex(); }
    template <typename T>
    T* widget(const char* name) const {
        return dialog.findChild<T*>(name);
    }
    QStringList buttonTexts() const {
        QStringList texts;
        for (QAbstractButton* button : widget<QDialogButtonBox>("buttonBox")->buttons())
            texts << button->text();
        texts.sort();
        return texts;
    }
    QPushButton* button(const QString& text) const {
        for (QAbstractButton* button : widget<QDialogButtonBox>("buttonBox")->buttons())
            if (button->text() == text)
                return qobject_cast<QPushButton*>(button);
        return nullptr;
    }
    // The page's own button: whichever is not Abort.
    QPushButton* pageButton() const {
        for (QAbstractButton* button : widget<QDialogButtonBox>("buttonBox")->buttons())
            if (button->text() != QLatin1String("Abort"))
                return qobject_cast<QPushButton*>(button);
        return nullptr;
    }
};

const QString rsaHostKeyPrompt =
    QStringLiteral("The authenticity of host '[127.0.0.1]:2222 ([127.0.0.1]:2222)' can't be established.\n"
                   "RSA key fingerprint is SHA256:nThbg6kXUpJWGl7E1IGOCspRomTxdCARLviKw6E5SY8.\n"
                   "Are you sure you want to continue connecting (yes/no)? ");
const QString ed25519HostKeyPrompt =
    QStringLiteral("The authenticity of host '[127.0.0.1]:2222 ([127.0.0.1]:2222)' can't be established.\n"
                   "ED25519 key fingerprint is SHA256:q1vM2mR0k5f6Qe0bqkC8Xz3gkYy1m4y7XW3d5lTQnKc.\n"
                   "This key is not known by any other names.\n"
                   "Are you sure you want to continue connecting (yes/no/[fingerprint])? ");
const QString passwordPrompt = QStringLiteral("alice@127.0.0.1's password: ");

} // namespace

class TestSshInitDialog : public QObject {
    Q_OBJECT
private slots:
    void promptToPageAndAnswer_data();
    void promptToPageAndAnswer();
    void emptyFieldKeepsButtonDisabled_data();
    void emptyFieldKeepsButtonDisabled();
    void bannerFollowsThePages();
    void bannerOnStatusPage();
    void onePressOneAnswer();
    void statusPageShowsTheLog();
};

void TestSshInitDialog::promptToPageAndAnswer_data() {
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("buttonAfter");
    QTest::addColumn<QString>("answer");

    const int hostKey = SshInitDialog::HostKeyPage;
    const int answer = SshInitDialog::AnswerPage;
    const int username = SshInitDialog::UsernamePage;
    QTest::newRow("rsa host key") << rsaHostKeyPrompt << hostKey
                                  << "SHA256:nThbg6kXUpJWGl7E1IGOCspRomTxdCARLviKw6E5SY8"
                                  << "Continue" << true << ""
                                  << "Continue"
                                  << "yes";
    QTest::newRow("ed25519 host key")
        << ed25519HostKeyPrompt << hostKey << "SHA256:q1vM2mR0k5f6Qe0bqkC8Xz3gkYy1m4y7XW3d5lTQnKc"
        << "Continue" << true << ""
        << "Continue"
        << "yes";
    QTest::newRow("ecdsa md5 host key") << "ECDSA key fingerprint is MD5:9d:38:5b:1c:0e:aa:21:7f.\nyes/no? "
                                        << hostKey << "MD5:9d:38:5b:1c:0e:aa:21:7f"
                                        << "Continue" << true << ""
                                        << "Continue"
                                        << "yes";
    QTest::newRow("store key") << "Store key ssh-ed25519 255 SHA256:abc for host server.example? (y/n) "
                               << hostKey << "ssh-ed25519 255 SHA256:abc"
                               << "Continue" << true << ""
                               << "Continue"
                               << "save";
    QTest::newRow("update key") << "Update key ssh-rsa 3072 SHA256:def for host server.example? (y/n) "
                                << hostKey << "ssh-rsa 3072 SHA256:def"
                                << "Continue" << true << ""
                                << "Continue"
                                << "save";
    if (!localUser().isEmpty())
        QTest::newRow("login as, local name kept")
            << "login as: " << username << localUser() << "Continue" << true << ""
            << "Continue" << localUser();
    QTest::newRow("login as, name typed")
        << "login as: " << username << localUser() << "Continue" << !localUser().isEmpty() << "alice"
        << "Continue"
        << "alice";
    QTest::newRow("passphrase skipped")
        << "Enter passphrase for key '/home/alice/.ssh/id_ed25519': " << answer << ""
        << "Skip" << true << ""
        << "Skip"
        << "";
    QTest::newRow("passphrase typed")
        << "Enter passphrase for key '/home/alice/.ssh/id_ed25519': " << answer << ""
        << "Skip" << true << "s3cret"
        << "Continue"
        << "s3cret";
    QTest::newRow("password") << passwordPrompt << answer << ""
                              << "Continue" << false << "pw"
                              << "Continue"
                              << "pw";
    // Keyboard-interactive text from the server, with markup that must stay literal.
    QTest::newRow("multi-line server prompt")
        << "Two-factor sign-in <b>required</b>\n\nOne-time code: " << answer << ""
        << "Continue" << false << "123456"
        << "Continue"
        << "123456";
}

void TestSshInitDialog::promptToPageAndAnswer() {
    QFETCH(QString, prompt);
    QFETCH(int, page);
    QFETCH(QString, field);
    QFETCH(QString, button);
    QFETCH(bool, enabled);
    QFETCH(QString, typed);
    QFETCH(QString, buttonAfter);
    QFETCH(QString, answer);

    Conversation c;
    QVERIFY(c.open());
    QCOMPARE(c.page(), int(SshInitDialog::StatusPage));
    QCOMPARE(c.buttonTexts(), QStringList{"Abort"});
    c.ask(prompt);
    QTRY_COMPARE(c.page(), page);

    QLineEdit* edit = nullptr;
    switch (page) {
    case SshInitDialog::HostKeyPage:
        edit = c.widget<QLineEdit>("HostKeyLineEdit");
        QCOMPARE(edit->text(), field);
        QCOMPARE(edit->selectedText(), field);
        QVERIFY(edit->isReadOnly());
        break;
    case SshInitDialog::UsernamePage:
        edit = c.widget<QLineEdit>("UsernameLineEdit");
        QCOMPARE(edit->text(), field);
        break;
    case SshInitDialog::AnswerPage: {
        edit = c.widget<QLineEdit>("AnswerLineEdit");
        QVERIFY(edit->text().isEmpty());
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
        auto* instructions = c.widget<QLabel>("InstructionsLabel");
        QCOMPARE(instructions->text(), prompt);
        QCOMPARE(instructions->textFormat(), Qt::PlainText);
        break;
    }
    default:
        QFAIL("unexpected page");
    }
    QCOMPARE(c.dialog.focusWidget(), edit);

    QPushButton* pageButton = c.pageButton();
    QVERIFY(pageButton);
    QCOMPARE(pageButton->text(), button);
    QCOMPARE(pageButton->isEnabled(), enabled);
    QVERIFY(pageButton->isDefault());
    QCOMPARE(c.buttonTexts(), (QStringList{"Abort", button}));

    if (!typed.isEmpty()) {
        edit->selectAll();
        QTest::keyClicks(edit, typed);
    }
    QCOMPARE(pageButton->text(), buttonAfter);
    QVERIFY(pageButton->isEnabled());
    // Return in the field presses the page's button, once; a second Return, wherever focus went,
    // neither answers again nor aborts.
    QSignalSpy rejected(&c.dialog, &QDialog::rejected);
    QApplication::setActiveWindow(&c.dialog);
    QVERIFY(QTest::qWaitForWindowActive(&c.dialog));
    QTest::keyClick(edit, Qt::Key_Return);
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus ? focus : &c.dialog, Qt::Key_Return);

    QTRY_COMPARE(c.replies(), netstring(answer));
    QCOMPARE(rejected.size(), 0);
    QCOMPARE(c.page(), int(SshInitDialog::StatusPage));
    QCOMPARE(c.buttonTexts(), QStringList{"Abort"});
    // The secret is not left behind in the form.
    QVERIFY(c.widget<QLineEdit>("AnswerLineEdit")->text().isEmpty());
}

void TestSshInitDialog::emptyFieldKeepsButtonDisabled_data() {
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QString>("edit");
    QTest::newRow("password") << passwordPrompt << "AnswerLineEdit";
    QTest::newRow("server prompt") << "Verification code: "
                                   << "AnswerLineEdit";
    QTest::newRow("login name emptied") << "login as: "
                                        << "UsernameLineEdit";
}

void TestSshInitDialog::emptyFieldKeepsButtonDisabled() {
    QFETCH(QString, prompt);
    QFETCH(QString, edit);

    Conversation c;
    QVERIFY(c.open());
    c.ask(prompt);
    QTRY_VERIFY(c.page() != SshInitDialog::StatusPage);
    auto* field = c.dialog.findChild<QLineEdit*>(edit);
    QVERIFY(field);
    QPushButton* pageButton = c.pageButton();
    QVERIFY(pageButton);

    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QVERIFY(field->text().isEmpty());
    QVERIFY(!pageButton->isEnabled());
    QTest::keyClicks(field, "a");
    QVERIFY(pageButton->isEnabled());
    QTest::keyClick(field, Qt::Key_Backspace);
    QVERIFY(!pageButton->isEnabled());

    // Neither Return nor a click on the disabled button sends the empty field.
    QTest::keyClick(field, Qt::Key_Return);
    QTest::mouseClick(pageButton, Qt::LeftButton);
    QVERIFY(c.page() != SshInitDialog::StatusPage);

    QTest::keyClicks(field, "x");
    QTest::keyClick(field, Qt::Key_Return);
    // Had the empty answer gone out, it would come first.
    QTRY_COMPARE(c.replies(), netstring("x"));
}

void TestSshInitDialog::bannerFollowsThePages() {
    Conversation c;
    QVERIFY(c.open());
    const QString banner = QStringLiteral("Welcome to <b>server</b>\nAuthorised use only.");

    // On the host-key page the banner is only kept.
    c.ask(ed25519HostKeyPrompt);
    QTRY_COMPARE(c.page(), int(SshInitDialog::HostKeyPage));
    c.dialog.showBanner(banner);
    QCOMPARE(c.buttonTexts(), (QStringList{"Abort", "Continue"}));
    QTest::mouseClick(c.pageButton(), Qt::LeftButton);
    QTRY_COMPARE(c.replies(), netstring("yes"));

    QCOMPARE(c.page(), int(SshInitDialog::StatusPage));
    auto* statusBanner = c.widget<QLabel>("StatusBanner");
    QCOMPARE(statusBanner->text(), banner);
    QCOMPARE(statusBanner->textFormat(), Qt::PlainText);
    QCOMPARE(c.buttonTexts(), QStringList{"Abort"});

    c.ask(passwordPrompt);
    QTRY_COMPARE(c.page(), int(SshInitDialog::AnswerPage));
    auto* instructionsBanner = c.widget<QLabel>("InstructionsBanner");
    QCOMPARE(instructionsBanner->text(), banner);
    QCOMPARE(instructionsBanner->textFormat(), Qt::PlainText);

    // A banner arriving on the answer page shows there, leaves the buttons alone and is kept.
    const QString later = QStringLiteral("Password expires in 3 days");
    c.dialog.showBanner(later);
    QCOMPARE(instructionsBanner->text(), later);
    QCOMPARE(c.buttonTexts(), (QStringList{"Abort", "Continue"}));
    QVERIFY(!c.pageButton()->isEnabled());
    QTest::keyClicks(c.widget<QLineEdit>("AnswerLineEdit"), "pw");
    QTest::mouseClick(c.pageButton(), Qt::LeftButton);
    QTRY_COMPARE(c.replies(), netstring("yes") + netstring("pw"));
    QCOMPARE(statusBanner->text(), later);

    c.ask("login as: ");
    QTRY_COMPARE(c.page(), int(SshInitDialog::UsernamePage));
    auto* usernameBanner = c.widget<QLabel>("UsernameBanner");
    QCOMPARE(usernameBanner->text(), later);
    QCOMPARE(usernameBanner->textFormat(), Qt::PlainText);
    c.dialog.showBanner(banner);
    QCOMPARE(usernameBanner->text(), banner);
}

void TestSshInitDialog::bannerOnStatusPage() {
    Conversation c;
    QVERIFY(c.open());
    QSignalSpy rejected(&c.dialog, &QDialog::rejected);
    auto* statusBanner = c.widget<QLabel>("StatusBanner");

    c.dialog.showBanner("first");
    QCOMPARE(statusBanner->text(), QString("first"));
    QCOMPARE(c.buttonTexts(), (QStringList{"Abort", "Continue"}));
    QPushButton* dismiss = c.button("Continue");
    QVERIFY(dismiss->isEnabled());
    QVERIFY(dismiss->isDefault());
    // A second banner never adds a second Abort or Continue.
    c.dialog.showBanner("second");
    QCOMPARE(statusBanner->text(), QString("second"));
    QCOMPARE(c.buttonTexts(), (QStringList{"Abort", "Continue"}));

    // Continue dismisses the banner; Abort stays so the dialog can still be left.
    QTest::mouseClick(c.button("Continue"), Qt::LeftButton);
    QVERIFY(statusBanner->text().isEmpty());
    QCOMPARE(c.buttonTexts(), QStringList{"Abort"});
    QCOMPARE(rejected.count(), 0);

    c.ask(passwordPrompt);
    QTRY_COMPARE(c.page(), int(SshInitDialog::AnswerPage));
    QVERIFY(c.widget<QLabel>("InstructionsBanner")->text().isEmpty());
    // Dismissing the banner answered nothing.
    QVERIFY(c.replies().isEmpty());

    QTest::mouseClick(c.button("Abort"), Qt::LeftButton);
    QCOMPARE(rejected.count(), 1);
    QVERIFY(!c.dialog.isVisible());
}

void TestSshInitDialog::onePressOneAnswer() {
    Conversation c;
    QVERIFY(c.open());
    QSignalSpy rejected(&c.dialog, &QDialog::rejected);
    c.ask(passwordPrompt);
    QTRY_COMPARE(c.page(), int(SshInitDialog::AnswerPage));
    QTest::keyClicks(c.widget<QLineEdit>("AnswerLineEdit"), "pw");
    QPointer<QPushButton> pageButton = c.pageButton();
    QTest::mouseClick(pageButton, Qt::LeftButton);
    if (pageButton)
        QTest::mouseClick(pageButton, Qt::LeftButton);
    // Return pressed again on the status page neither answers again nor aborts.
    QTest::keyClick(&c.dialog, Qt::Key_Return);
    QTest::keyClick(&c.dialog, Qt::Key_Return);
    QCOMPARE(rejected.count(), 0);

    c.ask("Verification code: ");
    QTRY_COMPARE(c.page(), int(SshInitDialog::AnswerPage));
    QTest::keyClicks(c.widget<QLineEdit>("AnswerLineEdit"), "b");
    QTest::keyClick(c.widget<QLineEdit>("AnswerLineEdit"), Qt::Key_Return);
    QTRY_COMPARE(c.replies(), netstring("pw") + netstring("b"));
    QCOMPARE(rejected.count(), 0);
}

void TestSshInitDialog::statusPageShowsTheLog() {
    auto instance = QSharedPointer<TestRpcInstance>::create();
    instance->appendLog("ssh started");
    instance->appendLog("debug1: <b>not markup</b> & more");
    SshProcess process;
    SshInitDialog dialog(instance, &process);
    auto* log = dialog.findChild<QTextBrowser*>("LogTextBrowser");
    QCOMPARE(log->toPlainText(), QString("ssh started\ndebug1: <b>not markup</b> & more"));
    QCOMPARE(dialog.findChild<QLabel*>("StatusLabel")->text(), QString("Connecting..."));
}

QTEST_MAIN(TestSshInitDialog)
#include "tst_ssh_init_dialog.moc"
