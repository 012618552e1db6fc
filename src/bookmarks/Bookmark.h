#pragma once

#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

// Bookmark types and category tags; data, not translated.
extern const QString BookmarkType;
extern const QString SuggestionType;
extern const QString HistoryType;
extern const QString AllBookmarksTag;
extern const QString MyBookmarksTag;
extern const QString GlobalBookmarksTag;
extern const QString FavoritesTag;

// One stored session command: a user bookmark, a system-wide suggestion or a start-history entry.
class Bookmark {
public:
    Bookmark() = default;

    static Bookmark fromJson(const QJsonObject& object);
    // The record a variant holds, converted when possible, else an invalid bookmark.
    static Bookmark fromVariant(const QVariant& variant);

    QString id() const { return m_id; }
    QString type() const { return m_type; }
    QString name() const { return m_name; }
    QString command() const { return m_command; }
    QString geometry() const { return m_geometry; }
    QString profile() const { return m_profile; }
    QStringList form() const { return m_form; }
    QStringList tags() const { return m_tags; }
    QVariantMap params() const { return m_params; }
    QImage icon() const { return m_icon; }
    bool isFavorite() const { return m_favorite; }

    void setId(const QString& id) { m_id = id; }
    void setType(const QString& type) { m_type = type; }
    void setName(const QString& name) { m_name = name; }
    void setCommand(const QString& command) { m_command = command; }
    void setGeometry(const QString& geometry) { m_geometry = geometry; }
    void setFavorite(bool favorite) { m_favorite = favorite; }

    bool isValid() const { return !m_id.isEmpty(); }

    // The own tags followed by the category tags.
    QStringList allTags() const;

    // The tags a tag chooser offers for these bookmarks: their own tags sorted, then the categories
    // present ("Global Bookmarks" unless hidden holds "system", "My Bookmarks"), then "All Bookmarks"
    // unless hidden holds "all".
    static QStringList availableTags(const QList<Bookmark>& bookmarks, const QJsonArray& hidden);

    // params takes no part in equality.
    bool operator==(const Bookmark& other) const;
    bool operator!=(const Bookmark& other) const { return !(*this == other); }

private:
    QString m_id;
    QString m_type;
    QString m_name;
    QString m_command;
    QString m_geometry;
    QString m_profile;
    QStringList m_form;
    QStringList m_tags;
    QVariantMap m_params;
    QImage m_icon;
    bool m_favorite = false;
};

Q_DECLARE_METATYPE(Bookmark)
