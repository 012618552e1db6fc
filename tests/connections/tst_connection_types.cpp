#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

QJsonObject parse(const char* text) {
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

QCommandLineParser* parsed(void (*add)(QCommandLineParser&), const QStringList& args) {
    auto* parser = new QCommandLineParser;
    add(*parser);
    if (!parser->parse(QStringList{QStringLiteral("velnor3")} + args))
        qFatal("%s", qPrintable(parser->errorText()));
    return parser;
}

} // namespace

class TestConnectionTypes : public QObject {
    Q_OBJECT
private slots:
    void httpsFile_data();
    void httpsFile();
    void httpsRoundTrip();
    void httpsCommandLine_data();
    void httpsCommandLine();
    void sshFile_data();
    void sshFile();
    void sshRoundTrip();
    void sshSystemFlag();
    void sshCommandLine_data();
    void sshCommandLine();
    void sharedPointer();
};

void TestConnectionTypes::httpsFile_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("authMethod");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("description");

    QTest::newRow("no port, no auth method")
        << QByteArray(R"({"host":"srv","user":"ann"})") << 3300 << "ssh" << "https://srv:3300 (ssh auth)"
        << "Host: srv\nPort: 3300\nUser: ann\nAuth Method: ssh";
    QTest::newRow("port 0 used as 3300")
        << QByteArray(R"({"host":"srv","port":0,"authMethod":"SSH","user":"ann"})") << 0 << "SSH"
        << "https://ann@srv:3300" << "Host: srv\nPort: 3300\nUser: ann\nAuth Method: SSH";
    QTest::newRow("port 443 left out")
        << QByteArray(R"({"name":"Lab","host":"srv","port":443,"uri":"/gw","authMethod":"SSH","user":"ann"})")
        << 443 << "SSH" << "https://ann@srv/gw" << "Name: Lab\nHost: srv\nUser: ann\nUri: /gw\nAuth Method: SSH";
    QTest::newRow("empty user, empty method")
        << QByteArray(R"({"host":"srv","port":8443,"authMethod":""})") << 8443 << ""
        << "https://srv:8443" << "Host: srv\nPort: 8443";
    QTest::newRow("other method hides the user")
        << QByteArray(R"({"host":"srv","port":443,"user":"ann","authMethod":"SAML"})") << 443 << "SAML"
        << "https://srv (SAML auth)" << "Host: srv\nUser: ann\nAuth Method: SAML";
    QTest::newRow("auth method not a string")
        << QByteArray(R"({"host":"srv","port":443,"authMethod":7})") << 443 << "ssh"
        << "https://srv (ssh auth)" << "Host: srv\nAuth Method: ssh";
    QTest::newRow("port out of range does not wrap")
        << QByteArray(R"({"host":"srv","port":65558,"authMethod":"SSH"})") << 0 << "SSH"
        << "https://srv:3300" << "Host: srv\nPort: 3300\nAuth Method: SSH";
    QTest::newRow("negative port")
        << QByteArray(R"({"host":"srv","port":-1,"authMethod":"SSH"})") << 0 << "SSH"
        << "https://srv:3300" << "Host: srv\nPort: 3300\nAuth Method: SSH";
    QTest::newRow("uri without its leading slash")
        << QByteArray(R"({"host":"srv","port":3300,"uri":"gw","authMethod":"SSH"})") << 3300 << "SSH"
        << "https://srv:3300/gw" << "Host: srv\nPort: 3300\nUri: /gw\nAuth Method: SSH";
}

void TestConnectionTypes::httpsFile() {
    QFETCH(QByteArray, file);
    HttpsConnection connection;
    connection.fromJson(QJsonDocument::fromJson(file).object());
    QTEST(int(connection.port()), "port");
    QTEST(connection.authMethod(), "authMethod");
    QTEST(connection.url(), "url");
    QTEST(connection.description(), "description");
}

void TestConnectionTypes::httpsRoundTrip() {
    const QJsonObject file = parse(R"({"type":"https","filename":"/c/a.velnor","name":"Lab","host":"srv",
        "port":8443,"user":"ann","uri":"/x","ignoreSslErrors":false,"disableDirectMode":true,
        "authMethod":"OpenID Connect","readOnly":true})");
    HttpsConnection connection;
    connection.fromJson(file);
    QCOMPARE(connection.toJson(), file);
    QVERIFY(!connection.ignoreSslErrors());
    QVERIFY(connection.disableDirectMode());
    // The file's name and readOnly are the kind's own; the base fields stay as they were.
    QVERIFY(connection.name().isEmpty());
    QVERIFY(connection.filePath().isEmpty());
    QVERIFY(!connection.isSystem());

    // Absent keys leave the fields unchanged, except the port, which falls back to its default.
    connection.fromJson(parse(R"({"host":"other"})"));
    QJsonObject expected = file;
    expected[QStringLiteral("host")] = QStringLiteral("other");
    expected[QStringLiteral("port")] = 3300;
    QCOMPARE(connection.toJson(), expected);

    // A connection that says nothing else verifies the server's certificate.
    const QJsonObject defaults = HttpsConnection().toJson();
    QCOMPARE(defaults, parse(R"({"type":"https","filename":"","name":"","host":"","port":3300,"user":"",
        "uri":"","ignoreSslErrors":false,"disableDirectMode":false,"authMethod":"ssh","readOnly":false})"));
}

