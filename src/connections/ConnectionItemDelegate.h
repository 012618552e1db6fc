#pragma once

#include <QModelIndex>
#include <QStyledItemDelegate>

// Paints the connection rows as rich text and gives the current row its ConnectionWidget.
class ConnectionItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit ConnectionItemDelegate(QObject* parent = nullptr);

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;
    // The row widget shows what the model says; nothing is written back.
    void setEditorData(QWidget*, const QModelIndex&) const override {}
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}

signals:
    void deleteIndex(QModelIndex index);
    void editIndex(QModelIndex index);
    void doubleClicked();
    void favoriteIndex(QModelIndex index, bool checked);
};
