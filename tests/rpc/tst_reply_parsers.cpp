#include "TestRpcInstance.h"

#include "rpc/ResultConverters.h"

#include "TestImages.h"
#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <type_traits>

namespace {

QJsonValue jsonValue(const QString& text) {
    if (text.isEmpty())
        return QJsonValue(QJsonValue::Undefined);
    return QJsonDocument::fromJson(("[" + text + "]").toUtf8()).array().at(0);
}

// Runs a converter on a fresh promise and records how it settled.
struct Outcome {
    bool succeeded = false;
    bool failed = false;
    QString name;
};

template <typename T, typename Converter>
Outcome settle(TestRpcInstance& instance, Converter convert, const QJsonValue& result,
               const QJsonValue& error, T* valueOut = nullptr) {
    auto* promise = new RpcPromise<T>("/m", &instance);
    Outcome o;
    QObject::connect(promise, &RpcPromiseBase::succeeded, [&o] { o.succeeded = true; });
    QObject::connect(promise, &RpcPromiseBase::failed,
                     [&o](const QString& name, const QString&, const QVariantMap&) {
                         o.failed = true;
                         o.name = name;
                     });
    convert(&instance, RpcPromiseRef<T>(promise), result, error);
    if constexpr (!std::is_void_v<T>) {
        if (valueOut)
            *valueOut = promise->value;
    }
    delete promise;
    return o;
}

} // namespace

class TestReplyParsers : public QObject {
    Q_OBJECT
private slots:
    void converters_data();
    void converters();
    void sessionList();
    void connectInfoFields();
    void connectInfoPorts_data();
    void connectInfoPorts();
    void connectInfoFallbackIdAndViewerParameters();
    void connectInfoStages();
    void scheduleHtml_data();
    void scheduleHtml();
    void image_data();
    void image();
    void bookmarkList();
    void serviceAndSharing();
};

void TestReplyParsers::converters_data() {
    QTest::addColumn<QString>("converter");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("outcome"); // "ok" or the failure name

    QTest::newRow("void: null result, no error") << "void"
                                                 << "null"
                                                 << ""
                                                 << "ok";
    QTest::newRow("void: error wins over a result") << "void"
                                                    << "{}"
                                                    << R"({"name":"denied"})"
                                                    << "denied";
    QTest::newRow("void: error not an object") << "void"
                                               << ""
                                               << R"("x")"
                                               << "ok";
    QTest::newRow("map: object") << "map"
                                 << R"({"a":1})"
                                 << ""
                                 << "ok";
    QTest::newRow("map: array, no error") << "map"
                                          << "[1]"
                                          << ""
                                          << "unknown";
    QTest::newRow("map: missing, server error") << "map"
                                                << ""
                                                << R"({"name":"not_found"})"
                                                << "not_found";
    QTest::newRow("object: object") << "object"
                                    << "{}"
                                    << ""
                                    << "ok";
    QTest::newRow("object: string") << "object"
                                    << R"("s")"
                                    << "null"
                                    << "unknown";
    QTest::newRow("sessions: array") << "sessions"
                                     << "[]"
                                     << ""
                                     << "ok";
    QTest::newRow("sessions: rows array") << "sessions"
                                          << R"({"rows":[]})"
                                          << ""
                                          << "ok";
    QTest::newRow("sessions: nested rows") << "sessions"
                                           << R"({"rows":{"rows":[]}})"
                                           << ""
                                           << "ok";
    QTest::newRow("sessions: rows number") << "sessions"
                                           << R"({"rows":5})"
                                           << ""
                                           << "unknown";
    QTest::newRow("sessions: object without rows") << "sessions"
                                                   << "{}"
                                                   << ""
                                                   << "unknown";
    QTest::newRow("bookmarks: object") << "bookmarks"
                                       << "{}"
                                       << ""
                                       << "ok";
    QTest::newRow("bookmarks: array") << "bookmarks"
                                      << "[]"
                                      << ""
                                      << "unknown";
    QTest::newRow("image: object") << "image"
                                   << "{}"
                                   << ""
                                   << "ok";
    QTest::newRow("image: string") << "image"
                                   << R"("data:")"
                                   << ""
                                   << "unknown";
    QTest::newRow("service: object") << "service"
                                     << "{}"
                                     << ""
                                     << "ok";
    QTest::newRow("service: null") << "service"
                                   << "null"
                                   << ""
                                   << "unknown";
    QTest::newRow("sharing: object") << "sharing"
                                     << "{}"
                                     << ""
                                     << "ok";
    QTest::newRow("sharing: true") << "sharing"
                                   << "true"
                                   << R"({"name":"e","message":"m"})"
                                   << "e";
    QTest::newRow("connect: object") << "connect"
                                     << "{}"
                                     << ""
                                     << "ok";
    QTest::newRow("connect: array") << "connect"
                                    << "[]"
                                    << ""
                                    << "unknown";
}

