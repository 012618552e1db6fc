#pragma once

// Test helpers: byte strings written as hex ("00 0a ff"), spaces ignored.

#include "viewer/protocol/Types.h"

#include <QByteArray>
#include <QString>

#include <vector>

inline std::vector<Protocol::Byte> hex(const char* text) {
    const QByteArray raw = QByteArray::fromHex(QByteArray(text).replace(' ', ""));
    return std::vector<Protocol::Byte>(raw.begin(), raw.end());
}

inline QString toHex(const std::vector<Protocol::Byte>& bytes) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size())).toHex(' '));
}
