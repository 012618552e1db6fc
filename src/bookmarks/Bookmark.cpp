#include "bookmarks/Bookmark.h"

#include "bookmarks/DataUrlImage.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QSet>

#include <algorithm>

const QString BookmarkType = QStringLiteral("bookmark");
const QString SuggestionType = QStringLiteral("suggestion");
const QString HistoryType = QStringLiteral("history");
const QString AllBookmarksTag = QStringLiteral("All Bookmarks");
const QString MyBookmarksTag = QStringLiteral("My Bookmarks");
const QString GlobalBookmarksTag = QStringLiteral("Global Bookmarks");
const QString FavoritesTag = QStringLiteral("Favorites");

namespace {

void registerOnce() {
    qRegisterMetaType<Bookmark>("Bookmark");
}

} // namespace

Q_CONSTRUCTOR_FUNCTION(registerOnce)

Bookmark Bookmark::fromJson(const QJsonObject& object) {
    Bookmark b;
    auto readString = [&object](const char* key, QString& field) {
        const QJsonValue v = object.value(QLatin1String(key));
        if (v.isString())
            field = v.toString();
    };
    readString("id", b.m_id);
    readString("name", b.m_name);
    readString("command", b.m_command);

    const QJsonValue form = object.value(QLatin1String("form"));
    if (form.isString()) {
        b.m_form = QStringList{form.toString()};
    } else if (form.isArray()) {
        for (const QJsonValue& entry : form.toArray())
            b.m_form.append(entry.toString());
    }

    readString("geometry", b.m_geometry);
    readString("profile", b.m_profile);

    const QJsonValue tags = object.value(QLatin1String("tags"));
    if (tags.isArray()) {
        for (const QJsonValue& entry : tags.toArray())
            b.m_tags.append(entry.toString());
    }

    const QJsonValue icon = object.value(QLatin1String("icon"));
    if (icon.isString())
        b.m_icon = imageFromPngDataUrl(icon.toString());

    const QJsonValue params = object.value(QLatin1String("params"));
    if (params.isObject())
        b.m_params = params.toObject().toVariantMap();
    return b;
}

Bookmark Bookmark::fromVariant(const QVariant& variant) {
    if (variant.canConvert<Bookmark>())
        return variant.value<Bookmark>();
    return Bookmark();
}

QStringList Bookmark::allTags() const {
    QStringList result = m_tags;
    if (m_type == SuggestionType)
        result.append(GlobalBookmarksTag);
    if (m_type == BookmarkType)
        result.append(MyBookmarksTag);
    if (m_favorite)
        result.append(FavoritesTag);
    result.append(AllBookmarksTag);
    return result;
}

QStringList Bookmark::availableTags(const QList<Bookmark>& bookmarks, const QJsonArray& hidden) {
    QSet<QString> tags;
    for (const Bookmark& b : bookmarks) {
        for (const QString& tag : b.allTags())
            tags.insert(tag);
    }
    const bool global = tags.remove(GlobalBookmarksTag);
    const bool mine = tags.remove(MyBookmarksTag);
    tags.remove(AllBookmarksTag);

    QStringList result(tags.begin(), tags.end());
    // Plain code-unit order: upper case before lower case.
    std::sort(result.begin(), result.end());
    if (global && !hidden.contains(QStringLiteral("system")))
        result.append(GlobalBookmarksTag);
    if (mine)
        result.append(MyBookmarksTag);
    if (!hidden.contains(QStringLiteral("all")))
        result.append(AllBookmarksTag);
    result.removeAll(QString());
    return result;
}

bool Bookmark::operator==(const Bookmark& other) const {
    return m_id == other.m_id && m_type == other.m_type && m_name == other.m_name &&
           m_command == other.m_command && m_form == other.m_form && m_geometry == other.m_geometry &&
           m_profile == other.m_profile && allTags() == other.allTags() && m_icon == other.m_icon;
}
