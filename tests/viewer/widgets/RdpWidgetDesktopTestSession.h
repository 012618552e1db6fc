#pragma once

// One viewer session against the in-process display simulator, for the desktop-view and session-window
// tests: the controller connects to the simulator over WebSocket with preferences kept in a temporary
// folder.

#include "SimServer.h"
#include "SimWire.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/widgets/RdpWidget.h"
#include "viewer/widgets/RdpWidgetDesktopCaddy.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestSession {
public:
    TestSession() {
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    }
    ~TestSession() {
        ownCaddy.reset();
        master.reset();
        server.stop();
    }

    // Starts the session and waits until the controller reports it connected.
    // `realHost` names the server whose preferences the session reads.
    bool start(const QString& geometry = QStringLiteral("1024x768"), bool fullScreen = false,
               const QString& realHost = QString()) {
        if (!settingsDir.isValid() || !server.listen())
            return false;
        master = std::make_unique<RdpMaster>(QList<QNetworkRequest>{QNetworkRequest(server.url())},
                                             QNetworkProxy(QNetworkProxy::NoProxy), QStringLiteral("Tester"),
                                             QString(), geometry, QStringLiteral("Desktop test"), fullScreen,
                                             QStringLiteral("session-1"), realHost);
        // Settings reach the server only once the client is in its main sequence; it asks for its side
        // channels right after entering it.
        return QTest::qWaitFor([this] { return master->connected(); }, 10000) && server.awaitMainSequence() &&
               QTest::qWaitFor([this] { return !server.record().channelRequests.isEmpty(); }, 10000);
    }

    // The session's own window when the controller made one, else one made here.
    RdpWidgetDesktopCaddy* caddy(bool fullScreen = false) {
        if (ownCaddy)
            return ownCaddy.get();
        for (quint32 id : master->widgetList()->windowIds()) {
            if (auto* window = qobject_cast<RdpWidgetDesktopCaddy*>(master->widgetList()->widget(id).data()))
                return window;
        }
        ownCaddy = std::make_unique<RdpWidgetDesktopCaddy>(master.get(), 0, fullScreen);
        return ownCaddy.get();
    }

    // Geometry entries of every Settings message the server received, oldest first.
    QList<QByteArray> geometryEntries() const {
        const char type = DisplaySim::Entry::geometry(1, 1).at(0);
        QList<QByteArray> entries;
        for (const QList<QByteArray>& message : server.record().clientSettings)
            for (const QByteArray& entry : message)
                if (!entry.isEmpty() && entry.at(0) == type)
                    entries.append(entry);
        return entries;
    }

    // Draws `image` at (x, y) of surface 0 as one lossless frame and waits for its acknowledgement.
    bool sendImage(const QImage& image, int x, int y) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        const QVector<DisplaySim::Rect> rects{
            {qint16(x), qint16(y), quint16(image.width()), quint16(image.height())}};
        server.sendFrameBegin(nextFrame);
        server.sendImageUpdate(4, 0, rects, {{qint16(x), qint16(y), png}});
        server.sendFrameEnd(nextFrame);
        return server.awaitAck(nextFrame++);
    }

    bool createSurface(QSize size, QColor fill) {
        server.sendSurfaceCreate(0, quint16(size.width()), quint16(size.height()));
        QImage background(size, QImage::Format_RGB32);
        background.fill(fill);
        return sendImage(background, 0, 0);
    }

    QTemporaryDir settingsDir;
    DisplaySim::Server server;
    std::unique_ptr<RdpMaster> master;
    std::unique_ptr<RdpWidgetDesktopCaddy> ownCaddy;
    quint16 nextFrame = 1;
};
