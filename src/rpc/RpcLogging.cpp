#include "rpc/RpcLogging.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

Q_LOGGING_CATEGORY(lcRpc, "velnor.rpc")

namespace {

// Parts of key names, in lower case, whose values are never logged.
bool isSecretKey(const QString& key) {
    static const QStringList parts{
        QStringLiteral("password"), QStringLiteral("passwd"),    QStringLiteral("passphrase"),
        QStringLiteral("secret"),   QStringLiteral("token"),     QStringLiteral("answer"),
        QStringLiteral("signdata"), QStringLiteral("signature"), QStringLiteral("key"),
        QStringLiteral("cookie"),   QStringLiteral("otp")};
    const QString lower = key.toLower();
    for (const QString& part : parts) {
        if (lower.contains(part))
            return true;
    }
    return false;
}

QJsonValue redacted(const QJsonValue& value) {
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            *it = isSecretKey(it.key()) ? QJsonValue(QStringLiteral("***")) : redacted(it.value());
        return object;
    }
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        for (auto it = array.begin(); it != array.end(); ++it)
            *it = redacted(*it);
        return array;
    }
    return value;
}

} // namespace

QByteArray redactedForLog(const QJsonObject& message) {
    return QJsonDocument(redacted(message).toObject()).toJson(QJsonDocument::Compact);
}

QString redactedJson(const QJsonValue& value) {
    const QJsonValue r = redacted(value);
    if (r.isObject())
        return QString::fromUtf8(QJsonDocument(r.toObject()).toJson(QJsonDocument::Compact));
    if (r.isArray())
        return QString::fromUtf8(QJsonDocument(r.toArray()).toJson(QJsonDocument::Compact));
    return r.toVariant().toString();
}
