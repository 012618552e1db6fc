#pragma once

#include <QJsonValue>
#include <QtGlobal>

// Whether a connection file's port is a number no port can have.
inline bool portOutOfRange(const QJsonValue& value) {
    const double number = value.toDouble(0);
    return !(number >= 0 && number <= 65535);
}

// A port from a connection file; a number outside 0..65535 reads as 0 rather than wrapping round
// to some other port.
inline quint16 portFromJson(const QJsonValue& value) {
    if (portOutOfRange(value))
        return 0;
    return static_cast<quint16>(value.toInt(0));
}
