#pragma once

// The process's one source of multi-axis controller reports, for systems whose window system does not
// deliver them as native input. It reads the controllers it can open (Linux hidraw nodes whose
// descriptor is a multi-axis controller) and passes each report on unchanged, with the device's vendor
// id; where there is no such device, or no permission to read it, it reports nothing. Tests feed it
// through inject(). GUI thread.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QSocketNotifier;

class MagellanReportSource : public QObject {
    Q_OBJECT
public:
    static MagellanReportSource* instance();

    // Opens the controllers found under `deviceDir` (once; later calls do nothing).
    void openDevices(const QString& deviceDir = QStringLiteral("/dev"));
    int openDeviceCount() const { return m_devices.size(); }

    // Takes over an open, non-blocking device descriptor: each read from it is one report of that
    // vendor. It is closed when it ends or fails, and with the source.
    void watch(int fd, quint32 vendorId);

    // Passes a report on as if a device of that vendor had sent it.
    void inject(quint32 vendorId, const QByteArray& report);

signals:
    void reportReceived(quint32 vendorId, QByteArray report);

private:
    struct Device {
        int fd = -1;
        quint32 vendorId = 0;
        QSocketNotifier* notifier = nullptr;
    };

    explicit MagellanReportSource(QObject* parent = nullptr);
    ~MagellanReportSource() override;
    void readDevice(int fd);
    void closeDevice(int fd);

    QList<Device> m_devices;
    bool m_opened = false;
};
