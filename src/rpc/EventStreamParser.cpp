#include "rpc/EventStreamParser.h"

#include "rpc/RpcLogging.h"

QList<QJsonObject> EventStreamParser::feed(const QByteArray& bytes) {
    QList<QJsonObject> events;
    int pos = 0;
    if (m_skipLineFeed && !bytes.isEmpty()) {
        m_skipLineFeed = false;
        if (bytes.at(0) == '\n')
            pos = 1;
    }
    const int size = bytes.size();
    while (pos < size) {
        int end = pos;
        while (end < size && bytes.at(end) != '\n' && bytes.at(end) != '\r')
            ++end;
        if (!m_discardingLine) {
            if (m_line.size() + (end - pos) > maxLineBytes) {
                qCWarning(lcRpc) << "Event stream line longer than" << maxLineBytes << "bytes dropped";
                m_line.clear();
                m_discardingLine = true;
                m_eventBroken = true;
            } else {
                m_line.append(bytes.constData() + pos, end - pos);
            }
        }
        if (end == size)
            break;
        if (bytes.at(end) == '\r') {
            if (end + 1 < size) {
                if (bytes.at(end + 1) == '\n')
                    ++end;
            } else {
                m_skipLineFeed = true;
            }
        }
        pos = end + 1;
        endLine(events);
    }
    return events;
}

void EventStreamParser::reset() {
    m_line.clear();
    m_discardingLine = false;
    m_skipLineFeed = false;
    m_eventType.clear();
    m_data.clear();
    m_dataBytes = 0;
    m_eventBroken = false;
    m_lastEventId.clear();
}

int EventStreamParser::takeRetry() {
    const int retry = m_retry;
    m_retry = -1;
    return retry;
}

void EventStreamParser::endLine(QList<QJsonObject>& events) {
    if (m_discardingLine) {
        m_discardingLine = false;
        return;
    }
    const QByteArray line = m_line;
    m_line.clear();
    if (line.isEmpty()) {
        dispatch(events);
        return;
    }
    if (line.startsWith(':'))
        return;
    const int colon = line.indexOf(':');
    if (colon < 0) {
        handleField(QString::fromUtf8(line), QString(), 0);
        return;
    }
    int valueStart = colon + 1;
    if (valueStart < line.size() && line.at(valueStart) == ' ')
        ++valueStart;
    handleField(QString::fromUtf8(line.constData(), colon),
                QString::fromUtf8(line.constData() + valueStart, line.size() - valueStart),
                line.size() - valueStart);
}

void EventStreamParser::handleField(const QString& name, const QString& value, int valueBytes) {
    if (name == QLatin1String("event")) {
        m_eventType = value;
    } else if (name == QLatin1String("data")) {
        if (m_eventBroken)
            return;
        if (m_dataBytes + valueBytes + 1 > maxEventBytes) {
            qCWarning(lcRpc) << "Event stream event larger than" << maxEventBytes << "bytes dropped";
            m_data.clear();
            m_dataBytes = 0;
            m_eventBroken = true;
            return;
        }
        m_data += value;
        m_data += QLatin1Char('\n');
        m_dataBytes += valueBytes + 1;
    } else if (name == QLatin1String("id")) {
        if (!value.isEmpty())
            m_lastEventId = value;
    } else if (name == QLatin1String("retry")) {
        // Only plain decimal digits that fit an int.
        if (value.isEmpty() || value.size() > 9)
            return;
        for (const QChar c : value) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return;
        }
        m_retry = value.toInt();
    }
}

void EventStreamParser::dispatch(QList<QJsonObject>& events) {
    if (!m_eventBroken && !m_data.isEmpty()) {
        m_data.chop(1);
        QJsonObject event{
            {QStringLiteral("data"), m_data},
            {QStringLiteral("type"), m_eventType.isEmpty() ? QStringLiteral("message") : m_eventType}};
        if (!m_lastEventId.isEmpty())
            event.insert(QStringLiteral("lastEventId"), m_lastEventId);
        events.append(event);
    }
    m_eventBroken = false;
    m_eventType.clear();
    m_data.clear();
    m_dataBytes = 0;
}
