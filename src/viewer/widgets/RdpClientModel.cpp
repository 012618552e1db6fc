#include "viewer/widgets/RdpClientModel.h"

#include <algorithm>

namespace {

const QString kNameColumn = QStringLiteral("name");

} // namespace

RdpClientModel::RdpClientModel(const QStringList& columns, QObject* parent)
    : QAbstractTableModel(parent)
    , m_columns(columns) {}

int RdpClientModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_clients.size();
}

int RdpClientModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_columns.size();
}

QVariant RdpClientModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_clients.size() || index.column() >= m_columns.size()) {
        return {};
    }
    const RdpClient& client = m_clients.at(index.row());
    if (role == ClientRole) {
        return QVariant::fromValue(client);
    }
    if (m_columns.at(index.column()) == kNameColumn) {
        if (role == Qt::DisplayRole) {
            return client.name;
        }
        if (role == SortRole) {
            return client.name + client.client;
        }
    }
    return {};
}

QVariant RdpClientModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < m_columns.size() && m_columns.at(section) == kNameColumn) {
        return tr("Name");
    }
    return {};
}

void RdpClientModel::updateRow(int row, const RdpClient& incoming) {
    const RdpClient old = m_clients.at(row);
    m_clients[row] = incoming;
    if (old.name != incoming.name) {
        for (int column = 0; column < m_columns.size(); ++column) {
            if (m_columns.at(column) == kNameColumn) {
                const QModelIndex cell = index(row, column);
                emit dataChanged(cell, cell);
            }
        }
    }
    if (old.differsFrom(incoming)) {
        emit clientChanged(index(row, 0));
    }
}

void RdpClientModel::setClients(QList<RdpClient> incoming) {
    std::stable_sort(incoming.begin(), incoming.end());
    int row = 0;
    int next = 0;
    while (row < m_clients.size() && next < incoming.size()) {
        const RdpClient& current = m_clients.at(row);
        const RdpClient& candidate = incoming.at(next);
        if (current.client < candidate.client) {
            beginRemoveRows(QModelIndex(), row, row);
            m_clients.removeAt(row);
            endRemoveRows();
        } else if (candidate.client < current.client) {
            beginInsertRows(QModelIndex(), row, row);
            m_clients.insert(row, candidate);
            endInsertRows();
            ++row;
            ++next;
        } else {
            updateRow(row, candidate);
            ++row;
            ++next;
        }
    }
    for (; next < incoming.size(); ++next) {
        const int end = m_clients.size();
        beginInsertRows(QModelIndex(), end, end);
        m_clients.append(incoming.at(next));
        endInsertRows();
        ++row;
    }
    while (m_clients.size() > row) {
        const int last = m_clients.size() - 1;
        beginRemoveRows(QModelIndex(), last, last);
        m_clients.removeLast();
        endRemoveRows();
    }
    emit clientsUpdated();
}
