// Merging 100,000 sessions into the session model of a shown session list page: the page's own
// proxies, table view and grid attached, with the list page (sorted by uptime or by name) or the grid
// page on screen (offscreen platform). Each case times the merge and the event-loop passes that paint its result, which is as
// long as the window does not answer: the first list, the same list again, and a list in which a
// tenth of the sessions are new.

#include "rpc/RpcInstance.h"
#include "sessions/ConnectionContext.h"
#include "sessions/SessionListWidget.h"
#include "BenchSessions.h"
#include "sessions/SessionModel.h"

#include <QApplication>
#include <QDateTime>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

// Which page is on screen: the list sorted as it opens (by uptime), the grid, or the list that the
// user sorted by name.
enum Shown { List, Grid, ListByName };

const char* label(benchmark::State& state) {
    return state.range(0) == Grid ? "grid" : state.range(0) == ListByName ? "list by name" : "list";
}

// A page without a server (nothing is fetched), shown on its list or grid page.
std::unique_ptr<SessionListWidget> shownPage(int shown) {
    QSettings().setValue(QStringLiteral("ShowGrid"), shown == Grid);
    auto page = std::make_unique<SessionListWidget>(QSharedPointer<RpcInstance>(),
                                                    QSharedPointer<ConnectionContext>::create(), QJsonObject());
    page->resize(900, 516);
    page->show();
    if (!QTest::qWaitForWindowExposed(page.get()))
        qWarning("The session page was not exposed.");
    if (shown == ListByName)
        std::as_const(*page).listView()->sortByColumn(0, Qt::AscendingOrder);
    QCoreApplication::processEvents();
    return page;
}

// The merge and the paint that follows it.
void mergeAndPaint(SessionListWidget& page, const SessionList& sessions) {
    page.model()->mergeSessions(sessions);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

constexpr int sessionCount = 100000;

void BM_PageFirstMerge(benchmark::State& state) {
    const SessionList sessions = makeSessions(sessionCount);
    for (auto _ : state) {
        state.PauseTiming();
        auto page = shownPage(int(state.range(0)));
        state.ResumeTiming();
        mergeAndPaint(*page, sessions);
        state.PauseTiming();
        page.reset();
        state.ResumeTiming();
    }
    state.SetLabel(label(state));
}
BENCHMARK(BM_PageFirstMerge)->Arg(List)->Arg(Grid)->Arg(ListByName)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PageUnchangedReMerge(benchmark::State& state) {
    const SessionList sessions = makeSessions(sessionCount);
    auto page = shownPage(int(state.range(0)));
    mergeAndPaint(*page, sessions);
    for (auto _ : state)
        mergeAndPaint(*page, sessions);
    state.SetLabel(label(state));
}
BENCHMARK(BM_PageUnchangedReMerge)->Arg(List)->Arg(Grid)->Arg(ListByName)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PageTenthReplacedMerge(benchmark::State& state) {
    const SessionList before = makeSessions(sessionCount);
    const SessionList after = makeSessions(sessionCount, sessionCount / 10);
    for (auto _ : state) {
        state.PauseTiming();
        auto page = shownPage(int(state.range(0)));
        mergeAndPaint(*page, before);
        state.ResumeTiming();
        mergeAndPaint(*page, after);
        state.PauseTiming();
        page.reset();
        state.ResumeTiming();
    }
    state.SetLabel(label(state));
}
BENCHMARK(BM_PageTenthReplacedMerge)->Arg(List)->Arg(Grid)->Arg(ListByName)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("velnor.*.debug=false"));
    // The page writes its choice of page to the settings: a store of the benchmark's own.
    QTemporaryDir settings;
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
