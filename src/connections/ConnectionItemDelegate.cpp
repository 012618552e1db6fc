#include "connections/ConnectionItemDelegate.h"

#include "connections/ConnectionModel.h"
#include "connections/ConnectionWidget.h"

#include <QPainter>
#include <QPalette>
#include <QPersistentModelIndex>
#include <QTextDocument>

ConnectionItemDelegate::ConnectionItemDelegate(QObject* parent)
    : QStyledItemDelegate(parent) {}

QWidget* ConnectionItemDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                              const QModelIndex& index) const {
    auto* widget = new ConnectionWidget(parent);
    auto* self = const_cast<ConnectionItemDelegate*>(this);
    const QPersistentModelIndex target(index);
    widget->setAutoFillBackground(true);
    widget->setBackgroundRole(QPalette::Highlight);
    const ConnectionPtr connection = index.data(ConnectionModel::ConnectionPtrRole).value<ConnectionPtr>();
    if (connection) {
        // The store reads the marks from the settings into each connection.
        widget->setFavorite(connection->isFavorite());
        widget->setEditable(!connection->isSystem());
    }
    // Connected after the starting state, so opening a row reports nothing.
    connect(widget, &ConnectionWidget::deleteClicked, self, [self, target] { emit self->deleteIndex(target); });
    connect(widget, &ConnectionWidget::editClicked, self, [self, target] { emit self->editIndex(target); });
    connect(widget, &ConnectionWidget::favoriteClicked, self,
            [self, target](bool checked) { emit self->favoriteIndex(target, checked); });
    connect(widget, &ConnectionWidget::doubleClicked, self, &ConnectionItemDelegate::doubleClicked);
    return widget;
}

void ConnectionItemDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    if (auto* widget = qobject_cast<ConnectionWidget*>(editor))
        widget->setText(index.data(Qt::DisplayRole).toString());
}

void ConnectionItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
    painter->save();
    painter->translate(option.rect.left(), option.rect.top() + 4);
    QTextDocument document;
    document.setHtml(index.data(Qt::DisplayRole).toString());
    document.drawContents(painter);
    painter->restore();
}

QSize ConnectionItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QTextDocument document;
    document.setHtml(index.data(Qt::DisplayRole).toString());
    document.setTextWidth(option.rect.width());
    return QSize(int(document.idealWidth()), int(document.size().height()));
}

void ConnectionItemDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                                  const QModelIndex&) const {
    editor->setGeometry(option.rect);
}