void TestReplyParsers::converters() {
    QFETCH(QString, converter);
    QFETCH(QString, result);
    QFETCH(QString, error);
    QFETCH(QString, outcome);
    TestRpcInstance instance;
    const QJsonValue r = jsonValue(result);
    const QJsonValue e = jsonValue(error);
    Outcome o;
    if (converter == "void")
        o = settle<void>(instance, resolveVoid, r, e);
    else if (converter == "map")
        o = settle<QVariantMap>(instance, resolveVariantMap, r, e);
    else if (converter == "object")
        o = settle<QJsonObject>(instance, resolveJsonObject, r, e);
    else if (converter == "sessions")
        o = settle<QList<Session>>(instance, resolveSessionList, r, e);
    else if (converter == "bookmarks")
        o = settle<QList<Bookmark>>(instance, resolveBookmarkList, r, e);
    else if (converter == "image")
        o = settle<QImage>(instance, resolveImage, r, e);
    else if (converter == "service")
        o = settle<ServiceInfo>(instance, resolveServiceInfo, r, e);
    else if (converter == "sharing")
        o = settle<SharingData>(instance, resolveSharingData, r, e);
    else if (converter == "connect")
        o = settle<ConnectInfo>(
            instance,
            [](RpcInstance* i, const RpcPromiseRef<ConnectInfo>& p, const QJsonValue& res,
               const QJsonValue& err) { resolveConnectInfo(i, p, res, err, "fallback"); },
            r, e);
    QVERIFY(o.succeeded != o.failed);
    QCOMPARE(o.succeeded ? QString("ok") : o.name, outcome);
    QCOMPARE(instance.log().size(), 1);
}

void TestReplyParsers::sessionList() {
    TestRpcInstance instance;
    QList<Session> sessions;
    settle<QList<Session>>(instance, resolveSessionList,
                           jsonValue(R"({"rows":[{"id":"a"},{"command":"no id"},3,{"id":"b"}]})"),
                           QJsonValue(), &sessions);
    QCOMPARE(sessions.size(), 2);
    QCOMPARE(sessions[0].id(), QString("a"));
    QCOMPARE(sessions[1].id(), QString("b"));
}

void TestReplyParsers::connectInfoFields() {
    const ConnectInfo info =
        ConnectInfo::fromJson(jsonValue(R"({"id":"s1","password":"pw","geometry":"800x600",
        "windowMode":"desktop","baseUrl":"https://h","uri":"/client","urls":["wss://a","wss://b"],
        "params":{"name":"N","n":1},"authtoken":"t","prompt":"p","signData":5})")
                                  .toObject());
    QCOMPARE(info.id(), QString("s1"));
    QCOMPARE(info.password(), QString("pw"));
    QCOMPARE(info.geometry(), QString("800x600"));
    QCOMPARE(info.windowMode(), QString("desktop"));
    QCOMPARE(info.baseUrl(), QString("https://h"));
    QCOMPARE(info.uri(), QString("/client"));
    QCOMPARE(info.urls(), (QStringList{"wss://a", "wss://b"}));
    QCOMPARE(info.param("name").toString(), QString("N"));
    QCOMPARE(info.param("missing", 7).toInt(), 7);
    // Only string sign-in members are kept; no stage means no "stage" entry.
    QCOMPARE(info.auth(), (QVariantMap{{"authtoken", "t"}, {"prompt", "p"}}));
    QVERIFY(info.stage().isEmpty());

    const ConnectInfo empty =
        ConnectInfo::fromJson(jsonValue(R"({"id":1,"urls":"x","params":[]})").toObject());
    QVERIFY(empty.id().isEmpty());
    QVERIFY(empty.urls().isEmpty());
    QVERIFY(empty.params().isEmpty());
}

