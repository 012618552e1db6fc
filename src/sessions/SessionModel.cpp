#include "sessions/SessionModel.h"

#include "bookmarks/PromiseLifetime.h"
#include "rpc/RpcInstance.h"
#include "sessions/SessionTexts.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

namespace {

const QString nameKey = QStringLiteral("name");
const QString connectionsKey = QStringLiteral("connections");
const QString uptimeKey = QStringLiteral("uptime");
const QString loginKey = QStringLiteral("login");

bool idLess(const Session& a, const Session& b) {
    return a.id() < b.id();
}

// In id order, one record per id: the last one the server listed. The records stay where they are
// while their positions are sorted; a list already in order is taken as it is.
SessionList sortedUnique(const SessionList& list) {
    bool inOrder = true;
    for (int i = 1; i < list.size() && inOrder; ++i)
        inOrder = list.at(i - 1).id() < list.at(i).id();
    if (inOrder)
        return list;
    // The ids' characters beside each position: the sort reaches them without going through records.
    std::vector<std::pair<QStringView, int>> order;
    order.reserve(size_t(list.size()));
    for (int i = 0; i < list.size(); ++i)
        order.emplace_back(QStringView(list.at(i).id()), i);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first.compare(b.first) < 0; });
    SessionList unique;
    unique.reserve(list.size());
    for (const auto& entry : order) {
        const Session& s = list.at(entry.second);
        if (!unique.isEmpty() && unique.constLast().id() == s.id())
            unique.last() = s;
        else
            unique.append(s);
    }
    return unique;
}

} // namespace

SessionModel::SessionModel(const QStringList& columns, const QSharedPointer<RpcInstance>& rpc,
                           const QSharedPointer<ConnectionContext>& context, QObject* parent)
    : QAbstractTableModel(parent)
    , m_columns(columns)
    , m_rpc(rpc)
    , m_context(context)
    , m_pollTimer(new QTimer(this))
    , m_settleTimer(new QTimer(this)) {
    registerSessionMetaTypes();
    for (const QString& key : columns)
        m_kinds.append(key == nameKey          ? Column::Name
                       : key == connectionsKey ? Column::Connections
                       : key == uptimeKey      ? Column::Uptime
                       : key == loginKey       ? Column::Login
                                               : Column::Other);
    m_pollTimer->setInterval(pollInterval);
    m_settleTimer->setSingleShot(true);
    m_settleTimer->setInterval(settleInterval);
    connect(m_pollTimer, &QTimer::timeout, this, &SessionModel::fetch);
    connect(m_settleTimer, &QTimer::timeout, this, &SessionModel::settle);
    if (m_rpc) {
        connect(m_rpc.data(), &RpcInstance::sessionsUpdated, this, &SessionModel::receivePushedList);
        connect(m_rpc.data(), &RpcInstance::sessionUpdated, this, [this](const Session& s) {
            if (!m_shared)
                updateSession(s);
        });
        connect(m_rpc.data(), &RpcInstance::sessionDeleted, this, [this](const Session& s) {
            if (!m_shared)
                removeSession(s);
        });
    }
}

void SessionModel::setShared(bool shared) {
    if (m_shared != shared) {
        // A reply fetched for the other kind of list must not fill this one.
        supersedeRequests();
    }
    m_shared = shared;
}

QModelIndex SessionModel::indexOfSession(const QString& id) const {
    auto it = std::lower_bound(m_rows.cbegin(), m_rows.cend(), id,
                               [](const Session& s, const QString& wanted) { return s.id() < wanted; });
    if (it == m_rows.cend() || it->id() != id)
        return QModelIndex();
    return index(int(it - m_rows.cbegin()), 0);
}

// A flat table: cells have no children.
int SessionModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_rows.size();
}

int SessionModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_columns.size();
}

QDateTime SessionModel::now() const {
    return m_now.isValid() ? m_now : QDateTime::currentDateTime();
}

