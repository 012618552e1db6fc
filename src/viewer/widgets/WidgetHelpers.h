#pragma once

class QAbstractItemView;
class QWidget;

// Keyboard focus into an item view. Each helper does nothing and returns false when the view is hidden
// or disabled or the target index is not valid; otherwise the view gets the focus, the target becomes
// its current index and the result is true.
bool focusViewFirstRow(QAbstractItemView* view, int column);
bool focusViewLastRow(QAbstractItemView* view, int column);
bool focusViewNextRow(QAbstractItemView* view, int column);
bool focusViewPreviousRow(QAbstractItemView* view, int column);
// Moves within the current row to `column`, only rightwards (Forward) or leftwards (Back).
bool focusViewColumnForward(QAbstractItemView* view, int column);
bool focusViewColumnBack(QAbstractItemView* view, int column);
// Only the focus, to any widget (views and row buttons alike).
bool focusView(QWidget* widget);

// Brings the widget's top-level window to the front: shows a hidden one, raises a shown one and
// un-minimises a minimised one, and activates it.
void showAndActivateWindow(QWidget* widget);

void clearUnderMouse(QWidget* widget);
