#include "sessions/SessionDelegate.h"

#include "sessions/ScreenShotCache.h"
#include "sessions/Session.h"
#include "sessions/SessionModel.h"
#include "sessions/SessionViewer.h"

#include <QAbstractItemView>
#include <QLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>

SessionDelegate::SessionDelegate(QSharedPointer<ScreenShotCache> cache, QObject* parent)
    : QStyledItemDelegate(parent)
    , cache(std::move(cache))
    , viewer(new SessionViewer) {
    viewer->setStyleSheet(viewer->styleSheet() +
                          QStringLiteral("SessionViewer { background: #EDEDED; border: 1px outset gray; }"));
    viewer->layout()->invalidate();
    viewer->layout()->activate();
}

SessionDelegate::~SessionDelegate() {
    delete viewer;
}

void SessionDelegate::layOut(const Session& session, bool withScreenshot) const {
    // A row without an id has no screenshot to ask for; it still shows its own (empty) card,
    // never the one painted before it.
    const bool valid = !session.id().isEmpty();
    if (withScreenshot)
        viewer->setScreenshot(valid && cache ? cache->screenShot(session.id()) : QImage());
    viewer->setSession(session);
    viewer->relayout();
    viewer->elideName();
    // The elided text may be narrower: lay out again now, so that the edit button's rectangle is
    // the one the card is rendered with.
    viewer->relayout();
}

QPoint SessionDelegate::cellOrigin(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    if (!option.rect.isNull() || !index.isValid())
        return option.rect.topLeft();
    const QAbstractItemView* view = qobject_cast<const QAbstractItemView*>(option.widget);
    if (!view)
        view = qobject_cast<const QAbstractItemView*>(parent());
    return view ? view->visualRect(index).topLeft() : option.rect.topLeft();
}

void SessionDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    layOut(index.data(SessionModel::SessionRole).value<Session>(), true);

    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    QPixmap card(viewer->size() * ratio);
    card.setDevicePixelRatio(ratio);
    card.fill(Qt::transparent);
    viewer->render(&card, QPoint(), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
    painter->drawPixmap(option.rect.topLeft(), card);

    if (option.state & QStyle::State_Selected) {
        QRect band = viewer->screenshotRect();
        band.setHeight(bandHeight);
        band.translate(option.rect.topLeft());
        QLinearGradient shade(band.topLeft(), band.bottomLeft());
        shade.setColorAt(0, QColor(0, 0, 0, 128));
        shade.setColorAt(0.8, QColor(0, 0, 0, 128));
        shade.setColorAt(1, QColor(0, 0, 0, 0));
        painter->fillRect(band, shade);
    }
}

QSize SessionDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return viewer->size();
}

void SessionDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                           const QModelIndex& index) const {
    if (editor)
        editor->setGeometry(viewer->bottomFrameRect().translated(cellOrigin(option, index)));
}

QRect SessionDelegate::editButtonRect(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    layOut(index.data(SessionModel::SessionRole).value<Session>(), false);
    return viewer->editButtonRect().translated(cellOrigin(option, index));
}

QRect SessionDelegate::centerButtonRect(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QRect rect(0, 0, 80, 80);
    rect.moveCenter(viewer->screenshotRect().center());
    return rect.translated(cellOrigin(option, index));
}

QRect SessionDelegate::topLeftButtonRect(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QRect rect(0, 0, 20, 20);
    rect.moveTopLeft(viewer->screenshotRect().topLeft() + QPoint(2, 2));
    return rect.translated(cellOrigin(option, index));
}

QRect SessionDelegate::topRightButtonRect(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QRect rect(0, 0, 20, 20);
    rect.moveTopRight(viewer->screenshotRect().topRight() + QPoint(-2, 2));
    return rect.translated(cellOrigin(option, index));
}
