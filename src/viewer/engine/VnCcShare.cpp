#include "viewer/engine/VnCcShare.h"

#include "viewer/engine/constants/ViewerConstants.h"

#include <QJsonDocument>

VnCcShare::VnCcShare(VnClientCommChannel* channel)
    : VnClientCommType(channel) {}

void VnCcShare::handle(quint16, QString, QByteArray data) {
    const QJsonDocument document = QJsonDocument::fromJson(data);
    if (!document.isObject()) {
        return;
    }
    const QJsonObject payload = document.object();
    const QJsonValue method = payload.value(QStringLiteral("method"));
    const QJsonValue paramsValue = payload.value(QStringLiteral("params"));
    if (!method.isString() || !paramsValue.isObject()) {
        return;
    }
    const QJsonObject params = paramsValue.toObject();
    const QString name = method.toString();
    if (name == QLatin1String("hello")) {
        emit hello(params.value(QStringLiteral("client")).toString(),
                   params.value(QStringLiteral("role")).toString(),
                   params.value(QStringLiteral("login")).toString(),
                   params.value(QStringLiteral("version")).toString());
    } else if (name == QLatin1String("client-notify")) {
        const QJsonValue clients = params.value(QStringLiteral("clients"));
        if (clients.isArray()) {
            emit client_notify(clients.toArray());
        }
    } else if (name == QLatin1String("me-notify")) {
        const QJsonValue me = params.value(QStringLiteral("me"));
        if (me.isObject()) {
            emit me_notify(me.toObject());
        }
    } else if (name == QLatin1String("message")) {
        emit message_notify(params.value(QStringLiteral("client")).toString(),
                            params.value(QStringLiteral("message")));
    }
}

void VnCcShare::sendHello(const QString& name) {
    request(QStringLiteral("hello"),
            QJsonObject{{QStringLiteral("name"), name},
                        {QStringLiteral("version"), VnConstants::ShareProtocolVersion}},
            nullptr);
}

void VnCcShare::sendDisconnect(const QString& client, const QString& message,
                               VnClientCommCallback* callback) {
    QJsonObject params{{QStringLiteral("client"), client}};
    if (!message.isEmpty()) {
        params.insert(QStringLiteral("message"), message);
    }
    request(QStringLiteral("disconnect"), params, callback);
}

void VnCcShare::sendUpdateClient(const QString& client, const QString& status, const QString& role,
                                 const QString& name, VnClientCommCallback* callback) {
    QJsonObject params{{QStringLiteral("client"), client}};
    if (!status.isEmpty()) {
        params.insert(QStringLiteral("status"), status);
    }
    if (!role.isEmpty()) {
        params.insert(QStringLiteral("role"), role);
    }
    if (!name.isEmpty()) {
        params.insert(QStringLiteral("name"), name);
    }
    request(QStringLiteral("update-client"), params, callback);
}

void VnCcShare::request(const QString& method, const QJsonObject& params, VnClientCommCallback* callback) {
    if (VnClientCommChannel* target = channel()) {
        // Compact, keys in sorted order (QJsonObject keeps them sorted).
        const QJsonObject payload{{QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
        target->sendRequest(VnConstants::ShareTypeName, QJsonDocument(payload).toJson(QJsonDocument::Compact),
                            callback);
    }
}
