#pragma once

#include "sessions/Session.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QSharedPointer>
#include <QPair>
#include <QStringList>
#include <QVector>

class ConnectionContext;
class QTimer;
class RpcInstance;

// The sessions of one server as a table, in id order, kept current by polling and by the
// server's pushes. Shows either the user's own sessions or those shared with the user.
class SessionModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Role { SessionRole = 257, SortRole = 258 };

    static constexpr int pollInterval = 60000;
    static constexpr int pollIntervalAfterPush = 180000;
    static constexpr int settleInterval = 500;
    // A merge that adds or removes more rows than this resets the model instead of one signal per row.
    static constexpr int rowByRowLimit = 64;
    // Above this many rows, the cells of one column that a merge refreshes are told in one range.
    static constexpr int cellByCellLimit = 1000;

    SessionModel(const QStringList& columns, const QSharedPointer<RpcInstance>& rpc,
                 const QSharedPointer<ConnectionContext>& context, QObject* parent = nullptr);

    void setShared(bool shared);
    bool isShared() const { return m_shared; }

    SessionList sessions() const { return m_rows; }
    // The record of a row, without a copy; the row must exist.
    const Session& sessionAt(int row) const { return m_rows.at(row); }
    QModelIndex indexOfSession(const QString& id) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

    QTimer* pollTimer() const { return m_pollTimer; }
    QTimer* settleTimer() const { return m_settleTimer; }
    // Tests measure the idle times against this clock; null: the real one.
    void setNow(const QDateTime& now) { m_now = now; }

public slots:
    void startUpdating();
    void forceUpdate();
    void mergeSessions(const SessionList& incoming);
    void updateSession(const Session& session);
    void removeSession(const Session& session);

signals:
    void sessionAdded(QModelIndex index);
    void sessionChanged(QModelIndex index);
    void sessionRemoved(Session sess);
    void sessionsUpdated();

private:
    void fetch();
    void receiveSessions(const SessionList& list, quint64 request, bool shared);
    void settle();
    void mergeReply(const SessionList& list, quint64 request, bool shared);
    void forgetRequest(quint64 request);
    // Every request sent so far counts as merged: its reply will not be.
    void supersedeRequests();
    void pushed();
    void recordPush(const Session& session, bool deleted);
    // The list with every change pushed after the given push number laid over it.
    SessionList withPushesSince(const SessionList& list, quint64 push) const;
    void dropOldPushes();
    void receivePushedList(const SessionList& list);
    // Without ranges each refreshed cell is told at once; with them (one first/last row pair per
    // column) the rows are only recorded, to be told in one signal per column.
    bool notifyChangedColumns(const Session& before, const Session& after, int row,
                              QVector<QPair<int, int>>* ranges = nullptr);
    int addedAndRemoved(const SessionList& incoming) const;
    void replaceRows(const SessionList& incoming);
    QDateTime now() const;
    // Every change of the rows drops the name column's sort keys.
    void forgetSortKeys() { m_nameSortKeys.clear(); }

    enum class Column { Other, Name, Connections, Uptime, Login };
    QStringList m_columns;
    // What each column shows, told from its key once: data() is asked for every cell and comparison.
    QVector<Column> m_kinds;
    QSharedPointer<RpcInstance> m_rpc;
    QSharedPointer<ConnectionContext> m_context;
    SessionList m_rows;
    SessionList m_pendingSessions;
    // The name column's sort key of each row, put together when first asked for; null: not yet.
    mutable QVector<QString> m_nameSortKeys;
    QTimer* m_pollTimer = nullptr;
    QTimer* m_settleTimer = nullptr;
    bool m_shared = false;

    // Requests are numbered; a reply is merged only while no newer one has been merged, and a
    // switch of lists or a whole list from the event stream counts as a merge of everything asked
    // for before it.
    quint64 m_lastRequest = 0;
    quint64 m_pendingRequest = 0; // 0: nothing pending
    quint64 m_lastMerged = 0;
    // Whether the rows hold the shared list: until the own list comes back after a switch, the
    // own pushes are kept for it but not shown among the shared sessions.
    bool m_rowsShared = false;

    // A reply may be overtaken by pushes the server sent after it made the list. Pushes are
    // numbered; each own-list request still unanswered notes the count when it was sent, and the
    // latest push per id is kept while some such request may need it laid over its reply.
    struct Push {
        quint64 number = 0;
        SessionChange change;
    };
    quint64 m_pushCount = 0;
    QHash<quint64, quint64> m_pushesAtRequest;
    QHash<QString, Push> m_pushes;
    QDateTime m_now;
};
