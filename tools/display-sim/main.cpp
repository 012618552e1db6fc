// velnor-display-sim: the display-server simulator as a program, for running the viewer by hand and for
// benchmarks. Prints the URL to connect to on its first line of standard output.

#include "SimDesktop.h"
#include "SimServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSize>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <optional>

using namespace DisplaySim;

namespace {

QList<quint8> parseCodecs(const QString& text, bool& ok) {
    QList<quint8> codecs;
    ok = true;
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool partOk = false;
        const uint id = part.trimmed().toUInt(&partOk);
        if (!partOk || id > 255) {
            ok = false;
            return {};
        }
        codecs.append(static_cast<quint8>(id));
    }
    return codecs;
}

// What the client sent during its session, for tests that run the viewer as a program.
QJsonObject sessionReport(const SessionRecord& record) {
    QJsonArray settings;
    for (const QList<QByteArray>& message : record.clientSettings) {
        QJsonArray entries;
        for (const QByteArray& entry : message)
            entries.append(QString::fromLatin1(entry.toHex()));
        settings.append(entries);
    }
    QJsonArray channels;
    for (const QString& name : record.channelRequests)
        channels.append(name);
    return QJsonObject{
        {QStringLiteral("clientIdentity"), record.clientIdentity},
        {QStringLiteral("gotSecurity"), record.gotSecurity},
        {QStringLiteral("displayName"), record.displayName},
        {QStringLiteral("passwordHex"), QString::fromLatin1(record.password.toHex())},
        {QStringLiteral("settings"), settings},
        {QStringLiteral("channelRequests"), channels},
        {QStringLiteral("frameAcks"), record.frameAcks.size()},
        {QStringLiteral("mainSequence"), record.mainSequence},
    };
}

