#include "HttpsServer.h"
#include "SessionRoutes.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/ScreenShotCache.h"
#include "sessions/Session.h"
#include "sessions/SessionDelegate.h"
#include "sessions/SessionListWidget.h"
#include "sessions/SessionModel.h"
#include "sessions/SessionViewer.h"

#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QTest>

using HttpsPeer::Server;
using HttpsPeer::SessionRoutes;

namespace {

constexpr int wait = 10000;
const QRect shotInCard(6, 6, 220, 163);
// The bottom row is as high as a line of the name's font.
QSize cardSize;

Session makeSession(const QString& id, int clients, const QString& name = QStringLiteral("Work"),
                    const QString& command = QStringLiteral("xterm")) {
    QJsonObject object{{"id", id}, {"clientCount", clients}, {"command", command}};
    if (!name.isNull())
        object.insert("params", QJsonObject{{"name", name}});
    return Session::fromJson(object);
}

// A one-column model holding each session under the session role, as the grid proxy does.
struct Rows {
    QStandardItemModel model;
    explicit Rows(const SessionList& sessions) {
        for (const Session& session : sessions) {
            auto* item = new QStandardItem;
            item->setData(QVariant::fromValue(session), SessionModel::SessionRole);
            model.appendRow(item);
        }
    }
    QModelIndex at(int row) const { return model.index(row, 0); }
};

// One cell painted at offset into a light grey canvas.
QImage paintCell(const SessionDelegate& delegate, const QModelIndex& index, bool selected = false,
                 const QPoint& offset = QPoint(10, 10)) {
    QImage canvas(cardSize + QSize(2 * offset.x(), 2 * offset.y()), QImage::Format_ARGB32_Premultiplied);
    canvas.fill(QColor(200, 220, 200));
    QPainter painter(&canvas);
    QStyleOptionViewItem option;
    option.rect = QRect(offset, cardSize);
    option.state = QStyle::State_Enabled | (selected ? QStyle::State_Selected : QStyle::State_None);
    delegate.paint(&painter, option, index);
    painter.end();
    return canvas;
}

int countColour(const QImage& image, const QRect& area, QRgb colour, int tolerance = 0) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAbs(qRed(p) - qRed(colour)) <= tolerance && qAbs(qGreen(p) - qGreen(colour)) <= tolerance &&
                qAbs(qBlue(p) - qBlue(colour)) <= tolerance)
                ++count;
        }
    return count;
}

// The horizontal extent of the pixels that differ from the label's top-left (background) pixel.
int inkWidth(const QImage& image) {
    const QRgb background = image.pixel(0, 0);
    int left = image.width(), right = -1;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != background) {
                left = qMin(left, x);
                right = qMax(right, x);
            }
    return right < left ? 0 : right - left + 1;
}

QImage quadrants(const QSize& size) {
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    const int w = size.width() / 2, h = size.height() / 2;
    painter.fillRect(0, 0, w, h, Qt::red);
    painter.fillRect(w, 0, size.width() - w, h, Qt::green);
    painter.fillRect(0, h, w, size.height() - h, Qt::blue);
    painter.fillRect(w, h, size.width() - w, size.height() - h, Qt::yellow);
    return image;
}

template <typename T>
T* child(QWidget* card, const char* name) {
    T* widget = card->findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("the card has no %s", name);
    return widget;
}

} // namespace

class TestSessionDelegate : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cardLayout();
    void buttonRects_data();
    void buttonRects();
    void editButtonFollowsTheName();
    void editorCoversTheBottomRow();
    void badge_data();
    void badge();
    void screenshot_data();
    void screenshot();
    void screenshotsFromTheServer();
    void selectionBand();
    void names_data();
    void names();
    void markupShownAsTyped();
    void rowWithoutIdShowsItsOwnCard();
    void pageInstallsTheDelegate();
};

void TestSessionDelegate::initTestCase() {
    registerSessionMetaTypes();
    QStandardPaths::setTestModeEnabled(true);
    cardSize = SessionDelegate(nullptr).templateViewer()->size();
}

