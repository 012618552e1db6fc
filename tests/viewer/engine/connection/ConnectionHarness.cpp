#include "ConnectionHarness.h"

#include <QMutexLocker>

std::atomic<int> TestChannel::alive{0};

Recorder::Recorder(VnServerConnection* c) {
    const auto q = Qt::QueuedConnection;
    using C = VnServerConnection;
    connect(
        c, &C::finished, this,
        [this](const QString& m, uchar l) {
            endings.append({m, l});
        },
        q);
    connect(
        c, &C::connected, this, [this] { ++connectedCount; }, q);
    connect(
        c, &C::enteredMainSequence, this, [this] { ++mainSequenceCount; }, q);
    connect(
        c, &C::gotFrameEnd, this, [this] { ++frameEnds; }, q);
    connect(
        c, &C::supportedCodecsChanged, this, [this](const QSet<Protocol::Byte>& s) { codecs.append(s); }, q);
    connect(
        c, &C::channelOpened, this, [this](const QString& n) { opened.append(n); }, q);
    connect(
        c, &C::channelClosed, this, [this](const QString& n) { closed.append(n); }, q);
    connect(
        c, &C::gotKeyboardSetting, this,
        [this](uint a, uint b) {
            settings.append({"keyboard", a, b});
        },
        q);
    connect(
        c, &C::gotGeometrySetting, this,
        [this](ushort w, ushort h, uint wmm, uint hmm) {
            settings.append({"geometry", w, h, wmm, hmm});
        },
        q);
    connect(
        c, &C::gotAutomaticAdjustSetting, this,
        [this](bool on) {
            settings.append({"adjust", on});
        },
        q);
    connect(
        c, &C::gotCompressionSetting, this,
        [this](uchar v, uchar lo, uchar hi) {
            settings.append({"compression", v, lo, hi});
        },
        q);
    connect(
        c, &C::gotFrameRateSetting, this,
        [this](uchar v, uchar lo, uchar hi) {
            settings.append({"frameRate", v, lo, hi});
        },
        q);
    connect(
        c, &C::gotFrameWindowSetting, this,
        [this](uchar v, uchar lo, uchar hi) {
            settings.append({"frameWindow", v, lo, hi});
        },
        q);
    connect(
        c, &C::gotSmallBlockImageFormatSetting, this,
        [this](uchar id) {
            settings.append({"small", id});
        },
        q);
    connect(
        c, &C::gotBigBlockImageFormatSetting, this,
        [this](uchar id) {
            settings.append({"big", id});
        },
        q);
    connect(
        c, &C::gotBigBlockMinimumSizeSetting, this,
        [this](ushort w, ushort h) {
            settings.append({"bigMin", w, h});
        },
        q);
    connect(
        c, &C::gotHighQualityUpgradesSetting, this,
        [this](bool on) {
            settings.append({"hq", on});
        },
        q);
    connect(
        c, &C::createPointer, this,
        [this](uchar id, QPoint hot, const QImage& image) {
            pointers.append({"create", id, hot, image.size()});
        },
        q);
    connect(
        c, &C::hidePointer, this, [this] { pointers.append({"hide"}); }, q);
    connect(
        c, &C::movePointer, this,
        [this](QPoint p) {
            pointers.append({"move", p});
        },
        q);
    connect(
        c, &C::setPointer, this,
        [this](uchar id) {
            pointers.append({"set", id});
        },
        q);
    connect(
        c, &C::setSystemPointer, this, [this] { pointers.append({"system"}); }, q);
}

TestChannel::TestChannel(std::string name, Protocol::Byte number, QObject* parent)
    : QObject(parent)
    , Protocol::Channel(std::move(name), number) {
    ++alive;
}

TestChannel::~TestChannel() {
    --alive;
}

void TestChannel::receive(std::vector<std::uint8_t> bytes) {
    QMutexLocker lock(&m_mutex);
    m_received.push_back(std::move(bytes));
}

void TestChannel::sendMessage(Protocol::Byte id, const std::vector<std::uint8_t>& fields) {
    std::vector<std::uint8_t> frame{number, id};
    frame.insert(frame.end(), fields.begin(), fields.end());
    send(std::move(frame));
}

bool TestChannel::sendMessageOn(Protocol::Byte messageChannel, Protocol::Byte id) {
    return sendChecked(messageChannel, {messageChannel, id});
}

std::vector<std::vector<std::uint8_t>> TestChannel::received() const {
    QMutexLocker lock(&m_mutex);
    return m_received;
}

ClientSession::ClientSession(const QByteArray& password, const QNetworkProxy& proxy) {
    connection = new VnServerConnection(QStringLiteral("Velnor"), QStringLiteral("Tester"), password, proxy);
    recorder = std::make_unique<Recorder>(connection);
    connection->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, connection, &QObject::deleteLater);
    m_thread.start();
}

ClientSession::~ClientSession() {
    m_thread.quit();
    m_thread.wait();
    // Channel objects living on this thread were handed to deleteLater by the network thread.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void ClientSession::connectTo(const QList<QNetworkRequest>& requests) {
    VnServerConnection* c = connection;
    QMetaObject::invokeMethod(
        c, [c, requests] { c->connectToServer(requests); }, Qt::QueuedConnection);
}

void ClientSession::onNetworkThread(const std::function<void()>& f) {
    QMetaObject::invokeMethod(connection, f, Qt::BlockingQueuedConnection);
}

void ClientSession::settle() {
    // Two rounds: work the first round posts (frame writes) runs in the second.
    onNetworkThread([] {});
    onNetworkThread([] {});
    QCoreApplication::processEvents();
}

QNetworkRequest ClientSession::request(const QUrl& url, bool verifyPeer) {
    QNetworkRequest r(url);
    if (!verifyPeer) {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        r.setSslConfiguration(config);
    }
    return r;
}

quint16 refusedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}
