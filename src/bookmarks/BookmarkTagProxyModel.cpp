#include "bookmarks/BookmarkTagProxyModel.h"

#include "bookmarks/Bookmark.h"

BookmarkTagProxyModel::BookmarkTagProxyModel(QObject* parent)
    : QSortFilterProxyModel(parent) {}

BookmarkTagProxyModel::~BookmarkTagProxyModel() = default;

void BookmarkTagProxyModel::setTag(const QString& tag) {
    m_tag = tag;
    invalidateFilter();
}

bool BookmarkTagProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    const QAbstractItemModel* source = sourceModel();
    if (!source)
        return false;
    const QModelIndex index = source->index(sourceRow, filterKeyColumn(), sourceParent);
    const Bookmark b = Bookmark::fromVariant(source->data(index, filterRole()));
    if (!b.isValid() || b.type() == HistoryType)
        return false;
    return m_tag.isEmpty() || b.allTags().contains(m_tag, Qt::CaseSensitive);
}
