// velnor-https-server: the HTTPS test server as a program, for trying the web transport by hand.
// Prints the URL to use on its first line of standard output and each request on standard error.

#include "HttpsServer.h"

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
    parser.addOptions({http, port, token});
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
    std::printf("%s\n", server.url().toString().toUtf8().constData());
    std::fflush(stdout);
    QObject::connect(&server, &HttpsPeer::Server::requestReceived, [&server](const QString&) {
        const HttpsPeer::Request r = server.requests().constLast();
        std::fprintf(stderr, "%s %s %s\n", r.method.constData(), qPrintable(r.path),
                     r.body.left(200).constData());
    });
    return app.exec();
}
