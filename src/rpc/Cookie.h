#pragma once

#include <QString>

// 16 bytes of the system's cryptographic random source as 32 lower-case hexadecimal characters.
// On failure returns false, sets error and leaves out unchanged.
bool generateCookie(QString& out, QString& error);
