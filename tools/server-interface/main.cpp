// Test stand-in for the server's interface command.
//
//   velnor-test-server-interface [--chatter TEXT] [--script FILE] [--record FILE]
//                                [--exit-before-marker CODE] [--stderr TEXT]
//
// Prints TEXT (default: a short login banner) and then the start marker on standard output, then
// reads JSON-RPC requests as netstrings from standard input and answers each one that has an id.
// Answers come from FakeServer (a plausible reply for every client operation, over a little state),
// unless the script overrides them. "echo" answers with its params, "exit" answers and ends the
// program with params.code, "notify" sends params back as a notification before answering.
// --record appends every request, one JSON line each ({"unparsable": text} for one that is not JSON).
//
// The script is a JSON object:
//   "chatter": text before the marker (instead of --chatter)
//   "stderr": [lines] written to standard error at start
//   "greeting": [messages] sent right behind the marker, in the same write; a string is written raw
//   "exitAfter": {"request": K, "code": C}: exit with C once request K (counted from 1) is handled
//   "lingerMs": N: keep running N ms after standard input ends (a command that ignores the end)
//   "bookmarks": the bookmark state the server starts with (FakeServer::setBookmarkState)
//   "methods": {"<method>": ENTRY, or [ENTRY, ...] used in turn with the last one repeating}
// An ENTRY changes how one request is answered; every key is optional:
//   "result", "error": the answer instead of the default one (either or both)
//   "raw": bytes written instead of any answer (malformed frames)
//   "noReply": true: no answer at all
//   "delayMs": answer later; other requests are answered meanwhile
//   "id": the answer's id instead of the request's (a number, another string)
//   "duplicate": true: the answer is sent twice
//   "splitAt": [byte offsets]: the answer frame is written in pieces, "splitDelayMs" (default 100)
//              apart, so the client reads them separately; negative offsets count from the end
//   "before" | "after": [messages] sent before or after the answer; a string is written raw
//   "stderr": [lines] written to standard error when the request arrives
//   "exit": code: exit with it after the answer

#include "FakeServer.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr int maxRequestSize = 16 * 1024 * 1024;
const QByteArray startMarker = QByteArrayLiteral("---- BEGIN Velnor NetString ----");

void writeAll(const QByteArray& bytes) {
    const char* p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(1, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            std::_Exit(3);
        p += n;
        left -= n;
    }
}

void writeStderr(const QJsonValue& lines) {
    QByteArray text;
    if (lines.isString())
        text = lines.toString().toLocal8Bit();
    for (const QJsonValue& line : lines.toArray())
        text += line.toString().toLocal8Bit() + '\n';
    if (text.isEmpty())
        return;
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
    std::fflush(stderr);
}

QByteArray frame(const QJsonObject& message) {
    const QByteArray json = QJsonDocument(message).toJson(QJsonDocument::Compact);
    return QByteArray::number(json.size()) + ':' + json + ',';
}

// Messages of a script list: objects framed, strings as they are.
QByteArray framed(const QJsonValue& messages) {
    QByteArray bytes;
    for (const QJsonValue& m : messages.toArray())
        bytes += m.isString() ? m.toString().toUtf8() : frame(m.toObject());
    return bytes;
}

class Interface : public QObject {
public:
    Interface(const QJsonObject& script, const QString& recordPath)
        : m_script(script)
        , m_methods(script.value("methods").toObject())
        , m_record(recordPath)
        , m_stdin(0, QSocketNotifier::Read) {
        if (!recordPath.isEmpty())
            m_record.open(QIODevice::Append);
        connect(&m_stdin, &QSocketNotifier::activated, this, [this] { readInput(); });
        if (script.contains("bookmarks"))
            m_server.setBookmarkState(script.value("bookmarks").toObject());
    }

private:
    // Output goes out strictly in order; a chunk may wait before it is written, and may end the program.
    struct Chunk {
        QByteArray bytes;
        int delayMs = 0;
        int exitCode = -1;
    };

    void readInput() {
        char buffer[65536];
        const ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            return;
        if (n <= 0) {
            m_stdin.setEnabled(false);
            enqueue({Chunk{QByteArray(), m_script.value("lingerMs").toInt(0), 0}});
            return;
        }
        m_input.append(buffer, static_cast<int>(n));
        parseRequests();
    }

    void parseRequests() {
        for (;;) {
            const int colon = m_input.indexOf(':');
            if (colon < 0) {
                if (m_input.size() > 10)
                    badFraming();
                return;
            }
            bool ok = false;
            const int length = m_input.left(colon).toInt(&ok);
            if (!ok || colon > 10 || length < 0 || length > maxRequestSize) {
                badFraming();
                return;
            }
            if (m_input.size() < colon + 1 + length + 1)
                return;
            if (m_input.at(colon + 1 + length) != ',') {
                badFraming();
                return;
            }
            const QByteArray payload = m_input.mid(colon + 1, length);
            m_input.remove(0, colon + 1 + length + 1);
            handle(payload);
        }
    }

    void badFraming() {
        writeStderr(QJsonArray{"bad netstring from the client"});
        std::fflush(stdout);
        std::_Exit(4);
    }

