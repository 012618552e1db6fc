#pragma once

#include "HttpsServer.h"
#include "rpc/RpcInstanceWeb.h"

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QJsonArray>
#include <QLabel>
#include <QTextDocument>
#include <QSharedPointer>
#include <QSslConfiguration>
#include <QWidget>

// A web instance on the test server that trusts the server's certificate as a user who accepted it
// would, or accepts every certificate.
inline QSharedPointer<RpcInstanceWeb> webInstance(const HttpsPeer::Server& server, bool acceptAll = false) {
    QSharedPointer<RpcInstanceWeb> web(new RpcInstanceWeb(server.url(), acceptAll, false, nullptr));
    web->setCertificateQuestion([](const QUrl&, const QList<QSslError>&) { return true; });
    return web;
}

// While it exists, the process trusts the server's certificate as the system would trust one of its
// own authorities: no certificate question comes, and nothing is accepted by hand.
class SystemTrust {
public:
    explicit SystemTrust(const HttpsPeer::Server& server)
        : m_previous(QSslConfiguration::defaultConfiguration()) {
        QSslConfiguration trusting = m_previous;
        trusting.addCaCertificate(server.certificate().certificate);
        QSslConfiguration::setDefaultConfiguration(trusting);
    }
    ~SystemTrust() { QSslConfiguration::setDefaultConfiguration(m_previous); }
    SystemTrust(const SystemTrust&) = delete;
    SystemTrust& operator=(const SystemTrust&) = delete;

private:
    const QSslConfiguration m_previous;
};

// The JSON bodies of the requests to path, oldest first.
inline QList<QJsonObject> bodies(const HttpsPeer::Server& server, const QString& path) {
    QList<QJsonObject> out;
    for (const HttpsPeer::Request& r : server.requests(path))
        out.append(r.json());
    return out;
}

// The "publicKey" values the client offered, in order.
inline QJsonArray offeredKeys(const HttpsPeer::Server& server, const QString& path) {
    QJsonArray keys;
    for (const QJsonObject& body : bodies(server, path)) {
        if (body.contains(QLatin1String("publicKey")))
            keys.append(body.value(QLatin1String("publicKey")));
    }
    return keys;
}

// The labels under widget that read their text as markup; the server's text must never be read so.
inline QStringList labelsReadingMarkup(const QWidget* widget) {
    QStringList names;
    for (const QLabel* label : widget->findChildren<QLabel*>()) {
        if (label->textFormat() == Qt::RichText ||
            (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text())))
            names << label->objectName();
    }
    return names;
}

inline QAbstractButton* buttonNamed(QWidget* dialog, const QString& text) {
    for (QAbstractButton* b : dialog->findChildren<QAbstractButton*>()) {
        if (b->text() == text && b->isVisibleTo(dialog))
            return b;
    }
    return nullptr;
}

// Sets the agent the code under test reaches; an empty path means none.
inline void useAgent(const QString& socketPath) {
    if (socketPath.isEmpty())
        qunsetenv("SSH_AUTH_SOCK");
    else
        qputenv("SSH_AUTH_SOCK", socketPath.toLocal8Bit());
}
