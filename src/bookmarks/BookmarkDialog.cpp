#include "bookmarks/BookmarkDialog.h"

#include "bookmarks/Bookmark.h"
#include "bookmarks/BookmarkModel.h"
#include "rpc/Cookie.h"
#include "rpc/RpcInstance.h"
#include "ui_BookmarkDialog.h"
#include "viewer/widgets/WidgetHelpers.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QSortFilterProxyModel>

static void initBookmarkDialogResources() {
    Q_INIT_RESOURCE(BookmarkDialogResources);
}

namespace {

// Column 4 has no data: the row buttons sit over it.
constexpr int buttonColumn = 4;

const char deleteButtonStyle[] =
    "QPushButton { image: url(:/images/resources/tavik-close.svg); background-color: lightgrey; padding: "
    "3px; "
    "border: 1px outset gray; border-radius: 2px; }QPushButton:pressed { background-color: darkgray; }";
const char starButtonStyle[] =
    "QPushButton { image: url(:/images/resources/android-star-outline-black.svg); background-color: "
    "lightgrey; "
    "padding: 3px; border: 1px outset gray; border-radius: 2px; }QPushButton:pressed { background-color: "
    "darkgray; }";

QSortFilterProxyModel* typeProxy(BookmarkModel* model, const QString& type, QObject* parent) {
    auto* proxy = new QSortFilterProxyModel(parent);
    proxy->setDynamicSortFilter(false);
    proxy->setSortLocaleAware(true);
    proxy->setSortRole(BookmarkModel::SortRole);
    proxy->setFilterKeyColumn(1);
    proxy->setFilterFixedString(type);
    proxy->setSourceModel(model);
    return proxy;
}

// A 20 x 20 button at `offset` from the left of the cell, centred vertically.
QRect rowButtonRect(const QRect& cell, int offset) {
    const int y = cell.center().y();
    return QRect(QPoint(cell.left() + offset, y - 10), QPoint(cell.left() + offset + 20, y + 10));
}

void setFixedSections(QHeaderView* header, std::initializer_list<int> sections) {
    for (const int section : sections)
        header->setSectionResizeMode(section, QHeaderView::Fixed);
}

void resort(QSortFilterProxyModel* proxy) {
    proxy->sort(proxy->sortColumn(), proxy->sortOrder());
}

} // namespace

