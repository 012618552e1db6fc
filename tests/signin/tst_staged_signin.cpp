// The staged sign-in of a session start against the HTTPS test server, signing with a real
// ssh-agent, and the agent answers a broken agent can give.

#include "AgentPeers.h"
#include "SignInTestSupport.h"
#include "SshAuthFlow.h"
#include "SshdHarness.h"
#include "platform/agent/SshAgent.h"
#include "signin/AuthDialog.h"
#include "signin/AuthInstance.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QtConcurrent/QtConcurrentRun>

using HttpsPeer::Server;
using HttpsPeer::SshAuthFlow;

namespace {

constexpr int wait = 20000;
const QString startPath = QStringLiteral("/v3/api/session/start");

// How the connection came to trust the server.
enum class Trust { System, AcceptedByHand, AcceptsAll, PlainHttp };

// One sign-in run: the server with its flow, the instance and the dialog, started from the first
// reply of a session start.
struct Run {
    Server server;
    QScopedPointer<SystemTrust> systemTrust;
    SshAuthFlow* flow = nullptr;
    QSharedPointer<RpcInstanceWeb> web;
    QScopedPointer<AuthDialog> dialog;
    QScopedPointer<QSignalSpy> succeeded, failed, agentStatus;

    QString start(const SshAuthFlow::Config& config, Trust trust = Trust::System) {
        if (!server.start(trust == Trust::PlainHttp ? Server::Http : Server::Https))
            return server.error();
        if (trust == Trust::System)
            systemTrust.reset(new SystemTrust(server));
        flow = SshAuthFlow::install(server, startPath, config);
        web = webInstance(server, trust == Trust::AcceptsAll);
        return startDialog();
    }

    // Another session start on the same connection, with a dialog of its own.
    QString startDialog() {
        RpcPromise<QJsonObject>* first = web->startSessionRaw(QJsonObject());
        QSignalSpy settled(first, &RpcPromiseBase::succeeded);
        if (!settled.wait(wait))
            return QStringLiteral("the start got no first stage");
        dialog.reset(new AuthDialog(web, nullptr));
        succeeded.reset(new QSignalSpy(dialog.data(), &AuthDialog::succeeded));
        failed.reset(new QSignalSpy(dialog.data(), &AuthDialog::failed));
        agentStatus.reset(new QSignalSpy(dialog->authInstance(), &AuthInstance::agentStatus));
        dialog->startAuth(first->value);
        return QString();
    }

    QStringList statuses() const {
        QStringList texts;
        for (const QList<QVariant>& args : *agentStatus)
            texts.append(args.at(0).toString());
        return texts;
    }
    QJsonArray signatures() const {
        QJsonArray out;
        for (const QJsonObject& reply : replies()) {
            if (reply.contains(QLatin1String("signature")))
                out.append(reply.value(QLatin1String("signature")));
        }
        return out;
    }

    QList<QJsonObject> replies() const { return bodies(server, startPath).mid(1); }

    // Waits for the prompt, types the answer and presses Continue.
    bool answer(const QString& prompt, const QString& text, int presses = 1) {
        auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("AnswerLineEdit"));
        auto* label = dialog->findChild<QLabel*>(QStringLiteral("InstructionsLabel"));
        if (!QTest::qWaitFor([&] { return field->isEnabled() && label->text() == prompt; }, wait))
            return false;
        field->setText(text);
        QAbstractButton* next = buttonNamed(dialog.data(), QStringLiteral("Continue"));
        for (int i = 0; i < presses; ++i)
            QTest::mouseClick(next, Qt::LeftButton);
        return true;
    }
};

QByteArray identities(const QList<QByteArray>& blobs, quint32 count) {
    QByteArray body(1, 12);
    body += FakeAgent::u32(count);
    for (const QByteArray& blob : blobs)
        body += FakeAgent::string(blob) + FakeAgent::string("comment");
    return FakeAgent::framed(body);
}

QByteArray someKeyBlob(int n = 1, const QByteArray& type = "ssh-ed25519") {
    return FakeAgent::string(type) + FakeAgent::string(QByteArray(32, char('A' + n)));
}

using SignData = std::function<QByteArray(const SshAuthFlow::LoginRequest&)>;

} // namespace

Q_DECLARE_METATYPE(SignData)
Q_DECLARE_METATYPE(Trust)

