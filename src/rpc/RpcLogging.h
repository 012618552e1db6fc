#pragma once

#include <QLoggingCategory>

// "velnor.rpc": debug output of both server transports.
Q_DECLARE_LOGGING_CATEGORY(lcRpc)

class QJsonObject;
class QByteArray;

// The message as compact JSON for debug output, with the values of secret keys (passwords, prompt
// answers, tokens, keys) replaced at any depth.
QByteArray redactedForLog(const QJsonObject& message);