BookmarkDialog::BookmarkDialog(const QSharedPointer<RpcInstance>& rpc, QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::BookmarkDialog)
    , m_rpc(rpc)
    , m_idSource(generateCookie) {
    initBookmarkDialogResources();
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    m_model = new BookmarkModel({QStringLiteral("name"), QStringLiteral("type"), QStringLiteral("command"),
                                 QStringLiteral("geometry"), QString()},
                                m_rpc, this);
    ui->TabWidget->hide();
    setWindowTitle(tr("Bookmarks"));

    connect(m_model, &BookmarkModel::bookmarksUpdated, this, &BookmarkDialog::refresh);

    bookmarkProxy = typeProxy(m_model, BookmarkType, this);
    suggestionProxy = typeProxy(m_model, SuggestionType, this);
    historyProxy = typeProxy(m_model, HistoryType, this);

    QTableView* user = ui->BookmarkListView;
    setUpTable(user, bookmarkProxy);
    connect(user->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { placeBookmarkButton(current.row()); });
    connect(user->horizontalHeader(), &QHeaderView::sortIndicatorChanged, this,
            [this] { placeBookmarkButton(ui->BookmarkListView->currentIndex().row()); });
    setFixedSections(user->horizontalHeader(), {0, 2, 3, 4});
    user->setAttribute(Qt::WA_MacShowFocusRect, false);
    m_userEditTriggers = user->editTriggers();

    QTableView* system = ui->SuggestionListView;
    setUpTable(system, suggestionProxy);
    setFixedSections(system->horizontalHeader(), {0, 2, 3});
    system->setAttribute(Qt::WA_MacShowFocusRect, false);

    QTableView* history = ui->HistoryListView;
    setUpTable(history, historyProxy);
    history->setColumnHidden(0, true);
    connect(history->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { placeHistoryButtons(current.row()); });
    connect(history->horizontalHeader(), &QHeaderView::sortIndicatorChanged, this,
            [this] { placeHistoryButtons(ui->HistoryListView->currentIndex().row()); });
    setFixedSections(history->horizontalHeader(), {2, 3, 4});

    newButton = ui->ButtonBox->addButton(tr("New"), QDialogButtonBox::ActionRole);
    newButton->setObjectName(QStringLiteral("newButton"));
    connect(newButton, &QPushButton::clicked, this, &BookmarkDialog::addNewBookmark);
    newButton->setEnabled(true);

    bookmarkDeleteButton = makeRowButton(user, "bookmarkDeleteButton", QLatin1String(deleteButtonStyle));
    historyDeleteButton = makeRowButton(history, "historyDeleteButton", QLatin1String(deleteButtonStyle));
    historyBookmarkButton = makeRowButton(history, "historyBookmarkButton", QLatin1String(starButtonStyle));
    connect(bookmarkDeleteButton, &QPushButton::clicked, this, [this] {
        if (m_userEditable)
            deleteCurrentRow(ui->BookmarkListView, bookmarkProxy);
    });
    connect(historyDeleteButton, &QPushButton::clicked, this,
            [this] { deleteCurrentRow(ui->HistoryListView, historyProxy); });
    connect(historyBookmarkButton, &QPushButton::clicked, this, &BookmarkDialog::bookmarkFromHistory);

    // Qt moves a widget together with its focusable descendants wherever they sit in the chain, so
    // each table's row buttons are brought next to their table before the chain is laid out.
    QWidget::setTabOrder(user, bookmarkDeleteButton);
    QWidget::setTabOrder(history, historyBookmarkButton);
    QWidget::setTabOrder(historyBookmarkButton, historyDeleteButton);
    QWidget::setTabOrder(ui->TabWidget, user);
    QWidget::setTabOrder(user, bookmarkDeleteButton);
    QWidget::setTabOrder(bookmarkDeleteButton, system);
    QWidget::setTabOrder(system, history);
    QWidget::setTabOrder(history, historyBookmarkButton);
    QWidget::setTabOrder(historyBookmarkButton, historyDeleteButton);
    QWidget::setTabOrder(historyDeleteButton, ui->ButtonBox);

    showActions.append([this] { ui->HistoryListView->setFocus(Qt::OtherFocusReason); });
}

BookmarkDialog::~BookmarkDialog() {
    // The base destructor hides the dialog, which commits an open cell editor into the model; the
    // dialog's own reactions to that must not run on its half-destroyed form.
    disconnect(m_model, nullptr, this, nullptr);
    for (QTableView* view : {ui->BookmarkListView, ui->SuggestionListView, ui->HistoryListView}) {
        disconnect(view->selectionModel(), nullptr, this, nullptr);
        disconnect(view->horizontalHeader(), nullptr, this, nullptr);
    }
    delete ui;
}

void BookmarkDialog::setUpTable(QTableView* view, QSortFilterProxyModel* proxy) {
    view->setModel(proxy);
    view->setColumnHidden(1, true);
    view->sortByColumn(2, Qt::AscendingOrder);
    view->setTabKeyNavigation(false);
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
    view->horizontalHeader()->viewport()->installEventFilter(this);
    // The sections get their widths from the viewport's width alone, however narrow.
    view->horizontalHeader()->setMinimumSectionSize(0);
}

QPushButton* BookmarkDialog::makeRowButton(QTableView* view, const char* name, const QString& styleSheet) {
    auto* button = new QPushButton(view->viewport());
    button->setObjectName(QLatin1String(name));
    button->hide();
    button->setAttribute(Qt::WA_MacShowFocusRect, true);
    button->installEventFilter(this);
    button->setStyleSheet(styleSheet);
    return button;
}

void BookmarkDialog::setUserBookmarksEditable(bool editable) {
    m_userEditable = editable;
    ui->BookmarkPage->setEnabled(editable);
    newButton->setEnabled(editable && ui->TabWidget->currentIndex() == 0);
    // Without the permission the own bookmarks can be looked at, not changed.
    ui->BookmarkListView->setEditTriggers(editable ? m_userEditTriggers : QAbstractItemView::NoEditTriggers);
    placeBookmarkButton(ui->BookmarkListView->currentIndex().row());
}

