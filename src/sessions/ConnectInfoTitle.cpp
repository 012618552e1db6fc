#include "sessions/ConnectInfoTitle.h"

#include <QCoreApplication>

QString connectInfoTitle(const ConnectInfo& info) {
    const QString name = info.param(QStringLiteral("name")).toString();
    if (!name.isEmpty())
        return name;
    return QCoreApplication::translate("Joining", "%1").arg(info.id());
}
