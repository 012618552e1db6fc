#include "bookmarks/StartSessionDialog.h"

#include "bookmarks/BookmarkModel.h"
#include "bookmarks/BookmarkTagProxyModel.h"
#include "ui_StartSessionDialog.h"

#include <QAction>
#include <QHeaderView>
#include <QHelpEvent>
#include <QJsonArray>
#include <QKeyEvent>
#include <QMenu>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QStringListModel>
#include <QTextDocument>
#include <QToolTip>
#include <QTreeWidget>

static void initStartSessionDialogResources() {
    Q_INIT_RESOURCE(StartSessionDialogResources);
}

namespace {

const QString multipleMode = QStringLiteral("Multiple");
const QString singleMode = QStringLiteral("Single");
const QString fullscreenMode = QStringLiteral("Fullscreen");
const QString rootless = QStringLiteral("rootless");

const QString splitterKey = QStringLiteral("StartDialogSplitterState");
const QString commandFrameKey = QStringLiteral("ShowCommandFrame");
const QString tagListKey = QStringLiteral("ShowTagListView");

constexpr int maxPopupRows = 7;

} // namespace

StartSessionDialog::StartSessionDialog(const QSharedPointer<RpcInstance>& rpc, bool lockCommand,
                                       const QVariantMap& bookmarkConfig, QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::StartSessionDialog)
    , m_rpc(rpc)
    , m_bookmarkConfig(bookmarkConfig) {
    initStartSessionDialogResources();
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    connect(ui->splitter, &QSplitter::splitterMoved, this,
            [this] { QSettings().setValue(splitterKey, ui->splitter->saveState()); });

    m_tagModel = new QStringListModel(this);
    ui->TagListView->setModel(m_tagModel);

    auto* favoriteMenu = new QMenu(this);
    ui->ToggleTagsButton->setIcon(QIcon(QStringLiteral(":/images/resources/tag.svg")));
    ui->ToggleCommandButton->setIcon(QIcon(QStringLiteral(":/images/resources/terminal.svg")));
    ui->FavoriteButton->setIcon(QIcon(QStringLiteral(":/images/resources/heart.svg")));
    ui->FavoriteButton->setStyleSheet(QStringLiteral("::menu-indicator{ display:none; image: none; }"));
    ui->FavoriteButton->setMenu(favoriteMenu);

    const auto toggle = [](QWidget* widget, const QString& key) {
        widget->setVisible(widget->isHidden());
        QSettings().setValue(key, !widget->isHidden());
    };
    connect(ui->ToggleTagsButton, &QPushButton::clicked, this,
            [this, toggle] { toggle(ui->TagListView, tagListKey); });
    connect(ui->ToggleCommandButton, &QPushButton::clicked, this,
            [this, toggle] { toggle(ui->CommandEditFrame, commandFrameKey); });

    connect(ui->TagListView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { selectTag(current); });

    m_bookmarkModel = new BookmarkModel({QStringLiteral("presentation")}, m_rpc, this);
    connect(m_bookmarkModel, &BookmarkModel::bookmarksUpdated, this, &StartSessionDialog::updateTagsAndSuggestions);

    m_tagProxy = new BookmarkTagProxyModel(this);
    m_tagProxy->setFilterRole(BookmarkModel::BookmarkRole);
    m_tagProxy->setSortLocaleAware(true);
    m_tagProxy->setSortRole(BookmarkModel::SortRole);
    m_tagProxy->setSourceModel(m_bookmarkModel);
    ui->BookmarkListView->setModel(m_tagProxy);
    ui->BookmarkListView->installEventFilter(this);
    // Tool tips are the bookmarks' commands, shown here as text rather than guessed to be markup.
    ui->BookmarkListView->viewport()->installEventFilter(this);

    connect(ui->BookmarkListView, &QListView::doubleClicked, this, [this](const QModelIndex& index) {
        if (m_bookmarksEnabled && Bookmark::fromVariant(index.data(BookmarkModel::BookmarkRole)).isValid())
            accept();
    });
    connect(ui->BookmarkListView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { bookmarkSelected(current); });

    m_unfavoriteAction = new QAction(tr("Unfavorite"), this);
    m_favoriteAction = new QAction(tr("Favorite"), this);
    for (QAction* action : {m_unfavoriteAction, m_favoriteAction}) {
        action->setVisible(false);
        action->setEnabled(false);
        ui->BookmarkListView->addAction(action);
    }
    favoriteMenu->addAction(m_favoriteAction);
    favoriteMenu->addAction(m_unfavoriteAction);
    connect(m_unfavoriteAction, &QAction::triggered, this, [this] {
        const Bookmark b = currentBookmark();
        if (b.isValid())
            m_bookmarkModel->unfavorite(b.id());
    });
    connect(m_favoriteAction, &QAction::triggered, this, [this] {
        const Bookmark b = currentBookmark();
        if (b.isValid())
            m_bookmarkModel->favorite(b.id());
    });
    connect(m_bookmarkModel, &BookmarkModel::favoriteUpdated, this, [this](bool isFavorite) {
        m_favoriteAction->setVisible(!isFavorite);
        m_favoriteAction->setEnabled(!isFavorite);
        m_unfavoriteAction->setVisible(isFavorite);
        m_unfavoriteAction->setEnabled(isFavorite);
    });

    QAction* suggestionsAction = ui->CommandLineEdit->addAction(
        QIcon(QStringLiteral(":/images/resources/ios-bookmarks-outline.svg")), QLineEdit::TrailingPosition);
    connect(suggestionsAction, &QAction::triggered, this, &StartSessionDialog::showSuggestions);

    ui->CommandLineEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\S.*")), ui->CommandLineEdit));
    ui->CommandLineEdit->installEventFilter(this);

    m_popup = new QTreeWidget;
    m_popup->setColumnCount(1);
    m_popup->header()->hide();
    m_popup->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_popup->setFocusPolicy(Qt::NoFocus);
    m_popup->setFocusProxy(ui->CommandLineEdit);
    m_popup->setFrameStyle(QFrame::Box | QFrame::Plain);
    m_popup->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_popup->setMouseTracking(true);
    m_popup->setRootIsDecorated(false);
    m_popup->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_popup->setUniformRowHeights(true);
    m_popup->setWindowFlags(Qt::Popup);
    m_popup->installEventFilter(this);
    connect(m_popup, &QTreeWidget::itemClicked, this, &StartSessionDialog::Popup_itemClicked);

    ui->ButtonBox->button(QDialogButtonBox::Ok)->setEnabled(false);

    QSettings settings;
    ui->splitter->restoreState(settings.value(splitterKey).toByteArray());
    ui->CommandEditFrame->setVisible(settings.value(commandFrameKey, true).toBool());
    ui->TagListView->setVisible(settings.value(tagListKey, true).toBool());

    if (lockCommand) {
        ui->CommandLineEdit->setEnabled(false);
        ui->WindowModeComboBox->setEnabled(false);
        ui->GeometryLineEdit->setEnabled(false);
    }
}

