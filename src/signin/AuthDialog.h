#pragma once

#include <QDialog>
#include <QJsonObject>
#include <QPointer>
#include <QSharedPointer>
#include <QVariantMap>

class AuthInstance;
class QPushButton;
class RpcInstance;

namespace Ui {
class AuthDialog;
}

// The staged sign-in that a session start asks for: runs the stages against the session-start
// request until the start succeeds, is scheduled, or the server asks for its parameter form.
class AuthDialog : public QDialog {
    Q_OBJECT
public:
    AuthDialog(QSharedPointer<RpcInstance> instance, QWidget* parent);
    ~AuthDialog() override;

    AuthInstance* authInstance() const { return m_auth; }

signals:
    void succeeded(QJsonObject map);
    void failed(QString name, QString message, QVariantMap extras);

public slots:
    void startAuth(const QJsonObject& auth);

private slots:
    void handleAuth(const QJsonObject& reply);
    void userInput(const QString& prompt);
    void on_AnswerLineEdit_textChanged(const QString& text);

private:
    void continuePressed();

    QSharedPointer<RpcInstance> m_instance;
    AuthInstance* m_auth = nullptr;
    Ui::AuthDialog* m_ui = nullptr;
    QPointer<QPushButton> m_continue;
    bool m_started = false;
    QString m_agentText;
};
