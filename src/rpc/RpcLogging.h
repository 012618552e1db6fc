#pragma once

#include <QLoggingCategory>

// "velnor.rpc": debug output of both server transports.
Q_DECLARE_LOGGING_CATEGORY(lcRpc)

class QJsonObject;
class QJsonValue;
class QByteArray;
class QString;

// Every request or reply that either transport logs goes through these: compact JSON with the
// values of secret keys (passwords, prompt answers, tokens, keys, signatures, cookies) replaced at
// any depth.
QByteArray redactedForLog(const QJsonObject& message);
QString redactedJson(const QJsonValue& value);