void TestReplyParsers::connectInfoPorts_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("port");
    QTest::newRow("ordinary") << "4000" << 4000;
    QTest::newRow("highest") << "65535" << 65535;
    // Out of range is no port rather than some other port (a plain 16-bit store would give 4464).
    QTest::newRow("above range") << "70000" << 0;
    QTest::newRow("negative") << "-1" << 0;
    QTest::newRow("string") << R"("22")" << 0;
    QTest::newRow("fraction") << "22.7" << 22;
}

void TestReplyParsers::connectInfoPorts() {
    QFETCH(QString, value);
    QFETCH(int, port);
    const QJsonObject reply =
        jsonValue(QString(R"({"tcpPort":%1,"webSocketPort":%1})").arg(value)).toObject();
    const ConnectInfo info = ConnectInfo::fromJson(reply);
    QCOMPARE(int(info.tcpPort()), port);
    QCOMPARE(int(info.webSocketPort()), port);
}

void TestReplyParsers::connectInfoFallbackIdAndViewerParameters() {
    TestRpcInstance instance;
    instance.viewerParameters = {{"AuthToken", "tok"}};
    auto convert = [](const QString& fallback) {
        return [fallback](RpcInstance* i, const RpcPromiseRef<ConnectInfo>& p, const QJsonValue& r,
                          const QJsonValue& e) { resolveConnectInfo(i, p, r, e, fallback); };
    };
    ConnectInfo info;
    settle<ConnectInfo>(instance, convert("asked"), jsonValue(R"({"password":"p"})"), QJsonValue(), &info);
    QCOMPARE(info.id(), QString("asked"));
    QCOMPARE(info.param("AuthToken").toString(), QString("tok"));

    settle<ConnectInfo>(instance, convert("asked"), jsonValue(R"({"id":"own"})"), QJsonValue(), &info);
    QCOMPARE(info.id(), QString("own"));
}

void TestReplyParsers::connectInfoStages() {
    const ConnectInfo schedule = ConnectInfo::fromJson(jsonValue(R"({"stage":"schedule","code":3,"html":true,
        "output":[{"line":"a","type":"stdout","eof":true},"skip",{"line":"b","type":"stderr"}]})")
                                                           .toObject());
    QCOMPARE(schedule.stage(), QString("schedule"));
    QCOMPARE(schedule.scheduleCode(), 3);
    QVERIFY(schedule.scheduleHtml());
    QCOMPARE(schedule.scheduleOutput().size(), 2);
    QVERIFY(schedule.scheduleOutput()[0].eof);
    QCOMPARE(schedule.scheduleOutput()[1].type, QString("stderr"));
    QVERIFY(schedule.auth().isEmpty());

    const ConnectInfo form = ConnectInfo::fromJson(jsonValue(R"({"stage":"form","form":{"id":"f","html":"<b>",
        "name":"Form","allowUnsafeHtml":true},"code":9})")
                                                       .toObject());
    QCOMPARE(form.form().id, QString("f"));
    QCOMPARE(form.form().html, QString("<b>"));
    QCOMPARE(form.form().name, QString("Form"));
    QVERIFY(form.form().allowUnsafeHtml);
    // Schedule members are read only for a schedule reply.
    QCOMPARE(form.scheduleCode(), 0);

    const ConnectInfo signin =
        ConnectInfo::fromJson(jsonValue(R"({"stage":"agent","signData":"d"})").toObject());
    QCOMPARE(signin.auth(), (QVariantMap{{"signData", "d"}, {"stage", "agent"}}));
}

