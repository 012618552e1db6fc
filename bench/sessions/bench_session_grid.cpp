// Painting the session grid: 2,000 sessions in the grid view (icon mode, the session delegate),
// its viewport sized so that 40 cards (8 x 5) are visible, repainted on the offscreen raster
// platform. The cards show the camera placeholder (no screenshots yet), or screenshots that the
// HTTPS test server sent through the screenshot cache; and the grid scrolled by one page of cards
// before each paint; and the resident memory after scrolling through all of them with screenshots.

#include "HttpsServer.h"
#include "SessionRoutes.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/ScreenShotCache.h"
#include "sessions/SessionDelegate.h"
#include "sessions/SessionModel.h"
#include "sessions/SessionSortFilterProxyModel.h"
#include "sessions/SessionViewer.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QListView>
#include <QLoggingCategory>
#include <QScrollBar>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr int sessionCount = 2000;
constexpr int columns = 8;
constexpr int rows = 5;
constexpr int spacing = 6;
const QStringList modelColumns{"name", "connections", "uptime", "login"};

SessionList makeSessions() {
    SessionList list;
    const QDateTime base = QDateTime::fromString("2026-03-01T08:00:00Z", Qt::ISODate);
    for (int i = 0; i < sessionCount; ++i) {
        const QJsonObject o{{"id", QStringLiteral("session-%1").arg(i, 4, 10, QLatin1Char('0'))},
                            {"command", QStringLiteral("xterm -title %1").arg(i)},
                            {"clientCount", i % 14},
                            {"started", base.addSecs(i * 37).toString(Qt::ISODate)},
                            {"login", "user"},
                            {"hostname", QStringLiteral("node%1").arg(i % 16)},
                            // Every seventh name is too long for the card and is elided.
                            {"params", QJsonObject{{"name", i % 7 ? QStringLiteral("Session %1").arg(i)
                                                                  : QStringLiteral("A long session name that "
                                                                                   "does not fit %1").arg(i)}}}};
        list.append(Session::fromJson(o));
    }
    return list;
}

// The grid page's model chain and view, with its own screenshot cache.
struct Grid {
    SessionModel model{modelColumns, nullptr, nullptr};
    SessionSortFilterProxyModel proxy;
    QSharedPointer<ScreenShotCache> cache;
    QListView view;
    SessionDelegate* delegate;

    explicit Grid(const QSharedPointer<RpcInstance>& rpc)
        : cache(QSharedPointer<ScreenShotCache>::create(rpc))
        , delegate(new SessionDelegate(cache, &view)) {
        proxy.setDynamicSortFilter(false);
        proxy.setSessionRole(SessionModel::SessionRole);
        proxy.setSortLocaleAware(true);
        proxy.setSortRole(SessionModel::SortRole);
        proxy.setSourceModel(&model);
        model.mergeSessions(makeSessions());
        proxy.setInitialOrder(model.sessions());
        proxy.sort(2, Qt::DescendingOrder);

        view.setViewMode(QListView::IconMode);
        view.setFlow(QListView::LeftToRight);
        view.setWrapping(true);
        view.setResizeMode(QListView::Adjust);
        view.setMovement(QListView::Static);
        view.setSpacing(spacing);
        view.setItemDelegate(delegate);
        view.setModel(&proxy);
        view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        const QSize card = delegate->templateViewer()->size();
        view.resize(columns * (card.width() + 3 * spacing), rows * (card.height() + 3 * spacing));
        view.show();
        QApplication::processEvents();
        // Size the view to the pitch it lays the cards out with, so that 8 x 5 cards are visible.
        const QRect first = view.visualRect(proxy.index(0, 0));
        const QRect second = view.visualRect(proxy.index(1, 0));
        const int pitchX = second.left() - first.left();
        const int pitchY = view.visualRect(proxy.index(columns, 0)).top() - first.top();
        view.resize(view.width() - view.viewport()->width() + first.left() + columns * pitchX + spacing,
                    view.height() - view.viewport()->height() + first.top() + rows * pitchY);
        QObject::connect(cache.data(), &ScreenShotCache::updatedScreenShot, &view, [this](const QString& id) {
            const QModelIndex index = proxy.mapFromSource(model.indexOfSession(id));
            if (index.isValid())
                view.update(index);
        });
        QApplication::processEvents();
    }

