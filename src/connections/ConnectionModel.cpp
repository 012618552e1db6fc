#include "connections/ConnectionModel.h"

#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QPointer>
#include <QSettings>

#include <algorithm>

#include <dirent.h>

namespace {

const QString FavoritesKey = QStringLiteral("ConnectionFavorites");
const QString NameKey = QStringLiteral("name");

QJsonObject readFavorites() {
    return QSettings().value(FavoritesKey, QJsonObject()).toJsonObject();
}

// A name as the notice can show it: bytes outside printable ASCII as \xNN.
QString escapedName(const QByteArray& raw) {
    QString text;
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x") +
                    QString::number(byte, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    }
    return text;
}

// Connection files whose names the file-name encoding cannot express: Qt does not list them at all.
QStringList unnamedEntries(const QString& folder) {
    QStringList result;
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return result;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (raw.endsWith(".velnor") && QFile::encodeName(QFile::decodeName(raw)) != raw)
            result.append(QDir(folder).filePath(escapedName(raw)));
    }
    ::closedir(dir);
    return result;
}

// Every live model; all of them live on the GUI thread.
QVector<ConnectionModel*>& liveModels() {
    static QVector<ConnectionModel*> models;
    return models;
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
    liveModels().append(this);
}

ConnectionModel::~ConnectionModel() {
    liveModels().removeAll(this);
}

void ConnectionModel::reloadAll() {
    // A reload's signals may end other models.
    QVector<QPointer<ConnectionModel>> models;
    for (ConnectionModel* model : qAsConst(liveModels()))
        models.append(model);
    for (const QPointer<ConnectionModel>& model : qAsConst(models)) {
        if (model)
            model->reload();
    }
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
        return QStringLiteral("<b>%1</b><br/>%2")
            .arg(connection->name().toHtmlEscaped(), connection->url().toHtmlEscaped());
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

bool ConnectionModel::readBytes(const QString& path, QByteArray* content, QString* error) {
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    // Checked before opening: a fifo or a device would block the open or the read, or never end.
    const QFileInfo info(path);
    if (!info.exists())
        return fail(tr("the file does not exist"));
    if (!info.isFile())
        return fail(tr("not a regular file"));
    if (info.size() > MaxFileSize)
        return fail(tr("larger than %1 bytes").arg(MaxFileSize));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    // In pieces, so that a small file takes little memory, and bounded even when the file grows.
    QByteArray bytes;
    while (bytes.size() <= MaxFileSize) {
        const QByteArray piece = file.read(qMin<qint64>(64 * 1024, MaxFileSize + 1 - bytes.size()));
        if (piece.isEmpty())
            break;
        bytes += piece;
    }
    if (bytes.size() > MaxFileSize)
        return fail(tr("larger than %1 bytes").arg(MaxFileSize));
    *content = bytes;
    return true;
}

ConnectionPtr ConnectionModel::readFile(const QString& path, bool system, QByteArray* content,
                                        QString* error) {
    QByteArray bytes;
    if (!readBytes(path, &bytes, error))
        return nullptr;
    if (content)
        *content = bytes;
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject() || !document.object().contains(QLatin1String("host"))) {
        if (error)
            *error = tr("not a connection file");
        return nullptr;
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
    connection->setFilePath(path);
    connection->setSystem(system);
    return connection;
}

QVector<ConnectionPtr> ConnectionModel::readFolder(const QString& folder, bool system,
                                                   const QJsonObject& favorites, QStringList* skipped) const {
    QVector<ConnectionPtr> result;
    if (folder.isEmpty())
        return result;
    const QDir dir(folder);
    // System entries too (fifos, devices, dangling links): they are named as skipped, never opened.
    const QStringList entries = dir.entryList(QStringList{QStringLiteral("*.velnor")},
                                              QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QString& entry : entries) {
        const QString path = dir.filePath(entry);
        const ConnectionPtr connection = readFile(path, system);
        if (!connection) {
            skipped->append(path);
            continue;
        }
        connection->setFavorite(favorites.contains(path));
        result.append(connection);
    }
    *skipped += unnamedEntries(folder);
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
            // The row's text is its name and address; its tool tip, shown in every column, the
            // description. Views repaint a row only when told.
            const bool describedAnew = old->description() != incoming->description();
            if ((describedAnew || old->name() != incoming->name() || old->url() != incoming->url()) &&
                !m_columnKeys.isEmpty())
                emit dataChanged(index(row, 0), index(row, m_columnKeys.size() - 1));
            if (describedAnew) {
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
