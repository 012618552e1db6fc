#pragma once

#include "sessions/Session.h"

#include <QDateTime>
#include <QJsonObject>
#include <QRandomGenerator>

#include <algorithm>

// A server's list of sessionCount sessions numbered from firstNumber, in no particular order, as a
// server sends it.
inline SessionList makeSessions(int sessionCount, int firstNumber = 0) {
    SessionList list;
    const QDateTime base = QDateTime::fromString("2026-03-01T08:00:00Z", Qt::ISODate);
    for (int i = firstNumber; i < firstNumber + sessionCount; ++i) {
        const QJsonObject o{{"id", QStringLiteral("session-%1").arg(i, 6, 10, QLatin1Char('0'))},
                            {"command", QStringLiteral("xterm -title %1").arg(i)},
                            {"clientCount", i % 3},
                            {"started", base.addSecs(i * 37).toString(Qt::ISODate)},
                            {"lastConnect", base.addSecs(i * 53 % 86400).toString(Qt::ISODate)},
                            {"lastDisconnect", base.addSecs(i * 71 % 86400).toString(Qt::ISODate)},
                            {"login", "user"},
                            {"hostname", QStringLiteral("node%1").arg(i % 16)},
                            {"params", QJsonObject{{"name", QStringLiteral("Session %1").arg(i)}}}};
        list.append(Session::fromJson(o));
    }
    std::shuffle(list.begin(), list.end(), *QRandomGenerator::global());
    return list;
}
