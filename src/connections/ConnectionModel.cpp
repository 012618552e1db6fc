#include "connections/ConnectionModel.h"

#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSettings>

#include <algorithm>

namespace {

const QString FavoritesKey = QStringLiteral("ConnectionFavorites");
const QString NameKey = QStringLiteral("name");

QJsonObject readFavorites() {
    return QSettings().value(FavoritesKey, QJsonObject()).toJsonObject();
}

} // namespace

ConnectionModel::ConnectionModel(QString userFolder, QString systemFolder, QStringList columnKeys,
                                 QObject* parent)
    : QAbstractTableModel(parent),
      m_columnKeys(std::move(columnKeys)),
      m_userFolder(std::move(userFolder)),
      m_systemFolder(std::move(systemFolder)) {
    registerConnectionPtrMetaType();
    reload();
}

int ConnectionModel::rowCount(const QModelIndex&) const {
    return m_connections.size();
}

int ConnectionModel::columnCount(const QModelIndex&) const {
    return m_columnKeys.size();
}

QVariant ConnectionModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= m_connections.size() || index.column() < 0
        || index.column() >= m_columnKeys.size())
        return {};
    const ConnectionPtr& connection = m_connections.at(index.row());
    const bool nameColumn = m_columnKeys.at(index.column()) == NameKey;
    switch (role) {
    case Qt::DisplayRole:
        if (!nameColumn)
            return {};
        return QStringLiteral("<b>%1</b><br/>%2").arg(connection->name(), connection->url());
    case Qt::ToolTipRole:
        return connection->description();
    case ConnectionPtrRole:
        return QVariant::fromValue(connection);
    case FavoriteRole:
        return connection->isFavorite();
    case SystemRole:
        return connection->isSystem();
    case UserConnectionRole:
        return !connection->isSystem();
    default:
        return nameColumn ? QVariant(connection->name()) : QVariant();
    }
}

QVariant ConnectionModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < m_columnKeys.size()
        && m_columnKeys.at(section) == NameKey)
        return tr("Name");
    return {};
}

Qt::ItemFlags ConnectionModel::flags(const QModelIndex& index) const {
    return QAbstractTableModel::flags(index) | Qt::ItemIsEditable;
}

QVector<ConnectionPtr> ConnectionModel::readFolder(const QString& folder, bool system,
                                                   const QJsonObject& favorites, QStringList* skipped) const {
    QVector<ConnectionPtr> result;
    if (folder.isEmpty())
        return result;
    const QDir dir(folder);
    const QStringList entries =
        dir.entryList(QStringList{QStringLiteral("*.velnor")}, QDir::Files | QDir::Hidden, QDir::Unsorted);
    for (const QString& entry : entries) {
        const QString path = dir.filePath(entry);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            skipped->append(path);
            continue;
        }
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        if (!document.isObject() || !document.object().contains(QLatin1String("host"))) {
            skipped->append(path);
            continue;
        }
        QJsonObject object = document.object();
        object.insert(QStringLiteral("filename"), path);
        if (!object.contains(NameKey))
            object.insert(NameKey, object.value(QLatin1String("host")));
        QString displayName = object.value(NameKey).toString();
        if (displayName.isEmpty())
            displayName = object.value(QLatin1String("host")).toString();

        ConnectionPtr connection;
        if (object.value(QLatin1String("type")) == QJsonValue(QStringLiteral("ssh")))
            connection = std::make_shared<SshConnection>();
        else
            connection = std::make_shared<HttpsConnection>();
        connection->fromJson(object);
        connection->setName(displayName);
        connection->setFavorite(favorites.contains(path));
        connection->setFilePath(path);
        connection->setSystem(system);
        result.append(connection);
    }
    return result;
}

void ConnectionModel::reload() {
    const QJsonObject favorites = readFavorites();
    QStringList skipped;
    QVector<ConnectionPtr> fresh = readFolder(m_userFolder, false, favorites, &skipped);
    fresh += readFolder(m_systemFolder, true, favorites, &skipped);
    skipped.sort();
    if (skipped != m_skipped) {
        m_skipped = skipped;
        emit skippedFilesChanged(m_skipped);
    }
    std::sort(fresh.begin(), fresh.end(), [](const ConnectionPtr& a, const ConnectionPtr& b) {
        return a->name().toLower() < b->name().toLower();
    });
    merge(std::move(fresh));
}

void ConnectionModel::merge(QVector<ConnectionPtr> fresh) {
    bool updated = false;
    int row = 0;
    int next = 0;
    while (row < m_connections.size() && next < fresh.size()) {
        const ConnectionPtr old = m_connections.at(row);
        const ConnectionPtr& incoming = fresh.at(next);
        if (old->filePath() < incoming->filePath()) {
            beginRemoveRows(QModelIndex(), row, row);
            m_connections.remove(row);
            endRemoveRows();
            emit connectionRemoved(old);
            updated = true;
        } else if (incoming->filePath() < old->filePath()) {
            beginInsertRows(QModelIndex(), row, row);
            m_connections.insert(row, incoming);
            endInsertRows();
            ++row;
            ++next;
            updated = true;
        } else {
            m_connections[row] = incoming;
            if (old->name() != incoming->name()) {
                for (int column = 0; column < m_columnKeys.size(); ++column) {
                    if (m_columnKeys.at(column) == NameKey)
                        emit dataChanged(index(row, column), index(row, column));
                }
            }
            if (old->description() != incoming->description()) {
                emit connectionChanged(index(row, 0));
                updated = true;
            }
            ++row;
            ++next;
        }
    }
    // Old rows left over: the new list ran out first.
    while (next == fresh.size() && row < m_connections.size()) {
        const ConnectionPtr old = m_connections.at(row);
        beginRemoveRows(QModelIndex(), row, row);
        m_connections.remove(row);
        endRemoveRows();
        emit connectionRemoved(old);
        updated = true;
    }
    for (; next < fresh.size(); ++next) {
        const int at = m_connections.size();
        beginInsertRows(QModelIndex(), at, at);
        m_connections.append(fresh.at(next));
        endInsertRows();
        updated = true;
    }
    if (updated)
        emit connectionsUpdated();
}

void ConnectionModel::updateFavorite(const ConnectionPtr& connection) {
    if (!connection)
        return;
    QJsonObject favorites = readFavorites();
    const QString key = connection->toJson().value(QLatin1String("filename")).toString();
    if (connection->isFavorite()) {
        favorites.insert(key, true);
    } else {
        favorites.remove(key);
        for (const ConnectionPtr& row : qAsConst(m_connections)) {
            if (row->toJson().value(QLatin1String("filename")).toString() == key)
                row->setFavorite(false);
        }
    }
    QSettings().setValue(FavoritesKey, favorites);
}
