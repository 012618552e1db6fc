// Opening connections over the real transports: the sign-in starts the session page; a failure
// reaches the page's failed signal with the log.

#include "../rpc/ssh/SshRpcFixture.h"
#include "../ClosedPort.h"

#include "connections/SshConnection.h"
#include "sessions/SessionListWidget.h"
#include "sessions/SessionModel.h"

#include <QJsonArray>
#include <QLoggingCategory>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

namespace {

} // namespace

class TestConnectionOpen : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
        registerSessionMetaTypes();
        QString error;
        QVERIFY2(m_fixture.start(&error), qPrintable(error));
        qunsetenv("SSH_ASKPASS");
        qunsetenv("SSH_AUTH_SOCK");
    }

    void sshSignInStartsThePage() {
        SshConnection connection;
        QJsonObject json = SshRpcFixture::connectionJson(m_fixture.settings());
        json.insert("name", "Lab");
        connection.fromJson(json);
        QPointer<QWidget> page = connection.open(nullptr);
        auto* sessions = qobject_cast<SessionListWidget*>(page.data());
        QVERIFY(sessions);
        QCOMPARE(page->objectName(), QStringLiteral("SessionListWidget"));
        QVERIFY(page->windowTitle().startsWith(QStringLiteral("Lab (ssh://")));
        QSignalSpy begin(sessions, &SessionListWidget::begin);
        QVERIFY(begin.wait(SshRpcFixture::timeoutMs));
        // The page asks the server for its sessions.
        QTRY_VERIFY_WITH_TIMEOUT(!m_fixture.recorded().isEmpty(), SshRpcFixture::timeoutMs);
        page->close();
        QTRY_VERIFY_WITH_TIMEOUT(page.isNull(), 10000);
    }

    void sshFailureReachesThePage() {
        SshLaunchSettings settings = m_fixture.settings();
        settings.port = closedPort();
        SshConnection connection;
        connection.fromJson(SshRpcFixture::connectionJson(settings));
        QPointer<QWidget> page = connection.open(nullptr);
        QSignalSpy failed(page.data(), SIGNAL(failed(QString, QString, QString)));
        QVERIFY(failed.wait(SshRpcFixture::timeoutMs));
        QVERIFY(!failed.first().at(2).toString().isEmpty());
        if (page)
            page->close();
    }

private:
    SshRpcFixture m_fixture;
};

QTEST_MAIN(TestConnectionOpen)
#include "tst_connection_open.moc"
