// Fuzzes the reply converters with one JSON reply: as the result of a session list, a bookmark list,
// sharing data and a connect reply, and as the error of a failed request.
//
// Checks: every converted list is no longer than the reply has entries, sessions have ids, and each
// promise settles exactly once, whatever the value is.

#include "rpc/ResultConverters.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <cstddef>
#include <cstdint>

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

template <typename T>
struct Settled {
    int count = 0;
    bool ok = false;
    QString name;
};

template <typename T>
void watch(RpcPromise<T>* promise, Settled<T>& settled) {
    QObject::connect(promise, &RpcPromiseBase::succeeded, [&settled] {
        ++settled.count;
        settled.ok = true;
    });
    QObject::connect(promise, &RpcPromiseBase::failed,
                     [&settled](const QString& name, const QString&, const QVariantMap&) {
                         ++settled.count;
                         settled.name = name;
                     });
}

template <typename T, typename Convert>
void settleOnce(const QJsonValue& result, const QJsonValue& error, Convert convert) {
    RpcPromise<T> promise(QStringLiteral("/fuzz"), nullptr);
    Settled<T> settled;
    watch(&promise, settled);
    convert(RpcPromiseRef<T>(&promise), result, error);
    check(settled.count == 1 && promise.isSettled());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    QLoggingCategory::setFilterRules(QStringLiteral("velnor.*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)));
    const QJsonValue value = document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    const QJsonObject object = document.object();

    const QList<Session> sessions = sessionListFromJson(document.array());
    check(sessions.size() <= document.array().size());
    for (const Session& s : sessions)
        check(!s.id().isEmpty());

    const QList<Bookmark> bookmarks = bookmarkListFromJson(object);
    int entries = 0;
    for (const char* key : {"system", "user", "suggestions", "history"})
        entries += object.value(QLatin1String(key)).toArray().size();
    check(bookmarks.size() <= entries);

    const SharingData sharing = SharingData::fromJson(object);
    check(sharing.users.size() + sharing.groups.size() <= int(size));
    (void)ConnectInfo::fromJson(object);
    (void)serviceInfoFromJson(object);

    // The same value as the result, and as the error of a reply without result.
    for (const auto& [result, error] : {std::pair{value, QJsonValue()}, std::pair{QJsonValue(), value}}) {
        settleOnce<QList<Session>>(result, error, [](auto p, auto r, auto e) { resolveSessionList(nullptr, p, r, e); });
        settleOnce<QList<Bookmark>>(result, error, [](auto p, auto r, auto e) { resolveBookmarkList(nullptr, p, r, e); });
        settleOnce<SharingData>(result, error, [](auto p, auto r, auto e) { resolveSharingData(nullptr, p, r, e); });
        settleOnce<ConnectInfo>(result, error, [](auto p, auto r, auto e) {
            resolveConnectInfo(nullptr, p, r, e, QStringLiteral("fallback"));
        });
    }
    return 0;
}