    void record(const QJsonObject& entry) {
        if (!m_record.isOpen())
            return;
        m_record.write(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n');
        m_record.flush();
    }

    QJsonObject entryFor(const QString& method) {
        const QJsonValue value = m_methods.value(method);
        if (!value.isArray())
            return value.toObject();
        const QJsonArray entries = value.toArray();
        if (entries.isEmpty())
            return QJsonObject();
        const int used = m_used[method]++;
        return entries.at(qMin(used, entries.size() - 1)).toObject();
    }

    void handle(const QByteArray& payload) {
        ++m_requests;
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(payload, &parseError);
        if (!document.isObject()) {
            record(QJsonObject{{"unparsable", QString::fromUtf8(payload)}});
            exitIfDone();
            return;
        }
        const QJsonObject request = document.object();
        record(request);
        const QJsonValue id = request.value("id");
        const QString method = request.value("method").toString();
        const QJsonObject params = request.value("params").toObject();
        const QJsonObject entry = entryFor(method);
        writeStderr(entry.value("stderr"));

        QList<Chunk> out;
        const int delay = entry.value("delayMs").toInt(0);
        const QByteArray before = framed(entry.value("before"));
        if (!before.isEmpty())
            out.append(Chunk{before});
        int exitCode = entry.contains("exit") ? entry.value("exit").toInt() : -1;

        if (entry.contains("raw")) {
            out.append(Chunk{entry.value("raw").toString().toUtf8()});
        } else if (!entry.value("noReply").toBool() && !id.isUndefined() && !id.isNull()) {
            QJsonObject reply{{"jsonrpc", "2.0"}, {"id", entry.contains("id") ? entry.value("id") : id}};
            if (entry.contains("result") || entry.contains("error")) {
                // Both may be given: an answer that carries a result and an error.
                for (const char* key : {"result", "error"}) {
                    if (entry.contains(key))
                        reply.insert(key, entry.value(key));
                }
            } else if (method == "echo") {
                reply.insert("result", request.value("params"));
            } else if (method == "notify") {
                out.append(Chunk{frame(QJsonObject{{"jsonrpc", "2.0"},
                                                   {"method", params.value("method")},
                                                   {"params", params.value("params")}}),
                                 0});
                reply.insert("result", QJsonValue::Null);
            } else if (method == "exit") {
                reply.insert("result", QJsonValue::Null);
                exitCode = params.value("code").toInt();
            } else {
                const FakeServer::Answer answer = m_server.answer(method, params);
                reply.insert(answer.error.isUndefined() ? "result" : "error",
                             answer.error.isUndefined() ? answer.result : answer.error);
            }
            const QByteArray bytes = frame(reply);
            QList<int> cuts;
            for (const QJsonValue& at : entry.value("splitAt").toArray()) {
                // Negative offsets count from the end: -1 holds back the trailing comma.
                const int cut = at.toInt() < 0 ? bytes.size() + at.toInt() : at.toInt();
                if (cut > 0 && cut < bytes.size() && (cuts.isEmpty() || cut > cuts.last()))
                    cuts.append(cut);
            }
            cuts.append(bytes.size());
            const int splitDelay = entry.value("splitDelayMs").toInt(100);
            for (int i = 0, from = 0; i < cuts.size(); from = cuts[i], ++i)
                out.append(Chunk{bytes.mid(from, cuts[i] - from), i == 0 ? 0 : splitDelay});
            if (entry.value("duplicate").toBool())
                out.append(Chunk{bytes, 0});
        } else if (method == "exit") {
            exitCode = params.value("code").toInt();
        }
        const QByteArray after = framed(entry.value("after"));
        if (!after.isEmpty())
            out.append(Chunk{after, 0});
        if (exitCode >= 0)
            out.append(Chunk{QByteArray(), 0, exitCode});

        // A delayed answer waits on its own, so that later requests overtake it.
        if (delay > 0 && !out.isEmpty()) {
            QTimer::singleShot(delay, this, [this, out] { enqueue(out); });
        } else {
            enqueue(out);
        }
        exitIfDone();
    }

    void exitIfDone() {
        const QJsonObject exitAfter = m_script.value("exitAfter").toObject();
        if (!exitAfter.isEmpty() && m_requests == exitAfter.value("request").toInt())
            enqueue({Chunk{QByteArray(), 0, exitAfter.value("code").toInt()}});
    }

    void enqueue(const QList<Chunk>& chunks) {
        m_queue.append(chunks);
        if (!m_draining)
            drain();
    }

    void drain() {
        while (!m_queue.isEmpty()) {
            Chunk& next = m_queue.first();
            if (next.delayMs > 0) {
                const int wait = next.delayMs;
                next.delayMs = 0;
                m_draining = true;
                QTimer::singleShot(wait, this, [this] { drain(); });
                return;
            }
            const Chunk chunk = m_queue.takeFirst();
            if (!chunk.bytes.isEmpty())
                writeAll(chunk.bytes);
            if (chunk.exitCode >= 0) {
                std::fflush(stderr);
                std::_Exit(chunk.exitCode);
            }
        }
        m_draining = false;
    }

    QJsonObject m_script;
    QJsonObject m_methods;
    QFile m_record;
    QSocketNotifier m_stdin;
    QByteArray m_input;
    FakeServer m_server;
    QHash<QString, int> m_used;
    QList<Chunk> m_queue;
    bool m_draining = false;
    int m_requests = 0;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
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
    if (script.contains("chatter"))
        chatter = script.value("chatter").toString();

    writeStderr(stderrText);
    writeStderr(script.value("stderr"));
    writeAll(chatter.toUtf8());
    if (exitBeforeMarker >= 0)
        return exitBeforeMarker;
    writeAll(startMarker + framed(script.value("greeting")));

    Interface interface(script, recordPath);
    return app.exec();
}
