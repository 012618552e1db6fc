#include "rpc/RpcInstanceWeb.h"
#include "sessions/ViewerLaunchers.h"

#include "rpc/RpcLogging.h"
#include "rpc/WebRequestGuards.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTimer>

#include <utility>

namespace {

const char tooLargeProperty[] = "velnorReplyTooLarge";

int& logoutTimeoutMs() {
    static int ms = RpcInstanceWeb::defaultLogoutTimeout;
    return ms;
}

qint64& maxReplyBytesValue() {
    static qint64 bytes = RpcInstanceWeb::defaultMaxReplyBytes;
    return bytes;
}

RpcInstanceWeb::WebViewOpener& webViewOpener() {
    static RpcInstanceWeb::WebViewOpener opener;
    return opener;
}

void clearKeepAlive();

// Disposed instances waiting for their logout; shared by every web instance of the process.
QVector<QSharedPointer<RpcInstance>>& disposalKeepAlive() {
    static QVector<QSharedPointer<RpcInstance>> list;
    static bool cleanupInstalled = false;
    if (!cleanupInstalled) {
        // Whatever still waits goes with the application object, not after it.
        qAddPostRoutine(clearKeepAlive);
        cleanupInstalled = true;
    }
    return list;
}

void clearKeepAlive() {
    disposalKeepAlive().clear();
}

QJsonObject failure(const QString& name, const QString& message) {
    return QJsonObject{{QStringLiteral("result"), QJsonValue()},
                       {QStringLiteral("error"),
                        QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("message"), message}}}};
}

} // namespace

RpcInstanceWeb::RpcInstanceWeb(const QUrl& baseUrl, bool ignoreSslErrors, bool disableDirectMode,
                               QObject* parent)
    : RpcInstance(parent)
    , m_baseUrl(baseUrl)
    , m_trust(new CertificateTrust(ignoreSslErrors))
    , m_disableDirectMode(disableDirectMode)
    , m_network(new QNetworkAccessManager, &QObject::deleteLater) {}

RpcInstanceWeb::~RpcInstanceWeb() {
    m_events.reset();
}

void RpcInstanceWeb::setWebViewOpener(WebViewOpener opener) {
    webViewOpener() = std::move(opener);
}

void RpcInstanceWeb::setLogoutTimeout(int ms) {
    logoutTimeoutMs() = ms;
}

int RpcInstanceWeb::logoutTimeout() {
    return logoutTimeoutMs();
}

void RpcInstanceWeb::setMaxReplyBytes(qint64 bytes) {
    maxReplyBytesValue() = bytes;
}

qint64 RpcInstanceWeb::maxReplyBytes() {
    return maxReplyBytesValue();
}

QNetworkReply* RpcInstanceWeb::sendToPath(const QString& path, const QJsonObject& body, bool useGet) {
    QUrl url = m_baseUrl;
    url.setPath(path, QUrl::DecodedMode);
    return sendRequest(url, body, useGet);
}

