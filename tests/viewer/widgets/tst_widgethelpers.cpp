#include "viewer/widgets/WidgetHelpers.h"

#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>
#include <QtTest>

namespace {

enum class Helper { FirstRow, LastRow, NextRow, PreviousRow, ColumnForward, ColumnBack, ViewOnly };

bool run(Helper helper, QAbstractItemView* view, int column) {
    switch (helper) {
    case Helper::FirstRow:
        return focusViewFirstRow(view, column);
    case Helper::LastRow:
        return focusViewLastRow(view, column);
    case Helper::NextRow:
        return focusViewNextRow(view, column);
    case Helper::PreviousRow:
        return focusViewPreviousRow(view, column);
    case Helper::ColumnForward:
        return focusViewColumnForward(view, column);
    case Helper::ColumnBack:
        return focusViewColumnBack(view, column);
    case Helper::ViewOnly:
        return focusView(view);
    }
    return false;
}

const QPoint noCurrent(-1, -1); // (row, column) of no current index

} // namespace

Q_DECLARE_METATYPE(Helper)

class TestWidgetHelpers : public QObject {
    Q_OBJECT

private slots:
    void focusHelpers_data() {
        QTest::addColumn<Helper>("helper");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QPoint>("current"); // (row, column) before the call
        QTest::addColumn<int>("column");
        QTest::addColumn<bool>("usable"); // view visible and enabled
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QPoint>("after");

        const QPoint none = noCurrent;
        QTest::newRow("first row") << Helper::FirstRow << 3 << none << 1 << true << true << QPoint(0, 1);
        QTest::newRow("first row, empty model")
            << Helper::FirstRow << 0 << none << 0 << true << false << none;
        QTest::newRow("first row, no such column")
            << Helper::FirstRow << 3 << none << 5 << true << false << none;
        QTest::newRow("first row, hidden view")
            << Helper::FirstRow << 3 << none << 0 << false << false << none;
        QTest::newRow("last row") << Helper::LastRow << 3 << QPoint(0, 0) << 2 << true << true
                                  << QPoint(2, 2);
        QTest::newRow("last row, empty model") << Helper::LastRow << 0 << none << 0 << true << false << none;
        QTest::newRow("next row") << Helper::NextRow << 3 << QPoint(1, 0) << 2 << true << true
                                  << QPoint(2, 2);
        QTest::newRow("next row past the end")
            << Helper::NextRow << 3 << QPoint(2, 0) << 0 << true << false << QPoint(2, 0);
        QTest::newRow("next row without current")
            << Helper::NextRow << 3 << none << 0 << true << false << none;
        QTest::newRow("previous row")
            << Helper::PreviousRow << 3 << QPoint(2, 1) << 0 << true << true << QPoint(1, 0);
        QTest::newRow("previous row on row 0")
            << Helper::PreviousRow << 3 << QPoint(0, 1) << 1 << true << false << QPoint(0, 1);
        QTest::newRow("column forward")
            << Helper::ColumnForward << 3 << QPoint(1, 0) << 2 << true << true << QPoint(1, 2);
        QTest::newRow("column forward, already there")
            << Helper::ColumnForward << 3 << QPoint(1, 2) << 2 << true << false << QPoint(1, 2);
        QTest::newRow("column forward, would go back")
            << Helper::ColumnForward << 3 << QPoint(1, 2) << 1 << true << false << QPoint(1, 2);
        QTest::newRow("column back") << Helper::ColumnBack << 3 << QPoint(1, 2) << 0 << true << true
                                     << QPoint(1, 0);
        QTest::newRow("column back, already there")
            << Helper::ColumnBack << 3 << QPoint(1, 0) << 0 << true << false << QPoint(1, 0);
        QTest::newRow("column back, disabled view")
            << Helper::ColumnBack << 3 << QPoint(1, 2) << 0 << false << false << QPoint(1, 2);
        QTest::newRow("view only, empty model") << Helper::ViewOnly << 0 << none << 0 << true << true << none;
        QTest::newRow("view only, keeps current")
            << Helper::ViewOnly << 3 << QPoint(2, 2) << 0 << true << true << QPoint(2, 2);
        QTest::newRow("view only, hidden view")
            << Helper::ViewOnly << 3 << none << 0 << false << false << none;
    }

