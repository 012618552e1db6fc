#include "viewer/widgets/RdpWidgetNotification.h"

#include <QGridLayout>
#include <QLabel>

#include <algorithm>

RdpWidgetNotification::RdpWidgetNotification(QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("RdpWidgetNotification"));
    setAttribute(Qt::WA_StyledBackground);
    resize(300, 25);
    setStyleSheet(
        QStringLiteral("background-color: rgb(85,170,255);\nbackground: rgb(85,170,255);\ncolor: white;"));
    auto* grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->setContentsMargins(6, 6, 6, 6);
    // The banner's height is set from its text, capped; a long text must not force it taller.
    grid->setSizeConstraint(QLayout::SetNoConstraint);
    label = new QLabel(this);
    label->setObjectName(QStringLiteral("TextLabel"));
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setText(QStringLiteral("Hi!"));
    grid->addWidget(label, 0, 0);
}

QString RdpWidgetNotification::text() const {
    return label->text();
}

void RdpWidgetNotification::setText(const QString& text) {
    label->setText(text);
    QLayout* grid = layout();
    grid->activate();
    int height = grid->hasHeightForWidth() ? grid->totalHeightForWidth(width()) : grid->sizeHint().height();
    if (height < 0)
        height = grid->sizeHint().height();
    resize(width(), std::min(height, 300));
}
