// VnServerConnection against the display-server simulator over every transport.

#include "ConnectionHarness.h"
#include "SimRawPeer.h"
#include "Socks5Server.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

#include <utility>

using namespace DisplaySim;

Q_DECLARE_METATYPE(DisplaySim::Transport)
Q_DECLARE_METATYPE(DisplaySim::WriteMode)
using ConnectionAction = std::function<void(VnServerConnection*)>;
using ServerAction = std::function<void(DisplaySim::Server*)>;
Q_DECLARE_METATYPE(ConnectionAction)
Q_DECLARE_METATYPE(ServerAction)
Q_DECLARE_METATYPE(QList<QNetworkRequest>)

namespace {

QByteArray pngOfSize(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QList<quint8> tagsOf(const QList<QByteArray>& entries) {
    QList<quint8> tags;
    for (const QByteArray& e : entries)
        tags << (e.isEmpty() ? quint8(0) : static_cast<quint8>(e[0]));
    return tags;
}

// Qt's complaints about an object used off its own thread (a socket written from the test thread, say).
// They are only warnings, so they are collected here and fail the test that caused them.
QMutex g_threadWarningsMutex;
QStringList g_threadWarnings;
QtMessageHandler g_previousHandler = nullptr;

void collectThreadWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && (message.contains(QLatin1String("another thread")) ||
                                 message.contains(QLatin1String("different thread")))) {
        QMutexLocker lock(&g_threadWarningsMutex);
        g_threadWarnings << message;
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

QStringList takeThreadWarnings() {
    QMutexLocker lock(&g_threadWarningsMutex);
    return std::exchange(g_threadWarnings, {});
}

} // namespace

class TestVnServerConnection : public QObject {
    Q_OBJECT

    CertificatePair m_cert;

    std::unique_ptr<Server> makeServer(Transport transport, ServerOptions options = {}) {
        options.transport = transport;
        options.certificatePem = m_cert.certificatePem;
        options.keyPem = m_cert.keyPem;
        auto server = std::make_unique<Server>(options);
        if (!server->listen())
            qWarning() << "simulator did not start:" << server->errorString();
        return server;
    }

    // Runs the handshake with the default server and waits until both sides are in the main sequence.
    bool startSession(ClientSession& session, Server& server) {
        session.connectTo(server.url());
        if (!server.awaitMainSequence())
            return false;
        return QTest::qWaitFor([&] { return session.recorder->mainSequenceCount == 1; }, 5000);
    }

    // Asks for a channel of the test class, has the server open it under `number` and returns the
    // client's object for it; empty when any step did not happen.
    std::shared_ptr<TestChannel> openTestChannel(ClientSession& session, Server& server, const QString& name,
                                                 quint8 number, QThread* thread = QThread::currentThread()) {
        VnServerConnection* c = session.connection;
        c->requestChannel(name, c->channelFactory<TestChannel>(thread));
        if (!server.awaitFrame(0, Msg::ChannelOpenRequest))
            return {};
        server.sendChannelOpen(name, 1, number);
        if (!QTest::qWaitFor([&] { return session.recorder->opened.contains(name); }, 5000))
            return {};
        return std::dynamic_pointer_cast<TestChannel>(c->channel(name));
    }

    static void addTransports() {
        QTest::addColumn<Transport>("transport");
        QTest::newRow("ws") << Transport::WebSocket;
        QTest::newRow("wss") << Transport::SecureWebSocket;
        QTest::newRow("velnor") << Transport::Tcp;
    }

private slots:
    void initTestCase() {
        m_cert = makeSelfSignedCertificate();
        QVERIFY2(m_cert.error.isEmpty(), qPrintable(m_cert.error));
        g_previousHandler = qInstallMessageHandler(collectThreadWarnings);
    }

    void cleanupTestCase() { qInstallMessageHandler(g_previousHandler); }

    void cleanup() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(TestChannel::alive.load(), 0);
        const QStringList warnings = takeThreadWarnings();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    }

    void handshake_data() {
        QTest::addColumn<Transport>("transport");
        QTest::addColumn<bool>("askPassword");
        for (auto [name, t] :
             {std::pair{"ws", Transport::WebSocket}, std::pair{"wss", Transport::SecureWebSocket},
              std::pair{"velnor", Transport::Tcp}}) {
            QTest::addRow("%s without password", name) << t << false;
            QTest::addRow("%s with password", name) << t << true;
        }
    }

    void handshake() {
        QFETCH(Transport, transport);
        QFETCH(bool, askPassword);
        ServerOptions options;
        options.capabilities = {Entry::jpeg(), Entry::codecList({2, 4, 9})};
        if (askPassword) {
            options.capabilities << Entry::password();
            options.expectedPassword = QByteArray("secret");
        }
        auto server = makeServer(transport, options);
        ClientSession session;
        QVERIFY2(startSession(session, *server), qPrintable(server->transcriptText()));

        const SessionRecord& r = server->record();
        QCOMPARE(r.clientVersion, std::optional<quint8>(1));
        QCOMPARE(r.clientIdentity, QStringLiteral("Velnor"));
        // Tags 2, 3, the codec list, then the password tag; the list is 2, 7 and the readable formats.
        QCOMPARE(tagsOf(r.clientCapabilities), (QList<quint8>{2, 3, 4, 1}));
        QList<quint8> codecs{2, 7};
        const QList<QByteArray> readable = QImageReader::supportedImageFormats();
        for (auto [id, format] :
             {std::pair{3, "jpeg"}, std::pair{4, "png"}, std::pair{5, "gif"}, std::pair{6, "webp"}}) {
            if (readable.contains(format))
                codecs << static_cast<quint8>(id);
        }
        QCOMPARE(r.clientCapabilities.value(2), Entry::codecList(codecs));

        QCOMPARE(r.gotSecurity, askPassword);
        if (askPassword) {
            QCOMPARE(r.displayName, QStringLiteral("Tester"));
            QCOMPARE(r.password, QByteArray("secret"));
        }
        QCOMPARE(session.recorder->connectedCount, 1);
        // Codec 9 is unknown and 2 comes from the list alone.
        QTRY_COMPARE(session.recorder->codecs.size(), 1);
        QCOMPARE(session.recorder->codecs.first(), (QSet<Protocol::Byte>{2, 3, 4}));
        session.onNetworkThread([&] { QCOMPARE(session.connection->passwordCapability(), askPassword); });
        QVERIFY(session.recorder->endings.isEmpty());
    }

