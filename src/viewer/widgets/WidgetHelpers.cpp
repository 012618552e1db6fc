#include "viewer/widgets/WidgetHelpers.h"

#include <QAbstractItemView>
#include <QWidget>

namespace {

bool usable(QAbstractItemView* view) {
    return view && view->isVisible() && view->isEnabled();
}

bool focusIndex(QAbstractItemView* view, const QModelIndex& index) {
    if (!usable(view) || !index.isValid()) {
        return false;
    }
    view->setFocus(Qt::OtherFocusReason);
    view->setCurrentIndex(index);
    return true;
}

QModelIndex modelIndex(QAbstractItemView* view, int row, int column) {
    QAbstractItemModel* model = view ? view->model() : nullptr;
    return model ? model->index(row, column, view->rootIndex()) : QModelIndex();
}

QModelIndex sibling(QAbstractItemView* view, int rowStep, int column) {
    const QModelIndex current = view ? view->currentIndex() : QModelIndex();
    return current.isValid() ? current.sibling(current.row() + rowStep, column) : QModelIndex();
}

} // namespace

bool focusViewFirstRow(QAbstractItemView* view, int column) {
    return focusIndex(view, modelIndex(view, 0, column));
}

bool focusViewLastRow(QAbstractItemView* view, int column) {
    QAbstractItemModel* model = view ? view->model() : nullptr;
    if (!model) {
        return false;
    }
    return focusIndex(view, modelIndex(view, model->rowCount(view->rootIndex()) - 1, column));
}

bool focusViewNextRow(QAbstractItemView* view, int column) {
    return focusIndex(view, sibling(view, 1, column));
}

bool focusViewPreviousRow(QAbstractItemView* view, int column) {
    return focusIndex(view, sibling(view, -1, column));
}

bool focusViewColumnForward(QAbstractItemView* view, int column) {
    if (!view || view->currentIndex().column() >= column) {
        return false;
    }
    return focusIndex(view, sibling(view, 0, column));
}

bool focusViewColumnBack(QAbstractItemView* view, int column) {
    if (!view || view->currentIndex().column() <= column) {
        return false;
    }
    return focusIndex(view, sibling(view, 0, column));
}

bool focusView(QWidget* widget) {
    if (!widget || !widget->isVisible() || !widget->isEnabled()) {
        return false;
    }
    widget->setFocus(Qt::OtherFocusReason);
    return true;
}

void showAndActivateWindow(QWidget* widget) {
    if (!widget) {
        return;
    }
    QWidget* window = widget->window();
    if (window->isHidden()) {
        window->show();
        window->activateWindow();
    } else if (!window->isMinimized()) {
        window->raise();
        window->activateWindow();
    } else {
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    }
}

void clearUnderMouse(QWidget* widget) {
    if (widget) {
        widget->setAttribute(Qt::WA_UnderMouse, false);
    }
}
