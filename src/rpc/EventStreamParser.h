#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// Cuts a text/event-stream into events. Lines end in CR LF, LF or CR, also when a read ends between
// the CR and the LF; a line is decoded from UTF-8 only once it is complete. A line longer than
// maxLineBytes, or an event whose data grows beyond maxEventBytes, is dropped with its event, so a
// stream never holds more than about those sizes.
class EventStreamParser {
public:
    static constexpr int maxLineBytes = 1024 * 1024;
    static constexpr int maxEventBytes = 16 * 1024 * 1024;

    // Events completed by these bytes: {"data", "type", and "lastEventId" once an id was seen}.
    QList<QJsonObject> feed(const QByteArray& bytes);
    // Back to the start of a stream: no partial line, event or id.
    void reset();

    // The last valid "retry" value since the last call, or -1.
    int takeRetry();

    // Bytes held for an incomplete line.
    int pendingBytes() const { return m_line.size(); }
    QString lastEventId() const { return m_lastEventId; }

private:
    void endLine(QList<QJsonObject>& events);
    void handleField(const QString& name, const QString& value, int valueBytes);
    void dispatch(QList<QJsonObject>& events);

    QByteArray m_line;
    bool m_discardingLine = false; // the current line is over the bound: drop it up to its end
    bool m_skipLineFeed = false;   // the last read ended in CR: a LF at the start of the next is its pair
    QString m_eventType;
    QString m_data;
    qint64 m_dataBytes = 0;
    bool m_eventBroken = false; // part of the event was dropped: the whole event is
    QString m_lastEventId;
    int m_retry = -1;
};