    void settingsFromServer() {
        ServerOptions options;
        options.firstSettings = {
            Entry::keyboard(0x409, 4),
            QByteArray("\x01\x09\x04", 3), // keyboard cut short: skipped
            Entry::geometry(1280, 720),
            Entry::geometry(1920, 1080, 520, 290),
            Entry::automaticAdjust(true),
            Entry::triple(SettingTag::Compression, 7, 1, 9),
            Entry::triple(SettingTag::FrameRate, 30, 5, 60),
            Entry::triple(SettingTag::FrameWindow, 4, 1, 16),
            QByteArray("\x06\x04", 2), // frame window cut short: skipped
            Entry::codec(SettingTag::SmallBlockImageFormat, 2),
            Entry::codec(SettingTag::BigBlockImageFormat, 3),
            Entry::bigBlockMinimumSize(256, 128),
            Entry::highQualityUpgrades(false),
            QByteArray(),             // empty entry: skipped
            QByteArray("\x2a\x01", 2) // unknown tag: skipped
        };
        auto server = makeServer(Transport::WebSocket, options);
        ClientSession session;
        QVERIFY(startSession(session, *server));
        const QList<QVariantList> expected{
            {"keyboard", 0x409u, 4u},
            {"geometry", ushort(1280), ushort(720), 0u, 0u},
            {"geometry", ushort(1920), ushort(1080), 520u, 290u},
            {"adjust", true},
            {"compression", uchar(7), uchar(1), uchar(9)},
            {"frameRate", uchar(30), uchar(5), uchar(60)},
            {"frameWindow", uchar(4), uchar(1), uchar(16)},
            {"small", uchar(2)},
            {"big", uchar(3)},
            {"bigMin", ushort(256), ushort(128)},
            {"hq", false},
        };
        QTRY_COMPARE(session.recorder->settings.size(), expected.size());
        QCOMPARE(session.recorder->settings, expected);

        // Later Settings are reported too, without a second main-sequence entry.
        server->sendSettings({Entry::automaticAdjust(false)});
        QTRY_COMPARE(session.recorder->settings.size(), expected.size() + 1);
        QCOMPARE(session.recorder->settings.last(), (QVariantList{"adjust", false}));
        QCOMPARE(session.recorder->mainSequenceCount, 1);
    }

    void settingsToServer_data() {
        QTest::addColumn<ConnectionAction>("sender");
        QTest::addColumn<QList<QByteArray>>("entries");
        using C = VnServerConnection*;
        QTest::newRow("keyboard") << ConnectionAction([](C c) { c->sendKeyboardSetting(0x407, 7); })
                                  << QList<QByteArray>{Entry::keyboard(0x407, 7)};
        QTest::newRow("geometry") << ConnectionAction([](C c) { c->sendGeometrySetting(QSize(800, 600)); })
                                  << QList<QByteArray>{Entry::geometry(800, 600)};
        QTest::newRow("geometry with size in mm")
            << ConnectionAction([](C c) { c->sendGeometrySetting(QSize(800, 600), QSize(300, 200)); })
            << QList<QByteArray>{Entry::geometry(800, 600, 300, 200)};
        QTest::newRow("geometry with half a size in mm")
            << ConnectionAction([](C c) { c->sendGeometrySetting(QSize(800, 600), QSize(300, 0)); })
            << QList<QByteArray>{Entry::geometry(800, 600)};
        QTest::newRow("automatic adjust") << ConnectionAction([](C c) { c->sendAutomaticAdjustSetting(1); })
                                          << QList<QByteArray>{Entry::automaticAdjust(true)};
        QTest::newRow("quality") << ConnectionAction([](C c) { c->sendQualitySettings(0, 5, 25, 3); })
                                 << QList<QByteArray>{Entry::automaticAdjust(false),
                                                      Entry::triple(SettingTag::Compression, 5, 0, 0),
                                                      Entry::triple(SettingTag::FrameRate, 25, 0, 0),
                                                      Entry::triple(SettingTag::FrameWindow, 3, 0, 0)};
        QTest::newRow("compression") << ConnectionAction([](C c) { c->sendCompressionSetting(9); })
                                     << QList<QByteArray>{Entry::triple(SettingTag::Compression, 9, 0, 0)};
        QTest::newRow("frame rate") << ConnectionAction([](C c) { c->sendFrameRateSetting(60); })
                                    << QList<QByteArray>{Entry::triple(SettingTag::FrameRate, 60, 0, 0)};
        QTest::newRow("frame window") << ConnectionAction([](C c) { c->sendFrameWindowSetting(2); })
                                      << QList<QByteArray>{Entry::triple(SettingTag::FrameWindow, 2, 0, 0)};
        QTest::newRow("small block format")
            << ConnectionAction([](C c) { c->sendSmallBlockImageFormatSetting(7); })
            << QList<QByteArray>{Entry::codec(SettingTag::SmallBlockImageFormat, 7)};
        QTest::newRow("big block format")
            << ConnectionAction([](C c) { c->sendBigBlockImageFormatSetting(4); })
            << QList<QByteArray>{Entry::codec(SettingTag::BigBlockImageFormat, 4)};
        QTest::newRow("big block minimum")
            << ConnectionAction([](C c) { c->sendBigBlockMinimumSizeSetting(512, 300); })
            << QList<QByteArray>{Entry::bigBlockMinimumSize(512, 300)};
        QTest::newRow("high quality upgrades")
            << ConnectionAction([](C c) { c->sendHighQualityUpgradesSetting(1); })
            << QList<QByteArray>{Entry::highQualityUpgrades(true)};
    }

