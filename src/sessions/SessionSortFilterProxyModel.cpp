#include "sessions/SessionSortFilterProxyModel.h"

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
    const Session a = left.data(m_sessionRole).value<Session>();
    const Session b = right.data(m_sessionRole).value<Session>();
    if (!a.id().isEmpty() && !b.id().isEmpty()) {
        const int pa = m_initialOrder.value(a.id(), -1);
        const int pb = m_initialOrder.value(b.id(), -1);
        if (pa >= 0)
            return pb < 0 || pa < pb;
        if (pb >= 0)
            return false;
    }
    return QSortFilterProxyModel::lessThan(left, right);
}