namespace {

// A sign-data shape made by changing one part of the well-formed login request.
template <typename Change>
SignData changed(Change change) {
    return [change](const SshAuthFlow::LoginRequest& wellFormed) {
        SshAuthFlow::LoginRequest request = wellFormed;
        change(request);
        return request.bytes();
    };
}

} // namespace

class TestStagedSignIn : public QObject {
    Q_OBJECT
private slots:
    void init() { AuthInstance::forgetSignAnswers(); }
    void refusedKeysThenSigned();
    void threeRefusalsThenPassword();
    void keyboardInteractiveAnswer();
    void returnAnswersOnce();
    void replyStages_data();
    void replyStages();
    void signStageBeforeAnyKey();
    void agentNotUsed_data();
    void agentNotUsed();
    void brokenIdentityAnswers_data();
    void brokenIdentityAnswers();
    void brokenSignAnswers_data();
    void brokenSignAnswers();
    void oversizedSignRequestIsNotSent();
    void silentAgentIsGivenUp();
    void onlyLoginRequestsAreSigned_data();
    void onlyLoginRequestsAreSigned();
    void openSshLoginRequestIsSigned();
    void algorithmsOfTheKey_data();
    void algorithmsOfTheKey();
    void certificateAcceptedByHandAsksFirst_data();
    void certificateAcceptedByHandAsksFirst();
};

// Banner, then three keys on offer: the first two refused, the third signs and is verified.
void TestStagedSignIn::refusedKeysThenSigned() {
    RealAgent agent;
    const QString failure = agent.start(3);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    useAgent(agent.socketPath());
    const QList<AgentKey> keys = agent.keys();

    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("banner"), QStringLiteral("public-key")};
    config.banner = QStringLiteral("<b>Welcome</b> to <i>the</i> host & more");
    config.acceptedKeys = {keys.at(2).blob};
    config.finalReply = HttpsPeer::connectReply(QStringLiteral("signed-1"));
    Run run;
    QVERIFY2(run.start(config).isEmpty(), "no start");

    QMessageBox* box = nullptr;
    QVERIFY(QTest::qWaitFor([&] { return (box = run.dialog->findChild<QMessageBox*>()) != nullptr; }, wait));
    QCOMPARE(box->windowTitle(), QStringLiteral("SSH Banner"));
    QCOMPARE(box->textFormat(), Qt::PlainText);
    QCOMPARE(box->text(), config.banner);
    QVERIFY(run.replies().isEmpty());
    box->button(QMessageBox::Close)->click();

    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(run.failed->size(), 0);
    const QJsonObject final = run.succeeded->at(0).at(0).toJsonObject();
    QCOMPARE(final.value(QLatin1String("id")).toString(), QStringLiteral("signed-1"));
    QCOMPARE(final.value(QLatin1String("stage")).toString(), QStringLiteral("success"));
    QCOMPARE(run.replies().value(0).value(QLatin1String("answer")), QJsonValue(QString()));
    QCOMPARE(offeredKeys(run.server, startPath),
             (QJsonArray{keys.at(0).blob, keys.at(1).blob, keys.at(2).blob}));
    QCOMPARE(run.flow->goodSignatures, 1);
    QCOMPARE(run.flow->badSignatures, 0);
    for (const QJsonObject& reply : run.replies())
        QCOMPARE(reply.value(QLatin1String("authtoken")).toString(), QStringLiteral("auth-1"));

    // The user sees which key signed.
    QCOMPARE(run.agentStatus->size(), 1);
    const QString shown = run.agentStatus->at(0).at(0).toString();
    QVERIFY2(!keys.at(2).fingerprint.isEmpty() && shown.contains(keys.at(2).fingerprint), qPrintable(shown));
    QVERIFY(shown.contains(keys.at(2).comment));
    QVERIFY(run.dialog->findChild<QLabel*>(QStringLiteral("StatusLabel"))
                ->text()
                .contains(keys.at(2).fingerprint));
}

// Every key refused: the fourth public-key stage offers none and the server falls back to a
// password; a wrong one is asked again, and one press sends one answer.
void TestStagedSignIn::threeRefusalsThenPassword() {
    RealAgent agent;
    const QString failure = agent.start(3);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    useAgent(agent.socketPath());
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("public-key"), QStringLiteral("password")};
    Run run;
    QVERIFY(run.start(config).isEmpty());

    QVERIFY(run.answer(QStringLiteral("Password"), QStringLiteral("wrong"), 2));
    QVERIFY(run.answer(QStringLiteral("Password"), QStringLiteral("secret"), 3));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    const QList<AgentKey> keys = agent.keys();
    QCOMPARE(offeredKeys(run.server, startPath),
             (QJsonArray{keys.at(0).blob, keys.at(1).blob, keys.at(2).blob, false}));
    QStringList passwords;
    for (const QJsonObject& reply : run.replies()) {
        if (reply.contains(QLatin1String("password")))
            passwords.append(reply.value(QLatin1String("password")).toString());
    }
    QCOMPARE(passwords, (QStringList{QStringLiteral("wrong"), QStringLiteral("secret")}));
}