StartSessionDialog::~StartSessionDialog() {
    delete m_popup;
}

void StartSessionDialog::setBookmarksEnabled(bool enabled) {
    m_bookmarksEnabled = enabled;
    ui->BookmarkListView->setEnabled(enabled);
    if (!enabled)
        clearKeptFields();
}

void StartSessionDialog::setCustomEnabled(bool enabled) {
    ui->CommandEditFrame->setEnabled(enabled);
}

Bookmark StartSessionDialog::currentBookmark() const {
    return Bookmark::fromVariant(ui->BookmarkListView->currentIndex().data(BookmarkModel::BookmarkRole));
}

void StartSessionDialog::selectTag(const QModelIndex& index) {
    const QString tag = index.data(Qt::DisplayRole).toString();
    ui->TagLabel->setText(tag);
    m_tagProxy->setTag(tag);
    m_tagProxy->sort(0, Qt::AscendingOrder);
    if (!ui->BookmarkListView->currentIndex().isValid())
        selectFirstBookmark();
}

void StartSessionDialog::selectFirstBookmark() {
    ui->BookmarkListView->setCurrentIndex(ui->BookmarkListView->model()->index(0, 0));
}

void StartSessionDialog::updateTagsAndSuggestions() {
    m_tagProxy->sort(0, Qt::AscendingOrder);
    const QJsonValue hidden = QJsonValue::fromVariant(m_bookmarkConfig.value(QStringLiteral("hideTags")));
    setStringListKeepingRows(m_tagModel, Bookmark::availableTags(m_bookmarkModel->bookmarks(), hidden.toArray()));
    if (!ui->TagListView->currentIndex().isValid())
        ui->TagListView->setCurrentIndex(m_tagModel->index(0, 0));
    fillSuggestions(m_bookmarkModel->bookmarks());
}