    // Sent from the test thread, not the network thread: the connection carries the send over.
    void settingsToServer() {
        QFETCH(ConnectionAction, sender);
        QFETCH(QList<QByteArray>, entries);
        auto server = makeServer(Transport::WebSocket);
        ClientSession session;
        QVERIFY(startSession(session, *server));
        sender(session.connection);
        QVERIFY(server->awaitFrame(0, Msg::Settings));
        QCOMPARE(server->record().clientSettings, QList<QList<QByteArray>>{entries});
    }

    void settingsBeforeMainSequenceAreDropped() {
        ServerOptions options;
        options.autoFirstSettings = false;
        auto server = makeServer(Transport::Tcp, options);
        ClientSession session;
        session.connectTo(server->url());
        QVERIFY(server->awaitFrame(0, Msg::Capabilities));
        session.settle();
        session.connection->sendCompressionSetting(3);
        session.settle();
        server->sendSettings({});
        QTRY_COMPARE(session.recorder->mainSequenceCount, 1);
        session.connection->sendFrameRateSetting(10);
        QVERIFY(server->awaitFrame(0, Msg::Settings));
        // Sends keep their order, so the compression would have come first.
        QCOMPARE(server->record().clientSettings,
                 QList<QList<QByteArray>>{{Entry::triple(SettingTag::FrameRate, 10, 0, 0)}});
    }

    void urlFallback_data() {
        QTest::addColumn<Transport>("transport");
        QTest::addColumn<QString>("refusedScheme");
        QTest::newRow("ws") << Transport::WebSocket << "ws";
        QTest::newRow("wss") << Transport::SecureWebSocket << "wss";
        QTest::newRow("ws refused, then velnor") << Transport::Tcp << "ws";
    }

    void urlFallback() {
        QFETCH(Transport, transport);
        QFETCH(QString, refusedScheme);
        auto server = makeServer(transport);
        auto spare = makeServer(transport);
        QUrl refused = server->url();
        refused.setScheme(refusedScheme);
        refused.setPort(refusedPort());
        ClientSession session;
        session.connectTo({ClientSession::request(refused), ClientSession::request(server->url()),
                           ClientSession::request(spare->url())});
        QVERIFY(server->awaitMainSequence());
        QTRY_COMPARE(session.recorder->mainSequenceCount, 1);
        QCOMPARE(server->clientCount(), 1);
        QCOMPARE(session.recorder->connectedCount, 1);

        // A later failure of the live socket is an ending, not a reason to try the URLs left.
        server->abortClient();
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        session.settle();
        QCOMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(server->clientCount(), 1);
        QVERIFY(!spare->awaitClient(200));
        QCOMPARE(spare->clientCount(), 0);
    }

    void allCandidatesRefused_data() {
        QTest::addColumn<QList<QUrl>>("urls");
        const QString port1 = QString::number(refusedPort());
        const QString port2 = QString::number(refusedPort());
        QTest::newRow("two ws") << QList<QUrl>{QUrl("ws://127.0.0.1:" + port1 + "/a"),
                                               QUrl("ws://127.0.0.1:" + port2 + "/b")};
        QTest::newRow("three ws") << QList<QUrl>{QUrl("ws://127.0.0.1:" + port1),
                                                 QUrl("ws://127.0.0.1:" + port2),
                                                 QUrl("wss://127.0.0.1:" + port1)};
        QTest::newRow("velnor") << QList<QUrl>{QUrl("velnor://127.0.0.1:" + port1)};
    }