void BookmarkDialog::setIdSource(IdSource source) {
    m_idSource = std::move(source);
}

// ---- refresh and row buttons ----------------------------------------------------------------------------

void BookmarkDialog::refresh() {
    // The proxies do not sort by themselves.
    resort(bookmarkProxy);
    const QModelIndex user = ui->BookmarkListView->currentIndex();
    if (user.isValid())
        placeBookmarkButton(user.row());
    else
        selectFirstRow();

    resort(suggestionProxy);
    if (!ui->SuggestionListView->currentIndex().isValid())
        selectFirstSuggestionRow();

    resort(historyProxy);
    const QModelIndex history = ui->HistoryListView->currentIndex();
    if (history.isValid())
        placeHistoryButtons(history.row());
    else
        selectFirstHistoryRow();
}

void BookmarkDialog::placeBookmarkButton(int row) {
    const Bookmark b = Bookmark::fromVariant(bookmarkProxy->index(row, 0).data(BookmarkModel::BookmarkRole));
    if (!m_userEditable || !b.isValid()) {
        bookmarkDeleteButton->hide();
        return;
    }
    const QRect cell = ui->BookmarkListView->visualRect(bookmarkProxy->index(row, buttonColumn));
    bookmarkDeleteButton->setGeometry(rowButtonRect(cell, 4));
    bookmarkDeleteButton->show();
}

void BookmarkDialog::placeHistoryButtons(int row) {
    const Bookmark b = Bookmark::fromVariant(historyProxy->index(row, 0).data(BookmarkModel::BookmarkRole));
    if (!b.isValid()) {
        historyBookmarkButton->hide();
        historyDeleteButton->hide();
        return;
    }
    const QRect cell = ui->HistoryListView->visualRect(historyProxy->index(row, buttonColumn));
    historyBookmarkButton->setGeometry(rowButtonRect(cell, 4));
    historyDeleteButton->setGeometry(rowButtonRect(cell, 28));
    historyBookmarkButton->show();
    historyDeleteButton->show();
}

void BookmarkDialog::selectFirstRow() {
    ui->BookmarkListView->setCurrentIndex(bookmarkProxy->index(0, 0));
}

void BookmarkDialog::selectFirstSuggestionRow() {
    ui->SuggestionListView->setCurrentIndex(suggestionProxy->index(0, 0));
}

void BookmarkDialog::selectFirstHistoryRow() {
    // Columns 0 and 1 of the history table are hidden.
    ui->HistoryListView->setCurrentIndex(historyProxy->index(0, 2));
}

void BookmarkDialog::setBookmarkButtons() {
    placeBookmarkButton(ui->BookmarkListView->currentIndex().row());
}

void BookmarkDialog::setSuggestionButtons() {}

void BookmarkDialog::setHistoryButtons() {
    placeHistoryButtons(ui->HistoryListView->currentIndex().row());
}

// ---- column widths ---------------------------------------------------------------------------------------

void BookmarkDialog::resizeBookmarkSections() {
    QHeaderView* header = ui->BookmarkListView->horizontalHeader();
    const int rest = ui->BookmarkListView->viewport()->width() - 28;
    header->resizeSection(4, 28);
    header->resizeSection(2, rest / 3);
    header->resizeSection(3, rest / 3);
    header->resizeSection(0, rest - 2 * (rest / 3));
}

void BookmarkDialog::resizeSuggestionSections() {
    QHeaderView* header = ui->SuggestionListView->horizontalHeader();
    const int width = ui->SuggestionListView->viewport()->width();
    header->resizeSection(2, width / 3);
    header->resizeSection(3, width / 3);
    header->resizeSection(0, width - 2 * (width / 3));
}

void BookmarkDialog::resizeHistorySections() {
    QHeaderView* header = ui->HistoryListView->horizontalHeader();
    const int rest = ui->HistoryListView->viewport()->width() - 52;
    header->resizeSection(4, 52);
    header->resizeSection(3, rest / 2);
    header->resizeSection(2, rest - rest / 2);
}

