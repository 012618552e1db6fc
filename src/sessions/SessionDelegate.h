#pragma once

#include <QSharedPointer>
#include <QStyledItemDelegate>

class ScreenShotCache;
class Session;
class SessionViewer;

// The grid view's delegate: every cell is one template SessionViewer laid out for the row's
// session and rendered into the view. It also tells the page where the card's overlay buttons go.
//
// The button rectangles are in view coordinates, moved by the cell's top-left corner, which is
// option.rect's; an option without a rectangle takes the cell from the view the delegate serves
// (the option's widget, else the delegate's parent).
class SessionDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit SessionDelegate(QSharedPointer<ScreenShotCache> cache, QObject* parent = nullptr);
    ~SessionDelegate() override;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;

    // Lays the template out for the row's session first: the edit button follows the name.
    QRect editButtonRect(const QStyleOptionViewItem& option, const QModelIndex& index) const;
    // These three use the template as it was last laid out; the index only locates the cell.
    QRect centerButtonRect(const QStyleOptionViewItem& option, const QModelIndex& index = QModelIndex()) const;
    QRect topLeftButtonRect(const QStyleOptionViewItem& option, const QModelIndex& index = QModelIndex()) const;
    QRect topRightButtonRect(const QStyleOptionViewItem& option, const QModelIndex& index = QModelIndex()) const;

    SessionViewer* templateViewer() const { return viewer; }

    static constexpr int bandHeight = 40;

private:
    void layOut(const Session& session, bool withScreenshot) const;
    QPoint cellOrigin(const QStyleOptionViewItem& option, const QModelIndex& index) const;

    QSharedPointer<ScreenShotCache> cache;
    SessionViewer* viewer;
};
