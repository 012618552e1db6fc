#include "bookmarks/SharingData.h"

#include <QJsonArray>
#include <QJsonValue>

namespace {

QVector<ShareMember> readMembers(const QJsonValue& value) {
    QVector<ShareMember> members;
    for (const QJsonValue& entry : value.toArray())
        members.append(ShareMember::fromJson(entry.toObject()));
    return members;
}

} // namespace

ShareMember ShareMember::fromJson(const QJsonObject& object) {
    return ShareMember{object.value(QLatin1String("name")).toString(),
                       object.value(QLatin1String("role")).toString()};
}

SharingData SharingData::fromJson(const QJsonObject& object) {
    SharingData data;
    data.users = readMembers(object.value(QLatin1String("users")));
    data.groups = readMembers(object.value(QLatin1String("groups")));
    data.sharingKey = object.value(QLatin1String("sharingKey")).toString();
    const QJsonObject pub = object.value(QLatin1String("public")).toObject();
    data.publicEnabled = !pub.value(QLatin1String("visibility")).toString().isEmpty();
    data.publicRole = pub.value(QLatin1String("role")).toString();
    return data;
}
