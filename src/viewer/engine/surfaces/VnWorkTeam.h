#pragma once

// Keeps threads of a QThreadPool at work on groups of numbered items: the tile jobs of an update, the
// bands of a scaled repaint. A thread of the pool that runs out of items looks for more for a short
// while before it sleeps, so that work following closely (the next round of tiles, the next frame)
// starts without a wake-up; and the thread that waits for a group runs its items too. With a pool of
// N threads the team uses N - 1 of them, so that N threads work while the owner waits.

#include <QThreadPool>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class VnWorkTeam {
public:
    explicit VnWorkTeam(QThreadPool& pool);
    // Sends the team's threads back to the pool; no group may be left.
    ~VnWorkTeam();
    // Sends the team's threads back to the pool now; groups then run only on their owners.
    void stop();

    VnWorkTeam(const VnWorkTeam&) = delete;
    VnWorkTeam& operator=(const VnWorkTeam&) = delete;

    // Items 0, 1, 2, ... published by one owning thread; each runs once, in order of starting, on the
    // team's threads and on the owner's while it waits.
    class Group {
    public:
        Group(VnWorkTeam& team, std::function<void(std::size_t)> item);
        ~Group();

        Group(const Group&) = delete;
        Group& operator=(const Group&) = delete;

        // Items below `count` may run (count never shrinks between waits).
        void publish(std::size_t count);
        // Runs what no thread has started, waits for the rest; then the group starts again at item 0.
        void wait();

    private:
        friend class VnWorkTeam;
        // Runs published items not yet taken.
        void runItems();

        VnWorkTeam& m_team;
        std::function<void(std::size_t)> m_item;
        std::atomic<std::size_t> m_published{0};
        std::atomic<std::size_t> m_next{0};
        std::atomic<std::size_t> m_done{0};
        std::atomic<int> m_inside{0}; // team threads looking at this group
        std::atomic<bool> m_ownerAsleep{false};
        bool m_listed = false; // owner only
        std::mutex m_mutex;
        std::condition_variable m_finished;
    };

private:
    void list(Group* group);
    void unlist(Group* group);
    void announce();
    int wantedRunners() const; // under m_mutex
    void runner();
    // A group with items to take, counted as entered; null when there is none, or when the thread
    // must go (then `exit` is set and it is no longer counted).
    Group* enter(bool& exit);

    QThreadPool& m_pool;
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::vector<Group*> m_groups; // guarded by m_mutex
    int m_runners = 0;            // guarded by m_mutex
    bool m_stopping = false;      // guarded by m_mutex
    std::condition_variable m_runnersGone;
    std::atomic<std::uint64_t> m_epoch{0}; // changes whenever there may be new work
    std::atomic<int> m_sleeping{0};        // sleepers not yet woken
    std::uint64_t m_wakeups = 0;           // guarded by m_mutex
};
