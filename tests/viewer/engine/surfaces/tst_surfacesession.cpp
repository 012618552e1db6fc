// Surface messages from the display-server simulator through a real connection on its own network
// thread, applied at frame end under a lock as the session controller does.

#include "SimServer.h"
#include "rfx7-encoder/Rfx7Encoder.h"
#include "rfx7-encoder/Rfx7TestImage.h"
#include "viewer/engine/VnServerConnection.h"

#include <QBuffer>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QMutex>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

using namespace DisplaySim;

namespace {

// The controller's part: the connection on a network thread, its frame end applying the queued
// commands to the surface map under a mutex, directly on that thread.
class Session {
public:
    Session() {
        connection = new VnServerConnection("Velnor", "tester", "secret");
        QObject::connect(
            connection, &VnServerConnection::gotFrameEnd, connection,
            [this] {
                QMutexLocker lock(&mutex);
                connection->applyCommands(surfaces, changes);
                ++frameEnds;
            },
            Qt::DirectConnection);
        QObject::connect(
            connection, &VnServerConnection::finished, connection,
            [this](const QString& message, uchar level) {
                QMutexLocker lock(&mutex);
                endings.append({message, int(level)});
            },
            Qt::DirectConnection);
        QObject::connect(
            connection, &VnServerConnection::enteredMainSequence, connection, [this] { ++mainSequence; },
            Qt::DirectConnection);
        connection->moveToThread(&thread);
        thread.start();
    }

    ~Session() {
        QMetaObject::invokeMethod(
            connection, [c = connection] { delete c; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    bool start(Server& server) {
        QNetworkRequest request(server.url());
        QMetaObject::invokeMethod(connection, [this, request] { connection->connectToServer({request}); });
        return server.awaitMainSequence() && QTest::qWaitFor([this] { return mainSequence == 1; }, 5000);
    }

    // A copy of a surface as the last frame end left it.
    QImage surface(Surface::SurfaceId id) {
        QMutexLocker lock(&mutex);
        auto it = surfaces.find(id);
        return it == surfaces.end() ? QImage() : it->second->copy();
    }

    QList<QPair<QString, int>> takeEndings() {
        QMutexLocker lock(&mutex);
        return std::exchange(endings, {});
    }

    VnServerConnection* connection;
    QThread thread;
    QMutex mutex;
    Surface::SurfaceMap surfaces;
    Surface::CommandList changes;
    QList<QPair<QString, int>> endings;
    std::atomic<int> frameEnds{0};
    std::atomic<int> mainSequence{0};
};

std::unique_ptr<Server> startServer(QList<QByteArray> capabilities = {Entry::rfx7(), Entry::jpeg(),
                                                                      Entry::codecList({2, 3, 4, 7})}) {
    ServerOptions options;
    options.transport = Transport::Tcp;
    options.capabilities = capabilities;
    auto server = std::make_unique<Server>(options);
    if (!server->listen()) {
        qWarning() << "simulator did not start:" << server->errorString();
    }
    return server;
}

QByteArray encode(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(90);
    writer.write(image);
    return bytes;
}

QImage picture(int width, int height, bool translucent) {
    const std::vector<std::uint32_t> pixels = rfx7DesktopImage(width, height);
    QImage image(reinterpret_cast<const uchar*>(pixels.data()), width, height, width * 4,
                 QImage::Format_ARGB32);
    image = image.copy();
    if (!translucent) {
        return image.convertToFormat(QImage::Format_RGB32);
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const QRgb p = image.pixel(x, y);
            image.setPixel(x, y, qRgba(qRed(p), qGreen(p), qBlue(p), (x * 4 + y) & 0xFF));
        }
    }
    return image;
}

// The pixels the client must show for the simulator's RFX7 rendering of an image at (0, 0): every
// 64x64 block padded with black, encoded with the usual quantisers and decoded again.
QImage rfx7Expected(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    const Rfx7Alpha alpha = image.hasAlphaChannel() ? Rfx7Alpha::Include : Rfx7Alpha::Omit;
    QImage expected(argb.size(), QImage::Format_ARGB32);
    QImage block(64, 64, QImage::Format_ARGB32);
    QImage decoded(64, 64, QImage::Format_ARGB32);
    Rfx7WorkBuffer work;
    for (int ty = 0; ty < argb.height(); ty += 64) {
        for (int tx = 0; tx < argb.width(); tx += 64) {
            block.fill(Qt::black);
            for (int row = 0; row < 64 && ty + row < argb.height(); ++row) {
                memcpy(block.scanLine(row), argb.constScanLine(ty + row) + tx * 4,
                       size_t(qMin(64, argb.width() - tx)) * 4);
            }
            const std::vector<std::uint8_t> bytes = encodeRfx7Tile(
                reinterpret_cast<const std::uint32_t*>(block.constBits()), block.bytesPerLine(),
                kRfx7TypicalQuant, kRfx7TypicalQuant, kRfx7TypicalQuant, alpha);
            decodeRfx7Tile(work, bytes.data(), bytes.size(), kRfx7TypicalQuant, kRfx7TypicalQuant,
                           kRfx7TypicalQuant, nullptr, decoded.bits(), decoded.bytesPerLine());
            for (int row = 0; row < 64 && ty + row < argb.height(); ++row) {
                memcpy(expected.scanLine(ty + row) + tx * 4, decoded.constScanLine(row),
                       size_t(qMin(64, argb.width() - tx)) * 4);
            }
        }
    }
    return expected;
}

void verifyEqual(const QImage& actual, const QImage& expected, QPoint at) {
    for (int y = 0; y < expected.height(); ++y) {
        for (int x = 0; x < expected.width(); ++x) {
            const QRgb got = actual.pixel(at.x() + x, at.y() + y);
            if (got != expected.pixel(x, y)) {
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is %3, expected %4")
                                     .arg(at.x() + x)
                                     .arg(at.y() + y)
                                     .arg(got, 8, 16, QChar('0'))
                                     .arg(expected.pixel(x, y), 8, 16, QChar('0'))));
            }
        }
    }
}

} // namespace