void TestStagedSignIn::keyboardInteractiveAnswer() {
    useAgent(QString());
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("keyboard-interactive")};
    config.prompt = QStringLiteral("<h1>Code</h1> from your <img src=\"/dev/zero\"><b>token</b>:");
    Run run;
    QVERIFY(run.start(config).isEmpty());
    // The prompt is the server's text, shown as it is.
    auto* label = run.dialog->findChild<QLabel*>(QStringLiteral("InstructionsLabel"));
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), config.prompt, wait);
    QCOMPARE(labelsReadingMarkup(run.dialog.data()), QStringList());
    QVERIFY(run.answer(config.prompt, QStringLiteral("123456")));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    const QJsonObject reply = run.replies().value(0);
    QCOMPARE(reply.value(QLatin1String("answer")).toString(), QStringLiteral("123456"));
    QVERIFY(!reply.contains(QLatin1String("password")));
}

// Return in the answer field presses Continue, once, for the first prompt and for the one after a
// wrong password; a second Return while the answer is on its way sends nothing and does not abort.
void TestStagedSignIn::returnAnswersOnce() {
    useAgent(QString());
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("password")};
    Run run;
    QVERIFY(run.start(config).isEmpty());
    QSignalSpy rejected(run.dialog.data(), &QDialog::rejected);
    auto* field = run.dialog->findChild<QLineEdit*>(QStringLiteral("AnswerLineEdit"));
    for (const QString& password : {QStringLiteral("wrong"), QStringLiteral("secret")}) {
        QTRY_VERIFY_WITH_TIMEOUT(field->isEnabled() && run.dialog->isVisible(), wait);
        // Focus moves as it would for the user.
        QApplication::setActiveWindow(run.dialog.data());
        QVERIFY(QTest::qWaitForWindowActive(run.dialog.data()));
        QTest::keyClicks(field, password);
        QTest::keyClick(field, Qt::Key_Return);
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : run.dialog.data(), Qt::Key_Return);
    }
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(rejected.size(), 0);
    QStringList passwords;
    for (const QJsonObject& reply : run.replies()) {
        if (reply.contains(QLatin1String("password")))
            passwords.append(reply.value(QLatin1String("password")).toString());
    }
    QCOMPARE(passwords, (QStringList{QStringLiteral("wrong"), QStringLiteral("secret")}));
}

void TestStagedSignIn::replyStages_data() {
    QTest::addColumn<QString>("stage");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QString>("message");
    QTest::newRow("schedule ends the sign-in") << QStringLiteral("schedule") << true << QString();
    QTest::newRow("form ends the sign-in for the start's owner")
        << QStringLiteral("form") << true << QString();
    QTest::newRow("unknown stage") << QStringLiteral("telepathy") << false
                                   << QStringLiteral("Unknown auth stage telepathy");
}

void TestStagedSignIn::replyStages() {
    QFETCH(QString, stage);
    QFETCH(bool, succeeds);
    QFETCH(QString, message);
    useAgent(QString());
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("password"), stage};
    Run run;
    QVERIFY(run.start(config).isEmpty());
    QVERIFY(run.answer(QStringLiteral("Password"), config.password));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size() + run.failed->size(), 1, wait);
    if (succeeds) {
        QCOMPARE(run.succeeded->size(), 1);
        QCOMPARE(run.succeeded->at(0).at(0).toJsonObject().value(QLatin1String("stage")).toString(), stage);
    } else {
        QCOMPARE(run.failed->size(), 1);
        QCOMPARE(run.failed->at(0).at(0).toString(), QStringLiteral("auth"));
        QCOMPARE(run.failed->at(0).at(1).toString(), message);
    }
}

