#pragma once

#include "sessions/Session.h"

#include <QDateTime>
#include <QString>

// Short texts that describe a session wherever it is shown. None is translated. The overloads
// taking now measure against that time instead of the clock.

QString sessionDisplayName(const Session& session);
QString sessionClientCountText(const Session& session);
QString sessionClientCountText(const Session& session, const QDateTime& now);
QString sessionUptimeText(const Session& session);
QString sessionUptimeText(const Session& session, const QDateTime& now);
QString sessionLoginText(const Session& session);

// "1 day, 2 hr, 5 min", "< 1 min", or empty for a null time. Days are whole days of the local
// calendar (a day with a clock change still counts as one).
QString elapsedText(const QDateTime& since);
QString elapsedText(const QDateTime& since, const QDateTime& now);

QString firstNonEmpty(const QString& a, const QString& b);
