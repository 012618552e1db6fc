#include "sessions/ViewerRegistry.h"

#include "viewer/engine/RdpInstance.h"

#include <QList>
#include <QPair>

namespace {

using Entry = QPair<QString, RdpInstance*>;

QList<Entry>& entries() {
    static QList<Entry> list;
    return list;
}

} // namespace

void registerViewer(const QString& id, RdpInstance* instance) {
    if (!instance)
        return;
    entries().append(Entry(id, instance));
    QObject::connect(instance, &RdpInstance::finished, [id, instance] { unregisterViewer(id, instance); });
    // A viewer destroyed without finishing must not be found afterwards either.
    QObject::connect(instance, &QObject::destroyed, [id, instance] { unregisterViewer(id, instance); });
}

RdpInstance* findViewer(const QString& id) {
    const QList<Entry>& list = entries();
    for (int i = list.size() - 1; i >= 0; --i) {
        if (list.at(i).first == id)
            return list.at(i).second;
    }
    return nullptr;
}

int unregisterViewer(const QString& id, RdpInstance* instance) {
    return entries().removeAll(Entry(id, instance));
}
