// The staged sign-in of an https connection against the HTTPS test server's ssh-auth API: the user
// name, the configuration answer, the server selection and the failure page.

#include "AgentPeers.h"
#include "SignInTestSupport.h"
#include "SshAuthFlow.h"
#include "platform/system/UserInfo.h"
#include "signin/AuthInstance.h"
#include "signin/WebInitDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QTextBrowser>

using HttpsPeer::Response;
using HttpsPeer::Server;
using HttpsPeer::SshAuthFlow;

Q_DECLARE_METATYPE(HttpsPeer::Response)

namespace {

constexpr int wait = 20000;
const QString authPath = QStringLiteral("/v3/api/auth/ssh");
const QString configPath = QStringLiteral("/v3/api/auth/ssh/config");

struct Run {
    Server server;
    QScopedPointer<SystemTrust> systemTrust;
    SshAuthFlow* flow = nullptr;
    QSharedPointer<RpcInstanceWeb> web;
    QScopedPointer<WebInitDialog> dialog;
    QScopedPointer<QSignalSpy> succeeded, failed;

    // Unless the system trusts the server, the user accepts its certificate by hand.
    bool start(const SshAuthFlow::Config& config, bool trustedBySystem = true) {
        if (!server.start(Server::Https))
            return false;
        if (trustedBySystem)
            systemTrust.reset(new SystemTrust(server));
        flow = SshAuthFlow::install(server, authPath, config);
        web = webInstance(server);
        return true;
    }
    void open(const QVariantMap& userInfo) {
        dialog.reset(new WebInitDialog(web, userInfo, QStringLiteral("ssh"), nullptr));
        succeeded.reset(new QSignalSpy(dialog.data(), &WebInitDialog::succeeded));
        failed.reset(new QSignalSpy(dialog.data(), &WebInitDialog::failed));
        dialog->show();
    }
    int page() const { return dialog->findChild<QStackedWidget*>()->currentIndex(); }
    template <typename T>
    T* child(const char* name) const {
        return dialog->findChild<T*>(QLatin1String(name));
    }
    bool answer(const QString& prompt, const QString& text) {
        auto* field = child<QLineEdit>("AnswerLineEdit");
        if (!QTest::qWaitFor(
                [&] {
                    return page() == WebInitDialog::AnswerPage && field->isEnabled() &&
                           child<QLabel>("InstructionsLabel")->text() == prompt;
                },
                wait))
            return false;
        field->setText(text);
        QTest::mouseClick(buttonNamed(dialog.data(), QStringLiteral("Continue")), Qt::LeftButton);
        return true;
    }
};

SshAuthFlow::Config passwordFlow() {
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("password")};
    config.finalReply = QJsonObject{{QStringLiteral("token"), QStringLiteral("signed-in-token")}};
    return config;
}

} // namespace

class TestWebSignInStaged : public QObject {
    Q_OBJECT
private slots:
    void init();
    void usernamePage();
    void loginSkipsUsernamePage();
    void returnContinuesOnce();
    void configurationAnswer_data();
    void configurationAnswer();
    void serverSelection_data();
    void serverSelection();
    void failurePage();
    void promptIsShownAsText();
    void agentKeySignsIn();
    void agentKeyWaitsForTheUserOnACertificateAcceptedByHand();
    void formIsNotASignInStage();
};

void TestWebSignInStaged::init() {
    AuthInstance::forgetSignAnswers();
}

void TestWebSignInStaged::usernamePage() {
    Run run;
    QVERIFY(run.start(passwordFlow()));
    run.open(QVariantMap());
    QCOMPARE(run.page(), int(WebInitDialog::UsernamePage));
    auto* name = run.child<QLineEdit>("UsernameLineEdit");
    QCOMPARE(name->text(), platform::loginName());
    QCOMPARE(name->selectedText(), name->text());
    QAbstractButton* next = buttonNamed(run.dialog.data(), QStringLiteral("Continue"));
    QVERIFY(next && buttonNamed(run.dialog.data(), QStringLiteral("Abort")));
    name->clear();
    QVERIFY(!next->isEnabled());
    QTest::keyClicks(name, QStringLiteral("alice"));
    QVERIFY(next->isEnabled());
    QVERIFY(run.server.requests().isEmpty());
    QTest::mouseClick(next, Qt::LeftButton);

    QVERIFY(run.answer(QStringLiteral("Password"), QStringLiteral("secret")));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(run.failed->size(), 0);
    QCOMPARE(run.flow->firstRequests,
             (QList<QJsonObject>{QJsonObject{{QStringLiteral("username"), QStringLiteral("alice")},
                                             {QStringLiteral("usePK"), true},
                                             {QStringLiteral("banner"), true},
                                             {QStringLiteral("selectServer"), true}}}));
    QCOMPARE(run.server.requests(configPath).size(), 1);
    // The final reply's token signs the instance in.
    QCOMPARE(run.web->authToken(), QStringLiteral("signed-in-token"));
}