// ---- tabs ------------------------------------------------------------------------------------------------

void BookmarkDialog::on_TabWidget_tabBarClicked(int index) {
    QTableView* views[] = {ui->BookmarkListView, ui->SuggestionListView, ui->HistoryListView};
    if (index >= 0 && index < 3)
        views[index]->setFocus(Qt::OtherFocusReason);
}

void BookmarkDialog::on_TabWidget_currentChanged(int index) {
    if (newButton)
        newButton->setEnabled(index == 0 && m_userEditable);
}

// ---- adding and deleting ---------------------------------------------------------------------------------

void BookmarkDialog::addNewBookmark() {
    Bookmark b;
    b.setType(BookmarkType);
    b.setName(QStringLiteral("New Bookmark"));
    b.setCommand(QStringLiteral("xterm -ls"));
    addUserBookmark(b);
}

void BookmarkDialog::bookmarkFromHistory() {
    const Bookmark entry =
        Bookmark::fromVariant(ui->HistoryListView->currentIndex().data(BookmarkModel::BookmarkRole));
    if (!entry.isValid())
        return;
    Bookmark b = entry;
    b.setType(BookmarkType);
    addUserBookmark(b);
}

void BookmarkDialog::addUserBookmark(Bookmark bookmark) {
    if (!m_userEditable)
        return;
    // A bookmark without its own id would reach the server as an unnamed record: add nothing.
    QString id;
    QString error;
    if (!m_idSource || !m_idSource(id, error) || id.isEmpty()) {
        m_rpc->appendLog(tr("Failed to edit a bookmark: %1")
                             .arg(error.isEmpty() ? QStringLiteral("Generating cookie failed") : error));
        return;
    }
    bookmark.setId(id);
    const QModelIndex added = m_model->addBookmark(bookmark);
    if (added.isValid())
        ui->BookmarkListView->setCurrentIndex(bookmarkProxy->mapFromSource(added));
}

void BookmarkDialog::deleteCurrentRow(QTableView* view, QSortFilterProxyModel* proxy) {
    // No current row maps to row -1, which the model ignores.
    m_model->deleteBookmark(proxy->mapToSource(view->currentIndex()).row());
}

// ---- events ----------------------------------------------------------------------------------------------

bool BookmarkDialog::eventFilter(QObject* watched, QEvent* event) {
    struct Table {
        QTableView* view;
        void (BookmarkDialog::*selectFirst)();
        const char* resizeSlot;
        const char* buttonSlot;
    };
    const Table tables[] = {
        {ui->BookmarkListView, &BookmarkDialog::selectFirstRow, "resizeBookmarkSections",
         "setBookmarkButtons"},
        {ui->SuggestionListView, &BookmarkDialog::selectFirstSuggestionRow, "resizeSuggestionSections",
         "setSuggestionButtons"},
        {ui->HistoryListView, &BookmarkDialog::selectFirstHistoryRow, "resizeHistorySections",
         "setHistoryButtons"},
    };
    const QEvent::Type type = event->type();
    for (const Table& t : tables) {
        if (watched == t.view) {
            if (type == QEvent::FocusIn && !t.view->currentIndex().isValid())
                (this->*t.selectFirst)();
        } else if (watched == t.view->viewport()) {
            if (type == QEvent::Resize)
                QMetaObject::invokeMethod(this, t.resizeSlot, Qt::QueuedConnection);
            if (type == QEvent::Resize || type == QEvent::Show)
                QMetaObject::invokeMethod(this, t.buttonSlot, Qt::QueuedConnection);
        } else if (watched == t.view->horizontalHeader()->viewport()) {
            // The button column cannot be clicked to sort.
            if ((type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease) &&
                t.view->horizontalHeader()->logicalIndexAt(static_cast<QMouseEvent*>(event)->pos()) ==
                    buttonColumn)
                return true;
        }
    }

    if (type == QEvent::KeyPress && qobject_cast<QAbstractButton*>(watched)) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Left || key == Qt::Key_Up || key == Qt::Key_Right || key == Qt::Key_Down) {
            // A row button passes the arrows to its table, so that they move the current row.
            QWidget* parent = static_cast<QWidget*>(watched)->parentWidget();
            if (auto* view = qobject_cast<QAbstractItemView*>(parent ? parent->parentWidget() : nullptr))
                QCoreApplication::sendEvent(view, event);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void BookmarkDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    const QList<std::function<void()>> actions = showActions;
    showActions.clear();
    for (const auto& action : actions)
        action();
}