void StartSessionDialog::setStringListKeepingRows(QStringListModel* model, const QStringList& list) {
    int row = 0;
    for (const QString& text : list) {
        if (row >= model->rowCount() || model->index(row, 0).data(Qt::DisplayRole).toString() != text) {
            model->insertRows(row, 1);
            model->setData(model->index(row, 0), text, Qt::EditRole);
        }
        ++row;
    }
    if (row < model->rowCount())
        model->removeRows(row, model->rowCount() - row);
}

void StartSessionDialog::fillSuggestions(const QList<Bookmark>& bookmarks) {
    m_popup->clear();
    for (const Bookmark& b : bookmarks) {
        if (b.type() != HistoryType)
            continue;
        const QString geometry = b.geometry() == rootless ? tr("Multiple") : b.geometry();
        auto* item = new QTreeWidgetItem(m_popup);
        item->setText(0, tr("   %1 (%2)").arg(b.command(), geometry));
        item->setData(0, Qt::UserRole, QVariant::fromValue(b));
    }
    // Only the listed entries take room, at most maxPopupRows of them; the frame adds 3 pixels.
    const int rows = m_popup->topLevelItemCount();
    int height = 3;
    if (rows > 0) {
        m_popup->setCurrentItem(m_popup->topLevelItem(0));
        height += m_popup->sizeHintForRow(0) * qMin(maxPopupRows, rows);
    }
    m_popup->resize(m_popup->width(), height);
}

void StartSessionDialog::showSuggestions() {
    QLineEdit* edit = ui->CommandLineEdit;
    m_popup->resize(edit->width(), m_popup->height());
    m_popup->move(edit->mapToGlobal(QPoint(0, edit->height())));
    m_popup->setFocus(Qt::OtherFocusReason);
    m_popup->show();
}

void StartSessionDialog::hidePopup() {
    m_popup->hide();
    ui->CommandLineEdit->setFocus(Qt::OtherFocusReason);
}

void StartSessionDialog::Popup_itemClicked(QTreeWidgetItem* item) {
    if (item) {
        const Bookmark b = Bookmark::fromVariant(item->data(0, Qt::UserRole));
        if (b.isValid())
            applyBookmarkRecord(b);
    }
    hidePopup();
}

void StartSessionDialog::bookmarkSelected(const QModelIndex& index) {
    const Bookmark b = Bookmark::fromVariant(index.data(BookmarkModel::BookmarkRole));
    if (b.isValid()) {
        m_unfavoriteAction->setVisible(b.isFavorite());
        m_unfavoriteAction->setEnabled(b.isFavorite());
        m_favoriteAction->setVisible(!b.isFavorite());
        m_favoriteAction->setEnabled(!b.isFavorite());
    }
    applyBookmark(index);
}

void StartSessionDialog::applyBookmark(const QModelIndex& index) {
    // A bookmark the user may not use is never applied, not even the first one on its own.
    if (!m_bookmarksEnabled)
        return;
    const Bookmark b = Bookmark::fromVariant(index.data(BookmarkModel::BookmarkRole));
    if (b.isValid())
        applyBookmarkRecord(b);
}

void StartSessionDialog::applyBookmarkRecord(const Bookmark& b) {
    // The edits fire the change slots, which clear the kept fields; they are set afterwards.
    ui->CommandLineEdit->setText(b.command());
    if (b.geometry() == rootless) {
        ui->WindowModeComboBox->setCurrentText(multipleMode);
        ui->GeometryLineEdit->setText(QString());
    } else {
        ui->WindowModeComboBox->setCurrentText(singleMode);
        ui->GeometryLineEdit->setText(b.geometry());
    }
    m_bookmarkName = b.name();
    m_bookmarkProfile = b.profile();
    m_bookmarkId = b.id();
    m_bookmarkParams = QJsonObject::fromVariantMap(b.params());
    m_bookmarkForms = b.form();
}