class TestSurfaceSession : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("velnor.connection.debug=false")); }

    void rfx7Frame_data() {
        QTest::addColumn<bool>("progressive");
        QTest::addColumn<bool>("translucent");
        QTest::newRow("codec 2") << false << false;
        QTest::newRow("codec 2, translucent") << false << true;
        QTest::newRow("codec 7 first passes") << true << false;
    }

    void rfx7Frame() {
        QFETCH(bool, progressive);
        QFETCH(bool, translucent);
        if (!Server::canEncodeRfx7()) {
            QSKIP("the simulator was built without the tile encoder");
        }
        auto server = startServer();
        Session session;
        QVERIFY(session.start(*server));
        const QImage image = picture(300, 140, translucent);
        server->sendFrameBegin(1);
        server->sendSurfaceCreate(0, 320, 160);
        QVERIFY(server->sendRfx7Image(0, image, 0, 0, progressive));
        server->sendFrameEnd(1);
        QVERIFY(server->awaitAck(1));
        const QImage surface = session.surface(0);
        QCOMPARE(surface.size(), QSize(320, 160));
        verifyEqual(surface, rfx7Expected(image), QPoint(0, 0));
        // Outside the update the surface keeps its black.
        QCOMPARE(surface.pixel(310, 150), qRgb(0, 0, 0));
        QVERIFY(session.takeEndings().isEmpty());
    }

    void imageFrames_data() {
        QTest::addColumn<quint8>("codec");
        QTest::addColumn<QByteArray>("format");
        QTest::newRow("jpeg") << quint8(3) << QByteArray("jpeg");
        QTest::newRow("png") << quint8(4) << QByteArray("png");
    }

    void imageFrames() {
        QFETCH(quint8, codec);
        QFETCH(QByteArray, format);
        auto server = startServer();
        Session session;
        QVERIFY(session.start(*server));
        const QImage left = picture(100, 60, false);
        const QImage right = picture(80, 60, false).mirrored(true, false);
        const QByteArray leftBytes = encode(left, format);
        const QByteArray rightBytes = encode(right, format);
        server->sendSurfaceCreate(4, 200, 100);
        server->sendImageUpdate(codec, 4, {{10, 20, 180, 60}}, {{10, 20, leftBytes}, {110, 20, rightBytes}});
        server->sendFrameEnd(7);
        QVERIFY(server->awaitAck(7));
        const QImage surface = session.surface(4);
        verifyEqual(
            surface,
            QImage::fromData(leftBytes, format).convertToFormat(QImage::Format_ARGB32).copy(0, 0, 100, 60),
            QPoint(10, 20));
        verifyEqual(
            surface,
            QImage::fromData(rightBytes, format).convertToFormat(QImage::Format_ARGB32).copy(0, 0, 80, 60),
            QPoint(110, 20));
        QCOMPARE(surface.pixel(5, 5), qRgb(0, 0, 0));
    }

    // Scrolling: the server copies the surface up by 16 rows and sends the uncovered strip.
    void scrollFrame() {
        auto server = startServer();
        Session session;
        QVERIFY(session.start(*server));
        const QImage first = picture(128, 128, false);
        server->sendSurfaceCreate(0, 128, 128);
        server->sendImageUpdate(4, 0, {{0, 0, 128, 128}}, {{0, 0, encode(first, "png")}});
        server->sendFrameEnd(1);
        QVERIFY(server->awaitAck(1));
        QImage strip(128, 16, QImage::Format_ARGB32);
        strip.fill(qRgb(1, 2, 3));
        server->sendSurfaceCopy(0, {{0, 16, 128, 112}}, 0, 0, -16);
        server->sendImageUpdate(4, 0, {{0, 112, 128, 16}}, {{0, 112, encode(strip, "png")}});
        server->sendFrameEnd(2);
        QVERIFY(server->awaitAck(2));
        const QImage surface = session.surface(0);
        const QImage firstArgb = first.convertToFormat(QImage::Format_ARGB32);
        verifyEqual(surface, firstArgb.copy(0, 16, 128, 112), QPoint(0, 0));
        QCOMPARE(surface.pixel(64, 120), qRgb(1, 2, 3));
    }

    void ignoreFrameAppliesWithoutFrameEnd() {
        auto server = startServer();
        Session session;
        QVERIFY(session.start(*server));
        session.connection->setIgnoreFrame(true);
        QImage red(8, 8, QImage::Format_ARGB32);
        red.fill(Qt::red);
        server->sendSurfaceCreate(0, 8, 8);
        server->sendImageUpdate(4, 0, {{0, 0, 8, 8}}, {{0, 0, encode(red, "png")}});
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QImage surface = session.surface(0);
                return !surface.isNull() && surface.pixel(4, 4) == qRgb(255, 0, 0);
            },
            5000));
        QCOMPARE(server->framesInFlight(), 0);
    }

    // Limits end the session with a protocol error; nothing of the oversized surface is allocated.
    void oversizedSurfacesEndTheSession_data() {
        QTest::addColumn<QList<QList<int>>>("messages"); // {0 create or 1 resize, id, width, height}
        QTest::addColumn<QString>("message");
        QTest::newRow("too wide") << QList<QList<int>>{{0, 1, 20000, 10}} << "surface 1 too large: 20000x10";
        QTest::newRow("resized too tall")
            << QList<QList<int>>{{0, 1, 100, 100}, {1, 1, 100, 16385}} << "surface 1 too large: 100x16385";
        QTest::newRow("too much in all")
            << QList<QList<int>>{{0, 1, 16384, 16384}, {0, 2, 64, 64}}
            << "surface 2 exceeds the memory for surfaces: 1073758208 bytes in all";
    }

    void oversizedSurfacesEndTheSession() {
        QFETCH(QList<QList<int>>, messages);
        QFETCH(QString, message);
        auto server = startServer();
        Session session;
        QVERIFY(session.start(*server));
        for (const QList<int>& m : messages) {
            if (m[0] == 0) {
                server->sendSurfaceCreate(quint32(m[1]), quint16(m[2]), quint16(m[3]));
            } else {
                server->sendSurfaceResize(quint32(m[1]), quint16(m[2]), quint16(m[3]));
            }
        }
        server->sendFrameEnd(1);
        QVERIFY(server->awaitClientGone());
        const QList<QPair<QString, int>> endings = session.takeEndings();
        QCOMPARE(endings.size(), 1);
        QCOMPARE(endings[0].first, message);
        QCOMPARE(endings[0].second, 4);
        // The frame end after the failure is not handled: nothing was applied.
        QVERIFY(session.surface(1).isNull());
        QCOMPARE(session.frameEnds.load(), 0);
    }

    void invalidCodecEndsTheSession() {
        auto server = startServer({Entry::codecList({2, 7})});
        Session session;
        QVERIFY(session.start(*server));
        server->sendSurfaceCreate(0, 64, 64);
        server->sendImageUpdate(3, 0, {{0, 0, 8, 8}}, {});
        QVERIFY(server->awaitClientGone());
        const QList<QPair<QString, int>> endings = session.takeEndings();
        QCOMPARE(endings.size(), 1);
        QCOMPARE(endings[0].first, QStringLiteral("invalid codec 3"));
        QCOMPARE(endings[0].second, 4);
    }
};

QTEST_MAIN(TestSurfaceSession)
#include "tst_surfacesession.moc"
