// The sharing panel: its client model, row texts, name dialog, and the panel itself on a shared session
// served by the simulator.

#include "ControllerFixture.h"
#include "SimClientComm.h"
#include "SimServer.h"
#include "viewer/engine/RdpInstance.h"
#include "viewer/widgets/NameDialog.h"
#include "viewer/widgets/RdpClientDelegate.h"
#include "viewer/widgets/RdpClientModel.h"
#include "viewer/widgets/RdpSharingWidget.h"

#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QtTest>

using namespace ControllerTest;
using namespace DisplaySim;

namespace {

RdpClient client(const QString& id, const QString& role = "viewer", const QString& status = "viewing",
                 const QString& name = QString(), const QString& login = QString()) {
    RdpClient c;
    c.client = id;
    c.role = role;
    c.status = status;
    c.name = name.isEmpty() ? id.toUpper() : name;
    c.login = login;
    return c;
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray updateClient(const QJsonObject& params) {
    return compact({{"method", "update-client"}, {"params", params}});
}

// One viewer session on the simulator with the share service offered.
struct SharedSession {
    PrivateSettings settings;
    Server sim{simOptions()};
    RdpInstance instance;
    ClientCommPeer cc{sim};

    bool start() {
        if (!sim.listen()) {
            return false;
        }
        instance.start(QNetworkRequest(sim.url()), QNetworkProxy(QNetworkProxy::NoProxy),
                       QStringLiteral("tester"), QStringLiteral("secret"), QStringLiteral("800x600"),
                       QStringLiteral("Shared"), false, {});
        if (!awaitSessionReady(sim, 4) || !cc.awaitOpen() || !cc.awaitClientTypes()) {
            return false;
        }
        QSignalSpy enabled(&instance, &RdpInstance::shareEnabledChanged);
        cc.sendSettings({QStringLiteral("vn-share")});
        return enabled.wait(10000);
    }

    // Makes `me` the own record and `all` the participants, and waits until the instance has both.
    bool setParticipants(const RdpClient& me, const QList<RdpClient>& all) {
        const auto json = [](const RdpClient& c) {
            return ClientCommPeer::participant(c.client, c.role, c.status, c.name, c.login, c.version);
        };
        cc.shareMeNotify(json(me));
        QJsonArray array;
        for (const RdpClient& c : all) {
            array.append(json(c));
        }
        cc.shareClientNotify(array);
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            if (instance.clientMe().client == me.client && instance.clientMe().role == me.role &&
                instance.clients().size() == all.size()) {
                return true;
            }
            QTest::qWait(5);
        }
        return false;
    }

    std::optional<CcFrame> awaitRequestData(const QByteArray& data) {
        const quint8 number = cc.number();
        const auto frame = sim.awaitFrame([&](const ClientFrame& f) {
            const CcFrame d = ClientCommPeer::decode(f.bytes);
            return f.channel == number && d.messageId == CcMsg::Message && d.data == data;
        });
        if (!frame) {
            return std::nullopt;
        }
        return ClientCommPeer::decode(frame->bytes);
    }

    // The share requests other than hello the client sent so far.
    QList<QByteArray> commandsSent() const {
        QList<QByteArray> sent;
        for (const CcFrame& f : cc.received()) {
            if (f.messageId == CcMsg::Message && f.json().value("method").toString() != "hello") {
                sent << f.data;
            }
        }
        return sent;
    }
};

bool selectClient(RdpSharingWidget& w, const QString& id) {
    QAbstractItemModel* model = w.clientListView()->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, 0);
        if (index.data(RdpClientModel::ClientRole).value<RdpClient>().client == id) {
            w.clientListView()->setCurrentIndex(index);
            return true;
        }
    }
    return false;
}

QString currentId(RdpSharingWidget& w) {
    return w.clientListView()->currentIndex().data(RdpClientModel::ClientRole).value<RdpClient>().client;
}

} // namespace

