#pragma once

#include "sessions/Session.h"

#include <QHash>
#include <QSortFilterProxyModel>
#include <QVector>

// Keeps the sessions of the first list in the order of their last connect time at that moment;
// sessions that came later sort among themselves by the sort role, after the known ones.
class SessionSortFilterProxyModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit SessionSortFilterProxyModel(QObject* parent = nullptr);

    void setSessionRole(int role) {
        m_sessionRole = role;
        dropRowPositions();
    }
    int sessionRole() const { return m_sessionRole; }
    // Records the order once; later calls change nothing.
    void setInitialOrder(const SessionList& sessions);
    bool isOrderFixed() const { return m_orderFixed; }

    void setSourceModel(QAbstractItemModel* source) override;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    int m_sessionRole = Qt::UserRole;
    bool m_orderFixed = false;
    QHash<QString, int> m_initialOrder;
    // Each source row's recorded position, looked up once for all the comparisons of a sort; built
    // when first needed and dropped whenever the source's rows or the recorded order change.
    const QVector<int>& rowPositions() const;
    void dropRowPositions() { m_rowPositionsValid = false; }
    mutable QVector<int> m_rowPositions;
    mutable bool m_rowPositionsValid = false;
    QVector<QMetaObject::Connection> m_sourceConnections;
};
