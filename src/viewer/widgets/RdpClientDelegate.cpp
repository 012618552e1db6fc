#include "viewer/widgets/RdpClientDelegate.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QTextDocument>

#include <cmath>

namespace {

QString word(const QString& value) {
    if (value == QLatin1String("lobby")) {
        return RdpClientDelegate::tr("In Lobby");
    }
    if (value == QLatin1String("master")) {
        return RdpClientDelegate::tr("owner");
    }
    if (value == QLatin1String("input")) {
        return RdpClientDelegate::tr("controlling");
    }
    return QString();
}

void layOut(QTextDocument& document, const QString& html, const QFont& font) {
    document.setDefaultFont(font);
    document.setDocumentMargin(2);
    document.setHtml(html);
}

} // namespace

RdpClientDelegate::RdpClientDelegate(const QString& ownClientId, int clientRole, QObject* parent)
    : QStyledItemDelegate(parent)
    , m_ownClientId(ownClientId)
    , m_clientRole(clientRole) {}

QString RdpClientDelegate::rowText(const RdpClient& client, const QString& ownClientId) {
    QStringList parts;
    if (!client.client.isEmpty() && client.client == ownClientId) {
        parts << tr("me");
    }
    if (client.role != QLatin1String("lobby")) {
        parts << word(client.role);
    }
    if (client.status != QLatin1String("viewing")) {
        parts << word(client.status);
    }
    // Words that say nothing are left out, so no "()" or ", " stands alone.
    parts.removeAll(QString());
    const QString suffix =
        parts.isEmpty() ? QString() : QStringLiteral("(%1)").arg(parts.join(QStringLiteral(", ")));
    return QStringLiteral("<b><big>%1</big></b><br/>%2")
        .arg(client.name.toHtmlEscaped(), suffix.toHtmlEscaped());
}

RdpClient RdpClientDelegate::clientAt(const QModelIndex& index) const {
    return index.data(m_clientRole).value<RdpClient>();
}

void RdpClientDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);

    const RdpClient client = clientAt(index);
    if (client.client.isEmpty()) {
        return;
    }
    QTextDocument document;
    layOut(document, rowText(client, m_ownClientId), opt.font);
    QAbstractTextDocumentLayout::PaintContext context;
    context.palette = opt.palette;
    context.palette.setColor(QPalette::Text, (opt.state & QStyle::State_Selected) ? Qt::white : Qt::black);
    painter->save();
    painter->translate(opt.rect.topLeft());
    painter->setClipRect(QRect(QPoint(0, 0), opt.rect.size()));
    document.documentLayout()->draw(painter, context);
    painter->restore();
}

QSize RdpClientDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QTextDocument document;
    layOut(document, rowText(clientAt(index), m_ownClientId), option.font);
    return QSize(int(std::ceil(document.idealWidth())), RowHeight);
}