void TestWebSignInStaged::loginSkipsUsernamePage() {
    Run run;
    QVERIFY(run.start(passwordFlow()));
    run.open(QVariantMap{{QStringLiteral("login"), QStringLiteral("bob")},
                         {QStringLiteral("displayName"), QStringLiteral("Bob")}});
    QCOMPARE(run.page(), int(WebInitDialog::StatusPage));
    QCOMPARE(run.child<QLabel>("StatusLabel")->text(), QStringLiteral("Connecting..."));
    QVERIFY(run.answer(QStringLiteral("Password"), QStringLiteral("secret")));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(run.flow->firstRequests.value(0).value(QLatin1String("username")).toString(),
             QStringLiteral("bob"));
}

// Return in a field presses Continue, once: a second Return while the answer is on its way sends
// nothing more and does not abort.
void TestWebSignInStaged::returnContinuesOnce() {
    Run run;
    QVERIFY(run.start(passwordFlow()));
    run.open(QVariantMap());
    QSignalSpy rejected(run.dialog.data(), &QDialog::rejected);
    // Focus moves as it would for the user.
    QApplication::setActiveWindow(run.dialog.data());
    QVERIFY(QTest::qWaitForWindowActive(run.dialog.data()));
    auto* name = run.child<QLineEdit>("UsernameLineEdit");
    QCOMPARE(run.page(), int(WebInitDialog::UsernamePage));
    name->clear();
    QTest::keyClicks(name, QStringLiteral("alice"));
    QTest::keyClick(name, Qt::Key_Return);
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : run.dialog.data(),
                    Qt::Key_Return);

    auto* field = run.child<QLineEdit>("AnswerLineEdit");
    QTRY_VERIFY_WITH_TIMEOUT(run.page() == WebInitDialog::AnswerPage && field->isEnabled(), wait);
    QTest::keyClicks(field, QStringLiteral("secret"));
    QTest::keyClick(field, Qt::Key_Return);
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : run.dialog.data(),
                    Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(run.failed->size(), 0);
    QCOMPARE(rejected.size(), 0);
    QCOMPARE(run.flow->firstRequests.size(), 1);
    QCOMPARE(run.flow->firstRequests.value(0).value(QLatin1String("username")).toString(),
             QStringLiteral("alice"));
    QStringList passwords;
    for (const QJsonObject& body : bodies(run.server, authPath)) {
        if (body.contains(QLatin1String("password")))
            passwords << body.value(QLatin1String("password")).toString();
    }
    QCOMPARE(passwords, QStringList{QStringLiteral("secret")});
}

void TestWebSignInStaged::configurationAnswer_data() {
    QTest::addColumn<Response>("config");
    QTest::addColumn<QString>("failure");
    QTest::newRow("agent allowed") << Response::result(QJsonObject{{QStringLiteral("agent"), true}})
                                   << QString();
    QTest::newRow("empty map") << Response::result(QJsonObject()) << QString();
    QTest::newRow("disable false") << Response::result(QJsonObject{{QStringLiteral("disable"), false}})
                                   << QString();
    QTest::newRow("disable true") << Response::result(QJsonObject{{QStringLiteral("disable"), true}})
                                  << QStringLiteral("ssh_disabled");
    QTest::newRow("not found") << Response::withStatus(404) << QString();
    QTest::newRow("server error") << Response::withStatus(500) << QStringLiteral("http");
}