    void focusHelpers() {
        QFETCH(Helper, helper);
        QFETCH(int, rows);
        QFETCH(QPoint, current);
        QFETCH(int, column);
        QFETCH(bool, usable);
        QFETCH(bool, expected);
        QFETCH(QPoint, after);

        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        auto* edit = new QLineEdit(&window);
        auto* view = new QTableView(&window);
        layout->addWidget(edit);
        layout->addWidget(view);
        QStandardItemModel model(rows, 3);
        view->setModel(&model);
        window.show();
        if (current != noCurrent) {
            view->setCurrentIndex(model.index(current.x(), current.y()));
        }
        if (!usable) {
            // Hidden for the row helpers, disabled for the column ones: both count as unusable.
            if (helper == Helper::ColumnBack || helper == Helper::ColumnForward) {
                view->setEnabled(false);
            } else {
                view->hide();
            }
        }
        edit->setFocus(Qt::OtherFocusReason);
        QCOMPARE(window.focusWidget(), edit);

        QCOMPARE(run(helper, view, column), expected);
        QCOMPARE(window.focusWidget(), expected ? static_cast<QWidget*>(view) : static_cast<QWidget*>(edit));
        const QModelIndex index = view->currentIndex();
        QCOMPARE(index.isValid() ? QPoint(index.row(), index.column()) : noCurrent, after);
    }

    void helpersWithoutModelOrView() {
        QTableView view;
        view.show();
        QVERIFY(!focusViewFirstRow(&view, 0));
        QVERIFY(!focusViewLastRow(&view, 0));
        QVERIFY(!focusViewNextRow(&view, 0));
        QVERIFY(!focusViewLastRow(nullptr, 0));
        QVERIFY(!focusView(nullptr));
    }

    // Dialogs move the focus to row buttons with the same helper.
    void focusViewTakesAnyWidget() {
        QWidget window;
        auto* button = new QPushButton(QStringLiteral("x"), &window);
        auto* other = new QPushButton(QStringLiteral("y"), &window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        other->setFocus();
        button->setEnabled(false);
        QVERIFY(!focusView(button));
        QVERIFY(!button->hasFocus());
        button->setEnabled(true);
        QVERIFY(focusView(button));
        QVERIFY(button->hasFocus());
        button->hide();
        QVERIFY(!focusView(button));
    }

    void showAndActivateHiddenWindow() {
        QWidget window;
        auto* child = new QWidget(&window);
        showAndActivateWindow(child); // acts on the child's top-level window
        QVERIFY(window.isVisible());
    }

    void showAndActivateRestoresMinimizedToPreviousState_data() {
        QTest::addColumn<Qt::WindowState>("previous");
        QTest::newRow("maximized") << Qt::WindowMaximized;
        QTest::newRow("normal") << Qt::WindowNoState;
    }

    void showAndActivateRestoresMinimizedToPreviousState() {
        QFETCH(Qt::WindowState, previous);
        QWidget window;
        window.setWindowState(previous);
        window.show();
        window.setWindowState(window.windowState() | Qt::WindowMinimized);
        QVERIFY(window.isMinimized());

        showAndActivateWindow(&window);
        QVERIFY(!window.isMinimized());
        QCOMPARE(window.windowState() & ~Qt::WindowActive, Qt::WindowStates(previous));
    }

    void showAndActivateShownWindowStaysAsItIs() {
        QWidget window;
        window.showMaximized();
        showAndActivateWindow(&window);
        QVERIFY(window.isVisible());
        QVERIFY(window.isMaximized());
        showAndActivateWindow(nullptr);
    }

    void clearUnderMouseClearsTheFlag() {
        QWidget widget;
        widget.setAttribute(Qt::WA_UnderMouse, true);
        clearUnderMouse(&widget);
        QVERIFY(!widget.testAttribute(Qt::WA_UnderMouse));
        clearUnderMouse(nullptr);
    }
};

QTEST_MAIN(TestWidgetHelpers)
#include "tst_widgethelpers.moc"
