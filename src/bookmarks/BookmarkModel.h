#pragma once

#include "bookmarks/Bookmark.h"

#include <QAbstractTableModel>
#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QVector>

class QTimer;
class RpcInstance;
template <typename T>
class RpcPromise;

// The bookmarks of one server as a table, in id order. Fetched at once and every 10 s; the user's
// edits show at once and go to the server, whose reply (the complete list) is merged once no
// request has been sent for 500 ms.
class BookmarkModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Role { BookmarkRole = 257, SortRole = 258 };

    static constexpr int refreshInterval = 10000;
    static constexpr int settleInterval = 500;

    // Column keys: "name", "type", "command", "geometry", "presentation"; any other key is an empty column.
    BookmarkModel(const QVector<QString>& columns, const QSharedPointer<RpcInstance>& rpc,
                  QObject* parent = nullptr);
    ~BookmarkModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    QList<Bookmark> bookmarks() const { return m_bookmarks; }

    void fetch();
    void editBookmark(const Bookmark& bookmark);
    void deleteBookmark(int row);
    void favorite(const QString& id);
    void unfavorite(const QString& id);
    // Inserts a new bookmark and sends it; an invalid index (and nothing sent) when its id is taken.
    QModelIndex addBookmark(const Bookmark& bookmark);

    // Takes a list as the answer to the latest request: merged now, or when the settle time ends.
    void setFetchedList(const QList<Bookmark>& list);
    // Brings the rows to the list (sorted by id, one entry per id) with the fewest row signals.
    void mergeList(QList<Bookmark> list);

    static QString displayGeometry(const QString& geometry);

    QTimer* refreshTimer() const { return m_refreshTimer; }
    // Running while a request is younger than the settle time.
    QTimer* settleTimer() const { return m_settleTimer; }

signals:
    void bookmarkChanged(QModelIndex index);
    void bookmarksUpdated();
    void favoriteUpdated(bool isFavorite);

private:
    enum class Request { Fetch, Edit, Delete, Favorite, Unfavorite };

    // A change shown here before the server answered it. A list that the server may have made
    // before it took the change gets the change again when merged. A change goes once a list
    // surely holds it, once it fails, and once a later change of the same bookmark is answered.
    struct Change {
        quint64 request = 0;
        quint64 answeredAt = 0; // the latest request number when the answer came; 0: unanswered
        bool remove = false;
        Bookmark bookmark; // what a put stores; a removal only reads the id
    };

    quint64 track(RpcPromise<QList<Bookmark>>* promise, Request kind);
    void settled();
    // The change sent with request `request`, if any, succeeded.
    void changeAnswered(quint64 request);
    // Puts the changes that the list of request `request` may lack back into it.
    QList<Bookmark> withChanges(QList<Bookmark> list, quint64 request);
    QString columnKey(int column) const;

    QVector<QString> m_columns;
    QSharedPointer<RpcInstance> m_rpc;
    QList<Bookmark> m_bookmarks;
    QList<Bookmark> m_fetched;
    bool m_haveFetched = false; // m_fetched answers the latest request and is not merged yet
    QTimer* m_refreshTimer = nullptr;
    QTimer* m_settleTimer = nullptr;
    quint64 m_lastRequest = 0;
    quint64 m_fetchedRequest = 0; // the request that m_fetched answers
    QList<Change> m_changes;
};
