#include "connections/ConnectionWidget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

static void initConnectionResources() {
    Q_INIT_RESOURCE(ConnectionResources);
}

namespace {

QPushButton* rowButton(QWidget* parent, const char* name) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setFixedSize(40, 40);
    return button;
}

} // namespace

ConnectionWidget::ConnectionWidget(QWidget* parent)
    : QWidget(parent) {
    initConnectionResources();
    setObjectName(QStringLiteral("ConnectionWidget"));
    resize(731, 50);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* layout = new QHBoxLayout(this);
    layout->setObjectName(QStringLiteral("horizontalLayout"));
    layout->setContentsMargins(4, 7, 0, 0);
    m_label = new QLabel(this);
    m_label->setObjectName(QStringLiteral("TextLabel"));
    m_label->setTextFormat(Qt::RichText);
    layout->addWidget(m_label);
    layout->addItem(new QSpacerItem(626, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    m_edit = rowButton(this, "EditButton");
    m_favorite = rowButton(this, "FavoriteButton");
    m_favorite->setCheckable(true);
    m_delete = rowButton(this, "DeleteButton");
    layout->addWidget(m_edit);
    layout->addWidget(m_favorite);
    layout->addWidget(m_delete);

    connect(m_edit, &QPushButton::clicked, this, &ConnectionWidget::editClicked);
    connect(m_delete, &QPushButton::clicked, this, &ConnectionWidget::deleteClicked);
    connect(m_favorite, &QPushButton::clicked, this, &ConnectionWidget::updateIcons);
    updateIcons();
}

void ConnectionWidget::setText(const QString& text) {
    m_label->setText(text);
}

void ConnectionWidget::setFavorite(bool favorite) {
    m_favorite->setChecked(favorite);
    emit m_favorite->clicked(favorite);
}

void ConnectionWidget::setEditable(bool editable) {
    m_edit->setEnabled(editable);
    m_delete->setEnabled(editable);
}

void ConnectionWidget::updateIcons() {
    m_label->setStyleSheet(QStringLiteral("QLabel { color : white; }"));
    m_delete->setIcon(QIcon(QStringLiteral(":/images/resources/tavik-grid-close-dark.svg")));
    m_edit->setIcon(QIcon(QStringLiteral(":/images/resources/tavik-grid-edit-dark.svg")));
    m_favorite->setIcon(QIcon(m_favorite->isChecked() ? QStringLiteral(":/images/resources/heart-filled.svg")
                                                      : QStringLiteral(":/images/resources/heart.svg")));
    emit favoriteClicked(m_favorite->isChecked());
}

void ConnectionWidget::mouseDoubleClickEvent(QMouseEvent* event) {
    emit doubleClicked();
    event->accept();
}
