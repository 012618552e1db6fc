#pragma once

#include "sessions/Session.h"

#include <QHash>
#include <QSortFilterProxyModel>

// Keeps the sessions of the first list in the order of their last connect time at that moment;
// sessions that came later sort among themselves by the sort role, after the known ones.
class SessionSortFilterProxyModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit SessionSortFilterProxyModel(QObject* parent = nullptr);

    void setSessionRole(int role) { m_sessionRole = role; }
    int sessionRole() const { return m_sessionRole; }
    // Records the order once; later calls change nothing.
    void setInitialOrder(const SessionList& sessions);
    bool isOrderFixed() const { return m_orderFixed; }

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    int m_sessionRole = Qt::UserRole;
    bool m_orderFixed = false;
    QHash<QString, int> m_initialOrder;
};
