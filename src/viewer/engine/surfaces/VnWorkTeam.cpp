#include "viewer/engine/surfaces/VnWorkTeam.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// How long a thread out of work keeps looking before it sleeps: longer than the gap between two
// rounds of tiles or two frames arriving back to back, short against a frame interval.
constexpr std::chrono::microseconds SpinTime{100};
// How long a sleeping thread waits for work before it goes back to the pool.
constexpr std::chrono::seconds IdleExit{30};

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// Spins until `done` holds or SpinTime has passed; true when it holds.
template <typename Done>
bool spinUntil(Done done) {
    const auto until = std::chrono::steady_clock::now() + SpinTime;
    for (unsigned spins = 1;; ++spins) {
        if (done()) {
            return true;
        }
        relax();
        if (spins % 64 == 0 && std::chrono::steady_clock::now() >= until) {
            return done();
        }
    }
}

} // namespace

VnWorkTeam::VnWorkTeam(QThreadPool& pool)
    : m_pool(pool) {}

VnWorkTeam::~VnWorkTeam() {
    stop();
}

void VnWorkTeam::stop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stopping = true;
    m_epoch.fetch_add(1);
    m_work.notify_all();
    m_runnersGone.wait(lock, [this] { return m_runners == 0; });
}

int VnWorkTeam::wantedRunners() const {
    return m_stopping ? 0 : std::max(0, m_pool.maxThreadCount() - 1);
}

void VnWorkTeam::list(Group* group) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_groups.push_back(group);
    const int wanted = wantedRunners();
    while (m_runners < wanted) {
        ++m_runners;
        m_pool.start([this] { runner(); });
    }
}

void VnWorkTeam::unlist(Group* group) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_groups.erase(std::remove(m_groups.begin(), m_groups.end(), group), m_groups.end());
    }
    // A thread that entered before the group left the list finds nothing to take and leaves at once,
    // unless the system holds it back.
    for (unsigned spins = 0; group->m_inside.load() != 0; ++spins) {
        if (spins < 4096) {
            relax();
        } else {
            std::this_thread::yield();
        }
    }
}

void VnWorkTeam::announce() {
    m_epoch.fetch_add(1);
    if (m_sleeping.load() > 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Every sleeper wakes; they are no longer counted, so the next announcement costs nothing.
        if (m_sleeping.load() > 0) {
            m_sleeping.store(0);
            ++m_wakeups;
            m_work.notify_all();
        }
    }
}

VnWorkTeam::Group* VnWorkTeam::enter(bool& exit) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping || m_runners > wantedRunners()) {
        exit = true;
        --m_runners;
        m_runnersGone.notify_all();
        return nullptr;
    }
    for (Group* group : m_groups) {
        if (group->m_next.load() < group->m_published.load()) {
            group->m_inside.fetch_add(1);
            return group;
        }
    }
    return nullptr;
}

void VnWorkTeam::runner() {
    for (;;) {
        const std::uint64_t seen = m_epoch.load();
        bool exit = false;
        if (Group* group = enter(exit)) {
            group->runItems();
            group->m_inside.fetch_sub(1);
            continue;
        }
        if (exit) {
            return; // the team is no longer touched
        }
        if (spinUntil([this, seen] { return m_epoch.load(std::memory_order_acquire) != seen; })) {
            continue;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        // Counted before looking again, so an announcement either sees the sleeper or is seen here.
        m_sleeping.fetch_add(1);
        if (m_epoch.load() != seen || m_stopping) {
            m_sleeping.fetch_sub(1);
            continue;
        }
        const std::uint64_t wakeups = m_wakeups;
        const bool woken =
            m_work.wait_for(lock, IdleExit, [this, wakeups] { return m_wakeups != wakeups || m_stopping; });
        if (m_wakeups == wakeups) {
            m_sleeping.fetch_sub(1); // not counted off by a waker
        }
        if (!woken && m_epoch.load() == seen) {
            // Long out of work: the thread goes back to the pool, and a later group starts another.
            --m_runners;
            m_runnersGone.notify_all();
            return;
        }
    }
}

VnWorkTeam::Group::Group(VnWorkTeam& team, std::function<void(std::size_t)> item)
    : m_team(team)
    , m_item(std::move(item)) {}

VnWorkTeam::Group::~Group() {
    wait();
}

void VnWorkTeam::Group::publish(std::size_t count) {
    if (!m_listed) {
        m_team.list(this);
        m_listed = true;
    }
    m_published.store(count, std::memory_order_release);
    m_team.announce();
}

void VnWorkTeam::Group::runItems() {
    for (;;) {
        std::size_t i = m_next.load();
        if (i >= m_published.load(std::memory_order_acquire)) {
            return;
        }
        if (!m_next.compare_exchange_weak(i, i + 1)) {
            continue;
        }
        m_item(i);
        m_done.fetch_add(1);
        if (m_ownerAsleep.load()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finished.notify_one();
        }
    }
}

void VnWorkTeam::Group::wait() {
    if (!m_listed) {
        return;
    }
    runItems();
    const std::size_t total = m_published.load();
    // What other threads still run is at most one item each: look for its end a while, then sleep.
    if (!spinUntil([this, total] { return m_done.load(std::memory_order_acquire) == total; })) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ownerAsleep.store(true);
        m_finished.wait(lock, [this, total] { return m_done.load() == total; });
        m_ownerAsleep.store(false);
    }
    m_team.unlist(this);
    m_listed = false;
    m_next.store(0);
    m_published.store(0);
    m_done.store(0);
}
