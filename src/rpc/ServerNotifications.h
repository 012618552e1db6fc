#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>

#include <functional>

// The boxes that show a connection's "notify" messages: one on screen at a time, a few waiting
// behind it, and the rest of a flood refused (and said so once in the log). Each box is
// application-modal but opened without a nested event loop, so the connection keeps reading.
class ServerNotifications : public QObject {
    Q_OBJECT
public:
    // Notifications waiting behind the open box; more are refused.
    static constexpr int maxWaiting = 4;
    // Longer texts are cut to this many characters and marked as cut.
    static constexpr int maxTextLength = 64 * 1024;

    // title: the boxes' window title; log: where a refused flood is reported.
    ServerNotifications(const QString& title, std::function<void(const QString&)> log, QObject* parent);
    ~ServerNotifications() override;

    void notify(int level, const QString& message);

    static QString cutText(const QString& message);

private:
    struct Notification {
        int level = 0;
        QString message;
    };
    void showNext();

    QString m_title;
    std::function<void(const QString&)> m_log;
    QQueue<Notification> m_waiting;
    QPointer<QMessageBox> m_box;
    bool m_refusing = false;
};