// A sign stage before any key was listed answers with the token alone.
void TestStagedSignIn::signStageBeforeAnyKey() {
    useAgent(QString());
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("sign")};
    Run run;
    QVERIFY(run.start(config).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(run.failed->size(), 1, wait);
    QCOMPARE(run.replies(),
             (QList<QJsonObject>{QJsonObject{{QStringLiteral("authtoken"), QStringLiteral("auth-1")}}}));
    QCOMPARE(run.failed->at(0).at(0).toString(), QStringLiteral("auth"));
    QCOMPARE(run.failed->at(0).at(1).toString(), QStringLiteral("Unexpected answer"));
}

void TestStagedSignIn::agentNotUsed_data() {
    QTest::addColumn<QString>("agent");
    QTest::addColumn<Trust>("trust");
    QTest::addColumn<QString>("status");
    QTest::newRow("no agent") << QString() << Trust::System << QString();
    QTest::newRow("no socket at the agent's path")
        << QStringLiteral("/nonexistent/agent.sock") << Trust::System << QString();
    QTest::newRow("a connection that accepts every certificate")
        << QStringLiteral("real") << Trust::AcceptsAll
        << QStringLiteral("Keys of the SSH agent are not offered: this connection accepts any server "
                          "certificate.");
    QTest::newRow("plain http") << QStringLiteral("real") << Trust::PlainHttp
                                << QStringLiteral("Keys of the SSH agent are not offered: this connection is "
                                                  "not encrypted (plain http).");
}

void TestStagedSignIn::agentNotUsed() {
    QFETCH(QString, agent);
    QFETCH(Trust, trust);
    QFETCH(QString, status);
    RealAgent real;
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("public-key"), QStringLiteral("password")};
    if (agent == QLatin1String("real")) {
        const QString failure = real.start(1);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        agent = real.socketPath();
        config.acceptedKeys = {real.keys().at(0).blob};
    }
    useAgent(agent);
    Run run;
    QVERIFY(run.start(config, trust).isEmpty());
    QVERIFY(run.answer(QStringLiteral("Password"), config.password));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(offeredKeys(run.server, startPath), QJsonArray{false});
    QCOMPARE(run.flow->goodSignatures + run.flow->badSignatures, 0);
    QCOMPARE(run.statuses(), status.isEmpty() ? QStringList() : QStringList{status});
}

void TestStagedSignIn::brokenIdentityAnswers_data() {
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("offersKey");
    QList<QByteArray> many;
    for (int i = 0; i < 2049; ++i)
        many.append(someKeyBlob(i % 20));
    QTest::newRow("2048 keys are read") << identities(many.mid(0, 2048), 2048) << true;
    QTest::newRow("count 0") << identities({}, 0) << false;
    QTest::newRow("count 2049") << identities(many, 2049) << false;
    QTest::newRow("fewer keys than counted") << identities({someKeyBlob()}, 2) << false;
    QTest::newRow("a comment cut short")
        << FakeAgent::framed(QByteArray(1, 12) + FakeAgent::u32(1) + FakeAgent::string(someKeyBlob()) +
                             FakeAgent::u32(100) + "abc")
        << false;
    QTest::newRow("wrong answer type") << FakeAgent::framed(QByteArray(1, 5)) << false;
    QTest::newRow("length beyond the cap") << FakeAgent::u32(1u << 30) + QByteArray(1, 12) << false;
    QTest::newRow("answer cut short") << FakeAgent::u32(100) + QByteArray(1, 12) << false;
    QTest::newRow("no answer") << QByteArray() << false;
}

// Any fault in the key list means no key; a list at the limit is read whole.
void TestStagedSignIn::brokenIdentityAnswers() {
    QFETCH(QByteArray, answer);
    QFETCH(bool, offersKey);
    FakeAgent fake(answer.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{answer});
    QVERIFY(fake.isListening());
    useAgent(fake.socketPath());
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("public-key"), QStringLiteral("password")};
    Run run;
    QVERIFY(run.start(config).isEmpty());
    int listed = -1;
    AuthInstance* auth = run.dialog->authInstance();
    connect(auth, &AuthInstance::sendAuth, this, [&listed, auth] {
        if (listed < 0)
            listed = auth->agentKeys().size();
    });
    if (offersKey) {
        QTRY_VERIFY_WITH_TIMEOUT(!offeredKeys(run.server, startPath).isEmpty(), wait);
        QCOMPARE(offeredKeys(run.server, startPath).at(0).toString(),
                 QString::fromLatin1(someKeyBlob(0).toBase64()));
        QCOMPARE(listed, 2048);
        return;
    }
    QVERIFY(run.answer(QStringLiteral("Password"), config.password));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(offeredKeys(run.server, startPath), QJsonArray{false});
    QCOMPARE(fake.requests(), QList<QByteArray>{QByteArray(1, 11)});
}