    QStringList visibleIds() const {
        QStringList ids;
        const QRect area = view.viewport()->rect();
        for (int row = 0; row < proxy.rowCount(); ++row)
            if (area.contains(view.visualRect(proxy.index(row, 0))))
                ids << proxy.index(row, 0).data(SessionModel::SessionRole).value<Session>().id();
        return ids;
    }

    int visibleCards() const {
        int count = 0;
        const QRect area = view.viewport()->rect();
        for (int row = 0; row < proxy.rowCount(); ++row)
            if (area.contains(view.visualRect(proxy.index(row, 0))))
                ++count;
        return count;
    }

    void paint() {
        view.viewport()->repaint();
    }
};

bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
}

void BM_PaintVisibleGrid_Placeholders(benchmark::State& state) {
    Grid grid(nullptr);
    state.counters["cards"] = grid.visibleCards();
    for (auto _ : state)
        grid.paint();
}
BENCHMARK(BM_PaintVisibleGrid_Placeholders)->Unit(benchmark::kMillisecond);

void BM_PaintVisibleGrid_Screenshots(benchmark::State& state) {
    HttpsPeer::Server server;
    HttpsPeer::SessionRoutes routes(server);
    if (!server.start(HttpsPeer::Server::Http)) {
        state.SkipWithError("the HTTPS test server did not start");
        return;
    }
    auto* web = new RpcInstanceWeb(server.url(), false, false, nullptr);
    web->setAuthToken(QString::fromUtf8(server.token()));
    const QSharedPointer<RpcInstance> rpc(web);
    Grid grid(rpc);
    const int cards = grid.visibleCards();
    // The cache loads four at a time, 200 ms apart: about ten seconds for the visible cards.
    grid.paint();
    const QStringList ids = grid.visibleIds();
    const auto allShown = [&] {
        for (const QString& id : ids)
            if (grid.cache->screenShot(id).isNull())
                return false;
        return true;
    };
    if (!waitFor(allShown, 60000)) {
        state.SkipWithError("the screenshots did not arrive");
        return;
    }
    state.counters["cards"] = cards;
    for (auto _ : state)
        grid.paint();
}
BENCHMARK(BM_PaintVisibleGrid_Screenshots)->Unit(benchmark::kMillisecond)->Iterations(200);

void BM_ScrollPageAndPaint(benchmark::State& state) {
    Grid grid(nullptr);
    QScrollBar* bar = grid.view.verticalScrollBar();
    state.counters["cards"] = grid.visibleCards();
    int value = 0;
    for (auto _ : state) {
        value += bar->pageStep();
        if (value > bar->maximum())
            value = 0;
        bar->setValue(value);
        grid.paint();
    }
}
BENCHMARK(BM_ScrollPageAndPaint)->Unit(benchmark::kMillisecond);

// Resident memory in kB, as the kernel counts it.
long residentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Scrolling page by page through all 2,000 sessions, each visible card answered with a full-size
// screenshot as it is painted (the answers are fed to the cache at once, without the loader's
// pacing). Reports how much the resident memory grew.
void BM_ScrollThroughAllWithScreenshots(benchmark::State& state) {
    long grown = 0;
    int held = 0;
    for (auto _ : state) {
        Grid grid(nullptr);
        const long before = residentKb();
        QScrollBar* bar = grid.view.verticalScrollBar();
        for (int value = 0;; value += bar->pageStep()) {
            bar->setValue(qMin(value, bar->maximum()));
            grid.paint();
            for (const QString& id : grid.visibleIds()) {
                QImage shot(ScreenShotLoader::requestSize, QImage::Format_RGB32);
                shot.fill(QColor::fromRgb(qHash(id)));
                emit grid.cache->loader()->succeeded(id, shot);
            }
            grid.paint();
            if (value >= bar->maximum())
                break;
        }
        QApplication::processEvents();
        grown = residentKb() - before;
        held = 0;
        for (const Session& session : grid.model.sessions())
            held += grid.cache->contains(session.id()) ? 1 : 0;
    }
    state.counters["rss_growth_MB"] = double(grown) / 1024.0;
    state.counters["cached"] = held;
}
BENCHMARK(BM_ScrollThroughAllWithScreenshots)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("velnor.*.debug=false"));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
