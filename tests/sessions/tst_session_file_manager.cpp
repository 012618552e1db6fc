// The session page's web file manager in a real web engine, under a private X server.

#include "HttpsServer.h"
#include "WebEngineTestMain.h"
#include "rpc/RpcInstanceWeb.h"
#include "rpc/ServerWebView.h"
#include "sessions/ConnectionContext.h"
#include "sessions/SessionListWidget.h"

#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineView>

using HttpsPeer::Request;
using HttpsPeer::Response;
using HttpsPeer::Server;

namespace {

constexpr int wait = 30000;

// Answers the next save question: with the path, or cancelled when it is empty.
// The timer goes once it has answered.
QPointer<QTimer> answerSaveQuestion(const QString& path) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, path] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        if (path.isEmpty()) {
            timer->deleteLater();
            timer->stop();
            dialog->reject();
        } else {
            // Typed, as a user would: the dialog's own selection may still change while it loads.
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (!name)
                return;
            timer->deleteLater();
            timer->stop();
            name->setText(path);
            static_cast<QDialog*>(dialog)->accept();
        }
    });
    timer->start(20);
    return timer;
}

} // namespace

class TestSessionFileManager : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void historyAndDownloads();

private:
    QTemporaryDir m_dir;
};

void TestSessionFileManager::initTestCase() {
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    QVERIFY(m_dir.isValid());
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    installServerWebView();
}

void TestSessionFileManager::historyAndDownloads() {
    Server server;
    QVERIFY2(server.start(Server::Http), qPrintable(server.error()));
    server.route("POST", QStringLiteral("/v3/api/user/me"), [](const Request&) {
        return Response::result(QJsonObject{
            {"permissions",
             QJsonObject{{"user", QJsonObject{{"utils", QJsonObject{{"file-download", true}}}}}}}});
    });
    server.route(
        "GET", QStringLiteral("/user/file-manager"), [](const Request&) { return Response::page("first"); },
        false);
    server.route(
        "GET", QStringLiteral("/user/file-manager/second"),
        [](const Request&) { return Response::page("second"); }, false);
    server.route(
        "GET", QStringLiteral("/files/report.txt"),
        [](const Request&) {
            return Response::raw("report body", "application/octet-stream")
                .header("Content-Disposition", "attachment; filename=\"report.txt\"");
        },
        false);
    // Promises 1000 bytes, sends 7 and closes the connection.
    server.route(
        "GET", QStringLiteral("/files/broken.bin"),
        [](const Request&) {
            return Response::stream({"partial"}, true, "application/octet-stream")
                .header("Content-Length", "1000")
                .header("Content-Disposition", "attachment; filename=\"broken.bin\"");
        },
        false);
    auto* web = new RpcInstanceWeb(server.url(), false, false, nullptr);
    web->setAuthToken(QString::fromUtf8(server.token()));
    QSharedPointer<RpcInstance> rpc(web);
    SessionListWidget sessions(rpc, QSharedPointer<ConnectionContext>::create(), QJsonObject());
    auto* button = sessions.findChild<QPushButton*>(QStringLiteral("OpenFileBrowserButton"));
    QVERIFY(button);
    QVERIFY(!button->isEnabled());
    sessions.beginInteraction();
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), wait);

    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(sessions.findChild<QWebEngineView*>(), wait);
    auto* view = sessions.findChild<QWebEngineView*>();
    auto* back = sessions.findChild<QPushButton*>(QStringLiteral("BackButton"));
    auto* forward = sessions.findChild<QPushButton*>(QStringLiteral("ForwardButton"));
    auto* status = sessions.findChild<QLabel*>(QStringLiteral("StatusLabel"));
    QVERIFY(back && forward && status);
    QTRY_COMPARE_WITH_TIMEOUT(view->url().path(), QStringLiteral("/user/file-manager"), wait);
    // The view's url changes when the load starts; only a committed first page is in the history, and a
    // second navigation before that would replace it instead of going after it.
    QTRY_VERIFY_WITH_TIMEOUT(view->history()->currentItem().isValid() &&
                                 view->history()->currentItem().url().path() ==
                                     QLatin1String("/user/file-manager"),
                             wait);
    QVERIFY(!back->isEnabled());
    QVERIFY(!forward->isEnabled());

    QSignalSpy loaded(view, &QWebEngineView::loadFinished);
    QUrl second = server.url();
    second.setPath(QStringLiteral("/user/file-manager/second"));
    view->setUrl(second);
    QVERIFY(loaded.wait(wait));
    QTRY_VERIFY_WITH_TIMEOUT(back->isEnabled(), wait);
    QVERIFY(!forward->isEnabled());
    back->click();
    QTRY_VERIFY_WITH_TIMEOUT(forward->isEnabled(), wait);
    QTRY_VERIFY_WITH_TIMEOUT(!back->isEnabled(), wait);

    QUrl file = server.url();
    file.setPath(QStringLiteral("/files/report.txt"));
    // Cancelled: nothing saved, the status line unchanged.
    const QString before = status->text();
    const QPointer<QTimer> cancelled = answerSaveQuestion(QString());
    view->page()->download(file);
    QTRY_VERIFY_WITH_TIMEOUT(cancelled.isNull(), wait);
    QCOMPARE(status->text(), before);

    const QString target = m_dir.filePath(QStringLiteral("saved <report>.txt"));
    answerSaveQuestion(target);
    view->page()->download(file);
    QTRY_VERIFY_WITH_TIMEOUT(status->text().endsWith(QStringLiteral(" finished downloading")), wait);
    QFile saved(target);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("report body"));
    // The user's path is shown as text inside the link.
    QVERIFY2(status->text().contains(QStringLiteral("saved &lt;report&gt;.txt</a>")),
             qPrintable(status->text()));
}

int main(int argc, char** argv) {
    return runWebEngineTest<TestSessionFileManager>(argc, argv);
}

#include "tst_session_file_manager.moc"
