#pragma once

// The participants of a shared session as a table, kept sorted by client id. setClients merges a new
// list in and tells the view exactly which rows came, went or changed.

#include "viewer/engine/RdpClient.h"

#include <QAbstractTableModel>
#include <QStringList>

class RdpClientModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int ClientRole = Qt::UserRole + 1; // the whole RdpClient
    static constexpr int SortRole = Qt::UserRole + 2;   // name followed by client id

    explicit RdpClientModel(const QStringList& columns, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void setClients(QList<RdpClient> clients);
    const QList<RdpClient>& clients() const { return m_clients; }

signals:
    // A row's participant changed (id, name, role or status); the index is its first column.
    void clientChanged(QModelIndex index);
    // Once at the end of every merge.
    void clientsUpdated();

private:
    void updateRow(int row, const RdpClient& incoming);

    QStringList m_columns;
    QList<RdpClient> m_clients;
};
