#pragma once

#include <QSortFilterProxyModel>
#include <QString>

// Passes the bookmarks that carry one tag (category tags included); start-history entries never
// pass. The owner sets the filter role to the whole-record role of the bookmark model.
class BookmarkTagProxyModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit BookmarkTagProxyModel(QObject* parent = nullptr);
    ~BookmarkTagProxyModel() override;

    QString tag() const { return m_tag; }
    void setTag(const QString& tag);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    QString m_tag;
};
