#pragma once

#include "connections/Connection.h"

#include <QAbstractTableModel>
#include <QStringList>
#include <QVector>

// The connection files of the user and system folders, ordered by display name. Favourite marks live
// in the settings, keyed by the file's full path.
class ConnectionModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Roles {
        ConnectionPtrRole = Qt::UserRole + 1,
        FavoriteRole = Qt::UserRole + 3,
        SystemRole,
        UserConnectionRole,
    };

    ConnectionModel(QString userFolder, QString systemFolder, QStringList columnKeys,
                    QObject* parent = nullptr);
    ~ConnectionModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Re-reads both folders and merges the result into the rows.
    void reload();
    // Reloads every model in the process, so that each list shows what an edit, a delete or an
    // import on another one left on disk.
    static void reloadAll();
    // Stores the connection's favourite flag; unmarking clears it on every row of the same file.
    void updateFavorite(const ConnectionPtr& connection);
    // Largest connection file read.
    static constexpr qint64 MaxFileSize = 1024 * 1024;
    // The bytes of a regular file (links followed) of at most MaxFileSize bytes; false otherwise,
    // with the reason in error.
    static bool readBytes(const QString& path, QByteArray* content, QString* error = nullptr);
    // Reads one connection file as the store does: a regular file (links followed) of at most
    // MaxFileSize bytes holding an object with "host". Null otherwise, with the reason in error.
    // content receives the bytes read.
    static ConnectionPtr readFile(const QString& path, bool system, QByteArray* content = nullptr,
                                  QString* error = nullptr);

    // The connection files the last reload could not read, as paths; they are left untouched.
    QStringList skippedFiles() const { return m_skipped; }

signals:
    void connectionChanged(const QModelIndex& index);
    void connectionRemoved(ConnectionPtr conn);
    void connectionsUpdated();
    void skippedFilesChanged(const QStringList& paths);

private:
    QVector<ConnectionPtr> readFolder(const QString& folder, bool system, const QJsonObject& favorites,
                                      QStringList* skipped) const;
    void merge(QVector<ConnectionPtr> fresh);

    QStringList m_columnKeys;
    QVector<ConnectionPtr> m_connections;
    QString m_userFolder;
    QString m_systemFolder;
    QStringList m_skipped;
};
