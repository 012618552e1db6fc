#include "sessions/SessionSortFilterProxyModel.h"

#include "sessions/SessionModel.h"

#include <algorithm>
#include <numeric>

SessionSortFilterProxyModel::SessionSortFilterProxyModel(QObject* parent)
    : QSortFilterProxyModel(parent) {}

void SessionSortFilterProxyModel::setInitialOrder(const SessionList& sessions) {
    if (m_orderFixed)
        return;
    // The records stay in place; their positions are sorted.
    QVector<int> sorted(sessions.size());
    std::iota(sorted.begin(), sorted.end(), 0);
    std::stable_sort(sorted.begin(), sorted.end(), [&sessions](int a, int b) {
        return sessions.at(a).lastConnect() < sessions.at(b).lastConnect();
    });
    QHash<QString, int> order;
    order.reserve(sorted.size());
    for (int p = 0; p < sorted.size(); ++p)
        order.insert(sessions.at(sorted.at(p)).id(), p);
    m_orderFixed = true;
    m_initialOrder = order;
    dropRowPositions();
}

namespace {

// A row whose session has no id: outside the recorded order.
constexpr int noId = -2;

// The session model's records are read in place; anything else through the session role.
QString sessionIdOf(const QAbstractItemModel* model, int sessionRole, const QModelIndex& index) {
    const auto* sessions = qobject_cast<const SessionModel*>(model);
    if (sessions && sessionRole == SessionModel::SessionRole && index.row() >= 0 && index.row() < sessions->rowCount())
        return sessions->sessionAt(index.row()).id();
    return index.data(sessionRole).value<Session>().id();
}

} // namespace

void SessionSortFilterProxyModel::setSourceModel(QAbstractItemModel* source) {
    for (const QMetaObject::Connection& connection : qAsConst(m_sourceConnections))
        disconnect(connection);
    m_sourceConnections.clear();
    dropRowPositions();
    QSortFilterProxyModel::setSourceModel(source);
    if (!source)
        return;
    // Before the base class handles the change that follows: its comparisons then see the new rows.
    const auto drop = [this] { dropRowPositions(); };
    m_sourceConnections = {connect(source, &QAbstractItemModel::modelAboutToBeReset, this, drop),
                           connect(source, &QAbstractItemModel::rowsAboutToBeInserted, this, drop),
                           connect(source, &QAbstractItemModel::rowsAboutToBeRemoved, this, drop),
                           connect(source, &QAbstractItemModel::rowsAboutToBeMoved, this, drop),
                           connect(source, &QAbstractItemModel::layoutAboutToBeChanged, this, drop),
                           connect(source, &QAbstractItemModel::dataChanged, this, drop)};
}

const QVector<int>& SessionSortFilterProxyModel::rowPositions() const {
    if (m_rowPositionsValid)
        return m_rowPositions;
    const QAbstractItemModel* source = sourceModel();
    const int rows = source ? source->rowCount() : 0;
    m_rowPositions.resize(rows);
    for (int row = 0; row < rows; ++row) {
        const QString id = sessionIdOf(source, m_sessionRole, source->index(row, 0));
        m_rowPositions[row] = id.isEmpty() ? noId : m_initialOrder.value(id, -1);
    }
    m_rowPositionsValid = true;
    return m_rowPositions;
}

bool SessionSortFilterProxyModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    // The source's own rows are looked up by row; anything else by id, each time.
    const bool ownRows = left.model() == sourceModel() && right.model() == sourceModel() &&
                         !left.parent().isValid() && !right.parent().isValid();
    int pa = -1;
    int pb = -1;
    if (m_initialOrder.isEmpty()) {
        // Nothing recorded: every comparison is by the sort role.
    } else if (ownRows) {
        const QVector<int>& positions = rowPositions();
        pa = left.row() < positions.size() ? positions.at(left.row()) : noId;
        pb = right.row() < positions.size() ? positions.at(right.row()) : noId;
    } else {
        const QString a = sessionIdOf(sourceModel(), m_sessionRole, left);
        const QString b = sessionIdOf(sourceModel(), m_sessionRole, right);
        pa = a.isEmpty() ? noId : m_initialOrder.value(a, -1);
        pb = b.isEmpty() ? noId : m_initialOrder.value(b, -1);
    }
    // The recorded order only ranks two sessions that both have an id.
    if (pa == noId || pb == noId)
        return QSortFilterProxyModel::lessThan(left, right);
    if (pa >= 0)
        return pb < 0 || pa < pb;
    if (pb >= 0)
        return false;
    return QSortFilterProxyModel::lessThan(left, right);
}
