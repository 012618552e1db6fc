#pragma once

// The "vn-share" service: who takes part in a shared session, and the commands that change that.

#include "viewer/engine/VnClientCommChannel.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>

class VnCcShare : public VnClientCommType {
    Q_OBJECT
public:
    explicit VnCcShare(VnClientCommChannel* channel);

    // Never answers, whatever the id.
    void handle(quint16 id, QString type, QByteArray data) override;

    void sendHello(const QString& name);
    // "message" goes out only when not empty.
    void sendDisconnect(const QString& client, const QString& message,
                        VnClientCommCallback* callback = nullptr);
    // "client" always; each of "status", "role" and "name" only when not empty.
    void sendUpdateClient(const QString& client, const QString& status, const QString& role,
                          const QString& name, VnClientCommCallback* callback = nullptr);

signals:
    void hello(QString client, QString role, QString login, QString version);
    void client_notify(QJsonArray clients);
    void me_notify(QJsonObject me);
    void message_notify(QString client, QJsonValue message);

private:
    void request(const QString& method, const QJsonObject& params, VnClientCommCallback* callback);
};
