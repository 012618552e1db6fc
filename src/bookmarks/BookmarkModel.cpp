#include "bookmarks/BookmarkModel.h"

#include "bookmarks/PromiseLifetime.h"
#include "rpc/RpcInstance.h"
#include "rpc/RpcPromise.h"

#include <QIcon>
#include <QPixmap>
#include <QTimer>

#include <algorithm>

static void initBookmarkModelResources() {
    Q_INIT_RESOURCE(BookmarkModelResources);
}

namespace {

const QString rootless = QStringLiteral("rootless");
const QString multiple = QStringLiteral("Multiple");

bool byId(const Bookmark& a, const Bookmark& b) {
    return a.id() < b.id();
}

QIcon iconOf(const QImage& stored) {
    QImage image = stored;
    if (image.isNull())
        image.load(QStringLiteral(":/images/resources/suggestion.png"));
    const QPixmap pixmap = QPixmap::fromImage(image);
    QIcon icon;
    if (pixmap.isNull())
        return icon;
    for (const int height : {64, 96, 128})
        icon.addPixmap(pixmap.scaledToHeight(height, Qt::FastTransformation));
    icon.addPixmap(pixmap);
    return icon;
}

} // namespace

BookmarkModel::BookmarkModel(const QVector<QString>& columns, const QSharedPointer<RpcInstance>& rpc,
                             QObject* parent)
    : QAbstractTableModel(parent)
    , m_columns(columns)
    , m_rpc(rpc)
    , m_refreshTimer(new QTimer(this))
    , m_settleTimer(new QTimer(this)) {
    initBookmarkModelResources();
    connect(m_refreshTimer, &QTimer::timeout, this, &BookmarkModel::fetch);
    connect(m_settleTimer, &QTimer::timeout, this, &BookmarkModel::settled);
    m_refreshTimer->setInterval(refreshInterval);
    m_settleTimer->setInterval(settleInterval);
    m_settleTimer->setSingleShot(true);
    m_refreshTimer->start();
    fetch();
}

BookmarkModel::~BookmarkModel() = default;

QString BookmarkModel::columnKey(int column) const {
    return m_columns.value(column);
}

QString BookmarkModel::displayGeometry(const QString& geometry) {
    return geometry == rootless ? multiple : geometry;
}

// A table: its rows have no children of their own.
int BookmarkModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_bookmarks.size();
}

int BookmarkModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_columns.size();
}

QVariant BookmarkModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= m_bookmarks.size() || index.column() < 0 ||
        index.column() >= m_columns.size())
        return QVariant();
    const Bookmark& b = m_bookmarks.at(index.row());
    if (role == BookmarkRole)
        return QVariant::fromValue(b);
    const QString key = columnKey(index.column());

    QString text;
    bool editable = true;
    if (key == QLatin1String("name")) {
        text = b.name();
    } else if (key == QLatin1String("type")) {
        text = b.type();
        editable = false;
    } else if (key == QLatin1String("command")) {
        text = b.command();
    } else if (key == QLatin1String("geometry")) {
        text = displayGeometry(b.geometry());
    } else if (key == QLatin1String("presentation")) {
        text = b.name().isEmpty() ? b.command() : b.name();
        editable = false;
        if (role == Qt::DecorationRole)
            return iconOf(b.icon());
        if (role == Qt::ToolTipRole)
            return b.command();
    } else {
        return QVariant();
    }
    switch (role) {
    case Qt::DisplayRole:
        return text;
    case Qt::EditRole:
        return editable ? QVariant(text) : QVariant();
    case SortRole:
        return text + b.id();
    default:
        return QVariant();
    }
}

bool BookmarkModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole || index.row() < 0 || index.row() >= m_bookmarks.size() ||
        index.column() < 0 || index.column() >= m_columns.size())
        return false;
    const QString key = columnKey(index.column());
    const QString text = value.toString();
    Bookmark& b = m_bookmarks[index.row()];
    if (key == QLatin1String("name"))
        b.setName(text);
    else if (key == QLatin1String("command"))
        b.setCommand(text);
    else if (key == QLatin1String("geometry"))
        b.setGeometry(text == multiple ? rootless : text);
    else
        return false;

    editBookmark(b);
    emit dataChanged(index, index, {});
    emit bookmarkChanged(this->index(index.row(), 0));
    emit bookmarksUpdated();
    return true;
}

