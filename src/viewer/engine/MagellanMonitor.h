#pragma once

// Coalesces one session's 3D-mouse motion: the first motion after a pause goes out at once, further
// motion at most once per mouse quantum (earlier only when an axis would leave +-10000), and a button
// change flushes pending motion first. Enabled only while its session has the keyboard focus.

#include <QObject>
#include <QTimer>

#include <array>

class MagellanMonitor : public QObject {
    Q_OBJECT
public:
    // Largest magnitude an accumulated axis may reach before it is sent.
    static constexpr int AxisLimit = 10000;

    explicit MagellanMonitor(QObject* parent = nullptr);

    bool isEnabled() const { return m_enabled; }
    int interval() const { return m_timer.interval(); }
    bool isTimerRunning() const { return m_timer.isActive(); }

public slots:
    // On: follow the process's 3D-mouse window; off: let go of it and flush pending motion.
    void enable(bool on);
    void setInterval(int msecs);
    void handleMove(short x, short y, short z, short rx, short ry, short rz, ulong period);
    void handleKeys(ulong keys);
    void sendValues();

signals:
    void gotMove(short x, short y, short z, short rx, short ry, short rz, ulong period);
    void gotKeys(ulong keys);

private:
    void connectWindow();
    void disconnectWindow();

    bool m_enabled = false;
    std::array<qint16, 6> m_axes{};
    quint32 m_period = 0;
    QTimer m_timer;
    QMetaObject::Connection m_moveConnection;
    QMetaObject::Connection m_keysConnection;
};
