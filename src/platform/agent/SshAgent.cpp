#include "platform/agent/SshAgent.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QtEndian>

namespace platform {

namespace {

// Reads exactly count bytes before the deadline; empty on a short read.
QByteArray readExactly(QLocalSocket& socket, qint64 count, const QDeadlineTimer& deadline) {
    QByteArray bytes;
    while (bytes.size() < count) {
        if (socket.bytesAvailable() == 0 &&
            !socket.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))))
            return QByteArray();
        bytes += socket.read(count - bytes.size());
        if (deadline.hasExpired() && bytes.size() < count)
            return QByteArray();
    }
    return bytes;
}

} // namespace

QString agentSocketPath() {
    return QString::fromLocal8Bit(qgetenv("SSH_AUTH_SOCK"));
}

QByteArray queryAgent(const QString& socketPath, const QByteArray& request, int timeoutMs) {
    if (socketPath.isEmpty() || request.size() < 4 || request.size() > agentMaxMessageBytes)
        return QByteArray();
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(timeoutMs))
        return QByteArray();
    qint64 written = 0;
    while (written < request.size()) {
        const qint64 n = socket.write(request.constData() + written, request.size() - written);
        if (n < 0)
            return QByteArray();
        written += n;
    }
    while (socket.bytesToWrite() > 0) {
        if (deadline.hasExpired() ||
            !socket.waitForBytesWritten(static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))))
            return QByteArray();
    }
    const QByteArray prefix = readExactly(socket, 4, deadline);
    if (prefix.size() != 4)
        return QByteArray();
    const quint32 length = qFromBigEndian<quint32>(prefix.constData());
    if (length == 0 || length > quint32(agentMaxMessageBytes - 4))
        return QByteArray();
    return readExactly(socket, length, deadline);
}

} // namespace platform
