#pragma once

// One viewer session in per-window mode against the in-process display simulator: the controller
// connects over WebSocket with preferences in a temporary folder, the simulator opens every channel it
// is asked for, and `windows` speaks the server side of the multi-window channel.

#include "SimMultiWindow.h"
#include "SimServer.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/engine/VnMultiWindowChannel.h"
#include "viewer/widgets/RdpWidget.h"
#include "viewer/widgets/RdpWidgetRail.h"

#include <QBuffer>
#include <QImage>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class MultiWindowSession {
public:
    MultiWindowSession() {
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        server.options().autoOpenChannels = true;
    }
    ~MultiWindowSession() {
        master.reset();
        server.stop();
    }

    // Starts the session and waits until the multi-window channel is open and has sent its capabilities.
    bool start() {
        if (!settingsDir.isValid() || !server.listen())
            return false;
        master = std::make_unique<RdpMaster>(QList<QNetworkRequest>{QNetworkRequest(server.url())},
                                             QNetworkProxy(QNetworkProxy::NoProxy), QStringLiteral("Tester"),
                                             QString(), QStringLiteral("rootless"), QStringLiteral("Rails"),
                                             false, QStringLiteral("session-1"), QString());
        return QTest::qWaitFor([this] { return channel() && !windows.record().capabilities.isEmpty(); },
                               10000);
    }

    VnMultiWindowChannel* channel() const { return multiWindowChannel(master.get()).get(); }

    RdpWidgetRail* rail(quint32 id) const {
        return master ? qobject_cast<RdpWidgetRail*>(master->widgetList()->widget(id).data()) : nullptr;
    }

    // Sends the update and waits until the channel has applied it (the table or the rail shows it).
    bool update(quint32 id, const DisplaySim::WindowUpdate& update) {
        windows.sendUpdate(id, update);
        return syncPoint();
    }

    // Everything the server sent before has been applied once the channel has seen a raise of an id that
    // is never used for a window: the channel handles messages in order.
    bool syncPoint() {
        const int before = raisesSeen;
        windows.sendRaise(SyncId);
        return QTest::qWaitFor([this, before] { return raisesSeen > before; }, 10000);
    }

    void watchRaises() {
        QObject::connect(channel(), &VnMultiWindowChannel::raiseWindow, channel(), [this](Protocol::Word id) {
            if (id == SyncId)
                QTimer::singleShot(0, channel(), [this] { ++raisesSeen; });
        });
    }

    // A surface filled with `fill`, drawn as one lossless frame.
    bool createSurface(quint32 id, QSize size, QColor fill) {
        server.sendSurfaceCreate(id, quint16(size.width()), quint16(size.height()));
        QImage image(size, QImage::Format_RGB32);
        image.fill(fill);
        return sendImage(id, image, 0, 0);
    }

    bool sendImage(quint32 surface, const QImage& image, int x, int y) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        const QVector<DisplaySim::Rect> rects{
            {qint16(x), qint16(y), quint16(image.width()), quint16(image.height())}};
        server.sendFrameBegin(nextFrame);
        server.sendImageUpdate(4, surface, rects, {{qint16(x), qint16(y), png}});
        server.sendFrameEnd(nextFrame);
        return server.awaitAck(nextFrame++);
    }

    static constexpr quint32 SyncId = 0xFFFFFFF0u;

    QTemporaryDir settingsDir;
    DisplaySim::Server server;
    DisplaySim::MultiWindowPeer windows{server};
    std::unique_ptr<RdpMaster> master;
    int raisesSeen = 0;
    quint16 nextFrame = 1;
};