void TestWebSignInStaged::configurationAnswer() {
    QFETCH(Response, config);
    QFETCH(QString, failure);
    Run run;
    QVERIFY(run.start(passwordFlow()));
    run.server.script("POST", configPath, config);
    run.open(QVariantMap{{QStringLiteral("login"), QStringLiteral("bob")}});
    if (failure.isEmpty()) {
        QVERIFY(run.answer(QStringLiteral("Password"), QStringLiteral("secret")));
        QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(run.failed->size(), 1, wait);
    QCOMPARE(run.failed->at(0).at(0).toString(), failure);
    if (failure == QLatin1String("ssh_disabled"))
        QCOMPARE(run.failed->at(0).at(1).toString(), QStringLiteral("SSH is disabled."));
    QCOMPARE(run.server.requests(authPath).size(), 0);
}

void TestWebSignInStaged::serverSelection_data() {
    QTest::addColumn<QString>("choice"); // empty: cancelled
    QTest::addColumn<QString>("serverId");
    QTest::newRow("a named server") << QStringLiteral("beta") << QStringLiteral("s2");
    QTest::newRow("automatic") << QStringLiteral("Automatic") << QString();
    QTest::newRow("cancelled") << QString() << QString();
}

void TestWebSignInStaged::serverSelection() {
    QFETCH(QString, choice);
    QFETCH(QString, serverId);
    SshAuthFlow::Config config = passwordFlow();
    config.servers = QJsonArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("s1")},
                                            {QStringLiteral("hostname"), QStringLiteral("alpha")}},
                                QJsonObject{{QStringLiteral("id"), QStringLiteral("s2")},
                                            {QStringLiteral("hostname"), QStringLiteral("beta")}}};
    Run run;
    QVERIFY(run.start(config));
    run.open(QVariantMap{{QStringLiteral("login"), QStringLiteral("bob")}});
    QInputDialog* ask = nullptr;
    QVERIFY(QTest::qWaitFor([&] { return (ask = run.child<QInputDialog>("SelectServerDialog")) != nullptr; },
                            wait));
    QCOMPARE(ask->windowTitle(), QStringLiteral("Select Server"));
    QCOMPARE(ask->labelText(), QStringLiteral("Requested Server:"));
    QCOMPARE(ask->comboBoxItems(),
             (QStringList{QStringLiteral("Automatic"), QStringLiteral("alpha"), QStringLiteral("beta")}));
    QCOMPARE(ask->textValue(), QStringLiteral("Automatic"));
    QVERIFY(!ask->isComboBoxEditable());
    if (choice.isEmpty()) {
        ask->reject();
        QTRY_COMPARE_WITH_TIMEOUT(run.failed->size(), 1, wait);
        QCOMPARE(run.failed->at(0), (QList<QVariant>{QStringLiteral("cancelled"), QString(), QVariantMap()}));
        QCOMPARE(run.flow->firstRequests.size(), 1);
        return;
    }
    ask->setTextValue(choice);
    ask->accept();
    QVERIFY(run.answer(QStringLiteral("Password"), QStringLiteral("secret")));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(run.flow->firstRequests.size(), 2);
    const QJsonObject second = run.flow->firstRequests.at(1);
    QCOMPARE(second.value(QLatin1String("selectServer")), QJsonValue(false));
    QCOMPARE(second.value(QLatin1String("serverId")), QJsonValue(serverId));
    QCOMPARE(second.value(QLatin1String("username")).toString(), QStringLiteral("bob"));
}

// A failed stage reply shows the failure with the instance's log and leaves only Close.
void TestWebSignInStaged::failurePage() {
    Run run;
    QVERIFY(run.start(passwordFlow()));
    run.open(QVariantMap{{QStringLiteral("login"), QStringLiteral("bob")}});
    QTRY_COMPARE_WITH_TIMEOUT(run.server.requests(authPath).size(), 1, wait);
    // The failure's name and message are the server's text, shown as it is.
    const QString name = QStringLiteral("<h1>locked</h1>");
    const QString message = QStringLiteral("Account <img src=\"/dev/zero\"><b>locked</b>");
    run.server.script("POST", authPath, Response::error(name, message));
    QVERIFY(run.answer(QStringLiteral("Password"), QStringLiteral("secret")));
    QTRY_COMPARE_WITH_TIMEOUT(run.failed->size(), 1, wait);
    QCOMPARE(run.failed->at(0).at(0).toString(), name);
    QCOMPARE(run.failed->at(0).at(1).toString(), message);
    QCOMPARE(run.page(), int(WebInitDialog::StatusPage));
    QCOMPARE(run.child<QLabel>("StatusLabel")->text(), name);
    QCOMPARE(run.child<QLabel>("DetailsLabel")->text(), message);
    QCOMPARE(labelsReadingMarkup(run.dialog.data()), QStringList());
    QCOMPARE(run.child<QTextBrowser>("LogTextBrowser")->toPlainText(),
             run.web->log().join(QLatin1Char('\n')));
    QVERIFY(!run.web->log().isEmpty());
    QVERIFY(buttonNamed(run.dialog.data(), QStringLiteral("Close")));
    QVERIFY(!buttonNamed(run.dialog.data(), QStringLiteral("Abort")));
    QCOMPARE(run.succeeded->size(), 0);
}