int fail(const QString& message) {
    QTextStream(stderr) << "velnor-display-sim: " << message << '\n';
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velnor-display-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Display-server simulator on 127.0.0.1. Prints the session URL on its first line of "
        "output, then serves one client at a time.\n"
        "Example: velnor-display-sim --transport tcp --port 4000 --password secret --desktop"));
    parser.addHelpOption();
    const QCommandLineOption transport(QStringLiteral("transport"),
                                       QStringLiteral("ws (default), wss or tcp."), QStringLiteral("kind"),
                                       QStringLiteral("ws"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to listen on; 0 picks a free one."),
                                  QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption path(QStringLiteral("path"), QStringLiteral("WebSocket path."),
                                  QStringLiteral("path"), QStringLiteral("/client/protocol"));
    const QCommandLineOption identity(QStringLiteral("identity"),
                                      QStringLiteral("Identity the server announces."),
                                      QStringLiteral("text"), QStringLiteral("DisplaySim"));
    const QCommandLineOption password(QStringLiteral("password"),
                                      QStringLiteral("Ask for a password and accept only this one."),
                                      QStringLiteral("password"));
    const QCommandLineOption askPassword(QStringLiteral("ask-password"),
                                         QStringLiteral("Ask for a password but accept any."));
    const QCommandLineOption codecs(QStringLiteral("codecs"),
                                    QStringLiteral("Codec list announced, e.g. 2,3,4,7."),
                                    QStringLiteral("ids"), QStringLiteral("2,3,4,7"));
    const QCommandLineOption geometry(QStringLiteral("geometry"), QStringLiteral("Desktop size WxH."),
                                      QStringLiteral("WxH"), QStringLiteral("1024x768"));
    const QCommandLineOption desktop(
        QStringLiteral("desktop"),
        QStringLiteral("Run a scripted desktop (a moving square) after the handshake."));
    const QCommandLineOption fps(QStringLiteral("fps"),
                                 QStringLiteral("Frames per second of the scripted desktop."),
                                 QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption window(
        QStringLiteral("frame-window"),
        QStringLiteral("Frames in flight before the desktop waits for acknowledges."), QStringLiteral("n"),
        QStringLiteral("4"));
    const QCommandLineOption codec(
        QStringLiteral("codec"),
        QStringLiteral("Codec of the scripted desktop's updates: 2 (RFX7), 7 (RFX7 progressive), "
                       "3 (JPEG) or 4 (PNG)."),
        QStringLiteral("id"), QStringLiteral("4"));
    const QCommandLineOption channels(QStringLiteral("open-channels"),
                                      QStringLiteral("Open every channel the client requests."));
    const QCommandLineOption writeMode(
        QStringLiteral("write-mode"),
        QStringLiteral("TCP writes: whole (default), bytes (one byte per write) or "
                       "coalesced (many frames per write)."),
        QStringLiteral("mode"), QStringLiteral("whole"));
    const QCommandLineOption delay(QStringLiteral("write-delay"),
                                   QStringLiteral("Milliseconds between writes."), QStringLiteral("ms"),
                                   QStringLiteral("0"));
    const QCommandLineOption cert(QStringLiteral("cert"),
                                  QStringLiteral("PEM certificate for wss (default: a new self-signed one)."),
                                  QStringLiteral("file"));
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("PEM private key for wss."),
                                 QStringLiteral("file"));
    const QCommandLineOption once(QStringLiteral("once"), QStringLiteral("Exit when the first client goes."));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Print the transcript on exit."));
    const QCommandLineOption endAfterAcks(
        QStringLiteral("end-after-acks"),
        QStringLiteral("End the session with a Disconnect once this many frames are acknowledged."),
        QStringLiteral("n"));
    const QCommandLineOption endReason(QStringLiteral("end-reason"),
                                       QStringLiteral("Reason text of that Disconnect."),
                                       QStringLiteral("text"), QStringLiteral("Session ended"));
    const QCommandLineOption endLevel(QStringLiteral("end-level"),
                                      QStringLiteral("Level of that Disconnect (none by default)."),
                                      QStringLiteral("level"));
    const QCommandLineOption report(
        QStringLiteral("report"),
        QStringLiteral("Write what the client sent (JSON) to this file when it goes."),
        QStringLiteral("file"));
    const QCommandLineOption fullFrames(
        QStringLiteral("full-frames"),
        QStringLiteral("The scripted desktop repaints the whole desktop in every frame."));
    const QCommandLineOption backgroundTiles(
        QStringLiteral("background-tiles"),
        QStringLiteral("Send the first frame's background as n x n image tiles of one update."),
        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption endDelay(
        QStringLiteral("end-delay"),
        QStringLiteral("Milliseconds between the last counted acknowledge and the Disconnect."),
        QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOptions({transport, port, path,    identity,     password,  askPassword, codecs, geometry,
                       desktop,   fps,  window,  codec,        channels,  writeMode,   delay,  cert,
                       key,       once, verbose, endAfterAcks, endReason, endLevel,    report});
    parser.addOptions({fullFrames, backgroundTiles, endDelay});
    parser.process(app);

    ServerOptions options;
    const QString kind = parser.value(transport);
    if (kind == QLatin1String("ws"))
        options.transport = Transport::WebSocket;
    else if (kind == QLatin1String("wss"))
        options.transport = Transport::SecureWebSocket;
    else if (kind == QLatin1String("tcp"))
        options.transport = Transport::Tcp;
    else
        return fail(QStringLiteral("unknown transport \"%1\"").arg(kind));

    bool ok = false;
    const uint portNumber = parser.value(port).toUInt(&ok);
    if (!ok || portNumber > 65535)
        return fail(QStringLiteral("bad port \"%1\"").arg(parser.value(port)));

    const QStringList size = parser.value(geometry).split(QLatin1Char('x'));
    bool wOk = false, hOk = false;
    const int width = size.value(0).toInt(&wOk);
    const int height = size.value(1).toInt(&hOk);
    if (size.size() != 2 || !wOk || !hOk || width < 1 || height < 1 || width > 65535 || height > 65535)
        return fail(QStringLiteral("bad geometry \"%1\"").arg(parser.value(geometry)));

    const QList<quint8> codecList = parseCodecs(parser.value(codecs), ok);
    if (!ok)
        return fail(QStringLiteral("bad codec list \"%1\"").arg(parser.value(codecs)));

    options.path = parser.value(path);
    options.identity = parser.value(identity);
    options.capabilities.clear();
    if (codecList.contains(2))
        options.capabilities << Entry::rfx7();
    if (codecList.contains(3))
        options.capabilities << Entry::jpeg();
    options.capabilities << Entry::codecList(codecList);
    if (parser.isSet(password) || parser.isSet(askPassword))
        options.capabilities << Entry::password();
    if (parser.isSet(password))
        options.expectedPassword = parser.value(password).toUtf8();
    options.firstSettings = {Entry::geometry(static_cast<quint16>(width), static_cast<quint16>(height))};
    options.autoOpenChannels = parser.isSet(channels);
    options.historyLimit = 2000; // long benchmark runs keep only the recent past

    const QString mode = parser.value(writeMode);
    if (mode == QLatin1String("whole"))
        options.writeMode = WriteMode::Whole;
    else if (mode == QLatin1String("bytes"))
        options.writeMode = WriteMode::ByteAtATime;
    else if (mode == QLatin1String("coalesced"))
        options.writeMode = WriteMode::Coalesced;
    else
        return fail(QStringLiteral("unknown write mode \"%1\"").arg(mode));
    options.writeDelayMs = qMax(0, parser.value(delay).toInt());

    if (options.transport == Transport::SecureWebSocket) {
        if (parser.isSet(cert) != parser.isSet(key))
            return fail(QStringLiteral("--cert and --key go together"));
        if (parser.isSet(cert)) {
            QFile certFile(parser.value(cert)), keyFile(parser.value(key));
            if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
                return fail(QStringLiteral("cannot read the certificate or key"));
            options.certificatePem = certFile.readAll();
            options.keyPem = keyFile.readAll();
        } else {
            const CertificatePair pair = makeSelfSignedCertificate();
            if (!pair.error.isEmpty())
                return fail(pair.error);
            options.certificatePem = pair.certificatePem;
            options.keyPem = pair.keyPem;
        }
    }

    Server server(options);
    if (!server.listen(static_cast<quint16>(portNumber)))
        return fail(QStringLiteral("cannot listen: ") + server.errorString());

    Desktop* scripted = nullptr;
    if (parser.isSet(desktop)) {
        scripted = new Desktop(&server, QSize(width, height), &server);
        scripted->setFramesPerSecond(qMax(1, parser.value(fps).toInt()));
        scripted->setAcknowledgeWindow(qMax(1, parser.value(window).toInt()));
        const int codecId = parser.value(codec).toInt();
        if (codecId != 2 && codecId != 3 && codecId != 4 && codecId != 7)
            return fail(QStringLiteral("unsupported desktop codec \"%1\"").arg(parser.value(codec)));
        if ((codecId == 2 || codecId == 7) && !Server::canEncodeRfx7())
            return fail(QStringLiteral("built without the RFX7 tile encoder"));
        scripted->setCodec(static_cast<quint8>(codecId));
        scripted->setFullFrames(parser.isSet(fullFrames));
        scripted->setBackgroundTiles(parser.value(backgroundTiles).toInt());
    }
    if (parser.isSet(endAfterAcks)) {
        const int acks = parser.value(endAfterAcks).toInt(&ok);
        if (!ok || acks < 1)
            return fail(QStringLiteral("bad acknowledge count \"%1\"").arg(parser.value(endAfterAcks)));
        std::optional<quint8> level;
        if (parser.isSet(endLevel)) {
            const uint value = parser.value(endLevel).toUInt(&ok);
            if (!ok || value > 255)
                return fail(QStringLiteral("bad level \"%1\"").arg(parser.value(endLevel)));
            level = static_cast<quint8>(value);
        }
        const QString reason = parser.value(endReason);
        const int delayMs = qMax(0, parser.value(endDelay).toInt());
        QObject::connect(&server, &Server::ackReceived, &server,
                         [&server, scripted, acks, reason, level, delayMs] {
                             if (server.record().frameAcks.size() != acks)
                                 return;
                             if (scripted)
                                 scripted->stopFrames();
                             // For scripts that measure the client while it is idle.
                             std::printf("acknowledged %d\n", acks);
                             std::fflush(stdout);
                             if (delayMs == 0) {
                                 server.sendDisconnect(reason, level);
                                 return;
                             }
                             QTimer::singleShot(delayMs, &server, [&server, reason, level] {
                                 if (server.hasClient())
                                     server.sendDisconnect(reason, level);
                             });
                         });
    }
    if (parser.isSet(report)) {
        const QString file = parser.value(report);
        QObject::connect(&server, &Server::clientDisconnected, &server, [&server, file] {
            QFile out(file);
            if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
                out.write(QJsonDocument(sessionReport(server.record())).toJson());
        });
    }
    if (parser.isSet(once))
        QObject::connect(&server, &Server::clientDisconnected, &app, &QCoreApplication::quit);

    std::printf("%s\n", server.url().toString().toUtf8().constData());
    std::fflush(stdout);
    const int rc = app.exec();
    if (parser.isSet(verbose))
        std::fprintf(stderr, "%s\n", server.transcriptText().toUtf8().constData());
    return rc;
}
