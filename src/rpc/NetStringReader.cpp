#include "rpc/NetStringReader.h"

#include <QIODevice>

namespace {
constexpr int maxLengthDigits = 10;
}

NetStringReader::NetStringReader(QObject* parent)
    : QObject(parent) {
    m_lengthBuffer.reserve(maxLengthDigits);
    m_payload.reserve(65536);
}

void NetStringReader::reset() {
    m_state = ReadingLength;
    m_errorString.clear();
    m_lengthBuffer.truncate(0);
    m_payload.truncate(0);
    m_expected = -1;
}

void NetStringReader::fail(const QString& message) {
    m_state = Error;
    m_errorString = message;
}

void NetStringReader::endLength() {
    bool ok = false;
    const qlonglong length = m_lengthBuffer.toLongLong(&ok);
    if (!ok || length < 0) {
        fail(tr("NetString length is not an integer"));
        return;
    }
    if (length > m_maximumLength) {
        fail(tr("NetString exceeds maximum size"));
        return;
    }
    m_lengthBuffer.truncate(0);
    m_expected = static_cast<int>(length);
    // Nothing is reserved from the announced length: the payload grows only as bytes arrive.
    m_state = m_expected == 0 ? Complete : ReadingData;
    if (m_state == Complete)
        m_expected = -1;
}

void NetStringReader::processBytes(QIODevice* device) {
    if (m_state == Error || !device)
        return;
    if (m_state == Complete) {
        char terminator;
        if (!device->getChar(&terminator))
            return;
        m_payload.truncate(0);
        m_state = ReadingLength;
    }
    while (m_state == ReadingLength || m_state == ReadingData) {
        if (m_state == ReadingLength) {
            char c;
            if (!device->getChar(&c))
                return;
            if (c == ':') {
                endLength();
            } else if (m_lengthBuffer.size() >= maxLengthDigits) {
                fail(tr("NetString length exceeds maximum size"));
            } else {
                m_lengthBuffer.append(c);
            }
        } else {
            const qint64 available = device->bytesAvailable();
            if (available <= 0)
                return;
            const qint64 wanted = qMin<qint64>(m_expected - m_payload.size(), available);
            const QByteArray chunk = device->read(wanted);
            if (chunk.isEmpty())
                return;
            m_payload.append(chunk);
            if (m_payload.size() == m_expected) {
                m_state = Complete;
                m_expected = -1;
            }
        }
    }
}
