// The client-communication channel and its share, notify and URL listeners, against the simulator.

#include "ControllerFixture.h"
#include "SimClientComm.h"
#include "SimServer.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/engine/VnCcNotify.h"
#include "viewer/engine/VnCcShare.h"
#include "viewer/engine/VnCcUrl.h"
#include "viewer/engine/VnClientCommChannel.h"

#include <QAbstractButton>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace ControllerTest;
using namespace DisplaySim;

namespace {

const QString kShare = QStringLiteral("vn-share");
const QString kNotify = QStringLiteral("vn-notify");
const QString kUrl = QStringLiteral("vn-url");

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QTest::qWait(5);
    }
    return true;
}

// A session controller on the simulator with the "clientcomm" channel open.
struct Session {
    PrivateSettings settings;
    Server sim{simOptions()};
    std::unique_ptr<RdpMaster> master;
    ClientCommPeer cc{sim};
    QPointer<VnClientCommChannel> channel;
    QStringList clientTypes;

    // Opens the session and offers the types; returns once the listeners of the known ones exist.
    bool start(const QStringList& offered = {}) {
        if (!sim.listen()) {
            return false;
        }
        master = startMaster(sim);
        if (!awaitSessionReady(sim, 4) || !cc.awaitOpen()) {
            return false;
        }
        if (!waitUntil([this] { return master->clientCommChannel() != nullptr; })) {
            return false;
        }
        channel = master->clientCommChannel().get();
        const auto types = cc.awaitClientTypes();
        if (!types) {
            return false;
        }
        clientTypes = *types;
        return offer(offered);
    }

    bool offer(const QStringList& types) {
        if (types.isEmpty()) {
            return true;
        }
        QList<QPointer<VnClientCommType>> before;
        for (const QString& type : types) {
            before << (channel ? channel->listener(type) : nullptr);
        }
        cc.sendSettings(types);
        return waitUntil([&] {
            for (int i = 0; i < types.size(); ++i) {
                const bool known = types[i] == kShare || types[i] == kNotify || types[i] == kUrl;
                VnClientCommType* now = channel ? channel->listener(types[i]) : nullptr;
                if (known && (!now || now == before[i])) {
                    return false;
                }
            }
            return true;
        });
    }

    template <typename T>
    T* listener(const QString& type) const {
        return channel ? qobject_cast<T*>(channel->listener(type)) : nullptr;
    }

    // The client's next Message whose data is exactly `data`.
    std::optional<CcFrame> awaitRequestData(const QByteArray& data, int timeoutMs = 5000) {
        const quint8 number = cc.number();
        const auto frame = sim.awaitFrame(
            [&](const ClientFrame& f) {
                const CcFrame d = ClientCommPeer::decode(f.bytes);
                return f.channel == number && d.messageId == CcMsg::Message && d.data == data;
            },
            timeoutMs);
        if (!frame) {
            return std::nullopt;
        }
        return ClientCommPeer::decode(frame->bytes);
    }

    // The client's answer (Response or Nack) for the id, or nothing within the wait.
    std::optional<CcFrame> awaitAnswer(quint16 id, int timeoutMs = 5000) {
        const quint8 number = cc.number();
        const auto frame = sim.awaitFrame(
            [&](const ClientFrame& f) {
                const CcFrame d = ClientCommPeer::decode(f.bytes);
                return f.channel == number &&
                       (d.messageId == CcMsg::Response || d.messageId == CcMsg::Nack) && d.requestId == id;
            },
            timeoutMs);
        if (!frame) {
            return std::nullopt;
        }
        return ClientCommPeer::decode(frame->bytes);
    }

    // True when the client sends no Response or Nack at all before a request that the test makes
    // afterwards comes back (the channel keeps order, so nothing can still be on its way).
    bool noAnswerBefore(quint16 probeId) {
        cc.sendMessage(probeId, QStringLiteral("probe-type"), "x");
        const auto probe = awaitAnswer(probeId);
        if (!probe) {
            return false;
        }
        for (const ClientFrame& f : sim.pendingFrames()) {
            const CcFrame d = ClientCommPeer::decode(f.bytes);
            if (f.channel == cc.number() && (d.messageId == CcMsg::Response || d.messageId == CcMsg::Nack)) {
                return false;
            }
        }
        return true;
    }
};

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Counts what a channel sends, without a connection behind it.
class SinkChannel : public VnClientCommChannel {
public:
    SinkChannel()
        : VnClientCommChannel("clientcomm", 3, nullptr) {}
    void send(std::vector<std::uint8_t> frame) override { frames.push_back(std::move(frame)); }
    void error(std::string message, unsigned char) override { errors.push_back(message); }
    quint16 lastRequestId() const {
        const auto& f = frames.back();
        return quint16(f.at(2) | (f.at(3) << 8));
    }
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<std::string> errors;
};

