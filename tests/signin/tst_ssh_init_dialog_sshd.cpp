// The sign-in dialog carrying a real ssh conversation for the ssh transport: a real sshd on
// loopback whose host key is not yet known, and a passphrase-protected user key, both answered by
// pressing the dialog's buttons. ssh reaches the dialog through murrow and the prompt server.

#include "SshdHarness.h"

#include "rpc/RpcInstanceSsh.h"
#include "signin/SshInitDialog.h"
#include "signin/SshProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

const QString passphrase = QStringLiteral("secret");

QString serverInterfaceCommand() {
    return QDir(QCoreApplication::applicationDirPath()).filePath("velnor-test-server-interface");
}

// The fingerprint as ssh shows it, from the server's public host key.
QString hostKeyFingerprint(const QString& publicKeyFile) {
    QProcess keygen;
    keygen.start("ssh-keygen", {"-l", "-E", "sha256", "-f", publicKeyFile});
    if (!keygen.waitForFinished(10000))
        return QString();
    const QStringList fields = QString::fromLocal8Bit(keygen.readAllStandardOutput()).split(' ');
    return fields.size() > 1 ? fields[1] : QString();
}

QPushButton* pageButton(const SshInitDialog& dialog) {
    for (auto* button : dialog.findChildren<QPushButton*>())
        if (button->isVisible() && button->text() != QLatin1String("Abort"))
            return button;
    return nullptr;
}

} // namespace

class TestSshInitDialogSshd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void unknownHostThenPassphrase_data();
    void unknownHostThenPassphrase();

private:
    SshdHarness m_sshd;
};

void TestSshInitDialogSshd::initTestCase() {
    QString error;
    m_sshd.setUserKeyPassphrase(passphrase);
    QVERIFY2(m_sshd.start(&error), qPrintable(error));
    // The prompts must come to us, not to whatever helper or agent the environment names.
    qunsetenv("SSH_ASKPASS");
    qunsetenv("SSH_AUTH_SOCK");
}

void TestSshInitDialogSshd::cleanupTestCase() {
    m_sshd.stop();
}

void TestSshInitDialogSshd::unknownHostThenPassphrase_data() {
    QTest::addColumn<bool>("portTaken");
    QTest::newRow("tunnel port stays free") << false;
    // Another program takes the port between ssh's start and its bind, after the sign-in: ssh starts
    // again on another port, and the user is not asked again.
    QTest::newRow("tunnel port taken before ssh binds it") << true;
}

void TestSshInitDialogSshd::unknownHostThenPassphrase() {
    QFETCH(bool, portTaken);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString knownHosts = dir.filePath("known_hosts");
    QFile empty(knownHosts);
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();

    SshLaunchSettings settings;
    settings.host = m_sshd.host();
    settings.port = m_sshd.port();
    settings.user = m_sshd.user();
    settings.run = serverInterfaceCommand();
    // ssh takes the first value given for an option, so these override the harness's trust.
    settings.sshOptions =
        QStringList{"-o", "UserKnownHostsFile=" + knownHosts, "-o", "StrictHostKeyChecking=ask"} +
        m_sshd.clientOptions();

    auto instance = QSharedPointer<RpcInstanceSsh>::create(settings);
    auto owned = std::make_unique<SshInitDialog>(instance);
    SshInitDialog& dialog = *owned;
    // As the connection wires it.
    connect(instance.data(), &RpcInstance::banner, &dialog, &SshInitDialog::showBanner);
    QStringList banners;
    connect(instance.data(), &RpcInstance::banner, this, [&](const QString& text) { banners << text; });
    QSignalSpy ready(instance.data(), &RpcInstance::ready);
    QSignalSpy finished(instance.data(), &RpcInstance::finished);
    QSignalSpy questions(instance->process(), &SshProcess::questioned);
    const quint16 firstPort = instance->tunnelPort();
    QTcpServer taker;
    if (portTaken)
        QVERIFY(taker.listen(QHostAddress::LocalHost, firstPort));
    dialog.show();
    auto* pages = dialog.findChild<QStackedWidget*>("stackedWidget");
    const auto diagnostics = [&] {
        return (instance->log().join('\n') + '\n' + m_sshd.serverLog()).toLocal8Bit();
    };

    QTRY_VERIFY_WITH_TIMEOUT(pages->currentIndex() == SshInitDialog::HostKeyPage || !finished.isEmpty(),
                             20000);
    QVERIFY2(pages->currentIndex() == SshInitDialog::HostKeyPage, diagnostics().constData());
    const QString fingerprint = hostKeyFingerprint(QDir(m_sshd.directory()).filePath("host_ed25519.pub"));
    QVERIFY(fingerprint.startsWith("SHA256:"));
    QCOMPARE(dialog.findChild<QLineEdit*>("HostKeyLineEdit")->text(), fingerprint);
    QTest::mouseClick(pageButton(dialog), Qt::LeftButton);

    QTRY_VERIFY_WITH_TIMEOUT(pages->currentIndex() == SshInitDialog::AnswerPage || !finished.isEmpty(),
                             20000);
    QVERIFY2(pages->currentIndex() == SshInitDialog::AnswerPage, diagnostics().constData());
    const QString prompt = dialog.findChild<QLabel*>("InstructionsLabel")->text();
    QVERIFY2(prompt.startsWith("Enter passphrase for key '" + m_sshd.userKeyFile()), qPrintable(prompt));
    QCOMPARE(pageButton(dialog)->text(), QString("Skip"));
    QTest::keyClicks(dialog.findChild<QLineEdit*>("AnswerLineEdit"), passphrase);
    QCOMPARE(pageButton(dialog)->text(), QString("Continue"));
    QTest::mouseClick(pageButton(dialog), Qt::LeftButton);

    QTRY_VERIFY_WITH_TIMEOUT(!ready.isEmpty() || !finished.isEmpty(), 20000);
    QVERIFY2(ready.count() == 1, diagnostics().constData());
    QCOMPARE(pages->currentIndex(), int(SshInitDialog::StatusPage));
    QCOMPARE(questions.count(), 2);
    if (portTaken) {
        QVERIFY(instance->tunnelPort() != firstPort);
        QVERIFY(instance->tunnelPort() != 0);
    }
    // ssh's note on the stored key came through the transport's banner (a restarted ssh, whose
    // port another program took, has its own banners after it).
    QTRY_VERIFY(banners.join('\n').contains("Permanently added"));
    if (!instance->log().join('\n').contains("starts again"))
        QTRY_VERIFY(dialog.findChild<QLabel*>("StatusBanner")->text().contains("Permanently added"));
    int aborts = 0;
    for (auto* button : dialog.findChildren<QPushButton*>())
        aborts += button->isVisible() && button->text() == QLatin1String("Abort");
    QCOMPARE(aborts, 1);

    // The accepted key was stored for the next connection.
    QFile stored(knownHosts);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll().contains("ssh-ed25519"));

    // Let ssh end before the harness goes; the dialog holds the instance too.
    QPointer<SshProcess> process = instance->process();
    owned.reset();
    instance.clear();
    QTRY_VERIFY_WITH_TIMEOUT(process.isNull(), 20000);
}

QTEST_MAIN(TestSshInitDialogSshd)
#include "tst_ssh_init_dialog_sshd.moc"