QVariant SessionModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= m_rows.size() || index.column() < 0 ||
        index.column() >= m_columns.size())
        return QVariant();
    const Session& s = m_rows.at(index.row());
    if (role == SessionRole)
        return QVariant::fromValue(s);
    if (role != Qt::DisplayRole && role != Qt::EditRole && role != SortRole)
        return QVariant();
    const Column kind = m_kinds.at(index.column());
    if (kind == Column::Name) {
        if (role != SortRole)
            return sessionDisplayName(s);
        // A sort asks for each row's key many times: it is put together once.
        if (m_nameSortKeys.isEmpty())
            m_nameSortKeys.resize(m_rows.size());
        QString& key = m_nameSortKeys[index.row()];
        if (key.isNull())
            key = sessionDisplayName(s) + s.id();
        return key;
    }
    if (role == Qt::EditRole)
        return QVariant();
    if (kind == Column::Connections) {
        if (role == SortRole) {
            if (s.clientCount() >= 1)
                return qint64(-s.clientCount());
            return qint64(s.lastDisconnect().msecsTo(now()));
        }
        return sessionClientCountText(s, now());
    }
    if (kind == Column::Uptime)
        return role == SortRole ? QVariant(s.started()) : QVariant(sessionUptimeText(s, now()));
    if (kind == Column::Login)
        return sessionLoginText(s);
    return QVariant();
}

QVariant SessionModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= m_columns.size())
        return QVariant();
    const QString& key = m_columns.at(section);
    if (key == nameKey)
        return tr("Name");
    if (key == connectionsKey)
        return tr("Connections");
    if (key == uptimeKey)
        return tr("Uptime");
    if (key == loginKey)
        return tr("Login");
    return QVariant();
}

Qt::ItemFlags SessionModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() < m_columns.size() && m_columns.at(index.column()) == nameKey)
        f |= Qt::ItemIsEditable;
    return f;
}

bool SessionModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole || index.row() >= m_rows.size() ||
        index.column() >= m_columns.size() || m_columns.at(index.column()) != nameKey)
        return false;
    Session& s = m_rows[index.row()];
    s.setParam(nameKey, value);
    forgetSortKeys();
    if (m_rpc)
        deleteWhenSettled(m_rpc->setSessionParam(s.id(), nameKey, value.toString()), this);
    emit dataChanged(index, index);
    emit sessionChanged(this->index(index.row(), 0));
    emit sessionsUpdated();
    return true;
}

void SessionModel::startUpdating() {
    if (m_pollTimer->isActive())
        return;
    m_pollTimer->start();
    fetch();
}

void SessionModel::forceUpdate() {
    m_pollTimer->start();
    fetch();
}

void SessionModel::fetch() {
    if (!m_rpc)
        return;
    RpcPromise<QList<Session>>* promise = m_shared ? m_rpc->sharedSessionList() : m_rpc->sessionList();
    deleteWhenSettled(promise, this);
    const quint64 request = ++m_lastRequest;
    const bool shared = m_shared;
    if (!shared)
        m_pushesAtRequest.insert(request, m_pushCount);
    connect(promise, &RpcPromiseBase::succeeded, this,
            [this, promise, request, shared] { receiveSessions(promise->value, request, shared); });
    connect(promise, &RpcPromiseBase::failed, this, [this, request] { forgetRequest(request); });
    m_settleTimer->start();
}

void SessionModel::receiveSessions(const SessionList& list, quint64 request, bool shared) {
    // Older than what is shown, or fetched for the other kind of list.
    if (shared != m_shared || request <= m_lastMerged) {
        forgetRequest(request);
        return;
    }
    if (request == m_lastRequest && m_settleTimer->isActive()) {
        m_pendingSessions = list;
        m_pendingRequest = request;
        return;
    }
    mergeReply(list, request, shared);
}

void SessionModel::settle() {
    // Only a reply not yet merged; one still on its way is merged when it comes.
    if (m_pendingRequest == 0 || m_pendingRequest <= m_lastMerged)
        return;
    mergeReply(m_pendingSessions, m_pendingRequest, m_shared);
}

void SessionModel::mergeReply(const SessionList& list, quint64 request, bool shared) {
    const SessionList reply = shared ? list : withPushesSince(list, m_pushesAtRequest.value(request));
    m_lastMerged = request;
    m_pendingSessions.clear();
    m_pendingRequest = 0;
    // Replies to this request and any before it will not be merged any more.
    for (auto it = m_pushesAtRequest.begin(); it != m_pushesAtRequest.end();)
        it = it.key() <= request ? m_pushesAtRequest.erase(it) : std::next(it);
    dropOldPushes();
    m_rowsShared = shared;
    mergeSessions(reply);
}