void TestConnectionTypes::httpsCommandLine_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QJsonObject>("changed");

    QTest::newRow("no web switch") << QStringList{"--user", "ann", "--noDirectMode"} << false << QJsonObject{};
    // Without a server address there is nothing to launch.
    QTest::newRow("web without url") << QStringList{"--web", "--fssh", "--issl"} << false << QJsonObject{};
    QTest::newRow("all")
        << QStringList{"--web", "--url", "https://srv", "--user", "ann", "--noDirectMode", "--auth-method", "SAML",
                       "--issl"}
        << true
        << parse(R"({"host":"srv","port":443,"uri":"","user":"ann","disableDirectMode":true,"authMethod":"SAML",
                     "ignoreSslErrors":true})");
    QTest::newRow("url gives host, port and path")
        << QStringList{"--web", "--url", "https://srv.example:8443/gw"} << true
        << parse(R"({"host":"srv.example","port":8443,"uri":"/gw"})");
    QTest::newRow("url without scheme or port")
        << QStringList{"--web", "--url", "srv.example"} << true << parse(R"({"host":"srv.example","port":443})");
    QTest::newRow("user option wins over the url's user")
        << QStringList{"--web", "--url", "https://bob@srv/", "--user", "ann"} << true
        << parse(R"({"host":"srv","port":443,"uri":"/","user":"ann"})");
    QTest::newRow("url without host")
        << QStringList{"--web", "--url", "https://"} << false << QJsonObject{};
    QTest::newRow("garbled url")
        << QStringList{"--web", "--url", "https://srv:port"} << false << QJsonObject{};
}

void TestConnectionTypes::httpsCommandLine() {
    QFETCH(QStringList, args);
    QFETCH(QJsonObject, changed);
    std::unique_ptr<QCommandLineParser> parser(parsed(&HttpsConnection::addCommandLineOptions, args));
    HttpsConnection connection;
    QTEST(HttpsConnection::fromCommandLine(*parser, connection), "ok");
    QJsonObject expected = HttpsConnection().toJson();
    for (auto it = changed.begin(); it != changed.end(); ++it)
        expected[it.key()] = it.value();
    QCOMPARE(connection.toJson(), expected);
}

void TestConnectionTypes::sshFile_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("run");
    QTest::addColumn<QStringList>("sshOptions");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("description");

    QTest::newRow("defaults") << QByteArray(R"({"host":"srv"})") << 22 << "exec velnor-protocol" << QStringList{}
                              << "ssh://srv" << "Host: srv\nRun: exec velnor-protocol";
    QTest::newRow("port 0 and empty run")
        << QByteArray(R"({"name":"Lab","host":"srv","port":0,"user":"ann","run":""})") << 0 << ""
        << QStringList{} << "ssh://srv" << "Name: Lab\nHost: srv\nPort: 0\nUser: ann";
    QTest::newRow("own port and options")
        << QByteArray(R"({"host":"srv","port":2222,"run":"velnor-protocol --x","sshOptions":["-o","A=b"]})")
        << 2222 << "velnor-protocol --x" << QStringList{"-o", "A=b"} << "ssh://srv:2222"
        << "Host: srv\nPort: 2222\nRun: velnor-protocol --x";
    QTest::newRow("options as a string are ignored")
        << QByteArray(R"({"host":"srv","sshOptions":"-v"})") << 22 << "exec velnor-protocol" << QStringList{}
        << "ssh://srv" << "Host: srv\nRun: exec velnor-protocol";
    // A port no ssh can use counts as absent: 22, as for a file without one.
    QTest::newRow("port out of range counts as absent")
        << QByteArray(R"({"host":"srv","port":65558})") << 22 << "exec velnor-protocol" << QStringList{}
        << "ssh://srv" << "Host: srv\nRun: exec velnor-protocol";
    QTest::newRow("negative port counts as absent")
        << QByteArray(R"({"host":"srv","port":-1})") << 22 << "exec velnor-protocol" << QStringList{}
        << "ssh://srv" << "Host: srv\nRun: exec velnor-protocol";
}

void TestConnectionTypes::sshFile() {
    QFETCH(QByteArray, file);
    SshConnection connection;
    connection.fromJson(QJsonDocument::fromJson(file).object());
    QTEST(int(connection.settings().port), "port");
    QTEST(connection.settings().run, "run");
    QTEST(connection.settings().sshOptions, "sshOptions");
    QTEST(connection.url(), "url");
    QTEST(connection.description(), "description");
}

