#include "rpc/Cookie.h"

#include "platform/system/SystemRandom.h"

#include <QByteArray>

bool generateCookie(QString& out, QString& error) {
    unsigned char bytes[16];
    if (!platform::systemRandomBytes(bytes, sizeof bytes)) {
        error = QStringLiteral("Generating cookie failed");
        return false;
    }
    out = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes).toHex());
    return true;
}