QNetworkReply* RpcInstanceWeb::sendRequest(const QUrl& url, const QJsonObject& body, bool useGet) {
    QNetworkRequest request(url);
    followSafeRedirects(request);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const bool carriesToken = !m_authToken.isEmpty();
    if (carriesToken)
        request.setRawHeader("X-VELNOR-TOKEN", m_authToken.toUtf8());
    if (m_trust->acceptsAll()) {
        QSslConfiguration tls = request.sslConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        request.setSslConfiguration(tls);
    }
    // The logout must not hold up quitting when the server does not answer.
    if (url.path() == QLatin1String("/v3/api/user/logout"))
        request.setTransferTimeout(logoutTimeout());

    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    qCDebug(lcRpc).noquote() << redactedUrl(url);
    qCDebug(lcRpc).noquote() << redactedJson(body);

    QNetworkReply* reply = useGet ? m_network->get(request) : m_network->post(request, json);
    // Before sign-in there is no token, but the body may hold the password: it stays with its server.
    watchRedirects(reply, carriesToken || !useGet);
    connect(reply, &QNetworkReply::sslErrors, this,
            [this, reply](const QList<QSslError>& errors) { handleSslErrors(reply, errors); });
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > maxReplyBytes() && !reply->property(tooLargeProperty).toBool()) {
            reply->setProperty(tooLargeProperty, true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    return reply;
}

QJsonObject RpcInstanceWeb::decodeReply(QNetworkReply* reply) {
    const QUrl refused = refusedRedirect(reply);
    if (!refused.isEmpty()) {
        return failure(
            QStringLiteral("http"),
            tr("The server sent the request on to %1, which was not followed.").arg(redactedUrl(refused)));
    }
    if (reply->property(tooLargeProperty).toBool())
        return failure(QStringLiteral("http"),
                       tr("The server's reply is larger than %1 bytes.").arg(maxReplyBytes()));
    if (reply->error() != QNetworkReply::NoError) {
        QString name = QStringLiteral("http");
        if (reply->error() == QNetworkReply::ContentAccessDenied)
            name = QStringLiteral("denied");
        else if (reply->error() == QNetworkReply::ContentNotFoundError)
            name = QStringLiteral("not_found");
        return failure(name, reply->errorString());
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200) {
        QString reason =
            QString::fromUtf8(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray());
        if (reason.isEmpty())
            reason = tr("The server answered with status %1.").arg(status);
        return failure(QStringLiteral("http"), reason);
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll(), &error);
    qCDebug(lcRpc).noquote() << (document.isArray() ? redactedJson(document.array())
                                                    : redactedJson(document.object()))
                             << error.errorString();
    if (document.isObject())
        return document.object();
    if (error.error != QJsonParseError::NoError)
        return failure(QStringLiteral("format"), error.errorString());
    return failure(QStringLiteral("format"), tr("The server's reply is not a JSON object."));
}

void RpcInstanceWeb::handleSslErrors(QNetworkReply* reply, const QList<QSslError>& errors) {
    if (m_trust->accepts(errors)) {
        reply->ignoreSslErrors(errors);
        return;
    }
    // The question runs a nested event loop, in which the promise that owns the reply, or this
    // instance, may go. The reply is kept apart from its owner meanwhile: Qt is still inside the
    // reply's own signal and must find it alive when the question returns.
    QPointer<RpcInstanceWeb> self(this);
    QPointer<QNetworkReply> guard(reply);
    QPointer<QObject> owner = reply->parent();
    const QSharedPointer<QNetworkAccessManager> network = m_network;
    reply->setParent(nullptr);
    const bool accepted = confirmUntrustedCertificate(reply, errors);
    if (!guard)
        return;
    if (!owner || !self) {
        // Nobody waits for the answer any more. The reply goes with its manager, which outlives it
        // and is deleted later, outside the reply's own signal, if the instance has gone.
        reply->setParent(network.data());
        return;
    }
    reply->setParent(owner);
    if (!accepted)
        return;
    m_trust->accept(errors);
    reply->ignoreSslErrors(errors);
}

bool RpcInstanceWeb::confirmUntrustedCertificate(QNetworkReply* reply, const QList<QSslError>& errors) {
    const QUrl url = reply->request().url();
    if (m_question) {
        // A copy: the instance, and with it its own copy, may go while the question is open.
        const CertificateQuestion question = m_question;
        return question(url, errors);
    }
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                    tr("Your connection is not private."), QMessageBox::Abort | QMessageBox::Ignore);
    box.setInformativeText(tr("The server could not prove that it is %1.").arg(url.host()));
    QStringList texts;
    for (const QSslError& e : errors)
        texts.append(e.errorString());
    box.setDetailedText(texts.join(QLatin1Char('\n')));
    return box.exec() == QMessageBox::Ignore;
}

void RpcInstanceWeb::resolveTokenObject(RpcInstance* instance, const RpcPromiseRef<QJsonObject>& promise,
                                        const QJsonValue& result, const QJsonValue& error) {
    if (!result.isObject()) {
        rejectWithError(instance, promise, error);
        return;
    }
    const QJsonObject object = result.toObject();
    const QJsonValue token = object.value(QLatin1String("token"));
    auto* web = qobject_cast<RpcInstanceWeb*>(instance);
    if (web && token.isString()) {
        web->m_authToken = token.toString();
        web->startEvents();
    }
    reportSucceeded(instance, promise, object);
}

void RpcInstanceWeb::startEvents() {
    QUrl url = m_baseUrl;
    url.setPath(QStringLiteral("/sse/my-sessions"));
    QSharedPointer<ServerSentEvents> events(new ServerSentEvents(m_trust->acceptsAll(), this));
    events->setCertificateTrust(m_trust);
    m_events = events; // the previous stream, if any, goes here
    connect(events.data(), &ServerSentEvents::received, this, &RpcInstanceWeb::handleSessionEvent);
    connect(events.data(), &ServerSentEvents::reconnected, this, &RpcInstanceWeb::refreshSessions);
    events->open(url, m_authToken);
}

