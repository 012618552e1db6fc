#pragma once

// One viewer session whose "clipboard" channel is open against the display-server simulator, with the
// simulator's clipboard side to script the server and read what the client sent.

#include "SimClipboard.h"
#include "SimServer.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/engine/VnClipboardChannel.h"

#include <QByteArray>
#include <QList>
#include <QtMessageHandler>

#include <memory>

namespace ClipboardTest {

constexpr int Timeout = 10000;
const QByteArray TextPlain("text/plain");

class Session {
public:
    Session();
    ~Session();

    // Connects a controller and waits for the channel and the client's capabilities; when `answer` is
    // set, answers with the given capability blobs and waits for the client's reply to them.
    bool start(const QList<QByteArray>& capabilities, bool answer = true);

    // Returns once everything the server sent so far has been handled on the GUI thread and everything the
    // client sent in return has reached the simulator.
    bool settle();

    // The clipboard messages the client sent since the last call.
    QList<DisplaySim::ClipboardMessage> take();

    std::shared_ptr<VnClipboardChannel> channel() const;

    // What the client sent in answer to the server's capabilities.
    QList<DisplaySim::ClipboardMessage> reply;

    DisplaySim::Server sim;
    DisplaySim::SimClipboard clipboard{sim};
    std::unique_ptr<RdpMaster> master;

private:
    int m_taken = 0;
    int m_markers = 0;
};

// A Formats message of the client for that id.
bool isAnnouncement(const DisplaySim::ClipboardMessage& m, quint8 clipboardId);

// Fails the running test on any Qt warning about objects used from the wrong thread.
void watchThreadWarnings();
QStringList threadWarnings();

} // namespace ClipboardTest
