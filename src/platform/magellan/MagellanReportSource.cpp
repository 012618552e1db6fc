#include "platform/magellan/MagellanReportSource.h"

#include "platform/magellan/MagellanReports.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QSocketNotifier>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {
Q_LOGGING_CATEGORY(lcMagellan, "velnor.magellan")

// Longest report read in one go; a HID report of a controller is a few bytes.
constexpr int MaxReport = 64;
} // namespace

MagellanReportSource* MagellanReportSource::instance() {
    // Owned by the application object, so it goes before Qt's event dispatcher does.
    static QPointer<MagellanReportSource> source;
    if (!source) {
        source = new MagellanReportSource(QCoreApplication::instance());
    }
    return source.data();
}

MagellanReportSource::MagellanReportSource(QObject* parent)
    : QObject(parent) {}

MagellanReportSource::~MagellanReportSource() {
    while (!m_devices.isEmpty()) {
        closeDevice(m_devices.first().fd);
    }
}

void MagellanReportSource::inject(quint32 vendorId, const QByteArray& report) {
    emit reportReceived(vendorId, report);
}

void MagellanReportSource::openDevices(const QString& deviceDir) {
    if (m_opened) {
        return;
    }
    m_opened = true;
#ifdef Q_OS_LINUX
    const QStringList nodes = QDir(deviceDir).entryList({QStringLiteral("hidraw*")}, QDir::System);
    for (const QString& node : nodes) {
        const QByteArray path = QFile::encodeName(QDir(deviceDir).filePath(node));
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue; // most nodes are not ours to read
        }
        hidraw_devinfo info{};
        int descriptorSize = 0;
        hidraw_report_descriptor descriptor{};
        bool ours = ::ioctl(fd, HIDIOCGRAWINFO, &info) == 0 &&
                    ::ioctl(fd, HIDIOCGRDESCSIZE, &descriptorSize) == 0 && descriptorSize > 0 &&
                    descriptorSize <= HID_MAX_DESCRIPTOR_SIZE;
        if (ours) {
            descriptor.size = quint32(descriptorSize);
            ours = ::ioctl(fd, HIDIOCGRDESC, &descriptor) == 0 &&
                   MagellanReports::isMultiAxisController(
                       QByteArray(reinterpret_cast<const char*>(descriptor.value), int(descriptor.size)));
        }
        if (!ours) {
            ::close(fd);
            continue;
        }
        qCDebug(lcMagellan) << "Reading multi-axis controller" << node;
        watch(fd, quint16(info.vendor));
    }
#else
    Q_UNUSED(deviceDir)
#endif
}

void MagellanReportSource::watch(int fd, quint32 vendorId) {
    Device device;
    device.fd = fd;
    device.vendorId = vendorId;
    device.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(device.notifier, &QSocketNotifier::activated, this, [this, fd] { readDevice(fd); });
    m_devices.append(device);
}

void MagellanReportSource::readDevice(int fd) {
#ifdef Q_OS_LINUX
    quint32 vendorId = 0;
    for (const Device& d : qAsConst(m_devices)) {
        if (d.fd == fd) {
            vendorId = d.vendorId;
        }
    }
    char buffer[MaxReport];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            emit reportReceived(vendorId, QByteArray(buffer, int(n)));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        // Unplugged or broken: stop watching it.
        closeDevice(fd);
        return;
    }
#else
    Q_UNUSED(fd)
#endif
}

void MagellanReportSource::closeDevice(int fd) {
    for (int i = 0; i < m_devices.size(); ++i) {
        if (m_devices.at(i).fd != fd) {
            continue;
        }
        Device device = m_devices.takeAt(i);
        if (device.notifier) {
            device.notifier->setEnabled(false);
            device.notifier->deleteLater();
        }
#ifdef Q_OS_LINUX
        ::close(device.fd);
#endif
        return;
    }
}