void TestSessionDelegate::cardLayout() {
    SessionDelegate delegate(nullptr);
    SessionViewer* card = delegate.templateViewer();
    const QRect bottom = card->bottomFrameRect();
    QCOMPARE(card->screenshotRect(), shotInCard);
    QCOMPARE(bottom.topLeft(), QPoint(6, 175));
    QCOMPARE(bottom.width(), 220);
    QVERIFY(bottom.height() >= 20);
    QCOMPARE(card->size(), QSize(232, bottom.bottom() + 1 + 6));
    QCOMPARE(delegate.sizeHint(QStyleOptionViewItem(), QModelIndex()), card->size());
    QCOMPARE(card->editButtonRect().size(), QSize(24, 20));
    QVERIFY(card->bottomFrameRect().contains(card->editButtonRect()));
}

void TestSessionDelegate::buttonRects_data() {
    QTest::addColumn<QRect>("cell");
    QTest::addColumn<QRect>("center");
    QTest::addColumn<QRect>("topLeft");
    QTest::addColumn<QRect>("topRight");
    // The screenshot sits at (6, 6) in the card, 220 x 163, from (6, 6) to (225, 168).
    QTest::newRow("first cell") << QRect(QPoint(0, 0), cardSize) << QRect(76, 48, 80, 80) << QRect(8, 8, 20, 20)
                                << QRect(204, 8, 20, 20);
    QTest::newRow("second column") << QRect(QPoint(238, 0), cardSize) << QRect(314, 48, 80, 80)
                                   << QRect(246, 8, 20, 20) << QRect(442, 8, 20, 20);
    QTest::newRow("scrolled, third row") << QRect(QPoint(6, 395), cardSize) << QRect(82, 443, 80, 80)
                                         << QRect(14, 403, 20, 20) << QRect(210, 403, 20, 20);
    QTest::newRow("above the viewport") << QRect(QPoint(6, -150), cardSize) << QRect(82, -102, 80, 80)
                                        << QRect(14, -142, 20, 20) << QRect(210, -142, 20, 20);
}

void TestSessionDelegate::buttonRects() {
    QFETCH(QRect, cell);
    QFETCH(QRect, center);
    QFETCH(QRect, topLeft);
    QFETCH(QRect, topRight);
    Rows rows({makeSession("a", 1)});
    SessionDelegate delegate(nullptr);
    QStyleOptionViewItem option;
    option.rect = cell;
    QCOMPARE(delegate.centerButtonRect(option, rows.at(0)), center);
    QCOMPARE(delegate.topLeftButtonRect(option, rows.at(0)), topLeft);
    QCOMPARE(delegate.topRightButtonRect(option, rows.at(0)), topRight);
    const QRect edit = delegate.editButtonRect(option, rows.at(0));
    QCOMPARE(edit, delegate.templateViewer()->editButtonRect().translated(cell.topLeft()));
    QCOMPARE(edit.top(), cell.top() + 175);
    QCOMPARE(edit.size(), QSize(24, 20));
}

void TestSessionDelegate::editButtonFollowsTheName() {
    // A default option (no rectangle) takes the cell from the view; the edit button sits right
    // behind the name, so it moves with the name's length.
    Rows rows({makeSession("a", 0, "ab"), makeSession("b", 0, "a much longer session name")});
    QListView view;
    view.setViewMode(QListView::IconMode);
    view.resize(800, 600);
    auto* delegate = new SessionDelegate(nullptr, &view);
    view.setItemDelegate(delegate);
    view.setModel(&rows.model);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QTRY_VERIFY(view.visualRect(rows.at(1)).isValid());
    const QRect cell = view.visualRect(rows.at(1));
    QVERIFY(cell.topLeft() != QPoint(0, 0));

    const QRect shortName = delegate->editButtonRect(QStyleOptionViewItem(), rows.at(0));
    const QRect longName = delegate->editButtonRect(QStyleOptionViewItem(), rows.at(1));
    QCOMPARE(longName.top(), cell.top() + 175);
    QVERIFY(longName.left() - cell.left() > shortName.left() - view.visualRect(rows.at(0)).left());
    auto* label = child<QLabel>(delegate->templateViewer(), "NameLabel");
    QCOMPARE(longName.left() - cell.left(), label->geometry().right() + 1 + 3 + 6);
    QCOMPARE(delegate->topLeftButtonRect(QStyleOptionViewItem(), rows.at(1)), QRect(cell.topLeft() + QPoint(8, 8), QSize(20, 20)));
}

