#pragma once

#include "rpc/CertificateTrust.h"
#include "rpc/RpcInstance.h"
#include "rpc/ServerSentEvents.h"

#include <QHash>
#include <QStringList>

#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QSharedPointer>
#include <QSslError>
#include <QUrl>
#include <QVector>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

// The server interface over HTTPS: each operation is one request to a path of the base URL with a
// JSON body; session changes arrive through the server's event stream once a sign-in reply gives a
// token.
class RpcInstanceWeb : public RpcInstance {
    Q_OBJECT
    Q_PROPERTY(QUrl baseUrl READ baseUrl)
    Q_PROPERTY(bool ignoreSslErrors READ ignoreSslErrors)
    Q_PROPERTY(bool disableDirectMode READ disableDirectMode)
public:
    // Asks the user whether to accept an untrusted certificate of the server at url.
    using CertificateQuestion = std::function<bool(const QUrl& url, const QList<QSslError>& errors)>;
    // Makes the view of a server web page: url, the bearer token for that server only, and the
    // certificates the connection accepts.
    using WebViewOpener = std::function<QWebEngineView*(const QUrl& url, const QString& token,
                                                        QSharedPointer<const CertificateTrust> trust)>;

    static constexpr int defaultLogoutTimeout = 10000;
    static constexpr qint64 defaultMaxReplyBytes = 64 * 1024 * 1024;

    RpcInstanceWeb(const QUrl& baseUrl, bool ignoreSslErrors, bool disableDirectMode, QObject* parent);
    ~RpcInstanceWeb() override;

    QUrl baseUrl() const { return m_baseUrl; }
    // True when the connection accepts every certificate (its own setting); certificates the user
    // accepted one by one are in certificateTrust().
    bool ignoreSslErrors() const { return m_trust->acceptsAll(); }
    bool disableDirectMode() const { return m_disableDirectMode; }
    QString authToken() const { return m_authToken; }
    ServerSentEvents* events() const { return m_events.data(); }

    // The certificate decision of this connection, for the viewer launch and web pages: whether
    // these certificate errors of this server are accepted.
    bool acceptsCertificateErrors(const QList<QSslError>& errors) const { return m_trust->accepts(errors); }
    QSharedPointer<const CertificateTrust> certificateTrust() const { return m_trust; }

    // Replaces the message box that asks about untrusted certificates.
    void setCertificateQuestion(CertificateQuestion question) { m_question = std::move(question); }
    // Set by the library that provides web views; without it openWebView gives none.
    static void setWebViewOpener(WebViewOpener opener);
    // How long a logout may take before it counts as failed.
    static void setLogoutTimeout(int ms);
    static int logoutTimeout();
    // A reply body larger than this fails instead of filling memory.
    static void setMaxReplyBytes(qint64 bytes);
    static qint64 maxReplyBytes();

    void setAuthToken(const QString& token) { m_authToken = token; }
    RpcPromise<QJsonObject>* postJson(const QJsonObject& body, const QString& path);
    RpcPromise<QJsonObject>* sshAuth(const QJsonObject& body);
    RpcPromise<QVariantMap>* sshAuthConfig();

    // Disposed instances still waiting for their logout. With a window, each one's destroyed() is
    // also connected to the window's slot logout().
    static int pendingDisposals(QObject* window = nullptr);

    QNetworkReply* sendRequest(const QUrl& url, const QJsonObject& body, bool useGet);
    QNetworkReply* sendToPath(const QString& path, const QJsonObject& body, bool useGet);
    // The reply as {"result", "error"}: the server's own object, or a transport failure.
    static QJsonObject decodeReply(QNetworkReply* reply);
    // The converter of every QJsonObject result: a string "token" signs the instance in.
    static void resolveTokenObject(RpcInstance* instance, const RpcPromiseRef<QJsonObject>& promise,
                                   const QJsonValue& result, const QJsonValue& error);
    QJsonObject connectRequest(const QString& id, const QString& key) const;

