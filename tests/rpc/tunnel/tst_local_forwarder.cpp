#include "rpc/LocalForwarder.h"

#include "Socks5Server.h"

#include <QHostAddress>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

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
    void peerThatNeverReadsHoldsBackTheOtherSide_data();
    void peerThatNeverReadsHoldsBackTheOtherSide();
};

void tst_LocalForwarder::relaysThroughProxyInOrder_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("beforeConnect");
    QTest::newRow("small") << 10 << false;
    QTest::newRow("larger than a piece") << 300000 << false;
    QTest::newRow("sent before the tunnel is up") << 5000 << true;
}

void tst_LocalForwarder::relaysThroughProxyInOrder() {
    QFETCH(int, size);
    QFETCH(bool, beforeConnect);
    QTcpServer target;
    QVERIFY(target.listen(QHostAddress::LocalHost));
    Socks5::Server socks;
    QVERIFY(socks.listen());
    LocalForwarder fwd(socksProxy(socks.port()), QStringLiteral("127.0.0.1"), target.serverPort());
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
    QCOMPARE(socks.connects().first().port, target.serverPort());
}

void tst_LocalForwarder::closeEndsBothSides_data() {
    QTest::addColumn<bool>("browserCloses");
    QTest::newRow("browser closes") << true;
    QTest::newRow("service closes") << false;
}

void tst_LocalForwarder::closeEndsBothSides() {
    QFETCH(bool, browserCloses);
    QTcpServer target;
    QVERIFY(target.listen(QHostAddress::LocalHost));
    Socks5::Server socks;
    QVERIFY(socks.listen());
    LocalForwarder fwd(socksProxy(socks.port()), QStringLiteral("127.0.0.1"), target.serverPort());
    QVERIFY(fwd.listen());

    QObject owner;
    QTcpSocket* browser = connectBrowser(fwd.port(), &owner);
    QVERIFY(browser->waitForConnected(kWait));
    QTRY_VERIFY_WITH_TIMEOUT(target.hasPendingConnections(), kWait);
    QTcpSocket* service = target.nextPendingConnection();
    QCOMPARE(fwd.connectionCount(), 1);

    QTcpSocket* closer = browserCloses ? browser : service;
    QTcpSocket* other = browserCloses ? service : browser;
    closer->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(other->state(), QAbstractSocket::UnconnectedState, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(fwd.connectionCount(), 0, kWait);
}

void tst_LocalForwarder::failingProxyClosesBrowserSide_data() {
    QTest::addColumn<bool>("proxyRunning");
    QTest::newRow("target refuses") << true;
    QTest::newRow("no proxy listening") << false;
}

void tst_LocalForwarder::failingProxyClosesBrowserSide() {
    QFETCH(bool, proxyRunning);
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
    LocalForwarder fwd(socksProxy(proxyRunning ? socks.port() : deadPort), QStringLiteral("127.0.0.1"),
                       deadPort);
    QVERIFY(fwd.listen());

    QObject owner;
    QTcpSocket* browser = connectBrowser(fwd.port(), &owner);
    QVERIFY(browser->waitForConnected(kWait));
    browser->write("GET / HTTP/1.1\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(browser->state(), QAbstractSocket::UnconnectedState, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(fwd.connectionCount(), 0, kWait);
}

QTEST_GUILESS_MAIN(tst_LocalForwarder)
#include "tst_local_forwarder.moc"

void tst_LocalForwarder::peerThatNeverReadsHoldsBackTheOtherSide_data() {
    QTest::addColumn<bool>("browserWrites");
    QTest::newRow("browser writes, service never reads") << true;
}

// A writer faster than its reader fills the kernel's buffers and then waits: neither socket of the
// forwarder takes in more than its bound meanwhile.
void tst_LocalForwarder::peerThatNeverReadsHoldsBackTheOtherSide() {
    QFETCH(bool, browserWrites);
    QTcpServer target;
    QVERIFY(target.listen(QHostAddress::LocalHost));
    // Straight to the service: a SOCKS peer of its own would buffer what the service does not read.
    LocalForwarder fwd(QNetworkProxy(QNetworkProxy::NoProxy), QStringLiteral("127.0.0.1"),
                       target.serverPort());
    QVERIFY(fwd.listen());

    QObject owner;
    QTcpSocket* browser = connectBrowser(fwd.port(), &owner);
    QVERIFY(browser->waitForConnected(kWait));
    QTRY_VERIFY_WITH_TIMEOUT(target.hasPendingConnections(), kWait);
    QTcpSocket* service = target.nextPendingConnection();
    QTcpSocket* writer = browserWrites ? browser : service;
    QTcpSocket* reader = browserWrites ? service : browser;
    reader->setReadBufferSize(4096); // and never read: the kernel's window closes

    // Far more than the kernel buffers of the three hops hold.
    const QByteArray block(1024 * 1024, 'x');
    qint64 written = 0;
    int unchanged = 0;
    for (int round = 0; round < 600 && unchanged < 10; ++round) {
        while (writer->bytesToWrite() < 4 * block.size() && written < 64LL * block.size()) {
            writer->write(block);
            written += block.size();
        }
        const qint64 before = writer->bytesToWrite();
        QTest::qWait(50);
        unchanged = writer->bytesToWrite() == before ? unchanged + 1 : 0;
    }
    QVERIFY2(unchanged >= 10, "the writer never came to a stop");

    const QList<QTcpSocket*> sockets = fwd.findChildren<QTcpSocket*>();
    QCOMPARE(sockets.size(), 2);
    for (QTcpSocket* socket : sockets) {
        QVERIFY2(socket->bytesAvailable() <= LocalForwarder::kMaxQueued,
                 qPrintable(QString::number(socket->bytesAvailable())));
        QVERIFY(socket->bytesToWrite() <= LocalForwarder::kMaxQueued + LocalForwarder::kChunk);
    }
}
