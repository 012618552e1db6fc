#include "rpc/LocalForwarder.h"

#include "Socks5Server.h"

#include <QHostAddress>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {
constexpr int kWait = 15000;

QNetworkProxy socksProxy(quint16 port) {
    return QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("localhost"), port);
}

QTcpSocket* connectBrowser(quint16 port, QObject* parent) {
    auto* s = new QTcpSocket(parent);
    s->setProxy(QNetworkProxy::NoProxy);
    s->connectToHost(QHostAddress::LocalHost, port);
    return s;
}

// A forwarder through the SOCKS peer to a local service, with one browser connected and accepted.
struct Relay {
    QTcpServer target;
    Socks5::Server socks;
    std::unique_ptr<LocalForwarder> fwd;
    QObject owner;
    QTcpSocket* browser = nullptr;
    QTcpSocket* service = nullptr;

    bool open() {
        if (!target.listen(QHostAddress::LocalHost) || !socks.listen())
            return false;
        fwd = std::make_unique<LocalForwarder>(socksProxy(socks.port()), QStringLiteral("127.0.0.1"),
                                               target.serverPort());
        if (!fwd->listen())
            return false;
        browser = connectBrowser(fwd->port(), &owner);
        if (!browser->waitForConnected(kWait) ||
            !QTest::qWaitFor([this] { return target.hasPendingConnections(); }, kWait))
            return false;
        service = target.nextPendingConnection();
        return true;
    }
};
} // namespace

class tst_LocalForwarder : public QObject {
    Q_OBJECT
private slots:
    void relaysThroughProxyInOrder_data();
    void relaysThroughProxyInOrder();
    void closeEndsBothSides_data();
    void closeEndsBothSides();
    void failingProxyClosesBrowserSide_data();
    void failingProxyClosesBrowserSide();
    void proxyAnswersAreReadStrictly_data();
    void proxyAnswersAreReadStrictly();
    void peerThatNeverReadsHoldsBackTheOtherSide_data();
    void peerThatNeverReadsHoldsBackTheOtherSide();
};

void tst_LocalForwarder::relaysThroughProxyInOrder_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("beforeConnect");
    QTest::addColumn<QString>("targetHost");
    QTest::newRow("small") << 10 << false << "127.0.0.1";
    QTest::newRow("larger than a piece") << 300000 << false << "127.0.0.1";
    QTest::newRow("sent before the tunnel is up") << 5000 << true << "127.0.0.1";
    QTest::newRow("larger than the bound, sent before the tunnel is up") << 300000 << true << "127.0.0.1";
    QTest::newRow("target named by a host name") << 5000 << false << "localhost";
}

