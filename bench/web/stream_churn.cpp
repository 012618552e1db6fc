// The manager's web connection (main window, session page, session model and screenshots) against a
// server whose event stream closes as soon as it is accepted: prints every two seconds the resident
// memory, the live QObjects (with the classes that grew since the first sample) and the length of the
// instance log; at the end the server promises still alive, and the resident memory once the
// allocator has given back what was freed. Run by bench/stream-churn.sh.
//   stream_churn URL SECONDS [MIN-RETRY-MS]
// MIN-RETRY-MS shortens the stream's shortest wait before a reopen (0: at once).

#include "app/MainWindow.h"
#include "connections/ConnectionWindow.h"
#include "rpc/RpcInstanceWeb.h"
#include "rpc/ServerSentEvents.h"
#include "sessions/SessionListWidget.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QMap>
#include <QMessageBox>
#include <QMutex>
#include <QSet>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <malloc.h>

// Qt's hooks for tools that follow every QObject (as debuggers' helpers do): indices 3 and 4 of this
// array are called from each QObject's constructor and destructor.
extern quintptr Q_DECL_IMPORT qtHookData[];

namespace {

constexpr int addObjectHook = 3;
constexpr int removeObjectHook = 4;

// Objects are made and destroyed on the network threads too.
QMutex liveLock;
QSet<QObject*> liveObjects;

void addObject(QObject* o) {
    QMutexLocker lock(&liveLock);
    liveObjects.insert(o);
}

void removeObject(QObject* o) {
    QMutexLocker lock(&liveLock);
    liveObjects.remove(o);
}

long residentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

QMap<QByteArray, int> objectsByClass() {
    QMutexLocker lock(&liveLock);
    QMap<QByteArray, int> counts;
    for (QObject* o : qAsConst(liveObjects))
        counts[o->metaObject()->className()]++;
    return counts;
}

QMap<QString, int> promisesByMethod() {
    QMutexLocker lock(&liveLock);
    QMap<QString, int> counts;
    for (QObject* o : qAsConst(liveObjects))
        if (auto* p = qobject_cast<RpcPromiseBase*>(o))
            counts[QStringLiteral("%1%2").arg(p->method,
                                              p->pending ? QStringLiteral(" (pending)") : QString())]++;
    return counts;
}

} // namespace

int main(int argc, char** argv) {
    qtHookData[addObjectHook] = reinterpret_cast<quintptr>(&addObject);
    qtHookData[removeObjectHook] = reinterpret_cast<quintptr>(&removeObject);
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\nvelnor.rpc.critical=false"));
    if (argc < 3) {
        std::fprintf(stderr, "usage: stream_churn URL SECONDS [MIN-RETRY-MS]\n");
        return 2;
    }
    const QUrl url(QString::fromLocal8Bit(argv[1]));
    const int seconds = QByteArray(argv[2]).toInt();
    const int minRetry = argc > 3 ? QByteArray(argv[3]).toInt() : -1;

    QTemporaryDir root;
    QDir(root.path()).mkpath(QStringLiteral("user"));
    QDir(root.path()).mkpath(QStringLiteral("system"));
    const QString file = root.filePath(QStringLiteral("user/churn.velnor"));
    QJsonObject json{{"type", "https"},    {"name", "churn"},  {"host", url.host()},
                     {"port", url.port()}, {"user", "tester"}, {"ignoreSslErrors", true}};
    QFile connectionFile(file);
    if (!connectionFile.open(QIODevice::WriteOnly) || connectionFile.write(QJsonDocument(json).toJson()) < 0)
        return 1;
    connectionFile.close();
    json.insert("filename", file);

    MainWindow window(&app, root.filePath(QStringLiteral("user")), root.filePath(QStringLiteral("system")));
    window.show();
    // The message of the day and any other box is answered at once.
    QTimer boxes;
    QObject::connect(&boxes, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->done(QMessageBox::Ok);
    });
    boxes.start(50);
    window.openConnectionList();
    auto* list = qobject_cast<ConnectionWindow*>(window.tabWidget()->currentWidget());
    if (!list)
        return 1;
    list->runConnection(json, true);

    QElapsedTimer clock;
    QMap<QByteArray, int> first;
    long firstKb = 0;
    QPointer<ServerSentEvents> tuned;
    int opens = 0; // streams the server accepted
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
        auto* page = window.findChild<SessionListWidget*>();
        auto* web = page ? qobject_cast<RpcInstanceWeb*>(page->rpc().data()) : nullptr;
        if (!web || !web->events())
            return; // not signed in yet
        if (tuned != web->events()) {
            tuned = web->events();
            QObject::connect(tuned, &ServerSentEvents::reconnected, [&opens] { ++opens; });
            if (minRetry >= 0) {
                tuned->setMinimumRetryDelay(minRetry);
                tuned->setLongRetryDelay(minRetry);
            }
        }
        const QMap<QByteArray, int> now = objectsByClass();
        if (!clock.isValid()) {
            clock.start();
            first = now;
            firstKb = residentKb();
        }
        int live = 0;
        QByteArray grown;
        for (auto it = now.cbegin(); it != now.cend(); ++it) {
            live += it.value();
            if (it.value() > first.value(it.key()) + 2)
                grown += ' ' + it.key() + '+' + QByteArray::number(it.value() - first.value(it.key()));
        }
        const long kb = residentKb();
        std::printf("%5lld s  streams %6d  rss %6ld kB (%+ld)  objects %6d  log %4d%s\n",
                    clock.elapsed() / 1000, opens, kb, kb - firstKb, live, int(web->log().size()),
                    grown.constData());
        std::fflush(stdout);
        if (clock.elapsed() >= seconds * 1000LL) {
            const QMap<QString, int> promises = promisesByMethod();
            for (auto it = promises.cbegin(); it != promises.cend(); ++it)
                std::printf("  %5d promises of %s\n", it.value(), qPrintable(it.key()));
            // What the allocator keeps of memory already freed, apart from what is still in use.
            malloc_trim(0);
            std::printf("  rss %ld kB once freed memory is given back to the system\n", residentKb());
            app.quit();
        }
    });
    sample.start(2000);
    return app.exec();
}
