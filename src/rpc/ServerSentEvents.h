#pragma once

#include "rpc/CertificateTrust.h"
#include "rpc/EventStreamParser.h"

#include <QJsonObject>
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

    qint16 m_retryCount = 0;
    bool m_ignoreSslErrors = false;
    bool m_awaitingResponse = false;
    bool m_isClosed = false;
    int m_retryDelay = 0;
    int m_longRetryDelay = defaultLongRetryDelay;
    EventStreamParser m_parser;
    QString m_authToken;
    QPointer<QNetworkReply> m_reply;
    QNetworkAccessManager* m_network = nullptr;
    QSharedPointer<const CertificateTrust> m_trust;
    QTimer m_reopenTimer;
    QUrl m_reopenUrl;
};
