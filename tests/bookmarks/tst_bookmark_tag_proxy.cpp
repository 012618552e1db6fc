#include "bookmarks/BookmarkTagProxyModel.h"

#include "bookmarks/Bookmark.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardItemModel>
#include <QTest>

namespace {

constexpr int bookmarkRole = 257;

// A source with one row per bookmark: "type:id:tag,tag", a trailing "*" marks a favourite.
void fill(QStandardItemModel& source, const QStringList& rows) {
    for (const QString& row : rows) {
        const QStringList parts = row.split(':');
        QString id = parts.value(1);
        const bool favorite = id.endsWith('*');
        id.remove('*');
        Bookmark b = Bookmark::fromJson(QJsonObject{
            {"id", id}, {"tags", QJsonArray::fromStringList(parts.value(2).split(',', Qt::SkipEmptyParts))}});
        b.setType(parts.value(0));
        b.setFavorite(favorite);
        auto* item = new QStandardItem(id);
        item->setData(QVariant::fromValue(b), bookmarkRole);
        source.appendRow(item);
    }
}

} // namespace

class TestBookmarkTagProxy : public QObject {
    Q_OBJECT
private slots:
    void filter_data();
    void filter();
};

void TestBookmarkTagProxy::filter_data() {
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("role");
    QTest::addColumn<QStringList>("passed");
    QTest::newRow("no tag: all but history") << "" << bookmarkRole << QStringList{"u", "s", "t"};
    QTest::newRow("favourites: not the favourite history entry") << "Favorites" << bookmarkRole << QStringList{"s"};
    QTest::newRow("own tag, case-sensitive") << "favorites" << bookmarkRole << QStringList{"t"};
    QTest::newRow("category") << "Global Bookmarks" << bookmarkRole << QStringList{"s"};
    QTest::newRow("another role: nothing") << "" << int(Qt::DisplayRole) << QStringList();
}

void TestBookmarkTagProxy::filter() {
    QFETCH(QString, tag);
    QFETCH(int, role);
    QFETCH(QStringList, passed);
    QStandardItemModel source;
    fill(source, {"bookmark:u:", "suggestion:s*:Games", "history:h*:favorites", "bookmark:t:favorites", "bookmark::"});
    BookmarkTagProxyModel proxy;
    proxy.setSourceModel(&source);
    proxy.setFilterRole(role);
    proxy.setTag(tag);
    QStringList ids;
    for (int row = 0; row < proxy.rowCount(); ++row)
        ids.append(proxy.index(row, 0).data().toString());
    QCOMPARE(ids, passed);
}

QTEST_MAIN(TestBookmarkTagProxy)
#include "tst_bookmark_tag_proxy.moc"
