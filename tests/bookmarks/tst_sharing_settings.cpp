#include "HttpsServer.h"
#include "ShareRoutes.h"
#include "bookmarks/GuestLink.h"
#include "bookmarks/SharingSettingsDialog.h"
#include "rpc/RpcInstanceWeb.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QJsonArray>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <functional>

using HttpsPeer::Response;
using HttpsPeer::Server;
using HttpsPeer::ShareRoutes;

namespace {

constexpr int wait = 10000;

QJsonObject user(const QString& name, const QString& role) {
    return QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("role"), role}};
}

// A signed-in web transport in front of a test server with one session's sharing state.
struct SharePeer {
    Server server;
    ShareRoutes share{server};
    QSharedPointer<RpcInstance> rpc;

    bool start() {
        if (!server.start(Server::Http))
            return false;
        auto* web = new RpcInstanceWeb(server.url(), false, false, nullptr);
        web->setAuthToken(QString::fromUtf8(server.token()));
        rpc.reset(web);
        return true;
    }
};

QMessageBox* failureBox() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w))
            if (box->objectName() == QLatin1String("SharingFailureBox") && box->isVisible())
                return box;
    return nullptr;
}

QStringList rows(const QTableWidget* table) {
    QStringList out;
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem* name = table->item(row, 0);
        const QTableWidgetItem* role = table->item(row, 1);
        out << QStringLiteral("%1:%2").arg(name ? name->text() : QString(), role ? role->text() : QString());
    }
    return out;
}

using Action = std::function<void(SharingSettingsDialog&)>;

} // namespace

Q_DECLARE_METATYPE(Action)

class TestSharingSettings : public QObject {
    Q_OBJECT
private slots:
    void guestLinks_data();
    void guestLinks();
    void loadShowsUsers();
    void userActionsSendWhatChanged_data();
    void userActionsSendWhatChanged();
    void roleEditorSendsOnlyAPick();
    void addTwiceGivesOneRow();
    void publicLinkControls();
    void failuresShowOneBoxAndClose_data();
    void failuresShowOneBoxAndClose();
};

void TestSharingSettings::guestLinks_data() {
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("link");
    QTest::newRow("plain") << "https://srv.example:8443" << "s1" << "k1"
                           << "https://srv.example:8443/client/guest;id=s1;key=k1";
    QTest::newRow("sub-path") << "https://srv.example/velnor/" << "s1" << "k1"
                              << "https://srv.example/velnor/client/guest;id=s1;key=k1";
    QTest::newRow("query and fragment dropped") << "https://srv.example/base?x=1#top" << "s1" << "k1"
                                                << "https://srv.example/base/client/guest;id=s1;key=k1";
    QTest::newRow("id and key encoded") << "https://srv.example" << "a b;c" << "k=1/2"
                                        << "https://srv.example/client/guest;id=a%20b%3Bc;key=k%3D1%2F2";
    QTest::newRow("no key") << "https://srv.example" << "s1" << "" << "";
    QTest::newRow("no server") << "" << "s1" << "k1" << "";
}

void TestSharingSettings::guestLinks() {
    QFETCH(QString, server);
    QFETCH(QString, id);
    QFETCH(QString, key);
    QFETCH(QString, link);
    QCOMPARE(guestLink(server, id, key), link);
}

void TestSharingSettings::loadShowsUsers() {
    SharePeer peer;
    QVERIFY(peer.start());
    QJsonObject state = peer.share.state();
    // Server order is reversed in the table; unknown roles show as the lobby; nameless and
    // malformed entries are not shown.
    state.insert(QStringLiteral("users"), QJsonArray{user("ann", "viewer"), user("", "viewer"), 7,
                                                     user("bob", "owner"), user("cy", "controller")});
    peer.share.setState(state);
    auto* dialog = new SharingSettingsDialog(QStringLiteral("s1"), peer.rpc, peer.server.url().toString());
    QTRY_COMPARE_WITH_TIMEOUT(dialog->userTable()->rowCount(), 3, wait);
    QCOMPARE(rows(dialog->userTable()),
             QStringList({"cy:Make Moderator", "bob:Start in Lobby", "ann:Automatically Enter"}));
    QVERIFY(peer.share.updates().isEmpty());
    delete dialog;

    // A users value that is not an array shows nobody.
    state.insert(QStringLiteral("users"), QStringLiteral("ann"));
    peer.share.setState(state);
    dialog = new SharingSettingsDialog(QStringLiteral("s1"), peer.rpc, QString());
    QTRY_COMPARE_WITH_TIMEOUT(peer.share.loads(), 2, wait);
    QTRY_VERIFY_WITH_TIMEOUT(dialog->findChild<QLineEdit*>("PublicLinkLineEdit")->text().isEmpty(), wait);
    QCOMPARE(dialog->userTable()->rowCount(), 0);
    delete dialog;
}

