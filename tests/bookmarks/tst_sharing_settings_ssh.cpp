// The sharing dialog over the ssh transport: the test server command behind a real sshd keeps the
// session's sharing state, and each change the dialog sends comes back in the next load.

#include "../rpc/ssh/SshRpcFixture.h"

#include "bookmarks/SharingSettingsDialog.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>

class TestSharingSettingsSsh : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
        QString error;
        QVERIFY2(m_fixture.start(&error), qPrintable(error));
        qunsetenv("SSH_ASKPASS");
        qunsetenv("SSH_AUTH_SOCK");
    }

    void changesComeBackFromTheServer() {
        QSharedPointer<RpcInstance> rpc(new RpcInstanceSsh(m_fixture.settings(QJsonObject())));
        QSignalSpy ready(rpc.data(), &RpcInstance::ready);
        QVERIFY2(ready.wait(SshRpcFixture::timeoutMs), qPrintable(rpc->log().join('\n')));

        SharingSettingsDialog dialog(QStringLiteral("s1"), rpc, QStringLiteral("https://srv.example/base"));
        dialog.show();
        auto* enable = dialog.findChild<QCheckBox*>("EnablePublicLinkCheckBox");
        auto* link = dialog.findChild<QLineEdit*>("PublicLinkLineEdit");
        QTest::qWait(500);
        QVERIFY(!enable->isChecked());

        enable->click();
        QTRY_VERIFY_WITH_TIMEOUT(link->text().startsWith("https://srv.example/base/client/guest;id=s1;key="),
                                 SshRpcFixture::timeoutMs);

        dialog.findChild<QPushButton*>("AddSharedUserPushButton")->click();
        dialog.userTable()->item(0, 0)->setText(QStringLiteral("dora"));
        // The reload replaces the row with the server's own.
        QTRY_VERIFY_WITH_TIMEOUT(dialog.userTable()->rowCount() == 1 && dialog.userTable()->item(0, 1) &&
                                     dialog.userTable()->item(0, 0)->text() == QLatin1String("dora"),
                                 SshRpcFixture::timeoutMs);
        QCOMPARE(dialog.userTable()->item(0, 1)->text(), QStringLiteral("Start in Lobby"));
        QVERIFY(dialog.isVisible());
    }

private:
    SshRpcFixture m_fixture;
};

QTEST_MAIN(TestSharingSettingsSsh)
#include "tst_sharing_settings_ssh.moc"
