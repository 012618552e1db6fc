#pragma once

#include <QAbstractItemView>
#include <QDialog>
#include <QList>
#include <QSharedPointer>
#include <QString>

#include <functional>

class Bookmark;
class BookmarkModel;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;
class RpcInstance;

namespace Ui {
class BookmarkDialog;
}

// The user's own bookmarks on one server: a table edited in place, "New", and a delete button on the
// current row. The system and history tables are kept current but their tab widget stays hidden.
// Every change goes to the server through the dialog's own bookmark model.
class BookmarkDialog : public QDialog {
    Q_OBJECT
public:
    // Makes a fresh bookmark id; false (with a reason) when none can be made.
    using IdSource = std::function<bool(QString& id, QString& error)>;

    explicit BookmarkDialog(const QSharedPointer<RpcInstance>& rpc, QWidget* parent = nullptr);
    ~BookmarkDialog() override;

    // Whether the user may change the own bookmarks: "New", the delete button and in-place editing.
    void setUserBookmarksEditable(bool editable);
    bool userBookmarksEditable() const { return m_userEditable; }

    // Replaces the random source of new ids (the system's cryptographic source by default).
    void setIdSource(IdSource source);

    BookmarkModel* model() const { return m_model; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private slots:
    void resizeBookmarkSections();
    void resizeSuggestionSections();
    void resizeHistorySections();
    void setBookmarkButtons();
    void setSuggestionButtons();
    void setHistoryButtons();
    void on_TabWidget_tabBarClicked(int index);
    void on_TabWidget_currentChanged(int index);

private:
    void setUpTable(QTableView* view, QSortFilterProxyModel* proxy);
    void refresh();
    void placeBookmarkButton(int row);
    void placeHistoryButtons(int row);
    void selectFirstRow();
    void selectFirstSuggestionRow();
    void selectFirstHistoryRow();
    void addNewBookmark();
    void bookmarkFromHistory();
    // Adds the bookmark as the user's own under a fresh id and makes it the current row.
    void addUserBookmark(Bookmark bookmark);
    void deleteCurrentRow(QTableView* view, QSortFilterProxyModel* proxy);
    QPushButton* makeRowButton(QTableView* view, const char* name, const QString& styleSheet);

    // Focus steps of the keyboard chain (see focusNextPrevChild).
    bool forwardFromUserTable();
    bool forwardFromHistoryTable();
    bool backFromUserTable();
    bool backFromHistoryTable();

    Ui::BookmarkDialog* ui;
    QSharedPointer<RpcInstance> m_rpc;
    BookmarkModel* m_model = nullptr;
    QSortFilterProxyModel* bookmarkProxy = nullptr;
    QSortFilterProxyModel* suggestionProxy = nullptr;
    QSortFilterProxyModel* historyProxy = nullptr;
    QPushButton* newButton = nullptr;
    QPushButton* bookmarkDeleteButton = nullptr;
    QPushButton* historyDeleteButton = nullptr;
    QPushButton* historyBookmarkButton = nullptr;
    QList<std::function<void()>> showActions;

    IdSource m_idSource;
    bool m_userEditable = true;
    QAbstractItemView::EditTriggers m_userEditTriggers;
};