void TestSessionDelegate::editorCoversTheBottomRow() {
    Rows rows({makeSession("a", 2)});
    SessionDelegate delegate(nullptr);
    QLineEdit editor;
    QStyleOptionViewItem option;
    option.rect = QRect(QPoint(244, 207), cardSize);
    delegate.updateEditorGeometry(&editor, option, rows.at(0));
    QCOMPARE(editor.geometry(), QRect(QPoint(250, 382), QSize(220, cardSize.height() - 175 - 6)));
}

void TestSessionDelegate::badge_data() {
    QTest::addColumn<int>("clients");
    QTest::addColumn<QString>("text");
    QTest::newRow("none") << 0 << QString();
    QTest::newRow("one") << 1 << "1";
    QTest::newRow("nine") << 9 << "9";
    QTest::newRow("twelve") << 12 << "9+";
    QTest::newRow("ten thousand") << 10000 << "9+";
    QTest::newRow("negative") << -4 << QString();
}

void TestSessionDelegate::badge() {
    QFETCH(int, clients);
    QFETCH(QString, text);
    Rows rows({makeSession("a", clients)});
    SessionDelegate delegate(nullptr);
    // A badge painted before must not linger on a card without clients.
    paintCell(delegate, Rows({makeSession("z", 5)}).at(0));
    const QImage image = paintCell(delegate, rows.at(0));

    auto* button = child<QPushButton>(delegate.templateViewer(), "ConnectedButton");
    QCOMPARE(button->text(), text);
    QCOMPARE(button->styleSheet(), text.isEmpty() ? QString() : SessionViewer::badgeStyle);

    const QRect badge = button->geometry().translated(button->parentWidget()->pos() + QPoint(10, 10));
    const int dark = countColour(image, badge, qRgb(0x55, 0x55, 0x55));
    const int white = countColour(image, badge, qRgb(255, 255, 255), 10);
    if (text.isEmpty()) {
        QCOMPARE(dark, 0);
        QCOMPARE(white, 0);
    } else {
        // Most of the badge is its dark background, with light text on it.
        QVERIFY2(dark > badge.width() * badge.height() / 2, qPrintable(QString::number(dark)));
        QVERIFY(white > 0);
    }
}

void TestSessionDelegate::screenshot_data() {
    QTest::addColumn<QImage>("image");
    QTest::newRow("null") << QImage();
    QTest::newRow("256x192") << quadrants(QSize(256, 192));
    QTest::newRow("tall 10x400") << quadrants(QSize(10, 400));
    QTest::newRow("one pixel") << quadrants(QSize(1, 1));
}

void TestSessionDelegate::screenshot() {
    QFETCH(QImage, image);
    SessionViewer card;
    card.setScreenshot(image);
    const QPixmap shown = child<QLabel>(&card, "ScreenShotLabel")->pixmap(Qt::ReturnByValue);
    QCOMPARE(shown.size(), shotInCard.size());
    const QImage pixels = shown.toImage();
    const QRect whole = pixels.rect();
    if (image.isNull()) {
        // White, with the camera drawn inside the 128 x 128 square in the middle.
        QRect icon(0, 0, 128, 128);
        icon.moveCenter(whole.center());
        const int whiteOutside =
            countColour(pixels, whole, qRgb(255, 255, 255)) - countColour(pixels, icon, qRgb(255, 255, 255));
        QCOMPARE(whiteOutside, whole.width() * whole.height() - icon.width() * icon.height());
        QVERIFY(countColour(pixels, icon, qRgb(255, 255, 255)) < icon.width() * icon.height());
        QCOMPARE(pixels.pixel(0, 0), qRgb(255, 255, 255));
        QCOMPARE(pixels.pixel(whole.right(), whole.bottom()), qRgb(255, 255, 255));
        return;
    }
    // Stretched over the whole label, aspect ratio not kept: each quadrant fills a quarter.
    const int w = whole.width(), h = whole.height();
    if (image.width() > 1) {
        for (QPoint p : {QPoint(0, 0), QPoint(w / 4, h / 4)})
            QCOMPARE(pixels.pixel(p), qRgb(255, 0, 0));
        for (QPoint p : {QPoint(w - 1, 0), QPoint(3 * w / 4, h / 4)})
            QCOMPARE(pixels.pixel(p), qRgb(0, 255, 0));
        for (QPoint p : {QPoint(0, h - 1), QPoint(w / 4, 3 * h / 4)})
            QCOMPARE(pixels.pixel(p), qRgb(0, 0, 255));
        for (QPoint p : {QPoint(w - 1, h - 1), QPoint(3 * w / 4, 3 * h / 4)})
            QCOMPARE(pixels.pixel(p), qRgb(255, 255, 0));
    } else {
        QCOMPARE(countColour(pixels, whole, qRgb(255, 255, 0)), w * h);
    }
}

