#pragma once

#include <QObject>

// Announces that the computer is about to sleep or has woken. One per process, created on first use;
// at application quit the process-wide pointer is only cleared, and the next use creates a new one.
// Nothing detects suspend on this platform yet, so the signals are not emitted.
class SleepMonitor : public QObject {
    Q_OBJECT

public:
    static SleepMonitor* instance();

signals:
    void goingToSleep();
    void wokeUp();

private:
    SleepMonitor() = default;
};