void TestSharingSettings::userActionsSendWhatChanged_data() {
    QTest::addColumn<Action>("action");
    QTest::addColumn<QJsonObject>("body");

    QTest::newRow("add and name a user") << Action([](SharingSettingsDialog& d) {
        d.findChild<QPushButton*>("AddSharedUserPushButton")->click();
        d.userTable()->item(0, 0)->setText(QStringLiteral("carol"));
    }) << QJsonObject{{"id", "s1"},
                      {"users", QJsonArray{user("carol", "lobby"), user("bob", "lobby"), user("ann", "viewer")}}};
    QTest::newRow("remove a row") << Action([](SharingSettingsDialog& d) {
        d.userTable()->selectRow(1);
        auto* button = qobject_cast<QPushButton*>(d.userTable()->cellWidget(1, 2));
        QVERIFY(button);
        QVERIFY(!d.userTable()->cellWidget(0, 2));
        button->click();
    }) << QJsonObject{{"id", "s1"}, {"users", QJsonArray{user("bob", "lobby")}}};
    QTest::newRow("pick the guest role") << Action([](SharingSettingsDialog& d) {
        d.findChild<QComboBox*>("PublicRoleComboBox")->setCurrentIndex(1);
    }) << QJsonObject{{"id", "s1"}, {"public", QJsonObject{{"role", "viewer"}}}};
    QTest::newRow("disable the public link") << Action([](SharingSettingsDialog& d) {
        d.findChild<QCheckBox*>("EnablePublicLinkCheckBox")->click();
    }) << QJsonObject{{"id", "s1"}, {"sharingKey", ""}};
}

void TestSharingSettings::userActionsSendWhatChanged() {
    QFETCH(Action, action);
    QFETCH(QJsonObject, body);
    SharePeer peer;
    QVERIFY(peer.start());
    QJsonObject state = peer.share.state();
    state.insert(QStringLiteral("users"), QJsonArray{user("ann", "viewer"), user("bob", "lobby")});
    state.insert(QStringLiteral("sharingKey"), QStringLiteral("k1"));
    peer.share.setState(state);

    SharingSettingsDialog dialog(QStringLiteral("s1"), peer.rpc, peer.server.url().toString());
    dialog.show();
    QTRY_COMPARE_WITH_TIMEOUT(dialog.userTable()->rowCount(), 2, wait);
    action(dialog);
    QTRY_COMPARE_WITH_TIMEOUT(peer.share.updates().size(), 1, wait);
    QCOMPARE(peer.share.updates().constFirst(), body);
    // Every accepted change is followed by a fresh load that shows the server's state.
    QTRY_COMPARE_WITH_TIMEOUT(peer.share.loads(), 2, wait);
    QTest::qWait(200);
    QCOMPARE(peer.share.updates().size(), 1);
    QVERIFY(!failureBox());
}

void TestSharingSettings::roleEditorSendsOnlyAPick() {
    SharePeer peer;
    QVERIFY(peer.start());
    QJsonObject state = peer.share.state();
    state.insert(QStringLiteral("users"), QJsonArray{user("ann", "controller"), user("bob", "lobby")});
    peer.share.setState(state);
    SharingSettingsDialog dialog(QStringLiteral("s1"), peer.rpc, peer.server.url().toString());
    dialog.show();
    QTRY_COMPARE_WITH_TIMEOUT(dialog.userTable()->rowCount(), 2, wait);

    // Opening the editor on ann's row starts it on her role and sends nothing.
    QTableWidget* table = dialog.userTable();
    const QModelIndex index = table->model()->index(1, 1);
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(index).center());
    auto* editor = qobject_cast<QComboBox*>(table->indexWidget(index));
    QVERIFY(editor);
    QCOMPARE(editor->currentText(), QStringLiteral("Make Moderator"));
    QTest::qWait(200);
    QVERIFY(peer.share.updates().isEmpty());

    editor->setCurrentIndex(1);
    QTRY_COMPARE_WITH_TIMEOUT(peer.share.updates().size(), 1, wait);
    QCOMPARE(peer.share.updates().constFirst(),
             (QJsonObject{{"id", "s1"}, {"users", QJsonArray{user("bob", "lobby"), user("ann", "viewer")}}}));
    // The reload re-creates the rows; no editor it opens sends anything on its own.
    QTRY_COMPARE_WITH_TIMEOUT(peer.share.loads(), 2, wait);
    QTest::qWait(300);
    QCOMPARE(peer.share.updates().size(), 1);
}