void TestSessionDelegate::screenshotsFromTheServer() {
    // Real answers through the cache: a picture, one that is no image, and one never sent.
    Server server;
    SessionRoutes routes(server);
    QVERIFY(server.start(Server::Http));
    auto* web = new RpcInstanceWeb(server.url(), false, false, nullptr);
    web->setAuthToken(QString::fromUtf8(server.token()));
    QSharedPointer<RpcInstance> rpc(web);
    routes.setShot("broken", SessionRoutes::NotAnImage);
    routes.setShot("missing", SessionRoutes::Missing);
    auto cache = QSharedPointer<ScreenShotCache>::create(rpc);
    SessionDelegate delegate(cache);
    Rows rows({makeSession("good", 1), makeSession("broken", 1), makeSession("missing", 1)});

    QSignalSpy updated(cache.data(), &ScreenShotCache::updatedScreenShot);
    for (int row = 0; row < 3; ++row)
        paintCell(delegate, rows.at(row));
    QTRY_COMPARE_WITH_TIMEOUT(routes.screenshotRequests().size(), 3, wait);
    QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 1, wait);
    QTRY_COMPARE_WITH_TIMEOUT(rpc->log().filter("Failed to get a screen shot").size(), 2, wait);

    const QRect shot = shotInCard.translated(10, 10);
    const QRect middle(shot.center() - QPoint(10, 10), QSize(20, 20));
    const QImage good = paintCell(delegate, rows.at(0));
    QCOMPARE(countColour(good, shot, QColor(Qt::darkBlue).rgb(), 2), shot.width() * shot.height());
    for (int row : {1, 2}) {
        const QImage placeholder = paintCell(delegate, rows.at(row));
        QCOMPARE(placeholder.pixel(shot.topLeft() + QPoint(1, 1)), qRgb(255, 255, 255));
        QVERIFY(countColour(placeholder, middle, qRgb(255, 255, 255)) < middle.width() * middle.height());
    }
}