QVariant BookmarkModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= m_columns.size())
        return QVariant();
    const QString key = columnKey(section);
    if (key == QLatin1String("name"))
        return tr("Name");
    if (key == QLatin1String("type"))
        return tr("Type");
    if (key == QLatin1String("command"))
        return tr("Command");
    if (key == QLatin1String("geometry"))
        return tr("Window Size");
    return QVariant();
}

Qt::ItemFlags BookmarkModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && index.row() < m_bookmarks.size() && index.column() < m_columns.size()) {
        const QString key = columnKey(index.column());
        if (key == QLatin1String("name") || key == QLatin1String("command") || key == QLatin1String("geometry"))
            f |= Qt::ItemIsEditable;
    }
    return f;
}

void BookmarkModel::fetch() {
    track(m_rpc->bookmarkList(), Request::Fetch);
}

void BookmarkModel::editBookmark(const Bookmark& bookmark) {
    Change change;
    change.bookmark = bookmark;
    change.request = track(m_rpc->editBookmark(bookmark), Request::Edit);
    m_changes.append(change);
}

void BookmarkModel::favorite(const QString& id) {
    track(m_rpc->favoriteBookmark(id), Request::Favorite);
}

void BookmarkModel::unfavorite(const QString& id) {
    track(m_rpc->unfavoriteBookmark(id), Request::Unfavorite);
}

void BookmarkModel::deleteBookmark(int row) {
    if (row < 0 || row >= m_bookmarks.size())
        return;
    Change change;
    change.remove = true;
    change.bookmark = m_bookmarks.at(row);
    change.request = track(m_rpc->deleteBookmark(m_bookmarks.at(row).id()), Request::Delete);
    m_changes.append(change);
    beginRemoveRows(QModelIndex(), row, row);
    m_bookmarks.removeAt(row);
    endRemoveRows();
    emit bookmarksUpdated();
}

QModelIndex BookmarkModel::addBookmark(const Bookmark& bookmark) {
    const auto at = std::lower_bound(m_bookmarks.begin(), m_bookmarks.end(), bookmark, byId);
    const int row = int(at - m_bookmarks.begin());
    if (at != m_bookmarks.end() && at->id() == bookmark.id())
        return QModelIndex();
    editBookmark(bookmark);
    beginInsertRows(QModelIndex(), row, row);
    m_bookmarks.insert(row, bookmark);
    endInsertRows();
    emit bookmarksUpdated();
    return index(row, 0);
}

quint64 BookmarkModel::track(RpcPromise<QList<Bookmark>>* promise, Request kind) {
    const quint64 request = ++m_lastRequest;
    // A list fetched before this request may not show its change yet.
    m_haveFetched = false;
    m_settleTimer->start();
    if (!promise)
        return request;
    deleteWhenSettled(promise, this);
    connect(promise, &RpcPromiseBase::succeeded, this, [this, promise, kind, request] {
        changeAnswered(request);
        // Only the answer to the latest request can hold every change made so far.
        if (request == m_lastRequest)
            setFetchedList(promise->value);
        if (kind == Request::Favorite)
            emit favoriteUpdated(true);
        else if (kind == Request::Unfavorite)
            emit favoriteUpdated(false);
    });
    connect(promise, &RpcPromiseBase::failed, this, [this, kind, request](const QString&, const QString& message) {
        m_changes.erase(std::remove_if(m_changes.begin(), m_changes.end(),
                                       [request](const Change& change) { return change.request == request; }),
                        m_changes.end());
        QString line;
        switch (kind) {
        case Request::Fetch:
            line = tr("Failed to get bookmarks: %1");
            break;
        case Request::Edit:
            line = tr("Failed to edit a bookmark: %1");
            break;
        case Request::Delete:
            line = tr("Failed to delete a bookmark: %1");
            break;
        case Request::Favorite:
            line = tr("Failed to favorite a bookmark: %1");
            break;
        case Request::Unfavorite:
            line = tr("Failed to unfavorite a bookmark: %1");
            break;
        }
        m_rpc->appendLog(line.arg(message));
        // A refused change must not look accepted: bring the server's view back now.
        if (kind != Request::Fetch)
            fetch();
    });
    return request;
}