void TestStagedSignIn::brokenSignAnswers_data() {
    QTest::addColumn<QByteArray>("answer");
    const QByteArray name = FakeAgent::string("ssh-ed25519");
    QTest::newRow("signature cut short") << FakeAgent::framed(
        QByteArray(1, 14) + FakeAgent::string(name + FakeAgent::u32(64) + QByteArray(10, 'x')));
    QTest::newRow("signature blob cut short")
        << FakeAgent::framed(QByteArray(1, 14) + FakeAgent::u32(200) + name);
    QTest::newRow("agent failure") << FakeAgent::framed(QByteArray(1, 5));
    QTest::newRow("no answer") << QByteArray();
}

// An unreadable signature is sent as an empty one; the server refuses it and the key.
void TestStagedSignIn::brokenSignAnswers() {
    QFETCH(QByteArray, answer);
    QList<QByteArray> answers{identities({someKeyBlob()}, 1)};
    if (!answer.isEmpty())
        answers.append(answer);
    FakeAgent fake(answers);
    useAgent(fake.socketPath());
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("public-key"), QStringLiteral("password")};
    config.acceptedKeys = {QString::fromLatin1(someKeyBlob().toBase64())};
    Run run;
    QVERIFY(run.start(config).isEmpty());
    QVERIFY(run.answer(QStringLiteral("Password"), config.password));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(fake.requests().size(), 2);
    QCOMPARE(fake.requests().at(1).at(0), char(13));
    QCOMPARE(run.signatures(), QJsonArray{QString()});
    QCOMPARE(run.flow->badSignatures, 1);
    QCOMPARE(offeredKeys(run.server, startPath), (QJsonArray{config.acceptedKeys.values().first(), false}));
}

// Data to sign that does not fit an agent message never reaches the agent.
void TestStagedSignIn::oversizedSignRequestIsNotSent() {
    FakeAgent fake({identities({someKeyBlob()}, 1)});
    useAgent(fake.socketPath());
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("public-key"), QStringLiteral("password")};
    config.acceptedKeys = {QString::fromLatin1(someKeyBlob().toBase64())};
    // A login request is only this large with a very long user name.
    config.user = QString(300 * 1024, QLatin1Char('u'));
    Run run;
    QVERIFY(run.start(config).isEmpty());
    QVERIFY(run.answer(QStringLiteral("Password"), config.password));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(fake.requests(), QList<QByteArray>{QByteArray(1, 11)});
    QCOMPARE(run.flow->badSignatures, 1);
}

// An agent that takes a request and never answers does not hold the query past its deadline.
void TestStagedSignIn::silentAgentIsGivenUp() {
    FakeAgent fake({}, true);
    const QString path = fake.socketPath();
    QFutureWatcher<QByteArray> query;
    QSignalSpy done(&query, &QFutureWatcherBase::finished);
    query.setFuture(QtConcurrent::run([path] {
        return platform::queryAgent(path, FakeAgent::framed(AuthInstance::identitiesRequest()), 500);
    }));
    QVERIFY(done.wait(wait));
    QVERIFY(query.result().isEmpty());
    QCOMPARE(fake.requests(), QList<QByteArray>{QByteArray(1, 11)});
}

