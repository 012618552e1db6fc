#pragma once

#include <QList>
#include <QObject>

// The process's one quit policy: the application ends when no tracked object (a running viewer) and
// no visible parentless top-level window that quits on close is left. Qt's quit-on-last-window is off.
class CloseHelper : public QObject {
    Q_OBJECT
public:
    static CloseHelper* instance();
    ~CloseHelper() override;

    // Keeps the application alive until the object is destroyed. Adding twice is allowed.
    void addObject(QObject* object);
    QList<QObject*> trackedObjects() const { return m_tracked; }

    bool eventFilter(QObject* watched, QEvent* event) override;

public slots:
    void checkForQuit();

private slots:
    void removeObject(QObject* object);

private:
    CloseHelper();
    void scheduleCheck();

    QList<QObject*> m_tracked;
};
