#include "sessions/SessionViewer.h"

#include "sessions/Session.h"
#include "sessions/SessionTexts.h"

#include "ui_SessionViewer.h"

#include <QPainter>
#include <QStyleOption>
#include <QSvgRenderer>

static void initSessionViewerResources() {
    Q_INIT_RESOURCE(SessionViewerResources);
}

namespace {

// Longer names are cut before text layout; the card shows far fewer characters anyway.
constexpr int maxNameLength = 512;
constexpr int cameraSize = 128;

QRect childRect(const QWidget* card, const QWidget* child) {
    return QRect(child->mapTo(card, QPoint(0, 0)), child->size());
}

// The card has room for one line: line breaks, tabs and other control characters become spaces,
// and an overlong name is cut (the cut is marked, since eliding may no longer need to).
QString oneLine(const QString& name) {
    QString text = name.size() > maxNameLength ? name.left(maxNameLength) : name;
    if (text.size() < name.size()) {
        if (text.at(text.size() - 1).isHighSurrogate())
            text.chop(1);
        text += QChar(0x2026);
    }
    for (QChar& c : text) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            c = QLatin1Char(' ');
    }
    return text;
}

} // namespace

const QString SessionViewer::placeholderResource = QStringLiteral(":/images/resources/ios-camera-outline.svg");
const QString SessionViewer::badgeStyle =
    QStringLiteral("background-color: #555555;border-radius: 2px;color: #ffffff;");

SessionViewer::SessionViewer(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::SessionViewer) {
    initSessionViewerResources();
    ui->setupUi(this);
    ui->NameLabel->setStyleSheet(QStringLiteral("\tcolor: black;\t"));
    // Session names are the user's or the server's text: never read as markup.
    ui->NameLabel->setTextFormat(Qt::PlainText);
    // The label may be narrower than its text, so that a long name is elided instead of
    // widening the card.
    ui->NameLabel->setMinimumWidth(1);
    layout()->activate();
}

SessionViewer::~SessionViewer() {
    delete ui;
}

QPixmap SessionViewer::placeholder(const QSize& size) {
    if (m_placeholder.size() == size)
        return m_placeholder;
    if (!m_camera)
        m_camera = new QSvgRenderer(placeholderResource, this);
    QPixmap pixmap(size);
    pixmap.fill(Qt::white);
    if (m_camera->isValid()) {
        QPainter painter(&pixmap);
        QRect icon(0, 0, cameraSize, cameraSize);
        icon.moveCenter(pixmap.rect().center());
        m_camera->render(&painter, icon);
    }
    m_placeholder = pixmap;
    return pixmap;
}

void SessionViewer::setScreenshot(const QImage& image) {
    const QSize size = ui->ScreenShotLabel->size();
    if (size.isEmpty()) {
        ui->ScreenShotLabel->setPixmap(QPixmap());
        return;
    }
    if (image.isNull()) {
        ui->ScreenShotLabel->setPixmap(placeholder(size));
        return;
    }
    QPixmap pixmap(size);
    pixmap.fill(Qt::black);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(pixmap.rect(), image);
    painter.end();
    ui->ScreenShotLabel->setPixmap(pixmap);
}

void SessionViewer::setSession(const Session& session) {
    const int clients = session.clientCount();
    QString badge;
    if (clients > 9)
        badge = tr("%1+").arg(9);
    else if (clients >= 1)
        badge = tr("%1").arg(clients);
    ui->ConnectedButton->setText(badge);
    // Setting a style sheet repolishes even when it is the same; the card is laid out per paint.
    const QString style = clients >= 1 ? badgeStyle : QString();
    if (ui->ConnectedButton->styleSheet() != style)
        ui->ConnectedButton->setStyleSheet(style);
    m_name = oneLine(sessionDisplayName(session));
    ui->NameLabel->setText(m_name);
}

void SessionViewer::relayout() {
    ui->BottomFrame->layout()->invalidate();
    ui->BottomFrame->layout()->activate();
}

void SessionViewer::elideName() {
    QLabel* label = ui->NameLabel;
    label->setText(label->fontMetrics().elidedText(m_name, Qt::ElideRight, label->contentsRect().width()));
}

QRect SessionViewer::screenshotRect() const {
    return childRect(this, ui->ScreenShotLabel);
}

QRect SessionViewer::bottomFrameRect() const {
    return childRect(this, ui->BottomFrame);
}

QRect SessionViewer::editButtonRect() const {
    return childRect(this, ui->EditButton);
}

void SessionViewer::paintEvent(QPaintEvent*) {
    // A plain widget draws its style-sheet background only through the widget primitive.
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