void SessionModel::supersedeRequests() {
    m_lastMerged = m_lastRequest;
    m_pendingSessions.clear();
    m_pendingRequest = 0;
    m_pushesAtRequest.clear();
    m_pushes.clear();
}

void SessionModel::forgetRequest(quint64 request) {
    if (m_pushesAtRequest.remove(request))
        dropOldPushes();
}

SessionList SessionModel::withPushesSince(const SessionList& list, quint64 push) const {
    QHash<QString, SessionChange> later;
    for (auto it = m_pushes.cbegin(); it != m_pushes.cend(); ++it)
        if (it->number > push)
            later.insert(it.key(), it->change);
    return withChanges(list, later);
}

void SessionModel::dropOldPushes() {
    if (m_pushesAtRequest.isEmpty()) {
        m_pushes.clear();
        return;
    }
    quint64 oldest = m_pushCount;
    for (quint64 count : qAsConst(m_pushesAtRequest))
        oldest = qMin(oldest, count);
    for (auto it = m_pushes.begin(); it != m_pushes.end();)
        it = it->number <= oldest ? m_pushes.erase(it) : std::next(it);
}

void SessionModel::recordPush(const Session& session, bool deleted) {
    ++m_pushCount;
    // Kept only for a reply that may still come; otherwise the next reply is newer anyway.
    if (!m_pushesAtRequest.isEmpty())
        m_pushes.insert(session.id(), Push{m_pushCount, SessionChange{deleted, session}});
}

void SessionModel::receivePushedList(const SessionList& list) {
    // The server re-sends the user's own list; it has no place among the shared sessions.
    if (m_shared)
        return;
    // The whole list, as the server has it now: replies to the requests sent so far may be older,
    // and would take back what it brought with nothing to bring it again.
    supersedeRequests();
    m_rowsShared = false;
    mergeSessions(list);
}

int SessionModel::addedAndRemoved(const SessionList& incoming) const {
    int count = 0;
    int r = 0;
    int head = 0;
    while (head < incoming.size() && r < m_rows.size()) {
        const QString& rowId = m_rows.at(r).id();
        const QString& nextId = incoming.at(head).id();
        if (rowId < nextId) {
            ++r;
            ++count;
        } else if (nextId < rowId) {
            ++head;
            ++count;
        } else {
            ++r;
            ++head;
        }
    }
    return count + (incoming.size() - head) + (m_rows.size() - r);
}

void SessionModel::replaceRows(const SessionList& incoming) {
    beginResetModel();
    const SessionList before = m_rows;
    m_rows = incoming;
    forgetSortKeys();
    endResetModel();
    // The record signals still tell each session, once the rows are in place.
    int b = 0;
    int r = 0;
    while (b < before.size() || r < m_rows.size()) {
        if (r >= m_rows.size() || (b < before.size() && before.at(b).id() < m_rows.at(r).id())) {
            emit sessionRemoved(before.at(b++));
        } else if (b >= before.size() || m_rows.at(r).id() < before.at(b).id()) {
            emit sessionAdded(index(r++, 0));
        } else {
            if (before.at(b) != m_rows.at(r))
                emit sessionChanged(index(r, 0));
            ++b;
            ++r;
        }
    }
    emit sessionsUpdated();
}

