#include "viewer/widgets/SleepMonitor.h"

#include <QCoreApplication>
#include <QPointer>

namespace {

QPointer<SleepMonitor>& current() {
    static QPointer<SleepMonitor> monitor;
    return monitor;
}

} // namespace

SleepMonitor* SleepMonitor::instance() {
    if (current()) {
        return current();
    }
    auto* monitor = new SleepMonitor;
    current() = monitor;
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QObject::connect(
            app, &QCoreApplication::aboutToQuit, monitor, [] { current() = nullptr; }, Qt::DirectConnection);
    }
    return monitor;
}
