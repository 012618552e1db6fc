#include "rpc/ServerSentEvents.h"

#include "rpc/RpcLogging.h"
#include "rpc/WebRequestGuards.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>

ServerSentEvents::ServerSentEvents(bool ignoreSslErrors, QObject* parent)
    : QObject(parent)
    , m_ignoreSslErrors(ignoreSslErrors)
    , m_network(new QNetworkAccessManager(this)) {
    connect(m_network, &QNetworkAccessManager::sslErrors, this, &ServerSentEvents::sslErrors);
    connect(m_network, &QNetworkAccessManager::finished, this, &ServerSentEvents::streamFinished);
    m_reopenTimer.setSingleShot(true);
    connect(&m_reopenTimer, &QTimer::timeout, this, [this] {
        // The ended stream's connection goes too: kept, its TLS context would hold on to the sessions
        // of every reopen, about 8 kB each time, until OpenSSL's cache of 20,480 sessions is full.
        m_network->clearConnectionCache();
        start(m_reopenUrl);
    });
}

QNetworkRequest ServerSentEvents::buildRequest(const QUrl& url) const {
    QNetworkRequest request(url);
    request.setRawHeader("Accept", "text/event-stream");
    followSafeRedirects(request);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (!m_authToken.isEmpty())
        request.setRawHeader("X-VELNOR-TOKEN", m_authToken.toUtf8());
    if (m_ignoreSslErrors) {
        QSslConfiguration tls = request.sslConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        request.setSslConfiguration(tls);
    }
    return request;
}

void ServerSentEvents::open(const QUrl& url, const QString& authToken) {
    m_authToken = authToken;
    m_isClosed = false;
    start(url);
}

void ServerSentEvents::start(const QUrl& url) {
    qCDebug(lcRpc).noquote() << "open:" << redactedUrl(url);
    m_reopenTimer.stop();
    shutReply();
    const QNetworkRequest request = buildRequest(url);
    m_awaitingResponse = true;
    m_parser.reset();
    m_pending.clear();
    m_acceptedSince.invalidate();
    QNetworkReply* reply = m_network->get(request);
    reply->setReadBufferSize(readBufferBytes);
    m_reply = reply;
    watchRedirects(reply, !m_authToken.isEmpty());
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        if (reply == m_reply && m_awaitingResponse)
            checkResponse();
    });
    connect(reply, &QNetworkReply::readyRead, this, &ServerSentEvents::streamReceived);
    connect(reply, &QNetworkReply::sslErrors, this, [this, reply](const QList<QSslError>& errors) {
        if (m_ignoreSslErrors)
            reply->ignoreSslErrors();
        else if (m_trust && m_trust->accepts(errors))
            reply->ignoreSslErrors(errors);
        // Otherwise the reply fails and the stream tries again later.
    });
}

void ServerSentEvents::close() {
    m_isClosed = true;
    m_reopenTimer.stop();
    m_pending.clear();
    shutReply();
    emit closed();
}

void ServerSentEvents::shutReply() {
    if (m_reply) {
        QNetworkReply* old = m_reply;
        m_reply = nullptr;
        old->disconnect(this);
        // Deferred: this may run inside one of the reply's own signals.
        QTimer::singleShot(0, old, [old] { old->abort(); });
    }
}

bool ServerSentEvents::checkResponse() {
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return true; // not yet known
    const int code = status.toInt();
    if (code >= 300 && code < 400)
        return true; // a redirect being followed
    if (code == 204) {
        qCDebug(lcRpc) << "Received status 204 No content. disconnecting.";
        m_isClosed = true;
        shutReply();
        emit closed();
        return false;
    }
    const QString type = m_reply->header(QNetworkRequest::ContentTypeHeader).toString();
    if (type == QLatin1String("text/event-stream")) {
        m_awaitingResponse = false;
        // The reopen count is reset only once the stream has proved itself (see streamFinished).
        m_acceptedSince.start();
        emit reconnected();
        return true;
    }
    emit failed(QStringLiteral("invalid content type ") + type);
    m_isClosed = true;
    shutReply();
    emit closed();
    return false;
}

void ServerSentEvents::streamReceived() {
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply || reply != m_reply)
        return;
    if (m_awaitingResponse && (!checkResponse() || m_awaitingResponse))
        return;
    if (m_deliveryScheduled)
        return; // the pending events go first; the bytes wait in the bounded reply
    deliver();
}

void ServerSentEvents::scheduleDelivery() {
    if (m_deliveryScheduled)
        return;
    m_deliveryScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_deliveryScheduled = false;
        deliver();
    });
}

void ServerSentEvents::deliver() {
    if (m_pending.isEmpty() && m_reply && !m_awaitingResponse) {
        m_pending = m_parser.feed(m_reply->read(readBufferBytes));
        const int retry = m_parser.takeRetry();
        if (retry >= 0)
            m_retryDelay = retry;
    }
    const QPointer<ServerSentEvents> self(this);
    const QNetworkReply* reply = m_reply;
    for (int handed = 0; handed < eventsPerPass && !m_pending.isEmpty(); ++handed) {
        const QJsonObject event = m_pending.takeFirst();
        emit received(event);
        // A receiver may close or delete the stream.
        if (!self || reply != m_reply)
            return;
    }
    if (!m_pending.isEmpty() || (m_reply && m_reply->bytesAvailable() > 0))
        scheduleDelivery();
}

void ServerSentEvents::streamFinished(QNetworkReply* reply) {
    const bool current = reply == m_reply;
    reply->deleteLater();
    if (!current)
        return; // replaced or closed: its end means nothing
    if (m_awaitingResponse && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
        // A response without a body (a 204 has none) never reached streamReceived.
        if (!checkResponse())
            return;
    }
    // What the stream still held is handed out before it is gone.
    if (!m_awaitingResponse && reply->bytesAvailable() > 0) {
        m_pending += m_parser.feed(reply->readAll());
        const int retry = m_parser.takeRetry();
        if (retry >= 0)
            m_retryDelay = retry;
        scheduleDelivery();
    }
    const bool stayedUp = m_acceptedSince.isValid() && m_acceptedSince.elapsed() >= m_stableStreamMs;
    m_acceptedSince.invalidate();
    m_reply = nullptr;
    if (m_isClosed)
        return;
    if (stayedUp)
        m_retryCount = 0;
    // After redirects the final URL, unless a redirect was refused: then where the stream began.
    m_reopenUrl = refusedRedirect(reply).isEmpty() ? reply->url() : reply->request().url();
    if (m_retryCount >= 3) {
        qCCritical(lcRpc) << "Failed to connect, retried" << m_retryCount << "times";
        m_reopenTimer.start(qMax(m_longRetryDelay, m_minimumRetryDelay));
    } else {
        ++m_retryCount;
        m_reopenTimer.start(qMax(m_retryDelay, m_minimumRetryDelay));
    }
}