// Banner, a refused key, then the agent's second key signs; the dialog shows which key it was.
// A keyboard-interactive prompt is the server's text: markup in it stays text.
void TestWebSignInStaged::promptIsShownAsText() {
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("keyboard-interactive")};
    config.prompt = QStringLiteral("<h1>Code</h1> from your <img src=\"/dev/zero\"><b>token</b>:");
    Run run;
    QVERIFY(run.start(config));
    run.open(QVariantMap{{QStringLiteral("login"), QStringLiteral("bob")}});
    QTRY_COMPARE_WITH_TIMEOUT(run.child<QLabel>("InstructionsLabel")->text(), config.prompt, wait);
    QCOMPARE(labelsReadingMarkup(run.dialog.data()), QStringList());
    QVERIFY(run.answer(config.prompt, config.answer));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
}

void TestWebSignInStaged::agentKeySignsIn() {
    RealAgent agent;
    const QString failure = agent.start(2);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    useAgent(agent.socketPath());
    SshAuthFlow::Config config = passwordFlow();
    config.steps = QStringList{QStringLiteral("banner"), QStringLiteral("public-key")};
    config.banner = QStringLiteral("Authorised use only");
    config.acceptedKeys = {agent.keys().at(1).blob};
    Run run;
    QVERIFY(run.start(config));
    run.open(QVariantMap{{QStringLiteral("login"), QStringLiteral("bob")}});
    QMessageBox* box = nullptr;
    QVERIFY(QTest::qWaitFor([&] { return (box = run.dialog->findChild<QMessageBox*>()) != nullptr; }, wait));
    QCOMPARE(box->text(), config.banner);
    box->button(QMessageBox::Close)->click();
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(run.flow->goodSignatures, 1);
    QCOMPARE(offeredKeys(run.server, authPath),
             (QJsonArray{agent.keys().at(0).blob, agent.keys().at(1).blob}));
    QVERIFY(run.child<QLabel>("DetailsLabel")->text().contains(agent.keys().at(1).fingerprint));
    QCOMPARE(run.web->authToken(), QStringLiteral("signed-in-token"));
}

// The certificate is accepted by hand only after the dialog opened; the signature still waits for the
// user.
void TestWebSignInStaged::agentKeyWaitsForTheUserOnACertificateAcceptedByHand() {
    RealAgent agent;
    const QString failure = agent.start(1);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    useAgent(agent.socketPath());
    SshAuthFlow::Config config = passwordFlow();
    config.steps = QStringList{QStringLiteral("public-key")};
    config.acceptedKeys = {agent.keys().at(0).blob};
    Run run;
    QVERIFY(run.start(config, false));
    run.open(QVariantMap{{QStringLiteral("login"), QStringLiteral("bob")}});
    QMessageBox* box = nullptr;
    QVERIFY(QTest::qWaitFor([&] { return (box = run.child<QMessageBox>("AgentSignQuestion")) != nullptr; },
                            wait));
    QVERIFY(box->text().contains(agent.keys().at(0).comment));
    QVERIFY(box->informativeText().contains(
        QString::fromLatin1(run.server.certificate().digest().toHex(':').toUpper())));
    QCOMPARE(run.flow->goodSignatures + run.flow->badSignatures, 0);
    box->button(QMessageBox::Yes)->click();
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(run.flow->goodSignatures, 1);
}

// The parameter form belongs to session starts; in the sign-in of a connection it is an unknown stage.
void TestWebSignInStaged::formIsNotASignInStage() {
    useAgent(QString());
    SshAuthFlow::Config config = passwordFlow();
    config.steps.append(QStringLiteral("form"));
    Run run;
    QVERIFY(run.start(config));
    run.open(QVariantMap{{QStringLiteral("login"), QStringLiteral("bob")}});
    QVERIFY(run.answer(QStringLiteral("Password"), QStringLiteral("secret")));
    QTRY_COMPARE_WITH_TIMEOUT(run.failed->size(), 1, wait);
    QCOMPARE(run.failed->at(0), (QList<QVariant>{QStringLiteral("auth"),
                                                 QStringLiteral("Unknown auth stage form"), QVariantMap()}));
    QCOMPARE(run.succeeded->size(), 0);
}

QTEST_MAIN(TestWebSignInStaged)
#include "tst_web_signin_staged.moc"