void TestReplyParsers::scheduleHtml_data() {
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("html");
    QTest::newRow("scheduled") << R"({"stage":"schedule"})"
                               << "The session has been scheduled.";
    QTest::newRow("failed code") << R"({"stage":"schedule","code":2})"
                                 << "The schedule operation failed with code 2.";
    QTest::newRow("only stderr")
        << R"({"stage":"schedule","output":[{"line":"a<b","type":"stderr"},
        {"line":"c","type":"system"}]})"
        << "<strong>The schedule operation returned this:</strong><br />a&lt;b<br />\nc<br />\n";
    QTest::newRow("stdout makes stderr red")
        << R"({"stage":"schedule","output":[{"line":"ok&","type":"stdout"},{"line":"bad","type":"stderr"}]})"
        << "ok&amp;<br />\n<span class=\"text-danger\">bad</span><br />\n";
    QTest::newRow("html stdout unescaped")
        << R"({"stage":"schedule","html":true,"output":[{"line":"<i>x</i>","type":"stdout"}]})"
        << "<i>x</i>\n";
}

void TestReplyParsers::scheduleHtml() {
    QFETCH(QString, reply);
    QFETCH(QString, html);
    QCOMPARE(ConnectInfo::fromJson(jsonValue(reply).toObject()).scheduleResultHtml(), html);
}

void TestReplyParsers::image_data() {
    QTest::addColumn<QString>("src");
    QTest::addColumn<QSize>("size");
    QTest::newRow("png") << pngDataUrl(QSize(4, 3)) << QSize(4, 3);
    QTest::newRow("jpeg media type") << QString(pngDataUrl(QSize(4, 3))).replace("image/png", "image/jpeg")
                                     << QSize();
    QTest::newRow("no comma") << "data:image/png;base64" << QSize();
    QTest::newRow("not a data url") << "https://host/shot.png" << QSize();
    QTest::newRow("garbage base64") << "data:image/png;base64,!!!!" << QSize();
    QTest::newRow("src not a string") << "" << QSize();
}

void TestReplyParsers::image() {
    QFETCH(QString, src);
    QFETCH(QSize, size);
    QJsonObject result;
    if (!src.isEmpty())
        result.insert("src", src);
    else
        result.insert("src", 5);
    const QImage image = imageFromJson(result);
    QCOMPARE(image.isNull(), !size.isValid());
    if (size.isValid())
        QCOMPARE(image.size(), size);
}

void TestReplyParsers::bookmarkList() {
    const QList<Bookmark> list = bookmarkListFromJson(jsonValue(R"({
        "history":[{"id":"h1"}],
        "user":[{"id":"u1"},{"name":"no id"}],
        "system":[{"id":"s1"}],
        "suggestions":[{"id":"g1"}],
        "favorites":["u1","h1","nowhere",4]})")
                                                          .toObject());
    QStringList ids;
    QStringList types;
    QStringList favorites;
    for (const Bookmark& b : list) {
        ids << b.id();
        types << b.type();
        if (b.isFavorite())
            favorites << b.id();
    }
    QCOMPARE(ids, (QStringList{"s1", "u1", "g1", "h1"}));
    QCOMPARE(types, (QStringList{"suggestion", "bookmark", "suggestion", "history"}));
    QCOMPARE(favorites, (QStringList{"u1", "h1"}));

    QVERIFY(bookmarkListFromJson(jsonValue(R"({"user":{"id":"x"},"favorites":"u1"})").toObject()).isEmpty());
}

void TestReplyParsers::serviceAndSharing() {
    const ServiceInfo service =
        serviceInfoFromJson(jsonValue(R"({"url":"https://h:8443/x","token":"t"})").toObject());
    QCOMPARE(service.url, QUrl("https://h:8443/x"));
    QCOMPARE(service.token, QString("t"));

    TestRpcInstance instance;
    SharingData data;
    settle<SharingData>(instance, resolveSharingData,
                        jsonValue(R"({"sharingKey":"k","users":[{"name":"a"}]})"), QJsonValue(), &data);
    QCOMPARE(data.sharingKey, QString("k"));
    QCOMPARE(data.users.size(), 1);
}

QTEST_GUILESS_MAIN(TestReplyParsers)
#include "tst_reply_parsers.moc"