// Captures what QDesktopServices would open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

// Also notes when each address was opened, in milliseconds.
class TimedUrlCatcher : public QObject {
    Q_OBJECT
public:
    TimedUrlCatcher() { clock.start(); }
    QList<QUrl> urls;
    QList<qint64> at;
    QElapsedTimer clock;
public slots:
    void open(const QUrl& url) {
        urls << url;
        at << clock.elapsed();
    }
};

QMessageBox* openBox(const Session& s) {
    auto* notify = s.listener<VnCcNotify>(kNotify);
    return notify ? notify->currentBox() : nullptr;
}

// Sends the given schemes' URLs to a catcher for as long as it lives.
class UrlHandlers {
public:
    UrlHandlers(QObject* catcher, QStringList schemes) : m_schemes(std::move(schemes)) {
        for (const QString& scheme : m_schemes)
            QDesktopServices::setUrlHandler(scheme, catcher, "open");
    }
    ~UrlHandlers() {
        for (const QString& scheme : m_schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }
    UrlHandlers(const UrlHandlers&) = delete;
    UrlHandlers& operator=(const UrlHandlers&) = delete;

private:
    const QStringList m_schemes;
};

} // namespace

class TestClientComm : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setOrganizationName(QStringLiteral("VelnorTest"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_clientcomm"));
    }

    void announcesItsTypes() {
        Session s;
        QVERIFY(s.start());
        QCOMPARE(s.clientTypes, (QStringList{kNotify, kUrl, kShare}));
        const CcFrame settings = s.cc.received().constFirst();
        QCOMPARE(settings.bytes.left(4), QByteArray(1, char(s.cc.number())) + QByteArray::fromHex("020109"));
        QCOMPARE(settings.bytes.mid(4, 9), QByteArray("vn-notify"));
    }

    void offeredTypesCreateListeners() {
        Session s;
        QVERIFY(s.start());
        QSignalSpy enabled(s.channel.data(), &VnClientCommChannel::typeEnabled);
        QSignalSpy shareEnabled(s.master.get(), &RdpMaster::shareEnabledChanged);
        QVERIFY(s.offer({kShare, QStringLiteral("other")}));
        QTRY_COMPARE(enabled.count(), 2);
        QCOMPARE(enabled.at(0).at(0).toString(), kShare);
        QCOMPARE(enabled.at(1).at(0).toString(), QStringLiteral("other"));
        QVERIFY(s.listener<VnCcShare>(kShare));
        QVERIFY(!s.channel->listener(QStringLiteral("other")));
        QVERIFY(!s.channel->listener(kUrl));
        QCOMPARE(shareEnabled.count(), 1);

        // A second offer replaces the listener; the old one goes.
        QPointer<VnCcShare> first = s.listener<VnCcShare>(kShare);
        QVERIFY(s.offer({kShare}));
        QVERIFY(s.listener<VnCcShare>(kShare) != first);
        QTRY_VERIFY(!first);
    }

    void unservedTypesAreRefused_data() {
        QTest::addColumn<QStringList>("offered");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("id");
        QTest::addColumn<bool>("refused");

        QTest::newRow("unknown type, id 7") << QStringList{kShare} << "other" << 7 << true;
        QTest::newRow("unknown type, id 0") << QStringList{kShare} << "other" << 0 << false;
        QTest::newRow("known type not offered") << QStringList{kShare} << kUrl << 9 << true;
    }

    void unservedTypesAreRefused() {
        QFETCH(QStringList, offered);
        QFETCH(QString, type);
        QFETCH(int, id);
        QFETCH(bool, refused);
        Session s;
        QVERIFY(s.start(offered));
        s.cc.sendMessage(quint16(id), type, "{}");
        if (!refused) {
            QVERIFY(s.noAnswerBefore(40000));
            return;
        }
        const auto nack = s.awaitAnswer(quint16(id));
        QVERIFY(nack);
        QCOMPARE(nack->messageId, quint8(CcMsg::Nack));
        QVERIFY(nack->wellFormed);
        QCOMPARE(nack->status,
                 QStringLiteral("{ \"error\":{\"name\":\"refused\", \"message\":\"No listener for type\"}}"));
    }

    void malformedFramesEndTheSession_data() {
        QTest::addColumn<QByteArray>("body"); // after the channel number
        QTest::addColumn<QString>("text");

        QTest::newRow("empty") << QByteArray() << "Failed to read message id";
        QTest::newRow("id 0") << QByteArray::fromHex("00") << "Invalid message id";
        QTest::newRow("id 6") << QByteArray::fromHex("06") << "Invalid message id";
        QTest::newRow("capabilities short")
            << QByteArray::fromHex("0103016100") << "failed to read the capabilities message";
        // 65,537 empty entries: the bytes hold them, the cap does not.
        QTest::newRow("capabilities beyond the cap")
            << QByteArray::fromHex("01818004") + QByteArray(65537, '\0')
            << "failed to read the capabilities message";
        QTest::newRow("settings without format")
            << QByteArray::fromHex("02") << "failed to read the settings message";
        QTest::newRow("settings format 2") << QByteArray::fromHex("020208") + "vn-share"
                                           << "failed to read the settings message";
        QTest::newRow("settings name past end") << QByteArray::fromHex("02010a") + "vn-share"
                                                << "failed to read the settings message";
        QTest::newRow("message id short")
            << QByteArray::fromHex("0307") << "failed to read the message message";
        QTest::newRow("message data missing") << QByteArray::fromHex("03070002") + "ab"
                                              << "failed to read the message message";
        QTest::newRow("response id short")
            << QByteArray::fromHex("0401") << "failed to read the response message";
        QTest::newRow("response data past end") << QByteArray::fromHex("04010005") + "ab"
                                                << "failed to read the response message";
        QTest::newRow("nack status missing")
            << QByteArray::fromHex("050100") << "failed to read the nack message";
    }

    void malformedFramesEndTheSession() {
        QFETCH(QByteArray, body);
        QFETCH(QString, text);
        Session s;
        QVERIFY(s.start());
        QSignalSpy finished(s.master.get(), &RdpMaster::finished);
        s.cc.sendRaw(body);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QCOMPARE(finished.at(0).at(0).toString(), text);
        QCOMPARE(finished.at(0).at(1).value<uchar>(), uchar(4));
        QVERIFY(s.channel.isNull() || !s.channel->listener(kShare));
    }

    void validEdgeFramesAreAccepted() {
        Session s;
        QVERIFY(s.start());
        QSignalSpy finished(s.master.get(), &RdpMaster::finished);
        QSignalSpy enabled(s.channel.data(), &VnClientCommChannel::typeEnabled);
        s.cc.sendCapabilities({QByteArray("a"), QByteArray()});
        s.cc.sendSettings({});                  // the format byte alone: no types
        s.cc.sendResponse(123, "nobody asked"); // no request with that id
        s.cc.sendNack(124, QStringLiteral("nobody asked"));
        QVERIFY(s.noAnswerBefore(40001));
        QCOMPARE(enabled.count(), 0);
        QCOMPARE(finished.count(), 0);
    }

    void shareEventsReachTheController() {
        Session s;
        QVERIFY(s.start({kShare}));
        RdpMaster& master = *s.master;
        QSignalSpy me(&master, &RdpMaster::clientMeChanged);
        QSignalSpy clients(&master, &RdpMaster::clientsChanged);
        QSignalSpy messages(s.listener<VnCcShare>(kShare), &VnCcShare::message_notify);

        // hello is never answered, even with an id.
        s.cc.shareHello(5, "c1", "master", "alice", "2.0");
        QTRY_COMPARE(me.count(), 1);
        QCOMPARE(master.clientMe().client, QStringLiteral("c1"));
        QCOMPARE(master.clientMe().role, QStringLiteral("master"));
        QCOMPARE(master.clientMe().login, QStringLiteral("alice"));
        QVERIFY(s.noAnswerBefore(40002));

        s.cc.shareClientNotify(
            {ClientCommPeer::participant("c2", "viewer", "lobby", "Bob"), QJsonObject{{"name", "no id"}},
             ClientCommPeer::participant("c1", "master", "input", "Alice", "alice", "2.0")});
        QTRY_COMPARE(clients.count(), 1);
        const QList<RdpClient> list = master.clients();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.at(0).client, QStringLiteral("c2"));
        QCOMPARE(list.at(0).status, QStringLiteral("lobby"));
        QCOMPARE(list.at(1).name, QStringLiteral("Alice"));

        s.cc.shareMeNotify(
            ClientCommPeer::participant("c1", "controller", "viewing", "Alice", "alice", "2.0"));
        QTRY_COMPARE(me.count(), 2);
        QCOMPARE(master.clientMe().role, QStringLiteral("controller"));
        QCOMPARE(master.clientMe().name, QStringLiteral("Alice"));

        s.cc.shareMessage("c2", QJsonValue(QStringLiteral("hi")));
        QTRY_COMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("c2"));
        QCOMPARE(messages.at(0).at(1).value<QJsonValue>(), QJsonValue(QStringLiteral("hi")));

        // Payloads that are not share events change nothing.
        for (const QByteArray& bad :
             {QByteArray("not json"), QByteArray("[1]"), QByteArray("{\"method\":\"hello\"}"),
              QByteArray("{\"method\":\"hello\",\"params\":[]}"), QByteArray("{\"method\":7,\"params\":{}}"),
              QByteArray("{\"method\":\"client-notify\",\"params\":{\"clients\":{}}}"),
              QByteArray("{\"method\":\"me-notify\",\"params\":{\"me\":\"c1\"}}"),
              QByteArray("{\"method\":\"other\",\"params\":{}}")}) {
            s.cc.sendMessage(6, kShare, bad);
        }
        QVERIFY(s.noAnswerBefore(40003));
        QCOMPARE(me.count(), 2);
        QCOMPARE(clients.count(), 1);
        QCOMPARE(messages.count(), 1);
    }

    void shareCommandsSendRequests_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("payload");

        QTest::newRow("hello")
            << "hello" << QStringList{"Al \"x\""}
            << QByteArray(
                   "{\"method\":\"hello\",\"params\":{\"name\":\"Al \\\"x\\\"\",\"version\":\"1.0\"}}");
        QTest::newRow("kick") << "kick" << QStringList{"c2"}
                              << QByteArray("{\"method\":\"disconnect\",\"params\":{\"client\":\"c2\"}}");
        QTest::newRow("kick with message")
            << "kick" << QStringList{"c2", "bye"}
            << QByteArray("{\"method\":\"disconnect\",\"params\":{\"client\":\"c2\",\"message\":\"bye\"}}");
        QTest::newRow("admit")
            << "admit" << QStringList{"c2"}
            << QByteArray(
                   "{\"method\":\"update-client\",\"params\":{\"client\":\"c2\",\"status\":\"viewing\"}}");
        QTest::newRow("input")
            << "input" << QStringList{"c2"}
            << QByteArray(
                   "{\"method\":\"update-client\",\"params\":{\"client\":\"c2\",\"status\":\"input\"}}");
        QTest::newRow("lobby")
            << "lobby" << QStringList{"c2"}
            << QByteArray(
                   "{\"method\":\"update-client\",\"params\":{\"client\":\"c2\",\"status\":\"lobby\"}}");
        QTest::newRow("rename")
            << "rename" << QStringList{"c2", "Bobby"}
            << QByteArray("{\"method\":\"update-client\",\"params\":{\"client\":\"c2\",\"name\":\"Bobby\"}}");
        QTest::newRow("update, status only")
            << "update" << QStringList{"c2", "input", "", ""}
            << QByteArray(
                   "{\"method\":\"update-client\",\"params\":{\"client\":\"c2\",\"status\":\"input\"}}");
        QTest::newRow("update, all")
            << "update" << QStringList{"c2", "viewing", "controller", "Bob"}
            << QByteArray("{\"method\":\"update-client\",\"params\":{\"client\":\"c2\",\"name\":\"Bob\","
                          "\"role\":\"controller\",\"status\":\"viewing\"}}");
    }

    void shareCommandsSendRequests() {
        QFETCH(QString, operation);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, payload);
        Session s;
        QVERIFY(s.start({kShare}));
        RdpMaster& m = *s.master;
        if (operation == "hello") {
            m.sendHello(args[0]);
        } else if (operation == "kick" && args.size() == 1) {
            m.kickClient(args[0]);
        } else if (operation == "kick") {
            m.kickClient(args[0], args[1]);
        } else if (operation == "admit") {
            m.admitClientFromLobby(args[0]);
        } else if (operation == "input") {
            m.giveInputToClient(args[0]);
        } else if (operation == "lobby") {
            m.sendClientToLobby(args[0]);
        } else if (operation == "rename") {
            m.renameClient(args[0], args[1]);
        } else if (operation == "update") {
            m.updateClient(args[0], args[1], args[2], args[3]);
        }
        const auto request = s.awaitRequestData(payload);
        QVERIFY2(request, payload.constData());
        QCOMPARE(request->type, kShare);
        QCOMPARE(request->requestId, quint16(0));
    }

    void shareCommandsNeedTheListener() {
        Session s;
        QVERIFY(s.start()); // "vn-share" never offered
        s.master->giveInputToClient("c2");
        s.master->sendHello("x");
        QVERIFY(s.noAnswerBefore(40004));
        for (const CcFrame& f : s.cc.received()) {
            QVERIFY(f.messageId != CcMsg::Message);
        }
    }

    void notifyAnswersWithThePressedButton_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QList<int>>("buttons");
        QTest::addColumn<int>("press");
        QTest::addColumn<QByteArray>("answer"); // empty with id 0: no answer at all

        QTest::newRow("yes and no, any case")
            << compact({{"message", "Proceed?"},
                        {"title", "Server"},
                        {"icon", "question"},
                        {"buttons", QJsonArray{"Yes", "NO", 3}}})
            << 11 << "Server"
            << "Proceed?" << int(QMessageBox::Question) << QList<int>{QMessageBox::Yes, QMessageBox::No}
            << int(QMessageBox::No) << QByteArray("NO");
        QTest::newRow("one button as a string")
            << compact({{"message", "Done"}, {"icon", "warning"}, {"buttons", "Retry"}}) << 12
            << "Velnor Notice"
            << "Done" << int(QMessageBox::Warning) << QList<int>{QMessageBox::Retry}
            << int(QMessageBox::Retry) << QByteArray("Retry");
        QTest::newRow("last listed name wins")
            << compact({{"message", "m"}, {"icon", "critical"}, {"buttons", QJsonArray{"ok", "OK", "bogus"}}})
            << 13 << "Velnor Notice"
            << "m" << int(QMessageBox::Critical) << QList<int>{QMessageBox::Ok} << int(QMessageBox::Ok)
            << QByteArray("OK");
        QTest::newRow("plain text") << QByteArray("Maintenance at <b>noon</b>") << 14 << "Velnor Notice"
                                    << "Maintenance at <b>noon</b>" << int(QMessageBox::Information)
                                    << QList<int>{QMessageBox::Ok} << int(QMessageBox::Ok) << QByteArray("");
        QTest::newRow("markup stays text, no icon")
            << compact({{"message", "<img src=x><a href='file:///'>x</a>"}, {"icon", "none"}}) << 15
            << "Velnor Notice"
            << "<img src=x><a href='file:///'>x</a>" << int(QMessageBox::NoIcon)
            << QList<int>{QMessageBox::Ok} << int(QMessageBox::Ok) << QByteArray("");
        QTest::newRow("id 0") << compact({{"message", "fyi"}, {"buttons", "ok"}}) << 0 << "Velnor Notice"
                              << "fyi" << int(QMessageBox::Information) << QList<int>{QMessageBox::Ok}
                              << int(QMessageBox::Ok) << QByteArray();
    }

    void notifyAnswersWithThePressedButton() {
        QFETCH(QByteArray, payload);
        QFETCH(int, id);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(int, icon);
        QFETCH(QList<int>, buttons);
        QFETCH(int, press);
        QFETCH(QByteArray, answer);
        Session s;
        QVERIFY(s.start({kNotify}));
        s.cc.sendMessage(quint16(id), kNotify, payload);
        QTRY_VERIFY(openBox(s));
        QMessageBox* box = openBox(s);
        QVERIFY(box->isVisible());
        QVERIFY(!box->parent());
        QCOMPARE(box->windowTitle(), title);
        QCOMPARE(box->text(), text);
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(int(box->icon()), icon);
        QList<int> shown;
        for (QAbstractButton* b : box->buttons()) {
            shown << int(box->standardButton(b));
        }
        std::sort(shown.begin(), shown.end());
        std::sort(buttons.begin(), buttons.end());
        QCOMPARE(shown, buttons);

        box->button(QMessageBox::StandardButton(press))->click();
        QTRY_VERIFY(!openBox(s));
        if (id == 0) {
            QVERIFY(s.noAnswerBefore(40005));
            return;
        }
        const auto response = s.awaitAnswer(quint16(id));
        QVERIFY(response);
        QCOMPARE(response->messageId, quint8(CcMsg::Response));
        QCOMPARE(response->data, answer);
    }

    void notificationsShowOneAtATime() {
        Session s;
        QVERIFY(s.start({kNotify}));
        s.cc.notify(21, {{"message", "first"}, {"buttons", "ok"}});
        s.cc.notify(22, {{"message", "second"}, {"buttons", QJsonArray{"yes", "no"}}});
        QTRY_VERIFY(openBox(s));
        QCOMPARE(openBox(s)->text(), QStringLiteral("first"));
        QVERIFY(s.noAnswerBefore(40006)); // the second waits; nothing is answered yet
        int boxes = 0;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            boxes += qobject_cast<QMessageBox*>(w) && w->isVisible() ? 1 : 0;
        }
        QCOMPARE(boxes, 1);

        openBox(s)->button(QMessageBox::Ok)->click();
        const auto first = s.awaitAnswer(21);
        QVERIFY(first);
        QCOMPARE(first->data, QByteArray("ok"));
        QTRY_VERIFY(openBox(s) && openBox(s)->text() == QStringLiteral("second"));
        openBox(s)->button(QMessageBox::Yes)->click();
        const auto second = s.awaitAnswer(22);
        QVERIFY(second);
        QCOMPARE(second->data, QByteArray("yes"));
    }

    void tooManyWaitingNotificationsAreRefused() {
        Session s;
        QVERIFY(s.start({kNotify}));
        // One on screen, then the waiting line fills up.
        for (int i = 0; i <= VnCcNotify::MaxWaiting; ++i) {
            s.cc.notify(quint16(100 + i), {{"message", QString::number(i)}});
        }
        s.cc.notify(200, {{"message", "one too many"}});
        const auto refused = s.awaitAnswer(200);
        QVERIFY(refused);
        QCOMPARE(refused->messageId, quint8(CcMsg::Nack));
        QCOMPARE(refused->status, VnCcNotify::BusyStatus);
    }

    void longNotificationTextsAreCut_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        const int max = VnCcNotify::MaxTextLength;
        const QString longText(1000 * 1000, QLatin1Char('m'));
        const QString longTitle(max + 1, QLatin1Char('t'));
        QTest::newRow("message") << compact({{"message", longText}, {"title", "Server"}}) << "Server"
                                 << longText.left(max) + VnCcNotify::CutMark;
        QTest::newRow("title") << compact({{"message", "short"}, {"title", longTitle}})
                               << longTitle.left(max) + VnCcNotify::CutMark << "short";
        QTest::newRow("plain text") << longText.toUtf8() << VnCcNotify::DefaultTitle
                                    << longText.left(max) + VnCcNotify::CutMark;
        QTest::newRow("exactly the bound") << compact({{"message", QString(max, QLatin1Char('e'))}})
                                           << VnCcNotify::DefaultTitle << QString(max, QLatin1Char('e'));
        // A character outside the BMP across the bound is not split.
        const QString pairs =
            QString(max - 1, QLatin1Char('p')) + QString::fromUtf8("\xf0\x9f\x98\x80") + "tail";
        QTest::newRow("surrogate pair at the bound")
            << compact({{"message", pairs}}) << VnCcNotify::DefaultTitle
            << QString(max - 1, QLatin1Char('p')) + VnCcNotify::CutMark;
    }

    void longNotificationTextsAreCut() {
        QFETCH(QByteArray, payload);
        QFETCH(QString, title);
        QFETCH(QString, text);
        Session s;
        QVERIFY(s.start({kNotify}));
        s.cc.sendMessage(51, kNotify, payload);
        QTRY_VERIFY_WITH_TIMEOUT(openBox(s), 10000);
        QCOMPARE(openBox(s)->windowTitle(), title);
        QCOMPARE(openBox(s)->text(), text);
        openBox(s)->button(QMessageBox::Ok)->click();
        const auto answer = s.awaitAnswer(51);
        QVERIFY(answer);
        QCOMPARE(answer->messageId, quint8(CcMsg::Response));
    }

    void aListenerGoneWhileItsBoxIsOpenIsLeftAlone_data() {
        QTest::addColumn<bool>("closeChannel"); // else the type is offered again

        QTest::newRow("type offered again") << false;
        QTest::newRow("channel closed") << true;
    }

    void aListenerGoneWhileItsBoxIsOpenIsLeftAlone() {
        QFETCH(bool, closeChannel);
        Session s;
        QVERIFY(s.start({kNotify}));
        s.cc.notify(31, {{"message", "pending"}, {"buttons", "ok"}});
        QTRY_VERIFY(openBox(s));
        QPointer<QMessageBox> box = openBox(s);
        QPointer<VnCcNotify> old = s.listener<VnCcNotify>(kNotify);
        if (closeChannel) {
            s.sim.sendChannelClose(s.cc.number());
        } else {
            QVERIFY(s.offer({kNotify}));
        }
        QTRY_VERIFY(!old);
        QTRY_VERIFY(!box);
        if (closeChannel) {
            QTRY_VERIFY(!s.channel);
        } else {
            QVERIFY(s.noAnswerBefore(40007));
        }
    }

    void urlsOpenOnlyForTheWeb_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("opened");    // empty: nothing may be opened
        QTest::addColumn<QString>("errorName"); // empty: a Response

        QTest::newRow("url") << compact({{"url", "https://example.org/a?b=1"}}) << 41
                             << "https://example.org/a?b=1"
                             << "";
        QTest::newRow("href when url is empty")
            << compact({{"url", ""}, {"href", "http://example.org/h"}}) << 42 << "http://example.org/h"
            << "";
        QTest::newRow("plain text address")
            << QByteArray("https://example.org/t") << 43 << "https://example.org/t"
            << "";
        QTest::newRow("missing") << compact({{"other", 1}}) << 44 << ""
                                 << "required";
        QTest::newRow("missing, id 0") << compact({}) << 0 << ""
                                       << "required";
        QTest::newRow("invalid") << compact({{"url", "http://[::1"}}) << 45 << ""
                                 << "url_invalid";
        QTest::newRow("file") << compact({{"url", "file:///etc/passwd"}}) << 46 << ""
                              << "url_refused";
        QTest::newRow("mailto") << compact({{"url", "mailto:a@example.org"}}) << 47 << ""
                                << "url_refused";
        QTest::newRow("custom handler") << compact({{"href", "ssh://example.org"}}) << 48 << ""
                                        << "url_refused";
        QTest::newRow("relative path") << QByteArray("/usr/bin/xterm") << 49 << ""
                                       << "url_refused";
    }

    void urlsOpenOnlyForTheWeb() {
        QFETCH(QByteArray, payload);
        QFETCH(int, id);
        QFETCH(QString, opened);
        QFETCH(QString, errorName);
        UrlCatcher catcher;
        const UrlHandlers handlers(&catcher, {"http", "https", "file", "mailto", "ssh"});
        Session s;
        QVERIFY(s.start({kUrl}));
        s.cc.sendMessage(quint16(id), kUrl, payload);
        if (id == 0) {
            QVERIFY(s.noAnswerBefore(40008));
            QVERIFY(catcher.urls.isEmpty());
            return;
        }
        const auto answer = s.awaitAnswer(quint16(id));
        QVERIFY(answer);
        if (errorName.isEmpty()) {
            QCOMPARE(answer->messageId, quint8(CcMsg::Response));
            QCOMPARE(answer->data, QByteArray("The URL was received and processed."));
            QCOMPARE(catcher.urls, QList<QUrl>{QUrl(opened)});
            return;
        }
        QCOMPARE(answer->messageId, quint8(CcMsg::Nack));
        QVERIFY(catcher.urls.isEmpty());
        QVERIFY2(answer->status.endsWith(QLatin1Char('\n')), qPrintable(answer->status));
        QVERIFY(answer->status.contains(QStringLiteral("\n        \"name\"")));
        const QJsonObject error =
            QJsonDocument::fromJson(answer->status.toUtf8()).object().value("error").toObject();
        QCOMPARE(error.value("name").toString(), errorName);
        if (errorName == QLatin1String("required")) {
            QCOMPARE(error.value("message").toString(), QStringLiteral("URL is required, but missing."));
        }
        QVERIFY(!error.value("message").toString().isEmpty());
    }

    // However many addresses the server sends, the browser is started once per interval; a few wait
    // their turn and the rest are refused with the listener's failure reply.
    void urlsAreOpenedAtAPace() {
        TimedUrlCatcher catcher;
        const UrlHandlers handlers(&catcher, {"http", "https"});
        Session s;
        QVERIFY(s.start({kUrl}));
        const int accepted = 1 + VnCcUrl::MaxQueued;
        const int sent = accepted + 3;
        for (int i = 0; i < sent; ++i) {
            s.cc.sendMessage(quint16(60 + i), kUrl,
                             compact({{"url", QStringLiteral("https://example.org/%1").arg(i)}}));
        }
        for (int i = accepted; i < sent; ++i) {
            const auto refused = s.awaitAnswer(quint16(60 + i));
            QVERIFY(refused);
            QCOMPARE(refused->messageId, quint8(CcMsg::Nack));
            const QJsonObject error =
                QJsonDocument::fromJson(refused->status.toUtf8()).object().value("error").toObject();
            QCOMPARE(error.value("name").toString(), QStringLiteral("url_failed"));
            QVERIFY(!error.value("message").toString().isEmpty());
        }
        for (int i = 0; i < accepted; ++i) {
            const auto opened = s.awaitAnswer(quint16(60 + i), 5000 + VnCcUrl::LaunchIntervalMs * accepted);
            QVERIFY(opened);
            QCOMPARE(opened->messageId, quint8(CcMsg::Response));
        }
        QCOMPARE(catcher.urls.size(), accepted);
        for (int i = 0; i < accepted; ++i) {
            QCOMPARE(catcher.urls.at(i), QUrl(QStringLiteral("https://example.org/%1").arg(i)));
        }
        // Timers may fire a little early; never a whole interval.
        for (int i = 1; i < accepted; ++i) {
            QVERIFY2(catcher.at.at(i) - catcher.at.at(i - 1) >= VnCcUrl::LaunchIntervalMs * 9 / 10,
                     qPrintable(QString::number(catcher.at.at(i) - catcher.at.at(i - 1))));
        }
        // Once the line is empty and the interval over, the next address opens at once.
        QTest::qWait(VnCcUrl::LaunchIntervalMs);
        s.cc.sendMessage(70, kUrl, compact({{"url", "https://example.org/later"}}));
        const auto later = s.awaitAnswer(70);
        QVERIFY(later);
        QCOMPARE(later->messageId, quint8(CcMsg::Response));
    }

    void answersReachLiveCallbacksOnly() {
        Session s;
        QVERIFY(s.start());
        auto gone = std::make_unique<VnClientCommCallback>();
        VnClientCommCallback live;
        QSignalSpy responses(&live, &VnClientCommCallback::gotResponse);
        QSignalSpy nacks(&live, &VnClientCommCallback::gotNack);
        QVERIFY(s.channel->sendRequest("svc", "one", gone.get()));
        QVERIFY(s.channel->sendRequest("svc", "two", &live));
        QVERIFY(s.channel->sendRequest("svc", "three", nullptr));
        const auto one = s.awaitRequestData("one");
        const auto two = s.awaitRequestData("two");
        const auto three = s.awaitRequestData("three");
        QVERIFY(one && two && three);
        QCOMPARE(one->requestId, quint16(1));
        QCOMPARE(two->requestId, quint16(2));
        QCOMPARE(three->requestId, quint16(0));

        gone.reset();
        s.cc.sendResponse(1, "for the deleted one");
        s.cc.sendResponse(2, "yours");
        QTRY_COMPARE(responses.count(), 1);
        QCOMPARE(responses.at(0).at(0).value<ushort>(), ushort(2));
        QCOMPARE(responses.at(0).at(1).toByteArray(), QByteArray("yours"));

        // The id was taken by the answer: a second one is dropped.
        s.cc.sendResponse(2, "again");
        QVERIFY(s.channel->sendRequest("svc", "four", &live));
        const auto four = s.awaitRequestData("four");
        QVERIFY(four);
        QCOMPARE(four->requestId, quint16(3));
        s.cc.sendNack(3, QStringLiteral("n\u00e4h"));
        QTRY_COMPARE(nacks.count(), 1);
        QCOMPARE(nacks.at(0).at(0).value<ushort>(), ushort(3));
        QCOMPARE(nacks.at(0).at(1).toString(), QStringLiteral("n\u00e4h"));
        QCOMPARE(responses.count(), 1);
    }

    void requestIdsRunOutWithoutLooping() {
        SinkChannel channel;
        std::vector<std::unique_ptr<VnClientCommCallback>> callbacks;
        callbacks.reserve(65535);
        for (int i = 1; i <= 65535; ++i) {
            callbacks.push_back(std::make_unique<VnClientCommCallback>());
            QVERIFY(channel.sendRequest("svc", {}, callbacks.back().get()));
            if (channel.lastRequestId() != quint16(i)) {
                QFAIL(qPrintable(QStringLiteral("request %1 got id %2").arg(i).arg(channel.lastRequestId())));
            }
        }
        const size_t sent = channel.frames.size();

        VnClientCommCallback refused;
        QSignalSpy nack(&refused, &VnClientCommCallback::gotNack);
        QVERIFY(!channel.sendRequest("svc", {}, &refused));
        QCOMPARE(channel.frames.size(), sent);
        QTRY_COMPARE(nack.count(), 1);
        QCOMPARE(nack.at(0).at(0).value<ushort>(), ushort(0));
        QCOMPARE(nack.at(0).at(1).toString(), VnClientCommChannel::NoRequestIdStatus);

        // After 65535 the count wraps past 0 to the first id whose callback is gone.
        callbacks[4].reset(); // id 5
        QVERIFY(channel.sendRequest("svc", {}, &refused));
        QCOMPARE(channel.lastRequestId(), quint16(5));
        QVERIFY(channel.errors.empty());
    }
};

QTEST_MAIN(TestClientComm)
#include "tst_clientcomm.moc"