void tst_LocalForwarder::relaysThroughProxyInOrder() {
    QFETCH(int, size);
    QFETCH(bool, beforeConnect);
    QFETCH(QString, targetHost);
    QTcpServer target;
    QVERIFY(target.listen(QHostAddress::LocalHost));
    Socks5::Server socks;
    QVERIFY(socks.listen());
    LocalForwarder fwd(socksProxy(socks.port()), targetHost, target.serverPort());
    QVERIFY(fwd.listen());
    QVERIFY(fwd.port() != 0);

    QByteArray payload(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        payload[i] = char(i * 7 + i / 251);

    QObject owner;
    QTcpSocket* browser = connectBrowser(fwd.port(), &owner);
    QVERIFY(browser->waitForConnected(kWait));
    if (beforeConnect)
        browser->write(payload); // written while the SOCKS connection is still being made
    QTRY_VERIFY_WITH_TIMEOUT(target.hasPendingConnections(), kWait);
    QTcpSocket* service = target.nextPendingConnection();
    if (!beforeConnect)
        browser->write(payload);

    QByteArray atService;
    QTRY_VERIFY_WITH_TIMEOUT((atService += service->readAll()).size() >= size, kWait);
    QCOMPARE(atService, payload);

    // And back, reversed so that order matters the other way too.
    std::reverse(payload.begin(), payload.end());
    service->write(payload);
    QByteArray atBrowser;
    QTRY_VERIFY_WITH_TIMEOUT((atBrowser += browser->readAll()).size() >= size, kWait);
    QCOMPARE(atBrowser, payload);
    QCOMPARE(socks.connects().size(), 1);
    QCOMPARE(socks.connects().first().host, targetHost); // a name goes to the proxy as it is
    QCOMPARE(socks.connects().first().port, target.serverPort());
}

void tst_LocalForwarder::closeEndsBothSides_data() {
    QTest::addColumn<bool>("browserCloses");
    QTest::addColumn<int>("lastWords"); // bytes the closing side sends just before it closes
    QTest::newRow("browser closes") << true << 0;
    QTest::newRow("service closes") << false << 0;
    // More than either socket of the forwarder holds at once: all of it arrives before the close.
    QTest::newRow("browser sends more than the bound, then closes") << true << 1000000;
    QTest::newRow("service sends more than the bound, then closes") << false << 1000000;
}

void tst_LocalForwarder::closeEndsBothSides() {
    QFETCH(bool, browserCloses);
    QFETCH(int, lastWords);
    Relay relay;
    QVERIFY(relay.open());
    LocalForwarder& fwd = *relay.fwd;
    QTcpSocket* browser = relay.browser;
    QTcpSocket* service = relay.service;
    QCOMPARE(fwd.connectionCount(), 1);

    QTcpSocket* closer = browserCloses ? browser : service;
    QTcpSocket* other = browserCloses ? service : browser;
    QByteArray words(lastWords, Qt::Uninitialized);
    for (int i = 0; i < lastWords; ++i)
        words[i] = char(i * 13 + i / 509);
    closer->write(words);
    closer->disconnectFromHost();
    QByteArray heard;
    QTRY_VERIFY_WITH_TIMEOUT((heard += other->readAll(), other->state() == QAbstractSocket::UnconnectedState),
                             kWait);
    heard += other->readAll();
    QCOMPARE(heard.size(), words.size());
    QCOMPARE(heard, words);
    QTRY_COMPARE_WITH_TIMEOUT(fwd.connectionCount(), 0, kWait);
}

void tst_LocalForwarder::failingProxyClosesBrowserSide_data() {
    QTest::addColumn<bool>("proxyRunning");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("message");
    QTest::newRow("target refuses")
        << true << "127.0.0.1"
        << "SOCKS proxy at .* did not connect to 127\\.0\\.0\\.1:\\d+: connection refused$";
    QTest::newRow("no proxy listening") << false << "127.0.0.1"
                                        << "SOCKS proxy at .* could not be reached: ";
    // SOCKS5 names a host in at most 255 bytes.
    QTest::newRow("host name too long for the proxy")
        << true << QString(250, 'a') + ".example"
        << "host name \"a+\\.example\" cannot be sent to the SOCKS proxy at ";
}

void tst_LocalForwarder::failingProxyClosesBrowserSide() {
    QFETCH(bool, proxyRunning);
    QFETCH(QString, host);
    QFETCH(QString, message);
    // A port with nothing behind it: bind, note the port, close.
    quint16 deadPort;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        deadPort = probe.serverPort();
    }
    Socks5::Server socks;
    if (proxyRunning)
        QVERIFY(socks.listen());
    LocalForwarder fwd(socksProxy(proxyRunning ? socks.port() : deadPort), host, deadPort);
    QVERIFY(fwd.listen());

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(message));
    QObject owner;
    QTcpSocket* browser = connectBrowser(fwd.port(), &owner);
    QVERIFY(browser->waitForConnected(kWait));
    browser->write("GET / HTTP/1.1\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(browser->state(), QAbstractSocket::UnconnectedState, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(fwd.connectionCount(), 0, kWait);
}

