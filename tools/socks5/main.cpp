// velnor-socks5: a SOCKS5 relay on 127.0.0.1 for trying the viewer's proxy path by hand.

#include "Socks5Server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velnor-socks5"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("SOCKS5 relay on 127.0.0.1 (CONNECT only). Prints the port it listens on."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port; 0 picks a free one."),
                                  QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("Require this user name."),
                                  QStringLiteral("name"));
    const QCommandLineOption password(QStringLiteral("password"), QStringLiteral("Require this password."),
                                      QStringLiteral("password"));
    parser.addOptions({port, user, password});
    parser.process(app);

    bool ok = false;
    const uint portNumber = parser.value(port).toUInt(&ok);
    if (!ok || portNumber > 65535) {
        QTextStream(stderr) << "velnor-socks5: bad port \"" << parser.value(port) << "\"\n";
        return 2;
    }
    Socks5::Server server;
    server.setCredentials(parser.value(user), parser.value(password));
    if (!server.listen(static_cast<quint16>(portNumber))) {
        QTextStream(stderr) << "velnor-socks5: cannot listen: " << server.errorString() << '\n';
        return 2;
    }
    QObject::connect(&server, &Socks5::Server::connectRequested, [](const Socks5::ConnectRecord& r) {
        std::fprintf(stderr, "CONNECT %s:%u %s\n", r.host.toUtf8().constData(), r.port,
                     r.succeeded ? "ok" : "failed");
    });
    std::printf("%u\n", server.port());
    std::fflush(stdout);
    return app.exec();
}
