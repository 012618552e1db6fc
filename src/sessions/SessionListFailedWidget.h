#pragma once

#include <QJsonObject>
#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;

// Stands in a connection's tab once its session page failed: why, the details and the log, with
// Reconnect (the connection's JSON handed back to run it again) and Close.
class SessionListFailedWidget : public QWidget {
    Q_OBJECT
public:
    explicit SessionListFailedWidget(QWidget* parent = nullptr);

    // Reason and details are server or ssh texts: shown as plain text.
    void setReason(const QString& text);
    void setDetails(const QString& text);
    void setLog(const QString& text);
    void setConnectionJson(const QJsonObject& json) { m_connectionJson = json; }
    QJsonObject connectionJson() const { return m_connectionJson; }
    void focusReconnect();

signals:
    void done();
    void reconnect(QJsonObject json);

private:
    QLabel* m_reason = nullptr;
    QLabel* m_details = nullptr;
    QPushButton* m_reconnectButton = nullptr;
    QPushButton* m_closeButton = nullptr;
    QPlainTextEdit* m_log = nullptr;
    QJsonObject m_connectionJson;
};