namespace {
QByteArray bytes(std::initializer_list<int> list) {
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}
} // namespace

// The proxy's answers arrive a byte at a time. A reply whose bound address has a length of its own
// is taken whole, and what follows it is the service's; anything that is not SOCKS5, or a refusal,
// ends the browser's connection with a message that says what the proxy did.
void tst_LocalForwarder::proxyAnswersAreReadStrictly_data() {
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("message"); // empty: the connection is relayed
    const QByteArray v4Reply = bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1f, 0x90});
    QTest::newRow("usual answers, in pieces") << bytes({5, 0}) << v4Reply << QString();
    QTest::newRow("reply naming a host")
        << QByteArray() << bytes({5, 0, 0, 3, 9}) + "localhost" + bytes({0x1f, 0x90}) << QString();
    QTest::newRow("reply naming an IPv6 address")
        << QByteArray() << bytes({5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x1f, 0x90})
        << QString();
    QTest::newRow("reply naming an empty host") << QByteArray() << bytes({5, 0, 0, 3, 0, 0, 0}) << QString();
    QTest::newRow("greeting answered by SOCKS4")
        << bytes({4, 0}) << QByteArray() << "does not answer as a SOCKS5 proxy$";
    QTest::newRow("no acceptable method")
        << bytes({5, 0xff}) << QByteArray() << "asks for a sign-in that is not offered$";
    QTest::newRow("password wanted") << bytes({5, 2}) << QByteArray()
                                     << "asks for a sign-in that is not offered$";
    QTest::newRow("reply of another version")
        << QByteArray() << bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0}) << "sent a reply that is not SOCKS5$";
    QTest::newRow("reserved byte set")
        << QByteArray() << bytes({5, 0, 1, 1, 0, 0, 0, 0, 0, 0}) << "sent a reply that is not SOCKS5$";
    QTest::newRow("unknown address type")
        << QByteArray() << bytes({5, 0, 0, 2, 0, 0, 0, 0, 0, 0}) << "sent a reply that is not SOCKS5$";
    QTest::newRow("not allowed") << QByteArray() << bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0})
                                 << "did not connect to 127\\.0\\.0\\.1:\\d+: not allowed by its rules$";
    QTest::newRow("unknown refusal") << QByteArray() << bytes({5, 0x42, 0, 1, 0, 0, 0, 0, 0, 0})
                                     << "did not connect to 127\\.0\\.0\\.1:\\d+: reply code 66$";
}

void tst_LocalForwarder::proxyAnswersAreReadStrictly() {
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, reply);
    QFETCH(QString, message);
    QTcpServer target;
    QVERIFY(target.listen(QHostAddress::LocalHost));
    // The service speaks first, so its bytes follow the proxy's reply at once.
    connect(&target, &QTcpServer::newConnection, &target, [&target] {
        QTcpSocket* service = target.nextPendingConnection();
        service->write("ready\n");
        connect(service, &QTcpSocket::readyRead, service, [service] { service->write(service->readAll()); });
    });
    Socks5::Server socks;
    QVERIFY(socks.listen());
    socks.setScriptedAnswers(method, reply);
    LocalForwarder fwd(socksProxy(socks.port()), QStringLiteral("127.0.0.1"), target.serverPort());
    QVERIFY(fwd.listen());
    if (!message.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(message));

    QObject owner;
    QTcpSocket* browser = connectBrowser(fwd.port(), &owner);
    QVERIFY(browser->waitForConnected(kWait));
    if (!message.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(browser->state(), QAbstractSocket::UnconnectedState, kWait);
        QCOMPARE(browser->readAll(), QByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(fwd.connectionCount(), 0, kWait);
        return;
    }
    QByteArray heard;
    QTRY_VERIFY_WITH_TIMEOUT((heard += browser->readAll()).size() >= 6, kWait);
    QCOMPARE(heard, QByteArray("ready\n"));
    browser->write("echo");
    QTRY_VERIFY_WITH_TIMEOUT((heard += browser->readAll()).size() >= 10, kWait);
    QCOMPARE(heard, QByteArray("ready\necho"));
}