void RpcInstanceWeb::refreshSessions() {
    // One list request at a time: a stream that is reopened faster than the server answers would
    // otherwise queue requests without end. The answer on its way may predate this reopen, so one
    // more request follows it.
    if (m_refresh) {
        m_refreshAgain = true;
        return;
    }
    m_refreshAgain = false;
    RpcPromise<QList<Session>>* promise = sessionList();
    promise->setParent(this);
    m_refresh = promise;
    m_eventsDuringRefresh.clear();
    connect(promise, &RpcPromiseBase::succeeded, promise, &QObject::deleteLater);
    connect(promise, &RpcPromiseBase::failed, promise, &QObject::deleteLater);
    connect(promise, &RpcPromiseBase::succeeded, this, [this, promise] {
        emit sessionsUpdated(withChanges(promise->value, std::exchange(m_eventsDuringRefresh, {})));
    });
    const auto settled = [this] {
        m_refresh = nullptr;
        m_eventsDuringRefresh.clear();
        if (m_refreshAgain)
            refreshSessions();
    };
    connect(promise, &RpcPromiseBase::succeeded, this, settled);
    connect(promise, &RpcPromiseBase::failed, this, settled);
}

void RpcInstanceWeb::handleSessionEvent(const QJsonObject& event) {
    const QString type = event.value(QLatin1String("type")).toString();
    if (type != QLatin1String("update") && type != QLatin1String("delete"))
        return;
    const QJsonDocument data =
        QJsonDocument::fromJson(event.value(QLatin1String("data")).toString().toUtf8());
    if (!data.isObject()) {
        qCWarning(lcRpc) << "Session event whose data is not a JSON object dropped";
        return;
    }
    // A busy stream may change one session many times per pass; only its latest state is told.
    const Session session = Session::fromJson(data.object());
    const QString id = session.id();
    if (id.isEmpty()) {
        qCWarning(lcRpc) << "Session event without a session id dropped";
        return;
    }
    if (m_eventOrder.isEmpty())
        QTimer::singleShot(0, this, &RpcInstanceWeb::flushSessionEvents);
    if (!m_pendingEvents.contains(id))
        m_eventOrder.append(id);
    const SessionChange change{type != QLatin1String("update"), session};
    m_pendingEvents.insert(id, change);
    if (m_refresh)
        m_eventsDuringRefresh.insert(id, change);
}

void RpcInstanceWeb::flushSessionEvents() {
    const QStringList order = std::exchange(m_eventOrder, QStringList());
    QHash<QString, SessionChange> pending = std::exchange(m_pendingEvents, {});
    const QPointer<RpcInstanceWeb> self(this);
    for (const QString& id : order) {
        const SessionChange event = pending.value(id);
        if (event.deleted)
            emit sessionDeleted(event.session);
        else
            emit sessionUpdated(event.session);
        if (!self)
            return;
    }
}

void RpcInstanceWeb::dispose(QSharedPointer<RpcInstance> self) {
    // Nobody listens any more; the stream would only reconnect while the logout runs.
    if (m_events)
        m_events->close();
    RpcPromise<void>* promise = logout();
    if (!self || self.data() != this)
        return;
    disposalKeepAlive().append(self);
    const QWeakPointer<RpcInstance> weak = self;
    self.reset();
    // Released from the event loop: the promise that signals is a child of the instance.
    const auto release = [weak] {
        QTimer::singleShot(0, QCoreApplication::instance(), [weak] {
            const QSharedPointer<RpcInstance> strong = weak.toStrongRef();
            if (strong)
                disposalKeepAlive().removeAll(strong);
        });
    };
    connect(promise, &RpcPromiseBase::succeeded, release);
    connect(promise, &RpcPromiseBase::failed, release);
}

int RpcInstanceWeb::pendingDisposals(QObject* window) {
    const QVector<QSharedPointer<RpcInstance>>& list = disposalKeepAlive();
    if (window) {
        for (const QSharedPointer<RpcInstance>& entry : list)
            connect(entry.data(), SIGNAL(destroyed()), window, SLOT(logout()), Qt::UniqueConnection);
    }
    return list.size();
}

QWebEngineView* RpcInstanceWeb::openWebView(const QString& path, const ServiceInfo& service) {
    QUrl url = service.url;
    url.setPath(path, QUrl::DecodedMode);
    url.setUserName(QString());
    const WebViewOpener& opener = webViewOpener();
    if (!opener) {
        qCWarning(lcRpc) << "No web view is available in this program";
        return nullptr;
    }
    return opener(url, service.token, m_trust);
}

RdpInstance* RpcInstanceWeb::launchViewer(ConnectionContext* context, const ConnectInfo& reply, const QString&,
                                          const QString& name, const QJsonArray& networkTypes) {
    // The viewer trusts the certificates this connection trusts, not every certificate.
    return launchViewerWeb(context, reply, name, networkTypes, m_baseUrl, m_disableDirectMode, m_trust.data());
}

void RpcInstanceWeb::addViewerParameters(ConnectInfo& reply) {
    reply.setParam(QStringLiteral("AuthToken"), m_authToken);
    reply.setParam(QStringLiteral("IgnoreSslErrors"), m_trust->acceptsAll());
}
