#include "sessions/SessionTexts.h"

#include <QStringList>

QString sessionDisplayName(const Session& session) {
    const QString name = session.param(QStringLiteral("name")).toString();
    return firstNonEmpty(name, session.command());
}

QString sessionClientCountText(const Session& session) {
    return sessionClientCountText(session, QDateTime::currentDateTime());
}

QString sessionClientCountText(const Session& session, const QDateTime& now) {
    const int count = session.clientCount();
    if (count == 0)
        return QStringLiteral("Idle %1").arg(elapsedText(session.lastDisconnect(), now));
    if (count == 1)
        return QStringLiteral("%1 client").arg(count);
    return QStringLiteral("%1 clients").arg(count);
}

QString sessionUptimeText(const Session& session) {
    return sessionUptimeText(session, QDateTime::currentDateTime());
}

QString sessionUptimeText(const Session& session, const QDateTime& now) {
    return elapsedText(session.started(), now);
}

QString sessionLoginText(const Session& session) {
    const QString login = session.login();
    const QString host = session.hostname();
    if (!login.isEmpty() && !host.isEmpty())
        return QStringLiteral("%1@%2").arg(login, host);
    return firstNonEmpty(login, host);
}

QString elapsedText(const QDateTime& since) {
    return elapsedText(since, QDateTime::currentDateTime());
}

QString elapsedText(const QDateTime& since, const QDateTime& now) {
    if (since.isNull())
        return QString();
    // Both sides in local time, so a start given in UTC is counted by the user's calendar; a
    // day counts only once it has fully passed.
    const QDateTime from = since.toLocalTime();
    const QDateTime to = now.toLocalTime();
    qint64 days = from.date().daysTo(to.date());
    if (days > 0 && from.addDays(days) > to)
        --days;
    days = qMax<qint64>(days, 0);

    QStringList parts;
    if (days > 0)
        parts.append(days == 1 ? QStringLiteral("1 day") : QStringLiteral("%1 days").arg(days));
    const qint64 rest = from.addDays(days).secsTo(to);
    const qint64 hours = rest / 3600;
    const qint64 minutes = (rest - hours * 3600) / 60;
    if (hours > 0)
        parts.append(QStringLiteral("%1 hr").arg(hours));
    if (minutes > 0)
        parts.append(QStringLiteral("%1 min").arg(minutes));
    if (parts.isEmpty())
        return QStringLiteral("< 1 min");
    return parts.join(QStringLiteral(", "));
}

QString firstNonEmpty(const QString& a, const QString& b) {
    return a.isEmpty() ? b : a;
}