void tst_LocalForwarder::peerThatNeverReadsHoldsBackTheOtherSide_data() {
    QTest::addColumn<bool>("browserWrites");
    QTest::newRow("browser writes, service never reads") << true;
    QTest::newRow("service writes, browser never reads") << false;
}

// A writer faster than its reader fills the kernel's buffers and then waits: neither socket of the
// forwarder takes in more than its bound meanwhile. Once the reader drains, the forwarder resumes
// and every byte arrives, in order. The SOCKS peer relays with bounds of its own.
void tst_LocalForwarder::peerThatNeverReadsHoldsBackTheOtherSide() {
    QFETCH(bool, browserWrites);
    Relay relay;
    QVERIFY(relay.open());
    LocalForwarder& fwd = *relay.fwd;
    QTcpSocket* browser = relay.browser;
    QTcpSocket* service = relay.service;
    QTcpSocket* writer = browserWrites ? browser : service;
    QTcpSocket* reader = browserWrites ? service : browser;
    reader->setReadBufferSize(4096); // and never read: the kernel's window closes

    // Far more than the kernel buffers of the three hops hold. Each byte tells its offset apart
    // from its neighbours' and from the same place in other blocks, so that a lost, repeated or
    // reordered piece shows.
    constexpr int blockSize = 1024 * 1024;
    const auto byteAt = [](qint64 offset) { return char(offset * 7 + offset / 251 + offset / blockSize); };
    qint64 written = 0;
    int unchanged = 0;
    for (int round = 0; round < 600 && unchanged < 10; ++round) {
        while (writer->bytesToWrite() < 4 * blockSize && written < 64LL * blockSize) {
            QByteArray block(blockSize, Qt::Uninitialized);
            for (int i = 0; i < blockSize; ++i)
                block[i] = byteAt(written + i);
            writer->write(block);
            written += blockSize;
        }
        const qint64 before = writer->bytesToWrite();
        QTest::qWait(50);
        unchanged = writer->bytesToWrite() == before ? unchanged + 1 : 0;
    }
    QVERIFY2(unchanged >= 10, "the writer never came to a stop");
    QVERIFY(writer->bytesToWrite() > 0);

    // Every socket under the forwarder, whatever it builds on.
    const QList<QTcpSocket*> sockets = fwd.findChildren<QTcpSocket*>();
    QVERIFY(sockets.size() >= 2);
    for (QTcpSocket* socket : sockets) {
        QVERIFY2(socket->bytesAvailable() <= LocalForwarder::kMaxQueued,
                 qPrintable(QString::number(socket->bytesAvailable())));
        QVERIFY(socket->bytesToWrite() <= LocalForwarder::kMaxQueued + LocalForwarder::kChunk);
    }

    // The reader drains: everything the writer wrote arrives intact.
    reader->setReadBufferSize(0);
    qint64 received = 0;
    qint64 firstWrong = -1;
    const auto drain = [&] {
        const QByteArray piece = reader->readAll();
        for (int i = 0; i < piece.size() && firstWrong < 0; ++i) {
            if (piece[i] != byteAt(received + i))
                firstWrong = received + i;
        }
        received += piece.size();
        return received >= written || firstWrong >= 0;
    };
    (void)QTest::qWaitFor(drain, 120000); // what came by then is told below
    QVERIFY2(firstWrong < 0, qPrintable(QStringLiteral("byte %1 is not the one written").arg(firstWrong)));
    QVERIFY2(received == written, qPrintable(QStringLiteral("%1 of %2 bytes arrived").arg(received).arg(written)));
    QCOMPARE(writer->bytesToWrite(), qint64(0));
}

QTEST_GUILESS_MAIN(tst_LocalForwarder)
#include "tst_local_forwarder.moc"
