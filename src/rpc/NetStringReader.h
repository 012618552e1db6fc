#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QIODevice;

// Decodes a stream of netstrings ("<length>:<bytes>,") from a device, one per call.
class NetStringReader : public QObject {
    Q_OBJECT
public:
    enum State { Error = 0, ReadingLength = 1, ReadingData = 2, Complete = 3 };

    static constexpr int defaultMaximumLength = 0x10000000;

    explicit NetStringReader(QObject* parent = nullptr);

    // Longest payload accepted; a longer announced length puts the reader in Error.
    void setMaximumLength(int maximum) { m_maximumLength = maximum; }
    int maximumLength() const { return m_maximumLength; }

    QByteArray data() const { return m_payload; }
    bool isComplete() const { return m_state == Complete; }
    bool isOk() const { return m_state != Error; }
    State state() const { return m_state; }
    QString errorString() const { return m_errorString; }
    void reset();

public slots:
    void processBytes(QIODevice* device);

private:
    void fail(const QString& message);
    void endLength();

    State m_state = ReadingLength;
    QString m_errorString;
    QByteArray m_lengthBuffer;
    int m_expected = -1;
    QByteArray m_payload;
    int m_maximumLength = defaultMaximumLength;
};