void BookmarkModel::setFetchedList(const QList<Bookmark>& list) {
    m_fetched = list;
    m_fetchedRequest = m_lastRequest;
    m_haveFetched = true;
    if (!m_settleTimer->isActive())
        settled();
}

void BookmarkModel::settled() {
    if (!m_haveFetched)
        return;
    m_haveFetched = false;
    mergeList(withChanges(m_fetched, m_fetchedRequest));
}

void BookmarkModel::changeAnswered(quint64 request) {
    const auto own = std::find_if(m_changes.begin(), m_changes.end(),
                                  [request](const Change& change) { return change.request == request; });
    if (own == m_changes.end())
        return;
    own->answeredAt = m_lastRequest;
    // The server has taken a later change of this bookmark, which replaces whatever the older ones
    // did: putting one of those back into a list would undo the user's later edit or delete.
    const QString id = own->bookmark.id();
    m_changes.erase(std::remove_if(m_changes.begin(), m_changes.end(),
                                   [request, &id](const Change& change) {
                                       return change.request < request && change.bookmark.id() == id;
                                   }),
                    m_changes.end());
}

QList<Bookmark> BookmarkModel::withChanges(QList<Bookmark> list, quint64 request) {
    // A change's own answer holds it. A list asked for later but before that answer came may have
    // been made before the server took the change; one asked for after the answer holds it for sure.
    // Changes go back in the order they were made, so the latest one of a bookmark decides its row.
    for (const Change& change : qAsConst(m_changes)) {
        if (change.request >= request || (change.answeredAt != 0 && request > change.answeredAt))
            continue;
        const QString id = change.bookmark.id();
        list.erase(std::remove_if(list.begin(), list.end(), [&id](const Bookmark& b) { return b.id() == id; }),
                   list.end());
        if (!change.remove)
            list.append(change.bookmark);
    }
    m_changes.erase(std::remove_if(m_changes.begin(), m_changes.end(),
                                   [request](const Change& change) {
                                       return change.answeredAt != 0 && request > change.answeredAt;
                                   }),
                    m_changes.end());
    return list;
}

void BookmarkModel::mergeList(QList<Bookmark> list) {
    std::stable_sort(list.begin(), list.end(), byId);
    list.erase(std::unique(list.begin(), list.end(),
                           [](const Bookmark& a, const Bookmark& b) { return a.id() == b.id(); }),
               list.end());

    bool changed = false;
    int r = 0;
    int next = 0;
    while (r < m_bookmarks.size() && next < list.size()) {
        const Bookmark& incoming = list.at(next);
        const QString oldId = m_bookmarks.at(r).id();
        if (oldId < incoming.id()) {
            beginRemoveRows(QModelIndex(), r, r);
            m_bookmarks.removeAt(r);
            endRemoveRows();
            changed = true;
        } else if (incoming.id() < oldId) {
            beginInsertRows(QModelIndex(), r, r);
            m_bookmarks.insert(r, incoming);
            endInsertRows();
            changed = true;
            ++r;
            ++next;
        } else {
            const Bookmark old = m_bookmarks.at(r);
            m_bookmarks[r] = incoming;
            for (int c = 0; c < m_columns.size(); ++c) {
                const QString& key = m_columns.at(c);
                const bool differs = (key == QLatin1String("name") && old.name() != incoming.name()) ||
                                     (key == QLatin1String("type") && old.type() != incoming.type()) ||
                                     (key == QLatin1String("command") && old.command() != incoming.command()) ||
                                     (key == QLatin1String("geometry") && old.geometry() != incoming.geometry());
                if (differs)
                    emit dataChanged(index(r, c), index(r, c), {});
            }
            if (old != incoming) {
                changed = true;
                emit bookmarkChanged(index(r, 0));
            }
            ++r;
            ++next;
        }
    }
    // Only one side can have entries left: new ones go at the end, old ones past r go.
    for (; next < list.size(); ++next, ++r) {
        beginInsertRows(QModelIndex(), r, r);
        m_bookmarks.append(list.at(next));
        endInsertRows();
        changed = true;
    }
    while (r < m_bookmarks.size()) {
        beginRemoveRows(QModelIndex(), r, r);
        m_bookmarks.removeAt(r);
        endRemoveRows();
        changed = true;
    }
    if (changed)
        emit bookmarksUpdated();
}
