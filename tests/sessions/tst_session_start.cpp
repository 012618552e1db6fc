// The session page's connect and start against the HTTPS test server, with the viewer reaching the
// display simulator: permissions from the profile, share-connect, the start reply's stages (schedule,
// form, sign-in) and the failure boxes. Runs under a private X server for the form's web engine.

#include "sessions/SessionListWidget.h"

#include "../rpc/ssh/SshRpcFixture.h"

#include "HttpsServer.h"
#include "SimServer.h"
#include "SshAuthFlow.h"
#include "WebEngineTestMain.h"
#include "bookmarks/StartParamsForm.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/ConnectionContext.h"
#include "sessions/ViewerRegistry.h"
#include "signin/AuthDialog.h"
#include "viewer/engine/RdpInstance.h"

#include <QApplication>
#include "TestImages.h"
#include <QBuffer>
#include <QComboBox>
#include <QImage>
#include <QDesktopServices>
#include <QTextCursor>
#include <QTextDocument>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMap>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>

using HttpsPeer::Request;
using HttpsPeer::Response;
using HttpsPeer::Server;

namespace {

constexpr int wait = 20000;

QJsonObject json(const char* text) {
    return QJsonDocument::fromJson(QByteArray(text).replace('\'', '"')).object();
}

QMessageBox* visibleBox(const QString& name) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible() && box->objectName() == name)
            return box;
    }
    return nullptr;
}

void closeBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(widget))
            widget->deleteLater();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Server HTML that asks for files, devices and the network in every way rich text can.
const QString hostileHtml =
    "<h3>Welcome</h3><img src=\"/dev/zero\"><img src=\"file:///etc/hostname\">"
    "<img src=\"http://127.0.0.1:9/x.png\"><table background=\"/dev/zero\"><tr><td>cell</td></tr></table>"
    "<p style=\"background-image: url(/dev/zero)\">styled</p><a href=\"https://example.org/news\">news</a>"
    "<link rel=\"stylesheet\" href=\"/dev/zero\">";

// What a rich-text label asks to load when it shows html: every resource its document requests.
class RecordingDocument : public QTextDocument {
public:
    QStringList requested;

protected:
    QVariant loadResource(int, const QUrl& name) override {
        requested << name.toString();
        return QVariant();
    }
};

QStringList resourcesOf(const QString& html) {
    RecordingDocument document;
    document.setHtml(html);
    document.setTextWidth(400);
    (void)document.size(); // lays it out, which asks for the images
    return document.requested;
}


// Catches the links handed to the desktop.
class LinkSink : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

// A signed-in page on the test server, its profile applied.
struct Page {
    Server server;
    DisplaySim::Server sim;
    QSharedPointer<RpcInstance> rpc;
    QScopedPointer<SessionListWidget> page;

    bool start(const QJsonObject& profile, const QString& motd = "profile applied", bool closeMotd = true) {
        QJsonObject withMotd = profile;
        // The message of the day shows once the profile has been taken in.
        QJsonObject config = withMotd.value("config").toObject();
        config.insert("messageOfTheDay", motd);
        withMotd.insert("config", config);
        server.route("POST", "/v3/api/user/me", [withMotd](const Request&) { return Response::result(withMotd); });
        if (!server.start(Server::Http) || !sim.listen())
            return false;
        auto* web = new RpcInstanceWeb(server.url(), false, false, nullptr);
        web->setAuthToken(QString::fromUtf8(server.token()));
        rpc.reset(web);
        page.reset(new SessionListWidget(rpc, QSharedPointer<ConnectionContext>::create(), QJsonObject()));
        page->show();
        page->beginInteraction();
        const bool applied = QTest::qWaitFor([] { return visibleBox("MessageOfTheDayBox") != nullptr; }, wait);
        if (closeMotd)
            closeBoxes();
        return applied;
    }

    // A reply that starts a viewer on the simulator.
    QJsonObject viewerReply(const QString& id, const QString& name = QString()) const {
        QJsonObject params;
        if (!name.isEmpty())
            params.insert("name", name);
        return QJsonObject{{"id", id}, {"urls", QJsonArray{sim.url().toString()}}, {"params", params}};
    }

    QList<QJsonObject> bodies(const QString& path) const {
        QList<QJsonObject> result;
        for (const Request& r : server.requests(path))
            result.append(r.json());
        return result;
    }
};

