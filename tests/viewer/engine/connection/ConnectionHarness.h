#pragma once

// Shared pieces of the connection tests: a client session on its own network thread, a recorder that
// collects the connection's signals on the test thread, and a side channel that keeps what it receives.

#include "SimServer.h"
#include "viewer/engine/VnServerConnection.h"

#include <QCoreApplication>
#include <QMutex>
#include <QNetworkRequest>
#include <QObject>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QThread>
#include <QVariant>

#include <atomic>
#include <memory>
#include <vector>

struct Ending {
    QString message;
    int level = 0;
};

// Collects the connection's signals, delivered queued to the thread it lives on.
class Recorder : public QObject {
    Q_OBJECT
public:
    explicit Recorder(VnServerConnection* c);

    QList<Ending> endings;
    int connectedCount = 0;
    int mainSequenceCount = 0;
    int frameEnds = 0;
    QList<QSet<Protocol::Byte>> codecs;
    QStringList opened;
    QStringList closed;
    QList<QVariantList> settings; // setting name, then the signal's arguments
    QList<QVariantList> pointers; // event name, then the signal's arguments
};

// A side channel that records every frame it receives; its sends go through the connection.
class TestChannel : public QObject, public Protocol::Channel {
public:
    TestChannel(std::string name, Protocol::Byte number, QObject* parent);
    ~TestChannel() override;

    void receive(std::vector<std::uint8_t> bytes) override;
    void sendMessage(Protocol::Byte id, const std::vector<std::uint8_t>& fields);
    // As an encoder does it: the message carries its own channel number, which must be this channel's.
    bool sendMessageOn(Protocol::Byte messageChannel, Protocol::Byte id);
    std::vector<std::vector<std::uint8_t>> received() const;

    static std::atomic<int> alive;

private:
    mutable QMutex m_mutex;
    std::vector<std::vector<std::uint8_t>> m_received;
};

// One client session: the connection on a network thread of its own, torn down like the controller does.
class ClientSession {
public:
    explicit ClientSession(const QByteArray& password = "secret",
                           const QNetworkProxy& proxy = QNetworkProxy(QNetworkProxy::NoProxy));
    ~ClientSession();

    void connectTo(const QList<QNetworkRequest>& requests);
    void connectTo(const QUrl& url) { connectTo(QList<QNetworkRequest>{request(url)}); }
    // Runs f on the network thread and waits for it.
    void onNetworkThread(const std::function<void()>& f);
    // Lets everything queued so far on the network thread run and reach the recorder.
    void settle();

    static QNetworkRequest request(const QUrl& url, bool verifyPeer = false);

    VnServerConnection* connection = nullptr;
    std::unique_ptr<Recorder> recorder;

private:
    QThread m_thread;
};

// A loopback port on which nothing listens.
quint16 refusedPort();