class TestRdpSharingWidget : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setOrganizationName(QStringLiteral("VelnorTest"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_rdpsharingwidget"));
        registerRdpClientMetaTypes();
    }

    void modelMerges_data() {
        QTest::addColumn<QList<RdpClient>>("before");
        QTest::addColumn<QList<RdpClient>>("incoming");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("rows");

        QTest::newRow("insert, update, remove")
            << QList<RdpClient>{client("a"), client("c")}
            << QList<RdpClient>{client("b"), client("a", "viewer", "input")}
            << QStringList{"changed 0", "insert 1", "remove 2", "updated"} << QStringList{"a", "b"};
        QTest::newRow("into an empty model, sorted")
            << QList<RdpClient>{} << QList<RdpClient>{client("z"), client("m"), client("b")}
            << QStringList{"insert 0", "insert 1", "insert 2", "updated"} << QStringList{"b", "m", "z"};
        QTest::newRow("everything goes") << QList<RdpClient>{client("a"), client("b")} << QList<RdpClient>{}
                                         << QStringList{"remove 1", "remove 0", "updated"} << QStringList{};
        QTest::newRow("name change") << QList<RdpClient>{client("a", "viewer", "viewing", "Ann")}
                                     << QList<RdpClient>{client("a", "viewer", "viewing", "Anne")}
                                     << QStringList{"data 0", "changed 0", "updated"} << QStringList{"a"};
        QTest::newRow("login only") << QList<RdpClient>{client("a", "viewer", "viewing", "Ann", "ann")}
                                    << QList<RdpClient>{client("a", "viewer", "viewing", "Ann", "ann2")}
                                    << QStringList{"updated"} << QStringList{"a"};
        QTest::newRow("front removed, tail appended")
            << QList<RdpClient>{client("a"), client("b")} << QList<RdpClient>{client("b"), client("c")}
            << QStringList{"remove 0", "insert 1", "updated"} << QStringList{"b", "c"};
    }

    void modelMerges() {
        QFETCH(QList<RdpClient>, before);
        QFETCH(QList<RdpClient>, incoming);
        QFETCH(QStringList, events);
        QFETCH(QStringList, rows);
        RdpClientModel model({QStringLiteral("name")});
        model.setClients(before);
        QStringList seen;
        connect(&model, &QAbstractItemModel::rowsInserted, this,
                [&](const QModelIndex&, int first, int) { seen << QStringLiteral("insert %1").arg(first); });
        connect(&model, &QAbstractItemModel::rowsRemoved, this,
                [&](const QModelIndex&, int first, int) { seen << QStringLiteral("remove %1").arg(first); });
        connect(&model, &QAbstractItemModel::dataChanged, this,
                [&](const QModelIndex& index) { seen << QStringLiteral("data %1").arg(index.row()); });
        connect(&model, &RdpClientModel::clientChanged, this,
                [&](const QModelIndex& index) { seen << QStringLiteral("changed %1").arg(index.row()); });
        connect(&model, &RdpClientModel::clientsUpdated, this, [&] { seen << QStringLiteral("updated"); });

        model.setClients(incoming);
        QCOMPARE(seen, events);
        QStringList ids;
        for (int row = 0; row < model.rowCount(); ++row) {
            const RdpClient c = model.index(row, 0).data(RdpClientModel::ClientRole).value<RdpClient>();
            ids << c.client;
            const auto it = std::find_if(incoming.cbegin(), incoming.cend(),
                                         [&](const RdpClient& in) { return in.client == c.client; });
            QVERIFY(it != incoming.cend());
            QCOMPARE(c, *it); // every field copied, login included
        }
        QCOMPARE(ids, rows);
    }

    void modelData() {
        RdpClientModel model({QStringLiteral("name"), QStringLiteral("other")});
        model.setClients({client("id1", "viewer", "viewing", "Ann")});
        QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("Ann"));
        QCOMPARE(model.index(0, 0).data(RdpClientModel::SortRole).toString(), QStringLiteral("Annid1"));
        QVERIFY(!model.index(0, 1).data().isValid());
        QCOMPARE(model.index(0, 1).data(RdpClientModel::ClientRole).value<RdpClient>().client,
                 QStringLiteral("id1"));
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Name"));
        QVERIFY(!model.headerData(1, Qt::Horizontal).isValid());
        QVERIFY(!model.headerData(0, Qt::Vertical).isValid());
    }

    void rowText_data() {
        QTest::addColumn<RdpClient>("record");
        QTest::addColumn<QString>("text");

        QTest::newRow("own owner controlling") << client("me", "master", "input", "Alice")
                                               << "<b><big>Alice</big></b><br/>(me, owner, controlling)";
        QTest::newRow("in lobby") << client("x", "lobby", "lobby", "Bob")
                                  << "<b><big>Bob</big></b><br/>(In Lobby)";
        QTest::newRow("owner viewing")
            << client("x", "master", "viewing", "Bob") << "<b><big>Bob</big></b><br/>(owner)";
        QTest::newRow("viewer viewing")
            << client("x", "viewer", "viewing", "Bob") << "<b><big>Bob</big></b><br/>";
        QTest::newRow("own viewer") << client("me", "viewer", "viewing", "Al")
                                    << "<b><big>Al</big></b><br/>(me)";
        QTest::newRow("controller with input")
            << client("x", "controller", "input", "Cy") << "<b><big>Cy</big></b><br/>(controlling)";
        QTest::newRow("markup in the name") << client("x", "viewer", "viewing", "<i>Eve</i> & co")
                                            << "<b><big>&lt;i&gt;Eve&lt;/i&gt; &amp; co</big></b><br/>";
    }

    void rowText() {
        QFETCH(RdpClient, record);
        QFETCH(QString, text);
        QCOMPARE(RdpClientDelegate::rowText(record, QStringLiteral("me")), text);
    }

    void nameDialog_data() {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("editable");

        QTest::newRow("viewer") << "viewer" << QStringList{"viewer", "controller"} << "viewer" << true;
        QTest::newRow("controller") << "controller" << QStringList{"viewer", "controller"} << "controller"
                                    << true;
        QTest::newRow("owner") << "master" << QStringList{"viewer", "controller", "master"} << "master"
                               << false;
        QTest::newRow("unknown role") << "lobby" << QStringList{"viewer", "controller"} << "viewer" << true;
    }

    void nameDialog() {
        QFETCH(QString, role);
        QFETCH(QStringList, entries);
        QFETCH(QString, shown);
        QFETCH(bool, editable);
        NameDialog dialog(QStringLiteral("Ann"), QStringLiteral("ann@example.org"), role);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Enter Your Name"));
        QCOMPARE(dialog.name(), QStringLiteral("Ann"));
        QStringList values;
        for (int i = 0; i < dialog.roleCombo()->count(); ++i) {
            values << dialog.roleCombo()->itemData(i).toString();
        }
        QCOMPARE(values, entries);
        QCOMPARE(dialog.role(), shown);
        QCOMPARE(dialog.isRoleEditable(), editable);
        QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
        dialog.setRoleEditable(!editable);
        QCOMPARE(dialog.isRoleEditable(), !editable);
    }

    void rowButtons_data() {
        QTest::addColumn<QString>("myRole");
        QTest::addColumn<QString>("selected"); // "me", "bob" (viewing) or "carol" (in the lobby)
        QTest::addColumn<QString>("visible");  // of Admit, View, settings, kick: A V S K
        QTest::addColumn<QString>("enabled");  // of the &View, &Control, Send to &Lobby actions: v c l

        QTest::newRow("owner, own row") << "master"
                                        << "me"
                                        << "VS"
                                        << "vc";
        QTest::newRow("owner, viewing client") << "master"
                                               << "bob"
                                               << "VSK"
                                               << "vcl";
        QTest::newRow("owner, client in lobby") << "master"
                                                << "carol"
                                                << "ASK"
                                                << "vcl";
        QTest::newRow("moderator, viewing client") << "controller"
                                                   << "bob"
                                                   << "VSK"
                                                   << "vcl";
        QTest::newRow("viewer, own row") << "viewer"
                                         << "me"
                                         << "S"
                                         << "";
        QTest::newRow("viewer, other row") << "viewer"
                                           << "bob"
                                           << ""
                                           << "l";
        QTest::newRow("in lobby, other row") << "lobby"
                                             << "bob"
                                             << ""
                                             << "";
    }

    void rowButtons() {
        QFETCH(QString, myRole);
        QFETCH(QString, selected);
        QFETCH(QString, visible);
        QFETCH(QString, enabled);
        SharedSession s;
        QVERIFY(s.start());
        const RdpClient me = client("me", myRole, myRole == "lobby" ? "lobby" : "viewing", "Mia");
        QVERIFY(s.setParticipants(
            me, {me, client("bob", "viewer", "viewing", "Bob"), client("carol", "lobby", "lobby", "Carol")}));
        RdpSharingWidget w(&s.instance);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(selectClient(w, selected));
        QCoreApplication::processEvents();

        QString shown;
        shown += w.admitButton()->isVisible() ? "A" : "";
        shown += w.viewButton()->isVisible() ? "V" : "";
        shown += w.settingsButton()->isVisible() ? "S" : "";
        shown += w.kickButton()->isVisible() ? "K" : "";
        QCOMPARE(shown, visible);
        QString actions;
        actions += w.viewAction()->isEnabled() ? "v" : "";
        actions += w.controlAction()->isEnabled() ? "c" : "";
        actions += w.lobbyAction()->isEnabled() ? "l" : "";
        QCOMPARE(actions, enabled);

        // Placed over the current row, right-aligned, at a sane size.
        const QRect row = w.clientListView()->visualRect(w.clientListView()->currentIndex());
        for (QPushButton* b : {w.admitButton(), w.viewButton(), w.settingsButton(), w.kickButton()}) {
            if (b->isVisible()) {
                QVERIFY(b->width() > 0 && b->height() > 0);
                QVERIFY2(row.contains(b->geometry().center()), qPrintable(b->objectName()));
            }
        }
        if (w.kickButton()->isVisible()) {
            QCOMPARE(w.kickButton()->geometry().right(), row.right() - 4);
        }
    }

    void actionsSendShareRequests_data() {
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QByteArray>("payload");

        QTest::newRow("admit") << "carol"
                               << "admit" << updateClient({{"client", "carol"}, {"status", "viewing"}});
        QTest::newRow("view") << "bob"
                              << "view" << updateClient({{"client", "bob"}, {"status", "viewing"}});
        QTest::newRow("control") << "bob"
                                 << "control" << updateClient({{"client", "bob"}, {"status", "input"}});
        QTest::newRow("lobby") << "bob"
                               << "lobby" << updateClient({{"client", "bob"}, {"status", "lobby"}});
        QTest::newRow("kick") << "bob"
                              << "kick"
                              << compact(
                                     {{"method", "disconnect"}, {"params", QJsonObject{{"client", "bob"}}}});
    }

    void actionsSendShareRequests() {
        QFETCH(QString, selected);
        QFETCH(QString, action);
        QFETCH(QByteArray, payload);
        SharedSession s;
        QVERIFY(s.start());
        const RdpClient me = client("me", "master", "viewing", "Mia");
        QVERIFY(s.setParticipants(
            me, {me, client("bob", "viewer", "viewing", "Bob"), client("carol", "lobby", "lobby", "Carol")}));
        RdpSharingWidget w(&s.instance);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(selectClient(w, selected));
        if (action == "admit") {
            QTest::mouseClick(w.admitButton(), Qt::LeftButton);
        } else if (action == "view") {
            w.viewAction()->trigger();
        } else if (action == "control") {
            w.controlAction()->trigger();
        } else if (action == "lobby") {
            w.lobbyAction()->trigger();
        } else if (action == "kick") {
            QTest::mouseClick(w.kickButton(), Qt::LeftButton);
        }
        const auto request = s.awaitRequestData(payload);
        QVERIFY2(request, payload.constData());
        QCOMPARE(s.commandsSent(), QList<QByteArray>{payload});
    }

    void nameDialogSendsWhatChanged_data() {
        QTest::addColumn<QString>("myRole");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<bool>("roleEditable");
        QTest::addColumn<QString>("newRole"); // empty: left as it is
        QTest::addColumn<QByteArray>("payload");

        QTest::newRow("owner renames another client")
            << "master"
            << "bob" << true << "" << updateClient({{"client", "bob"}, {"name", "Robert"}});
        QTest::newRow("owner makes another client a moderator")
            << "master"
            << "bob" << true << "controller"
            << updateClient({{"client", "bob"}, {"name", "Robert"}, {"role", "controller"}});
        QTest::newRow("moderator changes a role")
            << "controller"
            << "bob" << true << "controller"
            << updateClient({{"client", "bob"}, {"name", "Robert"}, {"role", "controller"}});
        QTest::newRow("moderator renames a lobby client")
            << "controller"
            << "carol" << true << "" << updateClient({{"client", "carol"}, {"name", "Robert"}});
        QTest::newRow("viewer renames itself")
            << "viewer"
            << "me" << false << "" << updateClient({{"client", "me"}, {"name", "Robert"}});
    }

    void nameDialogSendsWhatChanged() {
        QFETCH(QString, myRole);
        QFETCH(QString, selected);
        QFETCH(bool, roleEditable);
        QFETCH(QString, newRole);
        QFETCH(QByteArray, payload);
        SharedSession s;
        QVERIFY(s.start());
        const RdpClient me = client("me", myRole, "viewing", "Mia");
        QVERIFY(s.setParticipants(
            me, {me, client("bob", "viewer", "viewing", "Bob"), client("carol", "lobby", "lobby", "Carol")}));
        RdpSharingWidget w(&s.instance);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(selectClient(w, selected));
        QTest::mouseClick(w.settingsButton(), Qt::LeftButton);
        QTRY_VERIFY(w.nameDialog() && w.nameDialog()->isVisible());
        NameDialog* dialog = w.nameDialog();
        QCOMPARE(dialog->windowModality(), Qt::WindowModal);
        QCOMPARE(dialog->isRoleEditable(), roleEditable);
        dialog->nameEdit()->setText(QStringLiteral("Robert"));
        if (!newRole.isEmpty()) {
            dialog->roleCombo()->setCurrentIndex(dialog->roleCombo()->findData(newRole));
        }
        dialog->accept();
        const auto request = s.awaitRequestData(payload);
        QVERIFY2(request, payload.constData());
        QCOMPARE(s.commandsSent(), QList<QByteArray>{payload});
    }

    void keyboardOrder() {
        SharedSession s;
        QVERIFY(s.start());
        const RdpClient me = client("me", "master", "viewing", "Alice");
        // Shown sorted by name: Alice (own: View only), Bob (View and kick), Carol (lobby: Admit and kick).
        QVERIFY(s.setParticipants(
            me, {client("carol", "lobby", "lobby", "Carol"), me, client("bob", "viewer", "viewing", "Bob")}));
        RdpSharingWidget w(&s.instance);
        w.show();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTableView* view = w.clientListView();
        QCOMPARE(currentId(w), QStringLiteral("me")); // the first row is selected on arrival
        view->setFocus(Qt::OtherFocusReason);
        QTRY_COMPARE(QApplication::focusWidget(), view);

        QPushButton* closeButton = w.buttonBox()->button(QDialogButtonBox::Close);
        const auto tab = [] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab); };
        const auto backtab = [] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab); };
        struct Step {
            bool forward;
            QWidget* focus;
            const char* row;
        };
        const auto check = [&](const QList<Step>& steps) {
            for (int i = 0; i < steps.size(); ++i) {
                steps[i].forward ? tab() : backtab();
                QVERIFY2(QApplication::focusWidget() == steps[i].focus,
                         qPrintable(QStringLiteral("step %1: focus on %2")
                                        .arg(i)
                                        .arg(QApplication::focusWidget()
                                                 ? QApplication::focusWidget()->objectName()
                                                 : "nothing")));
                QCOMPARE(currentId(w), QString::fromLatin1(steps[i].row));
            }
        };
        check({{true, w.viewButton(), "me"},
               {true, view, "bob"},
               {true, w.viewButton(), "bob"},
               {true, w.kickButton(), "bob"},
               {true, view, "carol"},
               {true, w.kickButton(), "carol"}});
        // Past the last row the ordinary chain leads on, never back into the rows, to the Close button.
        for (int i = 0; i < 4 && QApplication::focusWidget() != closeButton; ++i) {
            tab();
            QVERIFY(QApplication::focusWidget() != view);
            QCOMPARE(currentId(w), QStringLiteral("carol"));
        }
        QCOMPARE(QApplication::focusWidget(), closeButton);
        check({{false, w.kickButton(), "carol"},
               {false, view, "carol"},
               {false, w.kickButton(), "bob"},
               {false, w.viewButton(), "bob"},
               {false, view, "bob"},
               {false, w.viewButton(), "me"}});

        // Arrow keys on a row button move the selection.
        QVERIFY(w.viewButton()->hasFocus());
        QTest::keyClick(w.viewButton(), Qt::Key_Down);
        QCOMPARE(currentId(w), QStringLiteral("bob"));
    }

    void rowsTooSmallForTheButtons() {
        SharedSession s;
        QVERIFY(s.start());
        const RdpClient me = client("me", "master", "viewing", "Mia");
        QVERIFY(s.setParticipants(me, {me, client("bob")}));
        RdpSharingWidget w(&s.instance);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(selectClient(w, "bob"));
        static QStringList warnings;
        warnings.clear();
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
                if (type == QtWarningMsg) {
                    warnings << text;
                }
            });
        w.clientListView()->verticalHeader()->setMinimumSectionSize(0);
        w.clientListView()->setRowHeight(w.clientListView()->currentIndex().row(), 4);
        QMetaObject::invokeMethod(&w, "resetButtons");
        qInstallMessageHandler(previous);
        QVERIFY2(warnings.filter("Negative").isEmpty(), qPrintable(warnings.join('\n')));
        for (QPushButton* b : {w.viewButton(), w.settingsButton(), w.kickButton()}) {
            QVERIFY(b->minimumWidth() >= 0 && b->minimumHeight() >= 0);
        }
    }

    void theDefaultHandlersOpenThePanel() {
        SharedSession s;
        QVERIFY(s.start());
        RdpDefaultHandlers handlers(&s.instance);
        emit s.instance.wantsToShowSharing();
        QVERIFY(qobject_cast<RdpSharingWidget*>(handlers.sharingWindow()));
        QVERIFY(handlers.sharingWindow()->isVisible());
        emit s.instance.wantsToCloseSharing();
        QTRY_VERIFY(!handlers.sharingWindow());
    }

    void followsTheSession() {
        SharedSession s;
        QVERIFY(s.start());
        RdpSharingWidget w(&s.instance);
        QCOMPARE(w.clientModel()->rowCount(), 0);
        const RdpClient me = client("me", "master", "input", "Mia");
        QVERIFY(s.setParticipants(me, {me, client("bob")}));
        QTRY_COMPARE(w.clientModel()->rowCount(), 2);
        QCOMPARE(w.clientDelegate()->ownClientId(), QStringLiteral("me"));

        // The buttons follow the own role as it changes.
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(selectClient(w, "bob"));
        QVERIFY(w.kickButton()->isVisible());
        QVERIFY(s.setParticipants(client("me", "viewer", "viewing", "Mia"), {me, client("bob")}));
        QTRY_VERIFY(!w.kickButton()->isVisible());
        QVERIFY(!w.settingsButton()->isVisible());

        QSignalSpy quit(&s.instance, &RdpInstance::wantsToQuit);
        QSignalSpy options(&s.instance, &RdpInstance::wantsToShowOptions);
        w.disconnectFromSession();
        w.showOptionsWidget();
        QCOMPARE(quit.count(), 1);
        QCOMPARE(options.count(), 1);

        // Closing the panel leaves the session running.
        w.buttonBox()->button(QDialogButtonBox::Close)->click();
        QVERIFY(!w.isVisible());
        QVERIFY(s.instance.running());
    }
};

QTEST_MAIN(TestRdpSharingWidget)
#include "tst_rdpsharingwidget.moc"