void TestConnectionTypes::sshRoundTrip() {
    const QJsonObject file = parse(R"({"readOnly":false,"type":"ssh","filename":"/c/s.velnor","name":"Lab",
        "host":"srv","port":2200,"run":"r","user":"ann","forwardAgent":false,"sshOptions":["-4"],
        "usePlink":true,"debugLogging":true,"plinkOptions":["-v","-x"]})");
    SshConnection connection;
    connection.fromJson(file);
    QCOMPARE(connection.toJson(), file);

    // Absent keys keep their values, except "run", which falls back to its default.
    connection.fromJson(parse(R"({"sshOptions":[],"plinkOptions":{}})"));
    QJsonObject expected = file;
    expected[QStringLiteral("run")] = QStringLiteral("exec velnor-protocol");
    expected[QStringLiteral("sshOptions")] = QJsonArray();
    QCOMPARE(connection.toJson(), expected);

    QCOMPARE(SshConnection().toJson(), parse(R"({"readOnly":false,"type":"ssh","filename":"","name":"",
        "host":"","port":22,"run":"exec velnor-protocol","user":"","forwardAgent":true,"sshOptions":[],
        "usePlink":false,"debugLogging":false,"plinkOptions":[]})"));
}

void TestConnectionTypes::sshSystemFlag() {
    // An editor form's "readOnly" is the system flag; the store sets it after reading, whatever the file says.
    auto ssh = std::make_shared<SshConnection>();
    ssh->fromJson(parse(R"({"host":"srv","readOnly":true})"));
    QVERIFY(ssh->isSystem());
    QCOMPARE(ssh->toJson().value("readOnly"), QJsonValue(true));
    ssh->setSystem(false);
    QCOMPARE(ssh->toJson().value("readOnly"), QJsonValue(false));

    auto https = std::make_shared<HttpsConnection>();
    https->fromJson(parse(R"({"host":"srv","readOnly":true})"));
    QVERIFY(!https->isSystem());
    QCOMPARE(https->toJson().value("readOnly"), QJsonValue(true));
}

void TestConnectionTypes::sshCommandLine_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QJsonObject>("changed");

    QTest::newRow("no ssh switch") << QStringList{"--host", "srv"} << false << QJsonObject{};
    QTest::newRow("no host") << QStringList{"--ssh", "--user", "ann"} << false << QJsonObject{};
    QTest::newRow("host as an option") << QStringList{"--ssh", "--host", "-oProxyCommand=x"} << false
                                       << QJsonObject{};
    QTest::newRow("host with a blank") << QStringList{"--ssh", "--host", "srv x"} << false << QJsonObject{};
    QTest::newRow("user as an option") << QStringList{"--ssh", "--host", "srv", "--user", "-l"} << false
                                       << QJsonObject{};
    QTest::newRow("host only") << QStringList{"--ssh", "--host", "srv", "--fa"} << true
                               << parse(R"({"host":"srv"})");
    QTest::newRow("all")
        << QStringList{"--ssh", "--host", "srv", "--port", "2222", "--user", "ann", "--sci", "", "--dl"} << true
        << parse(R"({"host":"srv","port":2222,"user":"ann","run":"","debugLogging":true})");
    QTest::newRow("port not a number") << QStringList{"--ssh", "--host", "srv", "--port", "22a"} << true
                                       << parse(R"({"host":"srv","port":0})");
    QTest::newRow("port too large") << QStringList{"--ssh", "--host", "srv", "--port", "65558"} << true
                                    << parse(R"({"host":"srv","port":0})");
}

void TestConnectionTypes::sshCommandLine() {
    QFETCH(QStringList, args);
    QFETCH(QJsonObject, changed);
    std::unique_ptr<QCommandLineParser> parser(parsed(&SshConnection::addCommandLineOptions, args));
    SshConnection connection;
    QTEST(SshConnection::fromCommandLine(*parser, connection), "ok");
    QJsonObject expected = SshConnection().toJson();
    for (auto it = changed.begin(); it != changed.end(); ++it)
        expected[it.key()] = it.value();
    QCOMPARE(connection.toJson(), expected);
}

void TestConnectionTypes::sharedPointer() {
    registerConnectionPtrMetaType();
    ConnectionPtr first = std::make_shared<SshConnection>();
    ConnectionPtr second = first;
    QVERIFY(!first->isFavorite());
    second->setFavorite(true);
    QVERIFY(first->isFavorite());

    // It travels in a QVariant under its registered name.
    const QVariant variant = QVariant::fromValue(first);
    QCOMPARE(QMetaType::typeName(variant.userType()), "ConnectionPtr");
    QCOMPARE(variant.value<ConnectionPtr>().get(), first.get());
    QCOMPARE(first.use_count(), 3);
}

QTEST_GUILESS_MAIN(TestConnectionTypes)
#include "tst_connection_types.moc"