void TestSessionDelegate::selectionBand() {
    Rows rows({makeSession("a", 3)});
    SessionDelegate delegate(nullptr);
    const QImage plain = paintCell(delegate, rows.at(0), false);
    const QImage selected = paintCell(delegate, rows.at(0), true);
    const QRect shot = shotInCard.translated(10, 10);
    const QRect band(shot.topLeft(), QSize(shot.width(), SessionDelegate::bandHeight));
    for (int y = 0; y < plain.height(); ++y)
        for (int x = 0; x < plain.width(); ++x) {
            const QRgb a = plain.pixel(x, y), b = selected.pixel(x, y);
            if (!band.contains(x, y)) {
                QCOMPARE(b, a);
                continue;
            }
            // Darkened to about half through 80 % of the band, then fading out.
            const int darker = qRed(a) - qRed(b);
            if (y - band.top() < 30)
                QVERIFY2(qAbs(qRed(b) - qRed(a) / 2) <= 2, qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
            else
                QVERIFY(darker >= 0 && darker <= qRed(a) / 2 + 2);
        }
}

void TestSessionDelegate::names_data() {
    QTest::addColumn<Session>("session");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("elided");
    QTest::newRow("short") << makeSession("a", 1, "Work") << "Work" << false;
    QTest::newRow("no name: the command") << makeSession("a", 1, QString(), "gnome-session") << "gnome-session"
                                          << false;
    QTest::newRow("long") << makeSession("a", 1, QString(300, QLatin1Char('W'))) << QString(300, QLatin1Char('W'))
                          << true;
    QTest::newRow("very long") << makeSession("a", 1, QString(100000, QLatin1Char('n')))
                               << QString(512, QLatin1Char('n')) + QChar(0x2026) << true;
    QTest::newRow("line breaks") << makeSession("a", 1, "two\nlines\r\tx\x01y") << "two lines  x y"
                                 << false;
    QTest::newRow("long markup") << makeSession("a", 1, "<b>" + QString(200, QLatin1Char('x')) + "</b>")
                                 << "<b>" + QString(200, QLatin1Char('x')) + "</b>" << true;
    QTest::newRow("empty") << makeSession("a", 1, QString(), QString()) << QString() << false;
}

void TestSessionDelegate::names() {
    QFETCH(Session, session);
    QFETCH(QString, shown);
    QFETCH(bool, elided);
    Rows rows({session});
    SessionDelegate delegate(nullptr);
    paintCell(delegate, rows.at(0));
    SessionViewer* card = delegate.templateViewer();
    auto* label = child<QLabel>(card, "NameLabel");

    QCOMPARE(card->fullName(), shown);
    if (elided) {
        QVERIFY(label->text().endsWith(QChar(0x2026)));
        QVERIFY(label->text().size() < shown.size());
        QVERIFY(shown.startsWith(label->text().chopped(1)));
    } else {
        QCOMPARE(label->text(), shown);
    }
    QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
    // Whatever the name, the card keeps its size and the edit button stays on it.
    QCoreApplication::processEvents();
    QCOMPARE(card->size(), cardSize);
    QCOMPARE(delegate.sizeHint(QStyleOptionViewItem(), rows.at(0)), cardSize);
    QVERIFY(card->bottomFrameRect().contains(card->editButtonRect()));
    QCOMPARE(card->bottomFrameRect(), QRect(QPoint(6, 175), QSize(220, cardSize.height() - 175 - 6)));
}

void TestSessionDelegate::markupShownAsTyped() {
    Rows rows({makeSession("a", 1, "<h1>x")});
    SessionDelegate delegate(nullptr);
    paintCell(delegate, rows.at(0));
    auto* label = child<QLabel>(delegate.templateViewer(), "NameLabel");
    QCOMPARE(label->text(), QStringLiteral("<h1>x"));
    // As typed, the five characters take their width; read as markup only a large x would show.
    const int ink = inkWidth(label->grab().toImage());
    const int typed = label->fontMetrics().horizontalAdvance(QStringLiteral("<h1>x"));
    QVERIFY2(qAbs(ink - typed) <= 4, qPrintable(QStringLiteral("%1 against %2").arg(ink).arg(typed)));
}

void TestSessionDelegate::rowWithoutIdShowsItsOwnCard() {
    Session noId = makeSession(QString(), 0, "orphan");
    Rows rows({makeSession("busy", 12, "Busy session"), noId});
    auto cache = QSharedPointer<ScreenShotCache>::create(nullptr);
    SessionDelegate delegate(cache);
    paintCell(delegate, rows.at(0));
    const QImage afterOther = paintCell(delegate, rows.at(1));
    SessionDelegate fresh(cache);
    QCOMPARE(afterOther, paintCell(fresh, rows.at(1)));
    QCOMPARE(delegate.templateViewer()->fullName(), QStringLiteral("orphan"));
    QVERIFY(!cache->contains(QString()));
    QVERIFY(cache->contains(QStringLiteral("busy")));
}

void TestSessionDelegate::pageInstallsTheDelegate() {
    SessionListWidget page(nullptr, nullptr, QJsonObject());
    auto* grid = page.findChild<QListView*>(QStringLiteral("SessionGridView"));
    QVERIFY(grid);
    QVERIFY(qobject_cast<SessionDelegate*>(grid->itemDelegate()));
}

QTEST_MAIN(TestSessionDelegate)
#include "tst_session_delegate.moc"