// The agent signs only an ssh public-key login request for the key on offer; every other shape is
// refused with a status, answered with an empty signature, and the server goes on to the password.
void TestStagedSignIn::onlyLoginRequestsAreSigned_data() {
    using Login = SshAuthFlow::LoginRequest;
    QTest::addColumn<SignData>("signData");
    QTest::addColumn<QString>("refusal"); // empty: signed
    const QString notLogin =
        QStringLiteral("The server asked to sign data that is not an SSH login request.");
    QTest::newRow("well-formed login request") << SignData() << QString();
    QTest::newRow("file signature") << SignData([](const Login&) {
        return QByteArray("SSHSIG") + FakeAgent::string("file") + FakeAgent::string(QByteArray()) +
               FakeAgent::string("sha512") + FakeAgent::string(QByteArray(64, 'h'));
    }) << notLogin;
    QTest::newRow("nothing") << SignData([](const Login&) { return QByteArray(); }) << notLogin;
    QTest::newRow("another message type") << changed([](Login& r) { r.messageType = 60; }) << notLogin;
    QTest::newRow("another service") << changed([](Login& r) { r.service = "ssh-userauth"; }) << notLogin;
    QTest::newRow("another method") << changed([](Login& r) { r.method = "hostbased"; }) << notLogin;
    QTest::newRow("a query without signature") << changed([](Login& r) { r.hasSignature = 0; }) << notLogin;
    QTest::newRow("bytes after the key") << changed([](Login& r) { r.trailing = "x"; }) << notLogin;
    QTest::newRow("cut short") << SignData([](const Login& r) { return r.bytes().chopped(1); }) << notLogin;
    QTest::newRow("empty session id") << changed([](Login& r) { r.sessionId.clear(); }) << notLogin;
    QTest::newRow("session id longer than any hash")
        << changed([](Login& r) { r.sessionId = QByteArray(65, 's'); }) << notLogin;
    // The form that binds the request to the server's host key: one more string, the host key.
    const QByteArray hostBound = "publickey-hostbound-v00@openssh.com";
    const QByteArray hostKey = FakeAgent::string(someKeyBlob(7));
    QTest::newRow("bound to the host key") << changed([=](Login& r) {
        r.method = hostBound;
        r.trailing = hostKey;
    }) << QString();
    QTest::newRow("bound, without the host key")
        << changed([=](Login& r) { r.method = hostBound; }) << notLogin;
    QTest::newRow("bound, bytes after the host key") << changed([=](Login& r) {
        r.method = hostBound;
        r.trailing = hostKey + "x";
    }) << notLogin;
    QTest::newRow("bound, two strings after the key") << changed([=](Login& r) {
        r.method = hostBound;
        r.trailing = hostKey + hostKey;
    }) << notLogin;
    QTest::newRow("bound, host key cut short") << changed([=](Login& r) {
        r.method = hostBound;
        r.trailing = hostKey.chopped(1);
    }) << notLogin;
    QTest::newRow("bound, empty host key") << changed([=](Login& r) {
        r.method = hostBound;
        r.trailing = FakeAgent::string(QByteArray());
    }) << notLogin;
    QTest::newRow("bound, host key without a key type") << changed([=](Login& r) {
        r.method = hostBound;
        r.trailing = FakeAgent::string(FakeAgent::string(QByteArray()) + QByteArray(32, 'k'));
    }) << notLogin;
    QTest::newRow("plain method with a host key")
        << changed([=](Login& r) { r.trailing = hostKey; }) << notLogin;
    QTest::newRow("another bound method version") << changed([=](Login& r) {
        r.method = "publickey-hostbound-v01@openssh.com";
        r.trailing = hostKey;
    }) << notLogin;
    QTest::newRow("bound method name cut short") << changed([=](Login& r) {
        r.method = "publickey-hostbound";
        r.trailing = hostKey;
    }) << notLogin;
    QTest::newRow("bound, for another key") << changed([=](Login& r) {
        r.method = hostBound;
        r.keyBlob = someKeyBlob();
        r.trailing = hostKey;
    }) << QStringLiteral("The server's login request is for another key.");
    QTest::newRow("another key") << changed([](Login& r) { r.keyBlob = someKeyBlob(); })
                                 << QStringLiteral("The server's login request is for another key.");
    QTest::newRow("an algorithm of another kind of key")
        << changed([](Login& r) { r.algorithm = "rsa-sha2-256"; })
        << QStringLiteral("The server's login request names the algorithm \"rsa-sha2-256\", which does not "
                          "fit the key.");
}

void TestStagedSignIn::onlyLoginRequestsAreSigned() {
    QFETCH(SignData, signData);
    QFETCH(QString, refusal);
    RealAgent agent;
    const QString failure = agent.start(1);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    useAgent(agent.socketPath());
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("public-key"), QStringLiteral("password")};
    config.acceptedKeys = {agent.keys().at(0).blob};
    config.signData = signData;
    Run run;
    QVERIFY(run.start(config).isEmpty());
    if (refusal.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
        QCOMPARE(run.flow->goodSignatures, 1);
        return;
    }
    QVERIFY(run.answer(QStringLiteral("Password"), config.password));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(run.signatures(), QJsonArray{QString()});
    QCOMPARE(run.flow->badSignatures, 1);
    QCOMPARE(run.statuses(), QStringList{refusal + QStringLiteral(" Nothing was signed.")});
}

