#pragma once

// Draws one participant row: the name in large bold type, and below it what the participant is
// (this viewer, owner, controlling, waiting in the lobby).

#include "viewer/engine/RdpClient.h"

#include <QStyledItemDelegate>

class RdpClientDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int RowHeight = 50;

    RdpClientDelegate(const QString& ownClientId, int clientRole, QObject* parent = nullptr);

    void setOwnClientId(const QString& id) { m_ownClientId = id; }
    QString ownClientId() const { return m_ownClientId; }

    // Rich text; the name is escaped, so a participant's name never becomes markup.
    static QString rowText(const RdpClient& client, const QString& ownClientId);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    RdpClient clientAt(const QModelIndex& index) const;

    QString m_ownClientId;
    int m_clientRole;
};