    QString transportName() const override { return QStringLiteral("Web"); }
    void dispose(QSharedPointer<RpcInstance> self) override;
    RpcPromise<void>* logout() override;
    QWebEngineView* openWebView(const QString& path, const ServiceInfo& service) override;
    RpcPromise<QVariantMap>* userMe() override;
    RpcPromise<QList<Session>>* sessionList() override;
    RpcPromise<QList<Session>>* sharedSessionList() override;
    RpcPromise<QVariantMap>* sessionParams(const QString& id) override;
    RpcPromise<QVariantMap>* sessionParamsForms() override;
    RpcPromise<QVariantMap>* setSessionParam(const QString& id, const QString& key,
                                             const QString& value) override;
    RpcPromise<QVariantMap>* setSessionParams(const QString& id, const QVariantMap& params) override;
    RpcPromise<QImage>* screenshot(const QString& id, int width, int height) override;
    RpcPromise<QVariantMap>* serverList() override;
    RpcPromise<QVariantMap>* sessionLog(const QString& id, const QString& log) override;
    RpcPromise<ConnectInfo>* startSession(const QJsonObject& params) override;
    RpcPromise<QJsonObject>* startSessionRaw(const QJsonObject& request) override;
    RpcPromise<ConnectInfo>* connectSession(const QString& id) override;
    RpcPromise<QVariantMap>* exec(const QJsonObject& params, bool background) override;
    RpcPromise<void>* disconnectSession(const QString& id) override;
    RpcPromise<void>* purgeSession(const QString& id) override;
    RpcPromise<void>* terminateSession(const QString& id) override;
    RpcPromise<ConnectInfo>* connectShortcut(const QString& bookmarkId) override;
    RpcPromise<QList<Bookmark>>* bookmarkList() override;
    RpcPromise<QList<Bookmark>>* editBookmark(const Bookmark& bookmark) override;
    RpcPromise<QList<Bookmark>>* deleteBookmark(const QString& id) override;
    RpcPromise<QList<Bookmark>>* favoriteBookmark(const QString& id) override;
    RpcPromise<QList<Bookmark>>* unfavoriteBookmark(const QString& id) override;
    RpcPromise<SharingData>* loadSharing(const QString& id) override;
    RpcPromise<void>* shareWithUsers(const QString& id, const QVector<ShareMember>& users) override;
    RpcPromise<void>* shareWithGroups(const QString& id, const QVector<ShareMember>& groups) override;
    RpcPromise<void>* sharePublic(const QString& id, const QString& sharingKey) override;
    RpcPromise<ConnectInfo>* connectShare(const QString& id) override;
    RpcPromise<ConnectInfo>* connectShareNoLogin(const QString& id, const QString& key) override;
    RpcPromise<ConnectInfo>* connectShareById(const QString& id) override;
    RpcPromise<QVariantMap>* loadShareRaw(const QString& id) override;
    RpcPromise<void>* saveShare(const QString& id, const QJsonObject& data) override;
    RpcPromise<void>* removeShare(const QString& id, const QJsonObject& data) override;
    RpcPromise<void>* updateShare(const QString& id, const QJsonObject& data) override;
    RpcPromise<ServiceInfo>* serviceInfo() override;
    RdpInstance* launchViewer(ConnectionContext* context, const ConnectInfo& reply, const QString& text,
                              const QString& name, const QJsonArray& networkTypes) override;
    void addViewerParameters(ConnectInfo& reply) override;

public slots:
    void refreshSessions();

private slots:
    void handleSessionEvent(const QJsonObject& event);

private:
    void handleSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);
    bool confirmUntrustedCertificate(QNetworkReply* reply, const QList<QSslError>& errors);
    void startEvents();
    // Emits the session events gathered since the last pass of the event loop, one per session id.
    void flushSessionEvents();
    // Sends the request and settles a new promise of T through convert(instance, promise, result, error).
    template <typename T, typename Convert>
    RpcPromise<T>* call(const QString& path, const QJsonObject& body, bool useGet, Convert convert);
    // The same with a prepared reply.
    template <typename T, typename Convert>
    RpcPromise<T>* track(QNetworkReply* reply, Convert convert);
    static void screenshotReply(RpcInstance* instance, const RpcPromiseRef<QImage>& promise,
                                QNetworkReply* reply);

    QUrl m_baseUrl;
    QSharedPointer<CertificateTrust> m_trust;
    bool m_disableDirectMode = false;
    // Shared, so that a certificate question can keep it past the instance; deleted with deleteLater.
    QSharedPointer<QNetworkAccessManager> m_network;
    QSharedPointer<ServerSentEvents> m_events;
    QString m_authToken;
    CertificateQuestion m_question;
    // Session events not yet emitted: the latest per session id, in the order the ids came.
    QStringList m_eventOrder;
    QHash<QString, SessionChange> m_pendingEvents;
    // The list request of the last stream reopen, while it runs; and whether another reopen came
    // meanwhile, which asks for the list once more when it has settled.
    QPointer<RpcPromiseBase> m_refresh;
    bool m_refreshAgain = false;
    // Session events that came while that request was on its way, the latest per id: its answer
    // may have been made before them, and they are applied on top of it.
    QHash<QString, SessionChange> m_eventsDuringRefresh;
};
