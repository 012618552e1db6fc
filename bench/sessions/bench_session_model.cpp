// Merging 5,000 and 100,000 sessions into the session model: the first list, the same list again
// (only the growing cells change), and a list in which a tenth of the sessions are new, with a list
// proxy and the grid's session proxy attached and sorted again after each batch, as the session
// page does.

#include "BenchSessions.h"
#include "sessions/SessionModel.h"
#include "sessions/SessionSortFilterProxyModel.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSortFilterProxyModel>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>

namespace {

const QStringList columns{"name", "connections", "uptime", "login"};

struct Page {
    SessionModel model{columns, nullptr, nullptr};
    QSortFilterProxyModel listProxy;
    SessionSortFilterProxyModel gridProxy;

    Page() {
        listProxy.setSortRole(SessionModel::SortRole);
        listProxy.setSourceModel(&model);
        listProxy.sort(0, Qt::AscendingOrder);
        gridProxy.setDynamicSortFilter(false);
        gridProxy.setSessionRole(SessionModel::SessionRole);
        gridProxy.setSortLocaleAware(true);
        gridProxy.setSortRole(SessionModel::SortRole);
        gridProxy.setSourceModel(&model);
        gridProxy.sort(2, Qt::DescendingOrder);
        QObject::connect(&model, &SessionModel::sessionsUpdated, &gridProxy, [this] {
            gridProxy.setInitialOrder(model.sessions());
            gridProxy.sort(gridProxy.sortColumn(), gridProxy.sortOrder());
        });
    }
};

void BM_FirstMerge(benchmark::State& state) {
    const int sessionCount = int(state.range(0));
    const SessionList sessions = makeSessions(sessionCount);
    for (auto _ : state) {
        state.PauseTiming();
        auto page = std::make_unique<Page>();
        state.ResumeTiming();
        page->model.mergeSessions(sessions);
        benchmark::DoNotOptimize(page->gridProxy.rowCount());
        state.PauseTiming();
        page.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * sessionCount);
}
BENCHMARK(BM_FirstMerge)->Arg(5000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_UnchangedReMerge(benchmark::State& state) {
    const int sessionCount = int(state.range(0));
    const SessionList sessions = makeSessions(sessionCount);
    Page page;
    page.model.mergeSessions(sessions);
    for (auto _ : state) {
        page.model.mergeSessions(sessions);
        benchmark::DoNotOptimize(page.listProxy.rowCount());
    }
    state.SetItemsProcessed(state.iterations() * sessionCount);
}
BENCHMARK(BM_UnchangedReMerge)->Arg(5000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A tenth of the sessions ended and as many new ones started since the last list.
void BM_TenthReplacedMerge(benchmark::State& state) {
    const int sessionCount = int(state.range(0));
    const SessionList before = makeSessions(sessionCount);
    const SessionList after = makeSessions(sessionCount, sessionCount / 10);
    for (auto _ : state) {
        state.PauseTiming();
        auto page = std::make_unique<Page>();
        page->model.mergeSessions(before);
        state.ResumeTiming();
        page->model.mergeSessions(after);
        benchmark::DoNotOptimize(page->gridProxy.rowCount());
        state.PauseTiming();
        page.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * sessionCount);
}
BENCHMARK(BM_TenthReplacedMerge)->Arg(5000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
