// Test stand-in for the server's interface command.
//
//   velnor-test-server-interface [--chatter TEXT] [--script FILE] [--record FILE]
//                                [--exit-before-marker CODE] [--stderr TEXT]
//
// Prints TEXT (default: a short login banner) and then the start marker on standard output, then
// reads JSON-RPC requests as netstrings from standard input and answers each one that has an id.
// Answers come from the script, a JSON object:
//   {"methods": {"<method>": {"result": ...} | {"error": {...}} | {"raw": "<bytes to write>"}},
//    "greeting": [<messages sent right after the marker>]}
// Without a script entry: "echo" answers with its params, "exit" answers and ends the program with
// params.code, "notify" sends params back as a notification before answering; any other method
// gets the error {"name": "not_found"}. --record appends every request, one JSON line each.

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr qint64 maxRequestSize = 16 * 1024 * 1024;

void writeAll(const QByteArray& bytes) {
    const char* p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(1, p, static_cast<size_t>(left));
        if (n <= 0)
            std::exit(3);
        p += n;
        left -= n;
    }
}

void sendMessage(const QJsonObject& message) {
    const QByteArray json = QJsonDocument(message).toJson(QJsonDocument::Compact);
    writeAll(QByteArray::number(json.size()) + ':' + json + ',');
}

bool readByte(char& c) {
    for (;;) {
        const ssize_t n = ::read(0, &c, 1);
        if (n == 1)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

// One netstring from standard input; false at end of input or on bad framing.
bool readNetString(QByteArray& payload) {
    QByteArray digits;
    char c;
    for (;;) {
        if (!readByte(c))
            return false;
        if (c == ':')
            break;
        if (c < '0' || c > '9' || digits.size() >= 10)
            return false;
        digits.append(c);
    }
    bool ok = false;
    const qint64 length = digits.toLongLong(&ok);
    if (!ok || length > maxRequestSize)
        return false;
    payload.clear();
    while (payload.size() < length) {
        char buffer[4096];
        const ssize_t n =
            ::read(0, buffer, static_cast<size_t>(qMin<qint64>(sizeof buffer, length - payload.size())));
        if (n <= 0)
            return false;
        payload.append(buffer, static_cast<int>(n));
    }
    return readByte(c);
}

} // namespace

int main(int argc, char** argv) {
    QString chatter = QStringLiteral("Welcome to the test server\n---- not yet ----\n");
    QString stderrText;
    QString scriptPath;
    QString recordPath;
    int exitBeforeMarker = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QString option = QString::fromLocal8Bit(argv[i]);
        const QString value = QString::fromLocal8Bit(argv[i + 1]);
        if (option == QLatin1String("--chatter"))
            chatter = value;
        else if (option == QLatin1String("--stderr"))
            stderrText = value;
        else if (option == QLatin1String("--script"))
            scriptPath = value;
        else if (option == QLatin1String("--record"))
            recordPath = value;
        else if (option == QLatin1String("--exit-before-marker"))
            exitBeforeMarker = value.toInt();
    }

    QJsonObject script;
    if (!scriptPath.isEmpty()) {
        QFile f(scriptPath);
        if (!f.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read script %s\n", qPrintable(scriptPath));
            return 2;
        }
        script = QJsonDocument::fromJson(f.readAll()).object();
    }
    const QJsonObject methods = script.value(QLatin1String("methods")).toObject();

    if (!stderrText.isEmpty()) {
        const QByteArray text = stderrText.toLocal8Bit();
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
        std::fflush(stderr);
    }
    writeAll(chatter.toUtf8());
    if (exitBeforeMarker >= 0)
        return exitBeforeMarker;
    writeAll(QByteArrayLiteral("---- BEGIN Velnor NetString ----"));
    for (const QJsonValue& message : script.value(QLatin1String("greeting")).toArray())
        sendMessage(message.toObject());

    QFile record(recordPath);
    if (!recordPath.isEmpty())
        record.open(QIODevice::Append);

    QByteArray payload;
    while (readNetString(payload)) {
        const QJsonObject request = QJsonDocument::fromJson(payload).object();
        if (record.isOpen()) {
            record.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
            record.flush();
        }
        const QJsonValue id = request.value(QLatin1String("id"));
        const QString method = request.value(QLatin1String("method")).toString();
        const QJsonValue params = request.value(QLatin1String("params"));

        QJsonObject reply{{"jsonrpc", "2.0"}, {"id", id}};
        const QJsonObject entry = methods.value(method).toObject();
        if (entry.contains(QLatin1String("raw"))) {
            writeAll(entry.value(QLatin1String("raw")).toString().toUtf8());
            continue;
        }
        if (entry.contains(QLatin1String("result"))) {
            reply.insert(QStringLiteral("result"), entry.value(QLatin1String("result")));
        } else if (entry.contains(QLatin1String("error"))) {
            reply.insert(QStringLiteral("error"), entry.value(QLatin1String("error")));
        } else if (method == QLatin1String("echo")) {
            reply.insert(QStringLiteral("result"), params);
        } else if (method == QLatin1String("notify")) {
            sendMessage(QJsonObject{{"jsonrpc", "2.0"},
                                    {"method", params.toObject().value("method")},
                                    {"params", params.toObject().value("params")}});
            reply.insert(QStringLiteral("result"), QJsonValue::Null);
        } else if (method == QLatin1String("exit")) {
            reply.insert(QStringLiteral("result"), QJsonValue::Null);
            if (!id.isUndefined() && !id.isNull())
                sendMessage(reply);
            return params.toObject().value(QLatin1String("code")).toInt();
        } else {
            reply.insert(QStringLiteral("error"),
                         QJsonObject{{"name", "not_found"},
                                     {"message", QStringLiteral("Unknown method %1").arg(method)}});
        }
        if (!id.isUndefined() && !id.isNull())
            sendMessage(reply);
    }
    return 0;
}
