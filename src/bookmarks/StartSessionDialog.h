#pragma once

#include <QDialog>
#include <QJsonObject>
#include <QList>
#include <QSharedPointer>
#include <QStringList>
#include <QVariantMap>

#include <memory>

class Bookmark;
class BookmarkModel;
class BookmarkTagProxyModel;
class QAction;
class QModelIndex;
class QStringListModel;
class QTreeWidget;
class QTreeWidgetItem;
class RpcInstance;

namespace Ui {
class StartSessionDialog;
}

// Picks what a new session runs: a bookmark from the icon view (filtered by the tag list), or a
// typed command with a window mode and size, with the start history offered under the command.
// Starts nothing itself; the caller reads sessionParams once it is accepted.
class StartSessionDialog : public QDialog {
    Q_OBJECT
public:
    StartSessionDialog(const QSharedPointer<RpcInstance>& rpc, bool lockCommand, const QVariantMap& bookmarkConfig,
                       QWidget* parent = nullptr);
    ~StartSessionDialog() override;

    // While disabled, no bookmark is picked or applied, by the user or on its own.
    void setBookmarksEnabled(bool enabled);
    void setCustomEnabled(bool enabled);

    // The start request: "command", "geometry", and from an applied bookmark "name", "profile",
    // "params" and "forms".
    QJsonObject sessionParams() const;

    // A string-list model brought to the list row by row, so unchanged rows keep their place.
    static void setStringListKeepingRows(QStringListModel* model, const QStringList& list);

    BookmarkModel* bookmarkModel() const { return m_bookmarkModel; }
    QTreeWidget* suggestionsPopup() const { return m_popup; }

public slots:
    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void on_CommandLineEdit_textChanged();
    void on_WindowModeComboBox_currentTextChanged(const QString& mode);
    void on_GeometryLineEdit_textChanged();
    void showSuggestions();
    void Popup_itemClicked(QTreeWidgetItem* item);

private:
    void selectTag(const QModelIndex& index);
    void selectFirstBookmark();
    void updateTagsAndSuggestions();
    void fillSuggestions(const QList<Bookmark>& bookmarks);
    void applyBookmark(const QModelIndex& index);
    void applyBookmarkRecord(const Bookmark& bookmark);
    void bookmarkSelected(const QModelIndex& index);
    void hidePopup();
    void clearKeptFields();
    Bookmark currentBookmark() const;

    std::unique_ptr<Ui::StartSessionDialog> ui;
    QStringListModel* m_tagModel = nullptr;
    BookmarkModel* m_bookmarkModel = nullptr;
    BookmarkTagProxyModel* m_tagProxy = nullptr;
    QTreeWidget* m_popup = nullptr;
    QAction* m_unfavoriteAction = nullptr;
    QAction* m_favoriteAction = nullptr;
    QSharedPointer<RpcInstance> m_rpc;
    QString m_bookmarkName;
    QString m_bookmarkProfile;
    QString m_bookmarkId;
    QJsonObject m_bookmarkParams;
    QStringList m_bookmarkForms;
    QVariantMap m_bookmarkConfig;
    bool m_bookmarksEnabled = true;
};