void StartSessionDialog::clearKeptFields() {
    m_bookmarkName.clear();
    m_bookmarkProfile.clear();
    m_bookmarkId.clear();
    m_bookmarkParams = QJsonObject();
    m_bookmarkForms.clear();
}

void StartSessionDialog::on_CommandLineEdit_textChanged() {
    ui->ButtonBox->button(QDialogButtonBox::Ok)->setEnabled(ui->CommandLineEdit->hasAcceptableInput());
    clearKeptFields();
}

void StartSessionDialog::on_GeometryLineEdit_textChanged() {
    clearKeptFields();
}

void StartSessionDialog::on_WindowModeComboBox_currentTextChanged(const QString& mode) {
    if (mode == multipleMode) {
        ui->GeometryLineEdit->setText(QString());
        ui->GeometryLineEdit->setEnabled(false);
    } else if (mode == fullscreenMode) {
        ui->GeometryLineEdit->setEnabled(false);
    } else {
        ui->GeometryLineEdit->setEnabled(true);
    }
    clearKeptFields();
}

bool StartSessionDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->BookmarkListView->viewport() && event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QModelIndex index = ui->BookmarkListView->indexAt(help->pos());
        const QString tip = index.data(Qt::ToolTipRole).toString();
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), Qt::convertFromPlainText(tip, Qt::WhiteSpaceNormal),
                               ui->BookmarkListView->viewport(), ui->BookmarkListView->visualRect(index));
        return true;
    }
    if (watched == ui->CommandLineEdit && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Down) {
        showSuggestions();
        return true;
    }
    if (watched == m_popup) {
        if (event->type() == QEvent::MouseButtonPress) {
            hidePopup();
            return true;
        }
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            switch (key->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
                if (QTreeWidgetItem* item = m_popup->currentItem())
                    Popup_itemClicked(item);
                return true;
            case Qt::Key_Escape:
                hidePopup();
                return true;
            case Qt::Key_Up:
            case Qt::Key_Down:
            case Qt::Key_Home:
            case Qt::Key_End:
            case Qt::Key_PageUp:
            case Qt::Key_PageDown:
                break;
            default:
                // Typing goes on in the command field.
                hidePopup();
                QCoreApplication::sendEvent(ui->CommandLineEdit, event);
                break;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void StartSessionDialog::done(int result) {
    if (result == QDialog::Accepted && !ui->CommandLineEdit->hasAcceptableInput())
        return;
    QDialog::done(result);
}

QJsonObject StartSessionDialog::sessionParams() const {
    QJsonObject request;
    const QString mode = ui->WindowModeComboBox->currentText();
    request.insert(QStringLiteral("command"), ui->CommandLineEdit->text());
    QString geometry;
    if (mode == multipleMode)
        geometry = rootless;
    else if (mode == singleMode || mode == fullscreenMode)
        geometry = ui->GeometryLineEdit->text();
    request.insert(QStringLiteral("geometry"), geometry);
    if (!m_bookmarkName.isEmpty())
        request.insert(QStringLiteral("name"), m_bookmarkName);
    if (!m_bookmarkProfile.isEmpty())
        request.insert(QStringLiteral("profile"), m_bookmarkProfile);
    QJsonObject params = m_bookmarkParams;
    if (!m_bookmarkId.isEmpty())
        params.insert(QStringLiteral("bookmarkId"), m_bookmarkId);
    if (mode == fullscreenMode)
        params.insert(QStringLiteral("windowMode"), QStringLiteral("fullscreen"));
    if (!params.isEmpty())
        request.insert(QStringLiteral("params"), params);
    if (!m_bookmarkForms.isEmpty())
        request.insert(QStringLiteral("forms"), QJsonArray::fromStringList(m_bookmarkForms));
    return request;
}
