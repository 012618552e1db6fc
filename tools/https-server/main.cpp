// velnor-https-server: the HTTPS test server as a program, for trying the web transport by hand.
// Prints the URL to use on its first line of standard output and each request on standard error.

#include "HttpsServer.h"
#include "SshAuthFlow.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A test server for the REST paths and the event stream."));
    parser.addHelpOption();
    const QCommandLineOption http(QStringLiteral("http"),
                                  QStringLiteral("Serve plain HTTP instead of HTTPS."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to listen on (default: any free one)."),
                                  QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption token(
        QStringLiteral("token"),
        QStringLiteral("Token the API requires (empty: none); the sign-in route hands it out."),
        QStringLiteral("token"));
    const QCommandLineOption signInSteps(
        QStringLiteral("sign-in-steps"),
        QStringLiteral("Run the staged sign-in on /v3/api/auth/ssh with these steps (comma-separated; "
                       "empty: signed in at once). The password is \"secret\"."),
        QStringLiteral("steps"));
    const QCommandLineOption shortcutDisplay(
        QStringLiteral("shortcut-display"),
        QStringLiteral("Answer /v3/api/bookmark/shortcut with a session shown at this display URL."),
        QStringLiteral("url"));
    const QCommandLineOption shortcutName(QStringLiteral("shortcut-name"),
                                          QStringLiteral("The \"name\" of that session (none by default)."),
                                          QStringLiteral("name"));
    const QCommandLineOption streamCloses(
        QStringLiteral("stream-closes"),
        QStringLiteral("Accept the event stream and close it at once, as a server or proxy that ends "
                       "idle streams."));
    const QCommandLineOption sessions(QStringLiteral("sessions"),
                                      QStringLiteral("Sessions the lists report (default: none)."),
                                      QStringLiteral("count"), QStringLiteral("0"));
    parser.addOptions(
        {http, port, token, signInSteps, shortcutDisplay, shortcutName, streamCloses, sessions});
    parser.process(app);

    bool ok = false;
    const uint portNumber = parser.value(port).toUInt(&ok);
    if (!ok || portNumber > 65535) {
        std::fprintf(stderr, "velnor-https-server: \"%s\" is not a port number\n",
                     qPrintable(parser.value(port)));
        return 1;
    }
    HttpsPeer::Server server;
    if (parser.isSet(token))
        server.setToken(parser.value(token).toUtf8());
    if (!server.start(parser.isSet(http) ? HttpsPeer::Server::Http : HttpsPeer::Server::Https,
                      static_cast<quint16>(portNumber))) {
        std::fprintf(stderr, "velnor-https-server: %s\n", qPrintable(server.error()));
        return 1;
    }
    if (parser.isSet(signInSteps)) {
        HttpsPeer::SshAuthFlow::Config config;
        config.steps = parser.value(signInSteps).split(QLatin1Char(','), Qt::SkipEmptyParts);
        config.finalReply = QJsonObject{{QStringLiteral("token"), QString::fromUtf8(server.token())}};
        HttpsPeer::SshAuthFlow::install(server, QStringLiteral("/v3/api/auth/ssh"), config);
    }
    if (parser.isSet(shortcutDisplay)) {
        QJsonObject reply = HttpsPeer::connectReply(QStringLiteral("shortcut-1"));
        reply.insert(QStringLiteral("urls"), QJsonArray{parser.value(shortcutDisplay)});
        QJsonObject params;
        if (parser.isSet(shortcutName))
            params.insert(QStringLiteral("name"), parser.value(shortcutName));
        reply.insert(QStringLiteral("params"), params);
        server.route("POST", QStringLiteral("/v3/api/bookmark/shortcut"),
                     [reply](const HttpsPeer::Request&) { return HttpsPeer::Response::result(reply); });
    }
    if (parser.isSet(streamCloses))
        server.route("GET", QStringLiteral("/sse/my-sessions"),
                     [](const HttpsPeer::Request&) { return HttpsPeer::Response::stream({}, true); });
    const int sessionCount = parser.value(sessions).toInt();
    if (sessionCount > 0) {
        QJsonArray list;
        for (int i = 0; i < sessionCount; ++i) {
            const QString id = QStringLiteral("session-%1").arg(i);
            list.append(QJsonObject{{QStringLiteral("id"), id},
                                    {QStringLiteral("command"), QStringLiteral("xterm")},
                                    {QStringLiteral("clientCount"), 0},
                                    {QStringLiteral("windowMode"), QStringLiteral("desktop")},
                                    {QStringLiteral("started"), QStringLiteral("2026-01-01T10:00:00Z")},
                                    {QStringLiteral("params"), QJsonObject{{QStringLiteral("name"), id}}}});
        }
        server.setSessions(list);
    }
    std::printf("%s\n", server.url().toString().toUtf8().constData());
    std::fflush(stdout);
    QObject::connect(&server, &HttpsPeer::Server::requestReceived, [&server](const QString&) {
        const HttpsPeer::Request r = server.requests().constLast();
        std::fprintf(stderr, "%s %s %s\n", r.method.constData(), qPrintable(r.path),
                     r.body.left(200).constData());
    });
    return app.exec();
}
