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
    // The row widget shows the row's text as the model has it now, also after a reload changed it
    // under an open widget; nothing is written back.
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}

signals:
    void deleteIndex(QModelIndex index);
    void editIndex(QModelIndex index);
    void doubleClicked();
    void favoriteIndex(QModelIndex index, bool checked);
};