void TestSharingSettings::addTwiceGivesOneRow() {
    SharePeer peer;
    QVERIFY(peer.start());
    SharingSettingsDialog dialog(QStringLiteral("s1"), peer.rpc, peer.server.url().toString());
    dialog.show();
    QTRY_COMPARE_WITH_TIMEOUT(peer.share.loads(), 1, wait);
    QTest::qWait(100);
    auto* add = dialog.findChild<QPushButton*>("AddSharedUserPushButton");
    add->click();
    add->click();
    QCOMPARE(dialog.userTable()->rowCount(), 1);
    QCOMPARE(rows(dialog.userTable()), QStringList{":Start in Lobby"});
    // A nameless row is never sent.
    QTest::qWait(200);
    QVERIFY(peer.share.updates().isEmpty());
}

void TestSharingSettings::publicLinkControls() {
    SharePeer peer;
    QVERIFY(peer.start());
    const QString base = peer.server.url().toString() + QStringLiteral("/sub/");
    SharingSettingsDialog dialog(QStringLiteral("s 1"), peer.rpc, base);
    dialog.show();
    QTRY_COMPARE_WITH_TIMEOUT(peer.share.loads(), 1, wait);
    auto* enable = dialog.findChild<QCheckBox*>("EnablePublicLinkCheckBox");
    auto* link = dialog.findChild<QLineEdit*>("PublicLinkLineEdit");
    auto* frame = dialog.findChild<QFrame*>("PublicLinkFrame");
    QTRY_VERIFY_WITH_TIMEOUT(!enable->isChecked(), wait);
    QVERIFY(link->text().isEmpty());

    enable->click();
    QTRY_COMPARE_WITH_TIMEOUT(peer.share.updates().size(), 1, wait);
    const QString key = peer.share.updates().constFirst().value("sharingKey").toString();
    QVERIFY2(QRegExp(QStringLiteral("[0-9a-f]{32}")).exactMatch(key), qPrintable(key));
    QTRY_COMPARE_WITH_TIMEOUT(link->text(), base + QStringLiteral("client/guest;id=s%201;key=") + key, wait);
    QVERIFY(frame->isEnabled());
    dialog.findChild<QPushButton*>("CopyPushButton")->click();
    QCOMPARE(QApplication::clipboard()->text(), link->text());

    // Without a server URL the link controls stay off even when the server reports a key.
    SharingSettingsDialog noUrl(QStringLiteral("s 1"), peer.rpc, QString());
    QTRY_COMPARE_WITH_TIMEOUT(peer.share.loads(), 3, wait);
    QTRY_VERIFY_WITH_TIMEOUT(noUrl.findChild<QCheckBox*>("EnablePublicLinkCheckBox")->isChecked(), wait);
    QVERIFY(!noUrl.findChild<QCheckBox*>("EnablePublicLinkCheckBox")->isEnabled());
    QVERIFY(!noUrl.findChild<QFrame*>("PublicLinkFrame")->isEnabled());
    QVERIFY(noUrl.findChild<QLineEdit*>("PublicLinkLineEdit")->text().isEmpty());
}

void TestSharingSettings::failuresShowOneBoxAndClose_data() {
    QTest::addColumn<bool>("onUpdate");
    QTest::addColumn<QString>("text");
    QTest::newRow("load") << false << "Failed to load share data:<br><br>no &lt;b&gt;access&lt;/b&gt;";
    QTest::newRow("update") << true << "Failed to update share data:<br><br>no &lt;b&gt;access&lt;/b&gt;";
}

void TestSharingSettings::failuresShowOneBoxAndClose() {
    QFETCH(bool, onUpdate);
    QFETCH(QString, text);
    SharePeer peer;
    QVERIFY(peer.start());
    const auto refusal = Response::error(QStringLiteral("Forbidden"), QStringLiteral("no <b>access</b>"));
    if (!onUpdate)
        peer.server.script("POST", QStringLiteral("/v3/api/share/load"), refusal);
    else
        peer.server.script("POST", QStringLiteral("/v3/api/share/update"), refusal);
    QPointer<SharingSettingsDialog> dialog =
        new SharingSettingsDialog(QStringLiteral("s1"), peer.rpc, peer.server.url().toString());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    if (onUpdate) {
        QTRY_VERIFY_WITH_TIMEOUT(peer.share.loads() == 1 || failureBox(), wait);
        QTest::qWait(100);
        dialog->findChild<QComboBox*>("PublicRoleComboBox")->setCurrentIndex(1);
    }
    QTRY_VERIFY_WITH_TIMEOUT(failureBox(), wait);
    QCOMPARE(failureBox()->text(), text);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog, wait);
    failureBox()->close();
    QTRY_VERIFY_WITH_TIMEOUT(!failureBox(), wait);
}

QTEST_MAIN(TestSharingSettings)
#include "tst_sharing_settings.moc"
