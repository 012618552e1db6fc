#include "sessions/SessionSortFilterProxyModel.h"

#include "sessions/SessionModel.h"

#include <algorithm>

SessionSortFilterProxyModel::SessionSortFilterProxyModel(QObject* parent)
    : QSortFilterProxyModel(parent) {}

void SessionSortFilterProxyModel::setInitialOrder(const SessionList& sessions) {
    if (m_orderFixed)
        return;
    SessionList sorted = sessions;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Session& a, const Session& b) { return a.lastConnect() < b.lastConnect(); });
    QHash<QString, int> order;
    order.reserve(sorted.size());
    for (int p = 0; p < sorted.size(); ++p)
        order.insert(sorted.at(p).id(), p);
    m_orderFixed = true;
    m_initialOrder = order;
}

bool SessionSortFilterProxyModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    // The session model's records are read in place: a sort of many rows compares each many times.
    const auto* sessions = qobject_cast<const SessionModel*>(sourceModel());
    const auto idOf = [this, sessions](const QModelIndex& index) {
        if (sessions && m_sessionRole == SessionModel::SessionRole && index.row() >= 0 &&
            index.row() < sessions->rowCount())
            return sessions->sessionAt(index.row()).id();
        return index.data(m_sessionRole).value<Session>().id();
    };
    const QString a = idOf(left);
    const QString b = idOf(right);
    if (!a.isEmpty() && !b.isEmpty()) {
        const int pa = m_initialOrder.value(a, -1);
        const int pb = m_initialOrder.value(b, -1);
        if (pa >= 0)
            return pb < 0 || pa < pb;
        if (pb >= 0)
            return false;
    }
    return QSortFilterProxyModel::lessThan(left, right);
}
