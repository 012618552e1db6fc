#pragma once

// Shared pieces of the controller tests: a private settings store per test, and a session controller
// connected to the in-process display-server simulator.

#include "SimServer.h"
#include "viewer/engine/RdpMaster.h"

#include <QNetworkRequest>
#include <QSettings>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace ControllerTest {

// Points the application's settings store at a new empty folder for as long as it lives.
class PrivateSettings {
public:
    PrivateSettings();
    bool isValid() const { return m_dir.isValid(); }
    // Every key written so far, group paths included.
    QStringList allKeys() const;

private:
    QTemporaryDir m_dir;
};

// Simulator options for the controller tests: channels opened as requested.
DisplaySim::ServerOptions simOptions();

std::unique_ptr<RdpMaster> startMaster(const DisplaySim::Server& sim, const QString& geometry = "1024x768",
                                       const QString& realHost = "host.example",
                                       const QString& windowTitle = "Session");

// Waits until the simulator has the client in its main sequence and has seen its channel requests
// (the last thing the controller sends when the main sequence starts).
bool awaitSessionReady(DisplaySim::Server& sim, int channels = 4);

// The Settings messages the client sends while `action` runs, up to a marker the helper sends after it
// through the same queue (so "nothing sent" needs no waiting).
QList<QList<QByteArray>> settingsSentBy(DisplaySim::Server& sim, RdpMaster& master,
                                        const std::function<void()>& action);

} // namespace ControllerTest