void SessionModel::mergeSessions(const SessionList& incomingList) {
    const SessionList incoming = sortedUnique(incomingList);
    // Row by row, a long list keeps every view and proxy busy for each row: one reset instead.
    if (addedAndRemoved(incoming) > rowByRowLimit) {
        replaceRows(incoming);
        return;
    }
    QVector<QPair<int, int>> ranges;
    const bool ranged = qMax(m_rows.size(), incoming.size()) > cellByCellLimit;
    if (ranged)
        ranges.fill(qMakePair(-1, -1), m_columns.size());
    bool changed = false;
    int r = 0;
    int head = 0;
    while (head < incoming.size() && r < m_rows.size()) {
        const Session& next = incoming.at(head);
        const QString rowId = m_rows.at(r).id();
        if (rowId < next.id()) {
            beginRemoveRows(QModelIndex(), r, r);
            const Session removed = m_rows.takeAt(r);
            forgetSortKeys();
            endRemoveRows();
            changed = true;
            emit sessionRemoved(removed);
        } else if (next.id() < rowId) {
            beginInsertRows(QModelIndex(), r, r);
            m_rows.insert(r, next);
            forgetSortKeys();
            endInsertRows();
            changed = true;
            emit sessionAdded(index(r, 0));
            ++r;
            ++head;
        } else {
            const Session before = m_rows.at(r);
            m_rows[r] = next;
            forgetSortKeys();
            if (notifyChangedColumns(before, next, r, ranged ? &ranges : nullptr))
                changed = true;
            ++r;
            ++head;
        }
    }
    for (; head < incoming.size(); ++head, ++r) {
        changed = true;
        beginInsertRows(QModelIndex(), r, r);
        m_rows.insert(r, incoming.at(head));
        forgetSortKeys();
        endInsertRows();
        emit sessionAdded(index(r, 0));
    }
    while (r < m_rows.size()) {
        beginRemoveRows(QModelIndex(), r, r);
        const Session removed = m_rows.takeAt(r);
        forgetSortKeys();
        endRemoveRows();
        changed = true;
        emit sessionRemoved(removed);
    }
    for (int c = 0; c < ranges.size(); ++c)
        if (ranges.at(c).first >= 0)
            emit dataChanged(index(ranges.at(c).first, c), index(ranges.at(c).second, c));
    if (changed)
        emit sessionsUpdated();
}

bool SessionModel::notifyChangedColumns(const Session& before, const Session& after, int row,
                                        QVector<QPair<int, int>>* ranges) {
    for (int c = 0; c < m_columns.size(); ++c) {
        const Column kind = m_kinds.at(c);
        bool refresh = false;
        if (kind == Column::Name)
            refresh = before.param(nameKey, QString()) != after.param(nameKey, QString());
        else if (kind == Column::Connections)
            refresh = !(before.clientCount() == after.clientCount() && before.clientCount() != 0);
        else if (kind == Column::Uptime)
            refresh = true;
        else if (kind == Column::Login)
            refresh = before.login() != after.login();
        if (refresh && ranges) {
            QPair<int, int>& range = (*ranges)[c];
            if (range.first < 0)
                range.first = row;
            range.second = row;
        } else if (refresh) {
            const QModelIndex cell = index(row, c);
            emit dataChanged(cell, cell);
        }
    }
    if (before == after)
        return false;
    emit sessionChanged(index(row, 0));
    return true;
}

void SessionModel::pushed() {
    // A server that pushes is polled less often. Only the change of interval restarts a running
    // timer: a steady stream of pushes must not put the next poll off for ever, and a model not
    // yet started stays idle so that starting it still fetches at once.
    if (m_pollTimer->interval() != pollIntervalAfterPush)
        m_pollTimer->setInterval(pollIntervalAfterPush);
}

void SessionModel::updateSession(const Session& session) {
    pushed();
    if (session.id().isEmpty())
        return;
    recordPush(session, false);
    if (m_rowsShared)
        return;
    auto it = std::lower_bound(m_rows.begin(), m_rows.end(), session, idLess);
    const int r = int(it - m_rows.begin());
    if (it != m_rows.end() && it->id() == session.id()) {
        const Session before = *it;
        *it = session;
        forgetSortKeys();
        if (notifyChangedColumns(before, session, r))
            emit sessionsUpdated();
        return;
    }
    beginInsertRows(QModelIndex(), r, r);
    m_rows.insert(r, session);
    forgetSortKeys();
    endInsertRows();
    emit sessionAdded(index(r, 0));
    emit sessionsUpdated();
}

void SessionModel::removeSession(const Session& session) {
    pushed();
    if (session.id().isEmpty())
        return;
    recordPush(session, true);
    if (m_rowsShared)
        return;
    const QModelIndex found = indexOfSession(session.id());
    if (!found.isValid()) {
        qWarning().noquote() << "Attempted delete of unknown session" << session.id();
        return;
    }
    const int r = found.row();
    beginRemoveRows(QModelIndex(), r, r);
    const Session removed = m_rows.takeAt(r);
    forgetSortKeys();
    endRemoveRows();
    emit sessionRemoved(removed);
    emit sessionsUpdated();
}