// What OpenSSH's client asks its agent to sign when it signs in to OpenSSH's server, captured on the
// way to a real agent, is signed when a server relays it.
void TestStagedSignIn::openSshLoginRequestIsSigned() {
    SshdHarness sshd;
    QString error;
    QVERIFY2(sshd.start(&error), qPrintable(error));
    RealAgent agent;
    error = agent.start(0);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    error = agent.addKeyFile(sshd.userKeyFile());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    RecordingAgent recorder(agent.socketPath());
    QVERIFY(recorder.isListening());

    QStringList args;
    for (const QString& option : sshd.clientOptions())
        args << (option == QLatin1String("IdentityAgent=none")
                     ? QStringLiteral("IdentityAgent=%1").arg(recorder.socketPath())
                     : option);
    args << "-o"
         << "BatchMode=yes"
         << "-p" << QString::number(sshd.port()) << "-l" << sshd.user() << "--" << sshd.host() << "true";
    QProcess ssh;
    ssh.setProcessChannelMode(QProcess::MergedChannels);
    QSignalSpy finished(&ssh, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    ssh.start(QStringLiteral("ssh"), args);
    QVERIFY(finished.wait(wait));
    QVERIFY2(ssh.exitStatus() == QProcess::NormalExit && ssh.exitCode() == 0,
             qPrintable(ssh.readAll() + sshd.serverLog()));

    QByteArray keyBlob, data;
    for (const QByteArray& request : recorder.requests()) {
        if (request.startsWith(char(13))) {
            QVERIFY2(data.isEmpty(), "more than one sign request");
            const QByteArray blobField = request.mid(1);
            const quint32 blobLength = qFromBigEndian<quint32>(blobField.constData());
            keyBlob = blobField.mid(4, int(blobLength));
            const QByteArray dataField = blobField.mid(4 + int(blobLength));
            data = dataField.mid(4, int(qFromBigEndian<quint32>(dataField.constData())));
        }
    }
    QVERIFY2(!data.isEmpty(), "ssh asked the agent to sign nothing");
    // The capture is the host-bound form, which names the server's host key after the user's key.
    QVERIFY2(data.contains("publickey-hostbound-v00@openssh.com"), data.toBase64().constData());
    QFile userKey(sshd.userKeyFile() + QStringLiteral(".pub"));
    QVERIFY(userKey.open(QIODevice::ReadOnly));
    QCOMPARE(keyBlob.toBase64(), userKey.readAll().split(' ').value(1));

    useAgent(agent.socketPath());
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("public-key"), QStringLiteral("password")};
    config.acceptedKeys = {QString::fromLatin1(keyBlob.toBase64())};
    config.signData = [data](const SshAuthFlow::LoginRequest&) { return data; };
    Run run;
    QVERIFY(run.start(config).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    QCOMPARE(run.flow->goodSignatures, 1);
    QCOMPARE(run.failed->size(), 0);
    QVERIFY2(run.statuses().value(0).startsWith(QStringLiteral("Signing in with the key")),
             qPrintable(run.statuses().join('\n')));
}

// Which algorithms a key signs with, and the flags that ask the agent for them.
void TestStagedSignIn::algorithmsOfTheKey_data() {
    QTest::addColumn<QByteArray>("keyType");
    QTest::addColumn<QByteArray>("algorithm");
    QTest::addColumn<int>("flags"); // -1: refused
    const QByteArray rsaCert = "ssh-rsa-cert-v01@openssh.com";
    QTest::newRow("rsa, ssh-rsa") << QByteArray("ssh-rsa") << QByteArray("ssh-rsa") << 0;
    QTest::newRow("rsa, rsa-sha2-256") << QByteArray("ssh-rsa") << QByteArray("rsa-sha2-256") << 2;
    QTest::newRow("rsa, rsa-sha2-512") << QByteArray("ssh-rsa") << QByteArray("rsa-sha2-512") << 4;
    QTest::newRow("rsa, ssh-ed25519") << QByteArray("ssh-rsa") << QByteArray("ssh-ed25519") << -1;
    QTest::newRow("rsa certificate, sha2-512")
        << rsaCert << QByteArray("rsa-sha2-512-cert-v01@openssh.com") << 4;
    QTest::newRow("rsa certificate, plain rsa-sha2-256") << rsaCert << QByteArray("rsa-sha2-256") << -1;
    QTest::newRow("ed25519, ssh-ed25519") << QByteArray("ssh-ed25519") << QByteArray("ssh-ed25519") << 0;
    QTest::newRow("ed25519, ssh-rsa") << QByteArray("ssh-ed25519") << QByteArray("ssh-rsa") << -1;
    QTest::newRow("ecdsa p256, its curve")
        << QByteArray("ecdsa-sha2-nistp256") << QByteArray("ecdsa-sha2-nistp256") << 0;
    QTest::newRow("ecdsa p256, another curve")
        << QByteArray("ecdsa-sha2-nistp256") << QByteArray("ecdsa-sha2-nistp384") << -1;
    QTest::newRow("empty algorithm") << QByteArray("ssh-ed25519") << QByteArray("") << -1;
}

void TestStagedSignIn::algorithmsOfTheKey() {
    QFETCH(QByteArray, keyType);
    QFETCH(QByteArray, algorithm);
    QFETCH(int, flags);
    const QByteArray blob = someKeyBlob(1, keyType);
    FakeAgent fake({identities({blob}, 1)});
    useAgent(fake.socketPath());
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("public-key"), QStringLiteral("password")};
    config.acceptedKeys = {QString::fromLatin1(blob.toBase64())};
    QByteArray sent;
    config.signData = [algorithm, &sent](const SshAuthFlow::LoginRequest& wellFormed) {
        SshAuthFlow::LoginRequest request = wellFormed;
        request.algorithm = algorithm;
        sent = request.bytes();
        return sent;
    };
    Run run;
    QVERIFY(run.start(config).isEmpty());
    QVERIFY(run.answer(QStringLiteral("Password"), config.password));
    QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
    if (flags < 0) {
        QCOMPARE(fake.requests().size(), 1);
        QVERIFY(run.statuses().value(0).contains(QStringLiteral("does not fit the key")));
        return;
    }
    QCOMPARE(fake.requests().size(), 2);
    QCOMPARE(fake.requests().at(1), AuthInstance::signRequest(blob, sent, quint32(flags)));
}

