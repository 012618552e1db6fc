#pragma once

#include <QDialog>
#include <QJsonObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QVariantMap>

class AuthInstance;
class QPushButton;
class QWebEngineProfile;
class QWebEngineView;
class RpcInstanceWeb;

namespace Ui {
class WebInitDialog;
}

// Signs the user in to an https connection: through the server's own sign-in page (SAML, OpenID
// Connect, or the page the server picks), waiting for its session-token cookie, or through the
// staged ssh-style sign-in against the server's ssh-auth API.
class WebInitDialog : public QDialog {
    Q_OBJECT
public:
    enum Page { StatusPage = 0, AnswerPage = 1, UsernamePage = 2, MotdPage = 3, WebPage = 4 };
    static const QString tokenCookieName;

    // userInfo is the connection's user map; a non-empty "login" is signed in without asking.
    WebInitDialog(QSharedPointer<RpcInstanceWeb> instance, const QVariantMap& userInfo, const QString& method,
                  QWidget* parent);
    ~WebInitDialog() override;

    // True for the methods that sign in on the server's web page.
    static bool isWebMethod(const QString& method);
    // The page the web sign-in loads for a method.
    static QUrl signInUrl(const QUrl& baseUrl, const QString& method);

    QString token() const { return m_token; }
    AuthInstance* authInstance() const { return m_auth; }
    QWebEngineView* webView() const { return m_view; }

signals:
    void succeeded();
    void tokenAdded(QString token);
    void failed(QString name, QString message, QVariantMap extras);

public slots:
    void handleAuth(const QJsonObject& reply);
    void userInput(const QString& prompt);
    void on_AnswerLineEdit_textChanged(const QString& text);
    void on_UsernameLineEdit_textChanged(const QString& text);

private:
    void startWebSignIn();
    void startStagedSignIn(const QString& login);
    void begin(const QString& username);
    void sendQuery();
    void selectServer(const QJsonObject& reply);
    void showStatus();
    void showFailure(const QString& name, const QString& message, const QVariantMap& extras);
    void clearButtons();
    QPushButton* addButton(const QString& text, int role);
    QPushButton* addContinueButton();
    void addAbortButton();
    void answerPressed();

    QSharedPointer<RpcInstanceWeb> m_instance;
    QVariantMap m_userInfo;
    QString m_method;
    QString m_token;
    AuthInstance* m_auth = nullptr;
    Ui::WebInitDialog* m_ui = nullptr;
    QPointer<QPushButton> m_continue;
    QJsonObject m_query;
    QString m_agentText;
    QWebEngineProfile* m_profile = nullptr;
    QWebEngineView* m_view = nullptr;
};