// Waits for the viewer of id, checks it reached the simulator, and ends it.
bool viewerRan(Page& p, const QString& id) {
    if (!QTest::qWaitFor([&] { return findViewer(id) != nullptr; }, wait))
        return false;
    QPointer<RdpInstance> viewer = findViewer(id);
    const bool reached = p.sim.awaitMainSequence(wait);
    viewer->quit();
    return QTest::qWaitFor([&] { return viewer.isNull(); }, wait) && reached;
}

} // namespace

class TestSessionStart : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
        // A visible window keeps the quit policy from ending the event loops when a viewer ends.
        m_keeper.show();
    }
    void cleanup() { closeBoxes(); }

    // Connect needs the "connect" permission when the profile has session permissions; the shared
    // list uses share-connect; the viewer carries the session's name.
    void connect_data() {
        QTest::addColumn<QJsonObject>("profile");
        QTest::addColumn<bool>("shared");
        QTest::addColumn<QString>("path");
        QTest::newRow("no session permissions") << QJsonObject() << false << "/v3/api/session/connect";
        QTest::newRow("connect permitted") << json("{'permissions':{'user':{'session':{'connect':true}}}}")
                                           << false << "/v3/api/session/connect";
        QTest::newRow("connect missing") << json("{'permissions':{'user':{'session':{'terminate':true}}}}")
                                         << false << "";
        QTest::newRow("permissions of the wrong type") << json("{'permissions':{'user':{'session':[1,2]}}}")
                                                       << false << "/v3/api/session/connect";
        QTest::newRow("shared with me") << QJsonObject() << true << "/v3/api/share/connect";
    }

    void connect() {
        QFETCH(QJsonObject, profile);
        QFETCH(bool, shared);
        QFETCH(QString, path);
        Page p;
        QVERIFY(p.start(profile));
        for (const char* route : {"/v3/api/session/connect", "/v3/api/share/connect"})
            p.server.route("POST", route, [&p](const Request& r) {
                return Response::result(p.viewerReply(r.json().value("id").toString()));
            });
        if (shared)
            p.page->findChild<QComboBox*>("SharedWithMeComboBox")->setCurrentIndex(1);
        p.page->connectSession("c1", "Desk");
        if (path.isEmpty()) {
            QTest::qWait(200);
            QVERIFY(p.server.requests("/v3/api/session/connect").isEmpty());
            QVERIFY(!findViewer("c1"));
            QVERIFY(!visibleBox("SessionFailureBox"));
            return;
        }
        QVERIFY(viewerRan(p, "c1"));
        QCOMPARE(p.bodies(path).size(), 1);
        QCOMPARE(p.bodies(path).first().value("id").toString(), QStringLiteral("c1"));
    }

    // A refused connect: the failure box with the server's words as typed, and no viewer.
    void connectFailure() {
        Page p;
        QVERIFY(p.start(QJsonObject()));
        p.server.route("POST", "/v3/api/session/connect",
                       [](const Request&) { return Response::error("denied", "<b>not yours</b>"); });
        p.page->connectSession("c2", "Desk");
        QTRY_VERIFY_WITH_TIMEOUT(visibleBox("SessionFailureBox"), wait);
        const QString text = visibleBox("SessionFailureBox")->text();
        QVERIFY2(text.contains("&lt;b&gt;not yours&lt;/b&gt;"), qPrintable(text));
        QVERIFY(text.contains("Failed to connect to the session."));
        QVERIFY(!findViewer("c2"));
    }

    // The start reply by its stage.
    void startReplies_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("viewer");
        QTest::newRow("success") << json("{'stage':'success'}") << "" << true;
        QTest::newRow("no stage") << QJsonObject() << "" << true;
        QTest::newRow("schedule")
            << json("{'stage':'schedule','code':0,'output':[{'line':'queued <now>','type':'stdout'}]}")
            << "ScheduleResultBox" << false;
    }

    void startReplies() {
        QFETCH(QJsonObject, reply);
        QFETCH(QString, box);
        QFETCH(bool, viewer);
        Page p;
        QVERIFY(p.start(QJsonObject()));
        p.server.route("POST", "/v3/api/session/start", [&p, reply](const Request&) {
            QJsonObject answer = p.viewerReply("s1");
            for (auto it = reply.begin(); it != reply.end(); ++it)
                answer.insert(it.key(), it.value());
            return Response::result(answer);
        });
        p.page->startSession(json("{'command':'xterm','name':'','params':{},'forms':[]}"));
        if (viewer)
            QVERIFY(viewerRan(p, "s1"));
        if (!box.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(visibleBox(box), wait);
            QVERIFY(!findViewer("s1"));
        }
    }

    // The message of the day and the schedule result are the server's HTML, shown as such; they load
    // nothing from the file system or the network and open only web links.
    void serverHtmlBoxes_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("html");
        QTest::addColumn<QStringList>("kept");
        // Images of the program's own and small data: images stay; a wide one and the rest go.
        const QString small = pngDataUrl(QSize(2, 2));
        const QString images = "<b>Bold</b><img src=\"/dev/zero\"><img src=\"" + small + "\">"
                               "<img src=\"" + pngDataUrl(QSize(3000, 1)) + "\"><img src=\"qrc:/qt-project.org/qmessagebox/images/information.png\">"
                               "<a href=\"https://example.org/news\">news</a>";
        const QStringList imagesKept{"<b>Bold</b>", small, "qrc:/qt-project.org/qmessagebox/images/information.png"};
        const QStringList textKept{"Welcome", "cell", "styled", "news"};
        for (const char* box : {"MessageOfTheDayBox", "ScheduleResultBox"}) {
            QTest::newRow(QByteArray(box).append(": every kind of resource")) << box << hostileHtml << textKept;
            QTest::newRow(QByteArray(box).append(": images")) << box << images << imagesKept;
        }
    }

    void serverHtmlBoxes() {
        QFETCH(QString, box);
        QFETCH(QString, html);
        QFETCH(QStringList, kept);
        Page p;
        QMessageBox* shown = nullptr;
        if (box == "MessageOfTheDayBox") {
            QVERIFY(p.start(QJsonObject(), html, false));
        } else {
            QVERIFY(p.start(QJsonObject()));
            const QJsonObject reply{{"stage", "schedule"}, {"code", 0}, {"html", true},
                                    {"output", QJsonArray{QJsonObject{{"line", html}, {"type", "stdout"}}}}};
            p.server.route("POST", "/v3/api/session/start",
                           [reply](const Request&) { return Response::result(reply); });
            p.page->startSession(json("{'command':'xterm','params':{}}"));
        }
        QTRY_VERIFY_WITH_TIMEOUT((shown = visibleBox(box)) != nullptr, wait);
        QCOMPARE(shown->textFormat(), Qt::RichText);
        // What the box shows: its text and markup as read, and the image sources it names.
        RecordingDocument shownDocument; // loads nothing
        shownDocument.setHtml(shown->text());
        for (const QString& part : kept) {
            if (part == "<b>Bold</b>") {
                const QTextCursor bold = shownDocument.find("Bold");
                QVERIFY(!bold.isNull() && bold.charFormat().fontWeight() == QFont::Bold);
            } else {
                QVERIFY2(shown->text().contains(part), qPrintable(part));
            }
        }
        for (const QString& resource : resourcesOf(shown->text())) {
            QVERIFY2(resource.startsWith("qrc:") || resource.startsWith("data:"), qPrintable(resource));
            // data: images are small.
            QVERIFY(QImage::fromData(QByteArray::fromBase64(resource.section(',', 1).toLatin1())).width() <= 2048);
        }

        auto* label = shown->findChild<QLabel*>("qt_msgbox_label");
        QVERIFY(label);
        QVERIFY(!label->openExternalLinks());
        LinkSink sink;
        for (const char* scheme : {"file", "https", "http", "velnor"})
            QDesktopServices::setUrlHandler(scheme, &sink, "open");
        emit label->linkActivated("file:///etc/passwd");
        emit label->linkActivated("velnor://anything");
        emit label->linkActivated("https://example.org/news");
        emit label->linkActivated("http://example.org/old");
        for (const char* scheme : {"file", "https", "http", "velnor"})
            QDesktopServices::unsetUrlHandler(scheme);
        QCOMPARE(sink.opened, (QList<QUrl>{QUrl("https://example.org/news"), QUrl("http://example.org/old")}));
        closeBoxes();
    }

    void startFailure() {
        Page p;
        QVERIFY(p.start(QJsonObject()));
        p.server.route("POST", "/v3/api/session/start",
                       [](const Request&) { return Response::error("busy", "no <i>room</i>"); });
        p.page->startSession(json("{'command':'xterm','params':{}}"));
        QTRY_VERIFY_WITH_TIMEOUT(visibleBox("SessionFailureBox"), wait);
        const QString text = visibleBox("SessionFailureBox")->text();
        QVERIFY(text.contains("Failed to start the session."));
        QVERIFY2(text.contains("no &lt;i&gt;room&lt;/i&gt;"), qPrintable(text));
    }

    // A connect or start whose reply comes after the page closed starts nothing and touches no
    // freed page.
    void replyAfterPageClosed() {
        Page p;
        QVERIFY(p.start(QJsonObject()));
        for (const char* route : {"/v3/api/session/connect", "/v3/api/session/start"})
            p.server.route("POST", route, [&p](const Request&) { return Response::result(p.viewerReply("late")).after(300); });
        p.page->connectSession("late", "Desk");
        p.page->startSession(json("{'command':'xterm','params':{}}"));
        QTRY_VERIFY_WITH_TIMEOUT(!p.server.requests("/v3/api/session/start").isEmpty() &&
                                     !p.server.requests("/v3/api/session/connect").isEmpty(),
                                 wait);
        p.page.reset();
        QTest::qWait(800);
        QVERIFY(!findViewer("late"));
    }

    // Full screen sends the primary screen's size; other modes keep the request's geometry.
    void fullScreenGeometry() {
        Page p;
        QVERIFY(p.start(QJsonObject()));
        p.server.route("POST", "/v3/api/session/start",
                       [](const Request&) { return Response::result(json("{'stage':'schedule'}")); });
        p.page->startSession(json("{'command':'xterm','params':{'windowMode':'fullscreen'}}"));
        p.page->startSession(json("{'command':'xterm','geometry':'800x600','params':{'windowMode':'desktop'}}"));
        QTRY_COMPARE_WITH_TIMEOUT(p.bodies("/v3/api/session/start").size(), 2, wait);
        // The two requests travel side by side and may arrive in either order.
        QMap<QString, QString> geometryByMode;
        for (const QJsonObject& body : p.bodies("/v3/api/session/start"))
            geometryByMode.insert(body.value("params").toObject().value("windowMode").toString(),
                                  body.value("geometry").toString());
        const QSize screen = QGuiApplication::primaryScreen()->size();
        QCOMPARE(geometryByMode.value("fullscreen"), QStringLiteral("%1x%2").arg(screen.width()).arg(screen.height()));
        QCOMPARE(geometryByMode.value("desktop"), QStringLiteral("800x600"));
    }

    // A form reply: the filled form is merged into the parameters and the start is sent again with
    // the form's id taken once from the list; rejecting the form sends nothing.
    void formReply_data() {
        QTest::addColumn<QJsonValue>("forms");
        QTest::addColumn<QJsonValue>("resent");
        QTest::newRow("a, b, a") << QJsonValue(QJsonArray{"a", "b", "a"}) << QJsonValue(QJsonArray{"b", "a"});
        QTest::newRow("no forms") << QJsonValue() << QJsonValue(QJsonValue::Null);
    }

    void formReply() {
        QFETCH(QJsonValue, forms);
        QFETCH(QJsonValue, resent);
        Page p;
        QVERIFY(p.start(QJsonObject()));
        p.server.route("POST", "/v3/api/session/start",
                       [](const Request&) { return Response::result(json("{'stage':'schedule'}")); });
        p.server.script("POST", "/v3/api/session/start",
                        Response::result(json("{'stage':'form','form':{'id':'a','name':'More','html':'<input name=x>'}}")));
        QJsonObject request = json("{'command':'xterm','params':{'keep':1,'x':'old'}}");
        if (!forms.isUndefined())
            request.insert("forms", forms);
        p.page->startSession(request);
        QTRY_VERIFY_WITH_TIMEOUT(p.page->findChild<StartParamsForm*>(), wait);
        StartParamsForm* form = p.page->findChild<StartParamsForm*>();
        QCOMPARE(form->windowTitle(), QStringLiteral("More"));
        form->webObject()->submit(QVariantMap{{"x", "new"}, {"y", 2}});
        QTRY_COMPARE_WITH_TIMEOUT(p.bodies("/v3/api/session/start").size(), 2, wait);
        const QJsonObject again = p.bodies("/v3/api/session/start").at(1);
        QCOMPARE(again.value("forms"), resent);
        // The transport adds its client information; the form's fields are merged over the request's.
        const QJsonObject params = again.value("params").toObject();
        QCOMPARE(params.value("keep").toInt(), 1);
        QCOMPARE(params.value("x").toString(), QStringLiteral("new"));
        QCOMPARE(params.value("y").toInt(), 2);

        // A rejected form sends nothing.
        p.server.script("POST", "/v3/api/session/start",
                        Response::result(json("{'stage':'form','form':{'id':'a','name':'More','html':''}}")));
        p.page->startSession(request);
        QTRY_COMPARE_WITH_TIMEOUT(p.bodies("/v3/api/session/start").size(), 3, wait);
        QTRY_VERIFY_WITH_TIMEOUT(p.page->findChild<StartParamsForm*>(), wait);
        p.page->findChild<StartParamsForm*>()->reject();
        QTest::qWait(200);
        QCOMPARE(p.bodies("/v3/api/session/start").size(), 3);
    }

    // A sign-in stage: the password is asked, and the final reply starts the viewer.
    void signInStage() {
        Page p;
        QVERIFY(p.start(QJsonObject()));
        HttpsPeer::SshAuthFlow::Config config;
        config.steps = QStringList{"password"};
        config.finalReply = p.viewerReply("s-auth", "Signed");
        HttpsPeer::SshAuthFlow::install(p.server, "/v3/api/session/start", config);
        p.page->startSession(json("{'command':'xterm','params':{}}"));
        QTRY_VERIFY_WITH_TIMEOUT(p.page->findChild<AuthDialog*>(), wait);
        AuthDialog* dialog = p.page->findChild<AuthDialog*>();
        auto* field = dialog->findChild<QLineEdit*>("AnswerLineEdit");
        QTRY_VERIFY_WITH_TIMEOUT(field->isEnabled(), wait);
        field->setText(config.password);
        for (QPushButton* button : dialog->findChildren<QPushButton*>())
            if (button->text().remove('&') == QLatin1String("Continue"))
                button->click();
        QVERIFY(viewerRan(p, "s-auth"));
    }

    // Over ssh: a schedule reply, then a start whose viewer reaches the simulator through the tunnel.
    void sshStartSequence() {
        SshRpcFixture fixture;
        QString error;
        QVERIFY2(fixture.start(&error), qPrintable(error));
        qunsetenv("SSH_ASKPASS");
        qunsetenv("SSH_AUTH_SOCK");
        DisplaySim::Server sim;
        QVERIFY(sim.listen());
        const QJsonObject session{{"id", "s-ssh"}, {"webSocketPort", sim.port()}, {"uri", "/client/protocol"}};
        const QJsonObject script{
            {"methods", QJsonObject{{"/v3/api/session/start",
                                     QJsonArray{QJsonObject{{"result", json("{'stage':'schedule'}")}},
                                                QJsonObject{{"result", session}}}}}}};
        QSharedPointer<RpcInstance> rpc(new RpcInstanceSsh(fixture.settings(script)));
        QSignalSpy ready(rpc.data(), &RpcInstance::ready);
        QSignalSpy finished(rpc.data(), &RpcInstance::finished);
        QVERIFY(QTest::qWaitFor([&] { return ready.count() == 1 || finished.count() > 0; }, wait));
        QVERIFY2(ready.count() == 1, qPrintable(rpc->log().join('\n')));
        SessionListWidget page(rpc, QSharedPointer<ConnectionContext>::create(), QJsonObject());
        page.beginInteraction();

        page.startSession(json("{'command':'xterm','params':{}}"));
        QTRY_VERIFY_WITH_TIMEOUT(visibleBox("ScheduleResultBox"), wait);
        page.startSession(json("{'command':'xterm','params':{}}"));
        QTRY_VERIFY_WITH_TIMEOUT(findViewer("s-ssh"), wait);
        QPointer<RdpInstance> viewer = findViewer("s-ssh");
        QVERIFY(sim.awaitMainSequence(wait));
        viewer->quit();
        QTRY_VERIFY_WITH_TIMEOUT(viewer.isNull(), wait);
        int starts = 0;
        for (const QJsonObject& request : fixture.recorded())
            starts += request.value("method").toString() == QLatin1String("/v3/api/session/start");
        QCOMPARE(starts, 2);
    }

private:
    QWidget m_keeper;
};

int main(int argc, char** argv) {
    return runWebEngineTest<TestSessionStart>(argc, argv);
}

#include "tst_session_start.moc"