    void allCandidatesRefused() {
        QFETCH(QList<QUrl>, urls);
        ClientSession session;
        QList<QNetworkRequest> requests;
        for (const QUrl& url : urls)
            requests << ClientSession::request(url);
        session.connectTo(requests);
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        session.settle();
        QCOMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().level, 11);
        QVERIFY(!session.recorder->endings.first().message.isEmpty());
        QCOMPARE(session.recorder->connectedCount, 0);
    }

    void velnorTriesOnlyTheFirstUrl() {
        auto server = makeServer(Transport::Tcp);
        ClientSession session;
        session.connectTo(
            {ClientSession::request(QUrl("velnor://127.0.0.1:" + QString::number(refusedPort()))),
             ClientSession::request(server->url())});
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().level, 11);
        QCOMPARE(server->clientCount(), 0);
    }

    void delivery_data() {
        QTest::addColumn<Transport>("transport");
        QTest::addColumn<WriteMode>("mode");
        QTest::addColumn<int>("delayMs");
        QTest::newRow("velnor, one byte per write") << Transport::Tcp << WriteMode::ByteAtATime << 0;
        QTest::newRow("velnor, many frames per write") << Transport::Tcp << WriteMode::Coalesced << 0;
        QTest::newRow("velnor, pauses between frames") << Transport::Tcp << WriteMode::Whole << 3;
        QTest::newRow("ws, pauses between frames") << Transport::WebSocket << WriteMode::Whole << 3;
    }

    // However the bytes are cut and spaced, every frame is dispatched once and in order.
    void delivery() {
        QFETCH(Transport, transport);
        QFETCH(WriteMode, mode);
        QFETCH(int, delayMs);
        ServerOptions options;
        options.writeMode = mode;
        options.writeDelayMs = delayMs;
        auto server = makeServer(transport, options);
        ClientSession session;
        QVERIFY(startSession(session, *server));

        // A zero length prefix is skipped; a frame bigger than one LEB128 group keeps its length.
        if (transport == Transport::Tcp)
            server->sendRaw(QByteArray(1, '\0'));
        server->sendPointerPosition(1, 2);
        server->sendPointerCreate(3, 4, 5, pngOfSize(40, 40));
        for (quint16 i = 0; i < 20; ++i)
            server->sendPointerPosition(i, quint16(i * 2));
        QTRY_COMPARE(session.recorder->pointers.size(), 22);
        QCOMPARE(session.recorder->pointers[0], (QVariantList{"move", QPoint(1, 2)}));
        QCOMPARE(session.recorder->pointers[1],
                 (QVariantList{"create", uchar(3), QPoint(4, 5), QSize(40, 40)}));
        for (int i = 0; i < 20; ++i)
            QCOMPARE(session.recorder->pointers[2 + i], (QVariantList{"move", QPoint(i, i * 2)}));
        QVERIFY(session.recorder->endings.isEmpty());
    }

    // Input that comes before the WebSocket is up ends the session rather than vanishing.
    void sendBeforeReady() {
        QTcpServer silent; // accepts, never answers the upgrade
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        ClientSession session;
        session.connectTo(QUrl("ws://127.0.0.1:" + QString::number(silent.serverPort())));
        QTRY_VERIFY(silent.hasPendingConnections());
        session.connection->sendSurfaceFrameAck(1);
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().message, QStringLiteral("WebSocket is not ready"));
        QCOMPARE(session.recorder->endings.first().level, 12);
    }

    void endings_data() {
        QTest::addColumn<Transport>("transport");
        QTest::addColumn<ServerAction>("cause");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("level");
        using S = Server*;
        for (auto [name, t] :
             {std::pair{"ws", Transport::WebSocket}, std::pair{"wss", Transport::SecureWebSocket},
              std::pair{"velnor", Transport::Tcp}}) {
            QTest::addRow("%s: disconnect with level", name)
                << t << ServerAction([](S s) { s->sendDisconnect("Session terminated", 7); })
                << "Session terminated" << 7;
            QTest::addRow("%s: disconnect without level", name)
                << t << ServerAction([](S s) { s->sendDisconnect("Bye"); }) << "Bye" << 255;
            QTest::addRow("%s: disconnect then close", name) << t << ServerAction([](S s) {
                s->sendDisconnect("Going down", 2);
                s->closeClient();
            }) << "Going down" << 2;
            QTest::addRow("%s: server closes", name)
                << t << ServerAction([](S s) { s->closeClient(); }) << "Connection Closed" << 12;
            QTest::addRow("%s: server drops the connection", name)
                << t << ServerAction([](S s) { s->abortClient(); })
                << (t == Transport::Tcp ? "Connection Closed" : "The remote host closed the connection")
                << 12;
            QTest::addRow("%s: invalid codec", name)
                << t << ServerAction([](S s) { s->sendSurfaceBits(0, 8, QByteArray(4, '\0')); })
                << "invalid codec" << 4;
            QTest::addRow("%s: truncated message", name)
                << t << ServerAction([](S s) { s->send(QByteArray("\x00\x0a\x01\x00", 4)); })
                << "failed to read the surface create message" << 4;
            QTest::addRow("%s: frame on a channel never opened", name)
                << t << ServerAction([](S s) { s->sendChannelFrame(9, QByteArray(1, '\x01')); })
                << "channel is not open" << 4;
            QTest::addRow("%s: unrequested channel", name)
                << t << ServerAction([](S s) { s->sendChannelOpen("clipboard", 1, 3); })
                << "Got channel open for unrequested channel" << 13;
        }
        QTest::newRow("ws: message longer than the cap") << Transport::WebSocket << ServerAction([](S s) {
            s->sendRaw(QByteArray(int(VnServerConnection::MaxFrame) + 1, '\0'));
        }) << "WebSocket message too long" << 4;
        QTest::newRow("velnor: length prefix without end")
            << Transport::Tcp << ServerAction([](S s) { s->sendRaw(QByteArray(4, '\x80')); })
            << "TcpSocket read: Can't read 4 bytes" << 4;
        // The longest frame the prefix can announce is awaited, not refused; two bytes of it are all
        // the client holds when the server goes.
        QTest::newRow("velnor: longest frame announced, server goes")
            << Transport::Tcp << ServerAction([](S s) {
                   s->sendRaw(encodeLeb128(VnServerConnection::MaxFrame) + "\x00\x20");
                   s->closeClient();
               })
            << "Connection Closed" << 12;
    }

    // Every cause ends the session with exactly one finished carrying it, whatever the socket does after.
    void endings() {
        QFETCH(Transport, transport);
        QFETCH(ServerAction, cause);
        QFETCH(QString, message);
        QFETCH(int, level);
        auto server = makeServer(transport);
        ClientSession session;
        QVERIFY(startSession(session, *server));
        cause(server.get());
        // The longest message takes a while to cross loopback in the sanitizer build.
        QTRY_COMPARE_WITH_TIMEOUT(session.recorder->endings.size(), 1, 60000);
        QVERIFY(server->awaitClientGone(30000));
        session.settle();
        QCOMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().message, message);
        QCOMPARE(session.recorder->endings.first().level, level);
        // Nothing more goes out once the session has ended.
        session.connection->sendCompressionSetting(1);
        session.settle();
        QCOMPARE(session.recorder->endings.size(), 1);
    }

    // A peer that is not a WebSocket server is a failed connection: one socket error, or the next URL.
    void upgradeRefused_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("fallback");
        for (bool fallback : {false, true}) {
            const char* suffix = fallback ? ", next URL tried" : "";
            QTest::addRow("closed at once%s", suffix) << QByteArray() << fallback;
            QTest::addRow("HTTP 404%s", suffix)
                << QByteArray("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n") << fallback;
            QTest::addRow("garbage%s", suffix) << QByteArray("\x00\x01\x02 nonsense\r\n\r\n") << fallback;
        }
    }

    void upgradeRefused() {
        QFETCH(QByteArray, answer);
        QFETCH(bool, fallback);
        RawPeer peer;
        peer.setBytes(answer);
        QVERIFY(peer.listen());
        auto server = makeServer(Transport::WebSocket);
        ClientSession session;
        QList<QNetworkRequest> requests{ClientSession::request(peer.url())};
        if (fallback)
            requests << ClientSession::request(server->url());
        session.connectTo(requests);
        QTRY_COMPARE(peer.connections(), 1);
        if (fallback) {
            QVERIFY(server->awaitMainSequence());
            QTRY_COMPARE(session.recorder->mainSequenceCount, 1);
            QCOMPARE(session.recorder->connectedCount, 1);
            QVERIFY(session.recorder->endings.isEmpty());
            return;
        }
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        session.settle();
        QCOMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().level, 11);
        QVERIFY(!session.recorder->endings.first().message.isEmpty());
        QCOMPARE(session.recorder->connectedCount, 0);
    }

    // A frame header that announces more than the cap ends the session at once, before any of the
    // frame's bytes are held.
    // Frames beyond the former 64 MiB bound are valid: a full update of a large surface can be that big.
    void largeFramesAccepted_data() {
        QTest::addColumn<Transport>("transport");
        QTest::newRow("ws") << Transport::WebSocket;
        QTest::newRow("velnor") << Transport::Tcp;
    }

    void largeFramesAccepted() {
        QFETCH(Transport, transport);
        auto server = makeServer(transport);
        ClientSession session;
        QVERIFY(startSession(session, *server));
        auto channel = openTestChannel(session, *server, "clipboard", 4);
        QVERIFY(channel);
        const int size = 75470031;
        QByteArray body(size - 1, '\x5a');
        body[0] = 1; // message id
        server->sendChannelFrame(4, body);
        body = QByteArray();
        QTRY_VERIFY_WITH_TIMEOUT(channel->received().size() == 1, 60000);
        const std::vector<std::uint8_t> got = channel->received().front();
        QCOMPARE(got.size(), std::size_t(size - 1));
        QCOMPARE(got.back(), std::uint8_t(0x5a));
        QVERIFY(session.recorder->endings.isEmpty());
    }

    void webSocketFrameOverCap() {
        RawPeer peer;
        peer.setAcceptUpgrade(true);
        peer.setCloseAfterWrite(false);
        // Final binary frame, unmasked, 64-bit length of 1 GiB, then a few bytes of it.
        peer.setBytes(QByteArray::fromHex("827f0000000040000000") + QByteArray(16, '\0'));
        QVERIFY(peer.listen());
        ClientSession session;
        session.connectTo(peer.url());
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->connectedCount, 1);
        QCOMPARE(session.recorder->endings.first().message, QStringLiteral("WebSocket message too long"));
        QCOMPARE(session.recorder->endings.first().level, 4);
    }

    void wrongPassword() {
        ServerOptions options;
        options.capabilities << Entry::password();
        options.expectedPassword = QByteArray("other");
        auto server = makeServer(Transport::WebSocket, options);
        ClientSession session;
        session.connectTo(server->url());
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().message, QStringLiteral("Authentication failed"));
        QCOMPARE(session.recorder->endings.first().level, 3);
        QCOMPARE(session.recorder->mainSequenceCount, 0);
    }

    void badRequests_data() {
        QTest::addColumn<QList<QNetworkRequest>>("requests");
        QTest::addColumn<QString>("message");
        QTest::newRow("velnor URL without port")
            << QList<QNetworkRequest>{ClientSession::request(QUrl("velnor://127.0.0.1"))}
            << "The session URL velnor://127.0.0.1 has no port";
        QTest::newRow("no URL at all") << QList<QNetworkRequest>{} << "No session URL to connect to";
    }

    void badRequests() {
        QFETCH(QList<QNetworkRequest>, requests);
        QFETCH(QString, message);
        ClientSession session;
        session.connectTo(requests);
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().message, message);
        QCOMPARE(session.recorder->endings.first().level, 11);
    }

    void certificateVerification() {
        auto server = makeServer(Transport::SecureWebSocket);
        ClientSession session;
        session.connectTo({ClientSession::request(server->url(), true)});
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().level, 11);
        QCOMPARE(session.recorder->connectedCount, 0);
    }

    void channels_data() { addTransports(); }

    void channels() {
        QFETCH(Transport, transport);
        auto server = makeServer(transport);
        ClientSession session;
        QVERIFY(startSession(session, *server));
        VnServerConnection* c = session.connection;

        // Requested twice before the server answers: one request goes out.
        c->requestChannel("clipboard", c->channelFactory<TestChannel>(QThread::currentThread()));
        c->requestChannel("clipboard", c->channelFactory<TestChannel>(QThread::currentThread()));
        c->requestChannel("magellan", c->channelFactory<TestChannel>(QThread::currentThread()));
        QVERIFY(server->awaitFrame(0, Msg::ChannelOpenRequest));
        QVERIFY(server->awaitFrame(0, Msg::ChannelOpenRequest));
        QCOMPARE(server->record().channelRequests, (QList<QString>{"clipboard", "magellan"}));

        // Refused: nothing opens and the name stays pending.
        server->sendChannelOpen("clipboard", 0, 5);
        server->sendChannelOpen("clipboard", 1, 5);
        QTRY_COMPARE(session.recorder->opened, QStringList{"clipboard"});
        auto channel = std::dynamic_pointer_cast<TestChannel>(c->channel("clipboard"));
        QVERIFY(channel);
        QCOMPARE(channel->number, Protocol::Byte(5));
        QCOMPARE(channel->name, std::string("clipboard"));
        QVERIFY(!c->channel("magellan"));

        // Frames both ways.
        server->sendChannelFrame(5, QByteArray("\x02\xaa\xbb", 3));
        QTRY_COMPARE(channel->received().size(), std::size_t(1));
        QCOMPARE(channel->received().front(), (std::vector<std::uint8_t>{0x02, 0xaa, 0xbb}));
        channel->sendMessage(3, {0x10, 0x20});
        auto frame = server->awaitFrame([](const ClientFrame& f) { return f.channel == 5; });
        QVERIFY(frame);
        QCOMPARE(frame->bytes, QByteArray("\x05\x03\x10\x20", 4));

        // Closed: gone by name, the object is released once, and the name can be requested again.
        QPointer<TestChannel> watch(channel.get());
        channel.reset();
        server->sendChannelClose(5);
        QTRY_COMPARE(session.recorder->closed, QStringList{"clipboard"});
        QVERIFY(!c->channel("clipboard"));
        QTRY_VERIFY(watch.isNull());
        c->requestChannel("clipboard", c->channelFactory<TestChannel>(QThread::currentThread()));
        QVERIFY(server->awaitFrame(0, Msg::ChannelOpenRequest));
        server->sendChannelOpen("clipboard", 1, 5);
        QTRY_COMPARE(session.recorder->opened.size(), 2);
        QVERIFY(c->channel("clipboard"));

        // A frame on a number closed since ends the session.
        server->sendChannelClose(5);
        QTRY_COMPARE(session.recorder->closed.size(), 2);
        server->sendChannelFrame(5, QByteArray(1, '\x01'));
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().message, QStringLiteral("channel is not open"));
        QCOMPARE(session.recorder->endings.first().level, 4);
    }

    // A channel's message stamped with another channel's number is refused and ends the session, even
    // when the channel sends from another thread.
    void channelNumberMismatch() {
        auto server = makeServer(Transport::WebSocket);
        ClientSession session;
        QVERIFY(startSession(session, *server));
        auto channel = openTestChannel(session, *server, "diagnostics", 6);
        QVERIFY(channel);
        QCOMPARE(session.recorder->opened, QStringList{"diagnostics"});
        QVERIFY(channel->sendMessageOn(6, 1));
        QVERIFY(server->awaitFrame([](const ClientFrame& f) { return f.channel == 6; }));
        QVERIFY(!channel->sendMessageOn(7, 1));
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().message,
                 QStringLiteral("Message channel number does not match assigned channel number"));
        QCOMPARE(session.recorder->endings.first().level, 4);
        QVERIFY(server->awaitClientGone());
        QVERIFY(!server->awaitFrame([](const ClientFrame& f) { return f.channel == 7; }, 0));
    }

    // Channels still open when the session goes are released with it, wherever they live.
    void channelsOpenAtTeardown_data() {
        QTest::addColumn<bool>("onNetworkThread");
        QTest::newRow("channel on the test thread") << false;
        QTest::newRow("channel on the network thread") << true;
    }

    void channelsOpenAtTeardown() {
        QFETCH(bool, onNetworkThread);
        auto server = makeServer(Transport::WebSocket);
        {
            ClientSession session;
            QVERIFY(startSession(session, *server));
            QVERIFY(openTestChannel(session, *server, "magellan", 3,
                                    onNetworkThread ? nullptr : QThread::currentThread()));
            QCOMPARE(session.recorder->opened, QStringList{"magellan"});
            QCOMPARE(TestChannel::alive.load(), 1);
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(TestChannel::alive.load(), 0);
    }

    // A channel object still held on its own thread after the connection is gone: its sends and error
    // reports go nowhere instead of into the deleted connection.
    void channelOutlivesConnection() {
        auto server = makeServer(Transport::WebSocket);
        std::shared_ptr<TestChannel> channel;
        {
            ClientSession session;
            QVERIFY(startSession(session, *server));
            channel = openTestChannel(session, *server, "clientcomm", 2);
            QVERIFY(channel);
            QCOMPARE(session.recorder->opened, QStringList{"clientcomm"});
        }
        channel->sendMessage(1, {0x01});
        QVERIFY(!channel->sendMessageOn(9, 1));
        QCoreApplication::processEvents();
        QCOMPARE(TestChannel::alive.load(), 1);
        channel.reset();
    }

    // A frame the TCP length prefix cannot carry (2^28 bytes or more) is not sent, and the frames after it
    // still arrive whole.
    void tcpFrameBeyondLengthPrefix() {
        auto server = makeServer(Transport::Tcp);
        ClientSession session;
        QVERIFY(startSession(session, *server));
        auto channel = openTestChannel(session, *server, "clipboard", 4);
        QVERIFY(channel);
        QCOMPARE(session.recorder->opened, QStringList{"clipboard"});

        std::vector<std::uint8_t> huge(std::size_t(1) << 28, 0x41);
        huge[0] = 4; // channel number, then message id 1
        huge[1] = 1;
        channel->send(std::move(huge));
        channel->sendMessage(2, {0x07});
        auto frame = server->awaitFrame([](const ClientFrame& f) { return f.channel == 4; });
        QVERIFY2(frame, qPrintable(server->transcriptText()));
        QCOMPARE(frame->bytes, QByteArray("\x04\x02\x07", 3));
        QVERIFY(server->hasClient());
        QVERIFY(session.recorder->endings.isEmpty());
    }

    void channelRequestBeforeMainSequence() {
        ServerOptions options;
        options.autoFirstSettings = false;
        auto server = makeServer(Transport::WebSocket, options);
        ClientSession session;
        VnServerConnection* c = session.connection;
        session.connectTo(server->url());
        QVERIFY(server->awaitFrame(0, Msg::Capabilities));
        c->requestChannel("diagnostics", c->channelFactory<TestChannel>(QThread::currentThread()));
        session.settle();
        server->sendSettings({});
        QTRY_COMPARE(session.recorder->mainSequenceCount, 1);
        c->requestChannel("clientcomm", c->channelFactory<TestChannel>(QThread::currentThread()));
        // The early request waits for the main sequence and goes first, not held back for ever.
        QTRY_COMPARE(server->record().channelRequests, (QList<QString>{"diagnostics", "clientcomm"}));
        server->sendChannelOpen("diagnostics", 1, 2);
        QTRY_COMPARE(session.recorder->opened, QStringList{"diagnostics"});
        QVERIFY(session.recorder->endings.isEmpty());
    }

    void frameAcknowledge_data() { addTransports(); }

    void frameAcknowledge() {
        QFETCH(Transport, transport);
        auto server = makeServer(transport);
        ClientSession session;
        QVERIFY(startSession(session, *server));
        for (quint16 id : {quint16(1), quint16(2), quint16(65535)}) {
            server->sendFrameBegin(id);
            server->sendFrameEnd(id);
        }
        QVERIFY(server->awaitAck(65535));
        QCOMPARE(server->record().frameAcks, (QList<quint16>{1, 2, 65535}));
        QCOMPARE(server->framesInFlight(), 0);
        QCOMPARE(server->unexpectedAcks(), 0);
        QTRY_COMPARE(session.recorder->frameEnds, 3);
    }

    void networkDetect_data() { addTransports(); }

    void networkDetect() {
        QFETCH(Transport, transport);
        auto server = makeServer(transport);
        ClientSession session;
        QVERIFY(startSession(session, *server));
        server->sendPointerPosition(1, 1); // before the measurement: not counted
        server->sendNetworkDetectBegin();
        const int mark = server->transcript().size();
        server->sendPointerPosition(2, 2);
        server->sendSurfaceBits(0, 4, FrameWriter().rects({}).bytes());
        server->sendChannelFrame(0, QByteArray(1, char(99))); // unknown id, still received
        server->sendNetworkDetectEnd(0x1122334455667788ULL);
        QVERIFY(server->awaitFrame(0, Msg::NetworkDetectResults));
        quint64 bytes = 0;
        for (int i = mark; i < server->transcript().size(); ++i) {
            if (server->transcript()[i].kind == TranscriptEntry::ToClient)
                bytes += quint64(server->transcript()[i].bytes.size());
        }
        QCOMPARE(server->record().networkDetectResults.size(), 1);
        const NetworkDetectResult result = server->record().networkDetectResults.first();
        QCOMPARE(result.value, 0x1122334455667788ULL);
        QCOMPARE(result.receivedBytes, bytes);
        QVERIFY(result.elapsedMs < 60000);
    }

    // Results answer only an End that closes a Begin: the End of no Begin, or a second End after two
    // Begins, gets no results of its own.
    void networkDetectSequence_data() {
        QTest::addColumn<QString>("steps"); // b: Begin, digit: End with that value
        QTest::addColumn<QList<quint64>>("answered");
        QTest::newRow("end without begin") << "5" << QList<quint64>{};
        QTest::newRow("begin, end, end") << "b56" << QList<quint64>{5};
        QTest::newRow("two begins, two ends") << "bb56" << QList<quint64>{5};
        QTest::newRow("two rounds") << "b5b6" << QList<quint64>{5, 6};
        QTest::newRow("begin whose end never comes, then a round") << "bb5" << QList<quint64>{5};
    }

    void networkDetectSequence() {
        QFETCH(QString, steps);
        QFETCH(QList<quint64>, answered);
        auto server = makeServer(Transport::WebSocket);
        ClientSession session;
        QVERIFY(startSession(session, *server));
        for (const QChar step : steps) {
            if (step == QLatin1Char('b'))
                server->sendNetworkDetectBegin();
            else
                server->sendNetworkDetectEnd(quint64(step.digitValue()));
        }
        // A last round: once it is answered, everything before it has been.
        server->sendNetworkDetectBegin();
        server->sendNetworkDetectEnd(99);
        QTRY_VERIFY_WITH_TIMEOUT(!server->record().networkDetectResults.isEmpty() &&
                                     server->record().networkDetectResults.last().value == 99,
                                 10000);
        QList<quint64> values;
        for (const NetworkDetectResult& result : server->record().networkDetectResults)
            values << result.value;
        QCOMPARE(values, answered + QList<quint64>{99});
        QCOMPARE(server->record().networkDetectOutOfSequence, 0);
    }

    void pointers() {
        auto server = makeServer(Transport::WebSocket);
        ClientSession session;
        QVERIFY(startSession(session, *server));
        server->sendPointerCreate(1, 3, 4, pngOfSize(32, 32));
        // Too wide, too tall, too many bytes, and not an image at all: none is decoded.
        const int side = VnServerConnection::MaxPointerSide;
        server->sendPointerCreate(2, 0, 0, pngOfSize(side + 1, 8));
        server->sendPointerCreate(2, 0, 0, pngOfSize(8, side + 1));
        QImage noise(side, side, QImage::Format_ARGB32);
        QRandomGenerator random(42);
        for (int y = 0; y < side; ++y)
            random.fillRange(reinterpret_cast<quint32*>(noise.scanLine(y)), side);
        QByteArray noisy;
        QBuffer noisyBuffer(&noisy);
        noisyBuffer.open(QIODevice::WriteOnly);
        noise.save(&noisyBuffer, "PNG");
        QVERIFY(noisy.size() > VnServerConnection::MaxPointerBytes);
        server->sendPointerCreate(2, 0, 0, noisy);
        server->sendPointerCreate(3, 0, 0, QByteArray("not a png"));
        // The largest allowed side is still a pointer.
        server->sendPointerCreate(4, 1, 1, pngOfSize(side, side));
        server->sendPointerSetCached(1);
        server->sendPointerHide();
        server->sendPointerSystem();
        server->sendPointerPosition(640, 480);
        const QList<QVariantList> expected{
            {"create", uchar(1), QPoint(3, 4), QSize(32, 32)},
            {"create", uchar(4), QPoint(1, 1), QSize(side, side)},
            {"set", uchar(1)},
            {"hide"},
            {"system"},
            {"move", QPoint(640, 480)},
        };
        QTRY_COMPARE(session.recorder->pointers.size(), expected.size());
        QCOMPARE(session.recorder->pointers, expected);
        QVERIFY(session.recorder->endings.isEmpty());
    }

    void socksProxy_data() {
        QTest::addColumn<Transport>("transport");
        QTest::addColumn<QString>("user");
        QTest::newRow("ws") << Transport::WebSocket << QString();
        QTest::newRow("wss") << Transport::SecureWebSocket << QString();
        QTest::newRow("velnor") << Transport::Tcp << QString();
        QTest::newRow("velnor, proxy with user and password") << Transport::Tcp << QStringLiteral("tunnel");
    }

    void socksProxy() {
        QFETCH(Transport, transport);
        QFETCH(QString, user);
        Socks5::Server socks;
        socks.setCredentials(user, QStringLiteral("pass"));
        QVERIFY(socks.listen());
        auto server = makeServer(transport);
        QNetworkProxy proxy(QNetworkProxy::Socks5Proxy, "127.0.0.1", socks.port());
        if (!user.isEmpty()) {
            proxy.setUser(user);
            proxy.setPassword(QStringLiteral("pass"));
        }
        ClientSession session("secret", proxy);
        QVERIFY2(startSession(session, *server), qPrintable(server->transcriptText()));
        QCOMPARE(socks.connects().size(), 1);
        QCOMPARE(socks.connects().first().port, server->port());
        QVERIFY(socks.connects().first().succeeded);
        server->sendDisconnect("done", 1);
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().level, 1);
    }

    // The server goes while the session runs through the proxy: an ordinary close, told in plain words.
    void socksProxyServerDrops_data() {
        QTest::addColumn<Transport>("transport");
        QTest::newRow("ws") << Transport::WebSocket;
        QTest::newRow("velnor") << Transport::Tcp;
    }

    void socksProxyServerDrops() {
        QFETCH(Transport, transport);
        Socks5::Server socks;
        QVERIFY(socks.listen());
        auto server = makeServer(transport);
        ClientSession session("secret", QNetworkProxy(QNetworkProxy::Socks5Proxy, "127.0.0.1", socks.port()));
        QVERIFY2(startSession(session, *server), qPrintable(server->transcriptText()));
        server->abortClient();
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().level, 12);
        const QString message = session.recorder->endings.first().message;
        QVERIFY2(!message.isEmpty() && !message.contains(QLatin1Char('#')), qPrintable(message));
    }

    // The proxy cannot reach the session: one socket error, whichever way the URL goes.
    void socksProxyRefused_data() {
        QTest::addColumn<QUrl>("url");
        const QString port = QString::number(refusedPort());
        QTest::newRow("ws") << QUrl("ws://127.0.0.1:" + port + "/client/protocol");
        QTest::newRow("velnor") << QUrl("velnor://127.0.0.1:" + port);
    }

    void socksProxyRefused() {
        QFETCH(QUrl, url);
        Socks5::Server socks;
        QVERIFY(socks.listen());
        ClientSession session("secret", QNetworkProxy(QNetworkProxy::Socks5Proxy, "127.0.0.1", socks.port()));
        session.connectTo(url);
        QTRY_COMPARE(session.recorder->endings.size(), 1);
        session.settle();
        QCOMPARE(session.recorder->endings.size(), 1);
        QCOMPARE(session.recorder->endings.first().level, 11);
        // The proxy was asked (Qt may ask it more than once) and could never connect.
        QVERIFY(!socks.connects().isEmpty());
        for (const Socks5::ConnectRecord& attempt : socks.connects()) {
            QCOMPARE(attempt.port, quint16(url.port()));
            QVERIFY(!attempt.succeeded);
        }
    }

    void standaloneSimulator_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("password");
        QTest::newRow("velnor, password, PNG desktop, frames coalesced")
            << QStringList{"--transport", "tcp", "--password",   "pw",       "--desktop",
                           "--fps",       "100", "--write-mode", "coalesced"}
            << QByteArray("pw");
        QTest::newRow("wss, RFX7 desktop") << QStringList{"--transport",
                                                          "wss",
                                                          "--desktop",
                                                          "--fps",
                                                          "100",
                                                          "--codec",
                                                          Server::canEncodeRfx7() ? "2" : "4"}
                                           << QByteArray();
        QTest::newRow("ws, progressive RFX7 desktop, channels opened")
            << QStringList{"--transport", "ws",
                           "--desktop",   "--fps",
                           "100",         "--open-channels",
                           "--codec",     Server::canEncodeRfx7() ? "7" : "4"}
            << QByteArray();
    }

    // The program later sessions and benchmarks run: it prints its URL, serves a desktop with frames that
    // the client acknowledges, and with --once exits when the client goes.
    void standaloneSimulator() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, password);
        QProcess sim;
        sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim.start(QStringLiteral(DISPLAY_SIM_PROGRAM), arguments << "--once");
        QVERIFY(sim.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 20000);
        const QUrl url(QString::fromUtf8(sim.readLine().trimmed()));
        QVERIFY2(url.isValid() && url.port() > 0, qPrintable(url.toString()));
        {
            ClientSession session(password);
            session.connectTo(url);
            QTRY_VERIFY_WITH_TIMEOUT(session.recorder->frameEnds >= 5, 30000);
            QVERIFY(!session.recorder->pointers.isEmpty());
            QCOMPARE(session.recorder->pointers.first().value(0).toString(), QStringLiteral("create"));
            if (arguments.contains("--open-channels")) {
                VnServerConnection* c = session.connection;
                c->requestChannel("clipboard", c->channelFactory<TestChannel>(QThread::currentThread()));
                QTRY_COMPARE(session.recorder->opened, QStringList{"clipboard"});
            }
            QVERIFY(session.recorder->endings.isEmpty());
        }
        QVERIFY(sim.waitForFinished(10000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
    }

    void standaloneSimulatorHelp() {
        QProcess sim;
        sim.start(QStringLiteral(DISPLAY_SIM_PROGRAM), {"--help"});
        QVERIFY(sim.waitForFinished(10000));
        const QString help = QString::fromUtf8(sim.readAllStandardOutput());
        for (const char* option : {"--transport", "--port", "--identity", "--password", "--desktop"})
            QVERIFY2(help.contains(QLatin1String(option)), option);
        sim.start(QStringLiteral(DISPLAY_SIM_PROGRAM), {"--transport", "udp"});
        QVERIFY(sim.waitForFinished(10000));
        QCOMPARE(sim.exitCode(), 2);
        QVERIFY(sim.readAllStandardError().contains("unknown transport"));
    }
};

QTEST_GUILESS_MAIN(TestVnServerConnection)
#include "tst_VnServerConnection.moc"
