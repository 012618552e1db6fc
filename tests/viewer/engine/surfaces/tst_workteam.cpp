#include "viewer/engine/surfaces/VnWorkTeam.h"

#include <QSemaphore>
#include <QtTest>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

// Per item how often it ran, and on which threads the items ran.
struct Record {
    explicit Record(std::size_t items)
        : runs(items) {}

    void ran(std::size_t i) {
        ++runs[i];
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
    }
    bool eachOnce() const {
        for (const auto& r : runs) {
            if (r.load() != 1) {
                return false;
            }
        }
        return true;
    }

    std::vector<std::atomic<int>> runs;
    std::mutex mutex;
    std::set<std::thread::id> threads;
};

} // namespace

class TestWorkTeam : public QObject {
    Q_OBJECT

private slots:
    // Items published in steps of any size, the group used again and again: each runs once, and
    // never on more threads than the pool allows (the waiting thread counted).
    void everyItemRunsOnce_data() {
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("items");
        for (int threads : {1, 2, 4, 8}) {
            for (int items : {1, 7, 1000}) {
                QTest::addRow("%d threads, %d items", threads, items) << threads << items;
            }
        }
    }

    void everyItemRunsOnce() {
        QFETCH(int, threads);
        QFETCH(int, items);
        QThreadPool pool;
        pool.setMaxThreadCount(threads);
        VnWorkTeam team(pool);
        std::mt19937 random(unsigned(threads * 1000 + items));
        std::unique_ptr<Record> record;
        VnWorkTeam::Group group(team, [&record](std::size_t i) {
            // Uneven items, so that threads overtake each other.
            for (volatile int spin = int(i % 13) * 50; spin > 0; --spin) {
            }
            record->ran(i);
        });
        for (int round = 0; round < 20; ++round) {
            record = std::make_unique<Record>(std::size_t(items));
            for (int published = 0; published < items;) {
                published = std::min(items, published + 1 + int(random() % 64));
                group.publish(std::size_t(published));
            }
            group.wait();
            QVERIFY2(record->eachOnce(), qPrintable(QStringLiteral("round %1").arg(round)));
            QVERIFY(int(record->threads.size()) <= threads);
        }
        // A group with nothing published waits for nothing.
        group.wait();
    }

    // Two owners on two threads share the team, each with its own groups.
    void groupsOfTwoOwners() {
        QThreadPool pool;
        pool.setMaxThreadCount(4);
        VnWorkTeam team(pool);
        std::atomic<bool> ok{true};
        auto owner = [&team, &ok](int items) {
            for (int round = 0; round < 50; ++round) {
                Record record{std::size_t(items)};
                VnWorkTeam::Group group(team, [&record](std::size_t i) { record.ran(i); });
                group.publish(std::size_t(items));
                group.wait();
                if (!record.eachOnce()) {
                    ok = false;
                }
            }
        };
        std::thread first(owner, 300);
        std::thread second(owner, 17);
        first.join();
        second.join();
        QVERIFY(ok.load());
    }

    // With every pool thread held by other work, the owner runs its items alone instead of waiting
    // for the pool; the team then still lets go of the pool.
    void ownerAloneWhenThePoolIsBusy() {
        QThreadPool pool;
        pool.setMaxThreadCount(2);
        QSemaphore release;
        QSemaphore started;
        for (int i = 0; i < 2; ++i) {
            pool.start([&release, &started] {
                started.release();
                release.acquire();
            });
        }
        QVERIFY(started.tryAcquire(2, 5000));
        {
            VnWorkTeam team(pool);
            Record record{100};
            VnWorkTeam::Group group(team, [&record](std::size_t i) { record.ran(i); });
            group.publish(100);
            group.wait();
            QVERIFY(record.eachOnce());
            QCOMPARE(record.threads.size(), std::size_t(1));
            QCOMPARE(*record.threads.begin(), std::this_thread::get_id());
            release.release(2);
        }
        QVERIFY(pool.waitForDone(5000));
    }

    // The team's threads go back to the pool when it stops, and when the pool is made smaller.
    void threadsGoBackToThePool() {
        QThreadPool pool;
        pool.setMaxThreadCount(4);
        VnWorkTeam team(pool);
        {
            Record record{2000};
            VnWorkTeam::Group group(team, [&record](std::size_t i) { record.ran(i); });
            group.publish(2000);
            group.wait();
            QVERIFY(record.eachOnce());
        }
        pool.setMaxThreadCount(1);
        {
            Record record{500};
            VnWorkTeam::Group group(team, [&record](std::size_t i) { record.ran(i); });
            group.publish(500);
            group.wait();
            QVERIFY(record.eachOnce());
            QCOMPARE(record.threads.size(), std::size_t(1));
        }
        QVERIFY(pool.waitForDone(5000));
        pool.setMaxThreadCount(4);
        {
            Record record{100};
            VnWorkTeam::Group group(team, [&record](std::size_t i) { record.ran(i); });
            group.publish(100);
            group.wait();
            QVERIFY(record.eachOnce());
        }
        team.stop();
        QVERIFY(pool.waitForDone(5000));
    }
};

QTEST_GUILESS_MAIN(TestWorkTeam)
#include "tst_workteam.moc"
