#pragma once

// The process's one receiver of 3D-mouse input: a native window that is never shown. Where the window
// system delivers the device's raw input, the window registers for it and reads it from its native
// events; elsewhere the platform's report source feeds it. Either way each report of the accepted vendor
// is decoded and emitted as motion (with the milliseconds since the previous motion) or buttons.
// GUI thread.

#include <QByteArray>
#include <QDateTime>
#include <QWindow>

class MagellanWindow : public QWindow {
    Q_OBJECT
public:
    MagellanWindow();
    ~MagellanWindow() override;

    // The process's window, or null before start-up created it or after the application quit.
    static MagellanWindow* instance();
    // Creates the native window and makes it the process's one (deleting an earlier one). Installed as
    // the start-up window factory, so it runs once the event loop does.
    static QWindow* create();

    // One report of a device with that vendor id (byte 0 is the report id). Reports of other vendors and
    // reports that are no known layout are ignored; returns whether it was handled.
    bool handleReport(quint32 vendorId, const QByteArray& report);

signals:
    void gotMove(ushort x, ushort y, ushort z, ushort rx, ushort ry, ushort rz, ulong period);
    void gotKeys(ulong keys);

protected:
    bool event(QEvent* event) override;
    bool nativeEvent(const QByteArray& eventType, void* message, long* result) override;

private:
    QDateTime m_lastMotion;
};
