#pragma once

#include "rpc/CertificateTrust.h"
#include "rpc/EventStreamParser.h"

#include <QJsonObject>
#include <QElapsedTimer>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QSslError>
#include <QString>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// A client for a text/event-stream endpoint: keeps one GET open, emits each complete event, and
// reopens the stream when it ends: three times after the delay the server asked for, then at the
// long delay (five minutes), until it is closed.
class ServerSentEvents : public QObject {
    Q_OBJECT
public:
    static constexpr int defaultLongRetryDelay = 300000;
    // No reopen comes sooner than this, whatever the server asked for: a server (or proxy) that
    // accepts the stream and closes it at once must not be asked again and again.
    static constexpr int defaultMinimumRetryDelay = 3000;
    // Only a stream that stayed up this long resets the reopen count: one that sends an event and
    // closes must still back off.
    static constexpr int stableStreamMs = 30000;
    // Bytes the stream takes in before the events in them are handled, and events handled per pass
    // of the event loop: a server that sends faster than the events are handled waits.
    static constexpr qint64 readBufferBytes = 64 * 1024;
    static constexpr int eventsPerPass = 200;

    ServerSentEvents(bool ignoreSslErrors, QObject* parent);

    // Certificates the stream accepts besides ignoreSslErrors: those its connection accepted.
    void setCertificateTrust(QSharedPointer<const CertificateTrust> trust) { m_trust = std::move(trust); }

    QNetworkRequest buildRequest(const QUrl& url) const;

    int retryCount() const { return m_retryCount; }
    int retryDelay() const { return m_retryDelay; }
    bool isClosed() const { return m_isClosed; }
    // The delay of the reopen that is scheduled, or -1 when none is.
    int pendingReopenDelay() const { return m_reopenTimer.isActive() ? m_reopenTimer.interval() : -1; }
    // The wait after the third failed reopen; five minutes unless a test shortens it.
    void setLongRetryDelay(int ms) { m_longRetryDelay = ms; }
    // The shortest wait before a reopen; three seconds unless a test shortens it.
    void setMinimumRetryDelay(int ms) { m_minimumRetryDelay = ms; }
    // How long a stream must stay up to reset the reopen count; thirty seconds unless a test shortens it.
    void setStableStreamTime(int ms) { m_stableStreamMs = ms; }
    // Events read and not yet handed out.
    int pendingEvents() const { return m_pending.size(); }

signals:
    void sslErrors(QNetworkReply* reply, QList<QSslError> sslError);
    void received(QJsonObject data);
    void reconnected();
    void failed(QString message);
    void closed();

public slots:
    void open(const QUrl& url, const QString& authToken);
    void close();

private slots:
    void streamFinished(QNetworkReply* reply);
    void streamReceived();

private:
    void start(const QUrl& url);
    // Judges the response once its status is known; false when the stream was refused.
    bool checkResponse();
    void shutReply();
    // Hands out at most eventsPerPass pending events, reading more only when none are pending, and
    // comes back from the event loop while any are left.
    void deliver();
    void scheduleDelivery();

    qint16 m_retryCount = 0;
    bool m_ignoreSslErrors = false;
    bool m_awaitingResponse = false;
    bool m_isClosed = false;
    int m_retryDelay = 0;
    int m_longRetryDelay = defaultLongRetryDelay;
    int m_minimumRetryDelay = defaultMinimumRetryDelay;
    int m_stableStreamMs = stableStreamMs;
    EventStreamParser m_parser;
    QList<QJsonObject> m_pending;
    bool m_deliveryScheduled = false;
    QElapsedTimer m_acceptedSince; // valid while the current stream is accepted
    QString m_authToken;
    QPointer<QNetworkReply> m_reply;
    QNetworkAccessManager* m_network = nullptr;
    QSharedPointer<const CertificateTrust> m_trust;
    QTimer m_reopenTimer;
    QUrl m_reopenUrl;
};