// ---- keyboard focus chain
// ----------------------------------------------------------------------------------
//
// Tab walks the user table cell by cell (name, command, window size), then its row's delete button, then
// the next row; likewise the history table with its two buttons. Shift+Tab walks back the same way.

bool BookmarkDialog::forwardFromUserTable() {
    QTableView* user = ui->BookmarkListView;
    return focusViewColumnForward(user, 2) || focusViewColumnForward(user, 3) ||
           focusView(bookmarkDeleteButton) || focusViewNextRow(user, 0) || forwardFromHistoryTable();
}

bool BookmarkDialog::forwardFromHistoryTable() {
    return focusView(historyBookmarkButton) || focusView(historyDeleteButton) ||
           focusViewNextRow(ui->HistoryListView, 2) || QDialog::focusNextPrevChild(true);
}

bool BookmarkDialog::backFromUserTable() {
    QTableView* user = ui->BookmarkListView;
    if (focusViewColumnBack(user, 2) || focusViewColumnBack(user, 0))
        return true;
    if (focusViewPreviousRow(user, 3)) {
        focusView(bookmarkDeleteButton);
        return true;
    }
    return QDialog::focusNextPrevChild(false);
}

bool BookmarkDialog::backFromHistoryTable() {
    if (focusViewPreviousRow(ui->HistoryListView, 2)) {
        if (!focusView(historyDeleteButton))
            focusView(historyBookmarkButton);
        return true;
    }
    return focusView(ui->BookmarkListView) || backFromUserTable();
}

bool BookmarkDialog::focusNextPrevChild(bool next) {
    QWidget* focus = focusWidget();
    QTableView* user = ui->BookmarkListView;
    QTableView* history = ui->HistoryListView;
    const bool inButtonBox = focus && focus->parentWidget() == ui->ButtonBox;
    const bool onTabs = focus && (focus == ui->TabWidget || focus == ui->TabWidget->focusProxy());

    if (next) {
        if (onTabs)
            return focusViewFirstRow(user, 0) || focusViewFirstRow(history, 2) || forwardFromUserTable();
        if (focus == user)
            return forwardFromUserTable();
        if (focus == bookmarkDeleteButton)
            return focusViewNextRow(user, 0) || forwardFromHistoryTable();
        if (focus == history)
            return forwardFromHistoryTable();
        if (focus == historyBookmarkButton)
            return focusView(historyDeleteButton) || focusViewNextRow(history, 2) ||
                   QDialog::focusNextPrevChild(true);
        if (focus == historyDeleteButton)
            return focusViewNextRow(history, 2) || QDialog::focusNextPrevChild(true);
        return QDialog::focusNextPrevChild(true);
    }

    if (inButtonBox) {
        const bool moved = QDialog::focusNextPrevChild(false);
        QWidget* now = focusWidget();
        if (now && ui->ButtonBox->isAncestorOf(now))
            return moved;
        // Leaving the buttons backwards enters the last row at its last stop.
        if (focusViewLastRow(user, 3))
            focusView(bookmarkDeleteButton);
        else if (focusViewLastRow(history, 2) && !focusView(historyDeleteButton))
            focusView(historyBookmarkButton);
        return moved;
    }
    if (focus == user)
        return backFromUserTable();
    if (focus == bookmarkDeleteButton)
        return focusView(user) || backFromUserTable();
    if (focus == history)
        return backFromHistoryTable();
    if (focus == historyBookmarkButton)
        return focusView(history) || backFromHistoryTable();
    if (focus == historyDeleteButton)
        return focusView(historyBookmarkButton) || focusView(history) || backFromHistoryTable();
    return QDialog::focusNextPrevChild(false);
}
