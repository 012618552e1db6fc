#pragma once

#include "rpc/RpcInstance.h"
#include "signin/SshLaunchSettings.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>

class BoyerMooreMatcher;
class NetStringReader;
class ServerNotifications;
class SshProcess;

// The server interface over ssh: JSON-RPC 2.0 requests and answers as netstrings on the standard
// input and output of an ssh child that runs the server's interface command. Standard error goes
// to the log and the sign-in dialog's banner, and explains why ssh ended.
class RpcInstanceSsh : public RpcInstance {
    Q_OBJECT
    Q_PROPERTY(ushort tunnelPort READ tunnelPort)
public:
    using ResponseCallback = std::function<void(const QJsonValue& result, const QJsonValue& error)>;
    // Makes the view of a page served through the tunnel's local forwarder: page is the forwarder's
    // address with the service's path, token the service token; forwarder becomes the view's child.
    using TunnelViewOpener =
        std::function<QWebEngineView*(const QUrl& page, const QString& token, QObject* forwarder)>;

    // The remote command run when the settings name none.
    static const QString defaultRemoteCommand;
    // How long ssh gets to end by itself, and then after being told to, before it is killed.
    static constexpr int processGraceMs = 3000;
    // Longest message accepted from the server, the same bound as the web transport's replies; a
    // netstring announcing more ends the session with the protocol error.
    static constexpr int maxMessageBytes = 64 * 1024 * 1024;
    // How often ssh is started again on another port when its tunnel port was taken meanwhile.
    static constexpr int maxTunnelRestarts = 3;

    explicit RpcInstanceSsh(const SshLaunchSettings& settings, QObject* parent = nullptr);
    ~RpcInstanceSsh() override;

    SshProcess* process() const { return m_process; }
    ushort tunnelPort() const;

    static QJsonObject makeRpcError(const QString& name, const QString& message);
    // Set by the library that provides web views; without it openWebView gives none.
    static void setWebViewOpener(TunnelViewOpener opener);

    // Sends one request; returns its new id. A request that cannot be written fails later, from the
    // event loop, through its completion.
    QString writeRequest(const QString& method, const QJsonObject& params);
    void handleResponse(const QString& id, const QJsonValue& result, const QJsonValue& error);
    void failAllPending(const QJsonValue& result, const QJsonValue& error);

public slots:
    QString transportName() const override;
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

private slots:
    void Ssh_readyRead();
    void Ssh_readyReadStandardError();
    void Ssh_finished();
    void Ssh_errorOccurred();

private:
    // Writes the request and files the completion that hands the answer to resolve.
    template <typename T, typename Resolve>
    RpcPromise<T>* send(const QString& method, const QJsonObject& params, Resolve resolve);
    RpcPromise<ConnectInfo>* sendConnect(const QString& method, const QJsonObject& params,
                                         const QString& fallbackId);
    QJsonObject connectRequest(const QString& id, const QString& key) const;
    QJsonObject withClientInfo(QJsonObject params) const;

    void dispatchMessage(const QJsonObject& message);
    void showNotification(int level, const QString& message);
    void endWithProtocolError();
    bool logContains(const QString& text) const;
    // Logs one line of ssh's standard error and notes whether it says the tunnel could not be set up.
    void logStandardError(const QString& line);
    bool restartAfterForwardFailure();
    QString explainExit(int exitCode) const;
    // The remote command without a leading "exec " when the log tells that the shell could not
    // find its program; empty otherwise.
    QString missingCommand(const QString& run) const;

    SshLaunchSettings m_settings;
    QString host;
    SshProcess* m_process = nullptr;
    BoyerMooreMatcher* m_marker = nullptr;
    NetStringReader* m_reader = nullptr;
    bool debugLogging = false;
    QByteArray stderrBuffer;
    QHash<QString, ResponseCallback> pendingRequests;
    // A protocol error has ended the stream; the process is being closed.
    bool m_streamFailed = false;
    // The boxes of the server's "notify" messages, made with the first one.
    ServerNotifications* m_notifications = nullptr;
    // ssh said that it could not listen on its tunnel port; restarts made for that so far.
    bool m_forwardFailed = false;
    int m_tunnelRestarts = 0;
    // Requests written before the start marker, by id: a restarted ssh gets them again.
    QList<QPair<QString, QByteArray>> m_framesBeforeMarker;
};
