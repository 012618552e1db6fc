// murrow: ssh starts it through SSH_ASKPASS with the prompt as arguments. It sends the prompt to the
// local server named in HALVANE_MURROW_SERVER as one netstring, reads one netstring back and prints
// its bytes for ssh.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QStringList>

#include <cstdio>

namespace {

constexpr int connectTimeoutMs = 30000;
constexpr qint64 replyTimeoutMs = 300000;
constexpr int maxCountDigits = 9;

// The payload of a complete netstring at the start of buffer. Returns false while more bytes are
// needed; sets bad when the buffer can never become a netstring.
bool parseReply(const QByteArray& buffer, QByteArray& payload, bool& bad) {
    bad = false;
    const int colon = buffer.indexOf(':');
    if (colon < 0) {
        bad = buffer.size() > maxCountDigits;
        return false;
    }
    if (colon == 0 || colon > maxCountDigits) {
        bad = true;
        return false;
    }
    bool ok = false;
    const qlonglong count = buffer.left(colon).toLongLong(&ok);
    if (!ok || count < 0 || count > 2147483647) {
        bad = true;
        return false;
    }
    if (buffer.size() < colon + count + 2)
        return false;
    payload = buffer.mid(colon + 1, static_cast<int>(count));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Velnor"));
    QCoreApplication::setApplicationVersion(QStringLiteral("3.2.32"));
    QCoreApplication::setOrganizationName(QStringLiteral("Halvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("halvane.example"));

    const QString serverName = qEnvironmentVariable("HALVANE_MURROW_SERVER");
    if (serverName.isEmpty())
        return 1;

    QLocalSocket socket;
    socket.connectToServer(serverName, QIODevice::ReadWrite);
    if (!socket.waitForConnected(connectTimeoutMs))
        return 1;

    const QByteArray prompt = QCoreApplication::arguments().mid(1).join(QLatin1Char(' ')).toUtf8();
    socket.write(QByteArray::number(prompt.size()) + ':' + prompt + ',');
    socket.flush();

    QElapsedTimer clock;
    clock.start();
    QByteArray buffer;
    for (;;) {
        const qint64 left = qMax<qint64>(0, replyTimeoutMs - clock.elapsed());
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(static_cast<int>(left)))
            break;
        buffer.append(socket.readAll());
        QByteArray payload;
        bool bad = false;
        if (parseReply(buffer, payload, bad)) {
            // The answer's bytes go to ssh unchanged, whatever the local encoding.
            std::fwrite(payload.constData(), 1, static_cast<size_t>(payload.size()), stdout);
            std::fflush(stdout);
            break;
        }
        if (bad)
            break;
    }
    return 0;
}