// A certificate the user accepted by hand: the first signature on the connection waits for the user,
// whose answer holds for later sign-ins on the same connection.
void TestStagedSignIn::certificateAcceptedByHandAsksFirst_data() {
    QTest::addColumn<bool>("allow");
    QTest::newRow("allowed") << true;
    QTest::newRow("refused") << false;
}

void TestStagedSignIn::certificateAcceptedByHandAsksFirst() {
    QFETCH(bool, allow);
    RealAgent agent;
    const QString failure = agent.start(1);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    useAgent(agent.socketPath());
    const AgentKey key = agent.keys().at(0);
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("public-key"), QStringLiteral("password")};
    config.acceptedKeys = {key.blob};
    Run run;
    QVERIFY(run.start(config, Trust::AcceptedByHand).isEmpty());

    QMessageBox* box = nullptr;
    QVERIFY(QTest::qWaitFor(
        [&] {
            return (box = run.dialog->findChild<QMessageBox*>(QStringLiteral("AgentSignQuestion"))) !=
                   nullptr;
        },
        wait));
    const QString asked = box->text() + QLatin1Char('\n') + box->informativeText();
    const QString fingerprint = QString::fromLatin1(run.server.certificate().digest().toHex(':').toUpper());
    QVERIFY2(asked.contains(QStringLiteral("127.0.0.1")), qPrintable(asked));
    QVERIFY2(asked.contains(fingerprint), qPrintable(asked));
    QVERIFY2(asked.contains(key.comment), qPrintable(asked));
    QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
    // Nothing goes to the server while the user decides.
    QTest::qWait(200);
    QCOMPARE(run.signatures(), QJsonArray());
    box->button(allow ? QMessageBox::Yes : QMessageBox::No)->click();

    for (int start = 0; start < 2; ++start) {
        if (start == 1) {
            // A later session start on the same connection is not asked again.
            QVERIFY(run.startDialog().isEmpty());
        }
        if (!allow)
            QVERIFY(run.answer(QStringLiteral("Password"), config.password));
        QTRY_COMPARE_WITH_TIMEOUT(run.succeeded->size(), 1, wait);
        QVERIFY(!run.dialog->findChild<QMessageBox*>(QStringLiteral("AgentSignQuestion")));
    }
    QCOMPARE(run.flow->goodSignatures, allow ? 2 : 0);
    QCOMPARE(run.flow->badSignatures, allow ? 0 : 2);
    if (!allow) {
        QCOMPARE(run.signatures(), (QJsonArray{QString(), QString()}));
        QCOMPARE(run.statuses(), QStringList{QStringLiteral(
                                     "You did not let this server use your SSH keys. Nothing was signed.")});
    }
}

QTEST_MAIN(TestStagedSignIn)
#include "tst_staged_signin.moc"
