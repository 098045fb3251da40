#include "link/timing_thread.h"

#include "link/pi_mutex.h"
#include "link/realtime_kit.h"

#include <QStringList>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace tavrel {

std::int64_t steadyNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {

// Set on the timing thread itself.
thread_local bool t_timingThread = false;

// The timing thread: sleeps until the earliest armed instant of
// CLOCK_MONOTONIC (a futex wait with an absolute deadline, woken early only
// when the set of instants changes), runs what is due, and sleeps again. It
// is started once and never stopped: at exit it is asleep or finishing a
// write, and the exit safety net waits for that write under the line's lock.
class TimingThread {
public:
    static TimingThread &instance()
    {
        // Never destroyed: a static destructor at exit would race the atexit
        // safety net that still cancels pending writes.
        static TimingThread *thread = new TimingThread;
        return *thread;
    }
    QString priority() const
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return m_started; });
        return m_priority;
    }
    // Arms (or re-arms) `id` for `dueNs`; returns the key to disarm it with.
    std::uint64_t arm(std::uint64_t oldKey, std::int64_t dueNs, std::shared_ptr<std::function<void()>> fire)
    {
        const std::lock_guard lock(m_mutex);
        eraseLocked(oldKey);
        const std::uint64_t key = ++m_seq;
        m_queue.emplace(std::make_pair(dueNs, key), std::move(fire));
        m_keys.emplace(key, dueNs);
        m_cv.notify_all();
        return key;
    }
    // Returns whether it was still armed (false: it fired or is firing).
    bool disarm(std::uint64_t key)
    {
        const std::lock_guard lock(m_mutex);
        const bool armed = eraseLocked(key);
        m_cv.notify_all();
        return armed;
    }
    bool isArmed(std::uint64_t key) const
    {
        const std::lock_guard lock(m_mutex);
        return m_keys.count(key) != 0;
    }

private:
    TimingThread()
    {
        // A small stack of its own: with the memory locked, every page of
        // it stays resident, and the thread only sleeps and writes a byte.
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, 256 * 1024);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        const auto entry = [](void *self) -> void * {
            static_cast<TimingThread *>(self)->run();
            return nullptr;
        };
        if (pthread_create(&thread, &attributes, entry, this) != 0)
            std::thread([this] { run(); }).detach();
        pthread_attr_destroy(&attributes);
    }
    bool eraseLocked(std::uint64_t key)
    {
        const auto it = m_keys.find(key);
        if (it == m_keys.end())
            return false;
        m_queue.erase(std::make_pair(it->second, key));
        m_keys.erase(it);
        return true;
    }
    void run()
    {
        // The kernel's default slack lets a sleeping thread wake up to 50 us
        // late to batch wake-ups; this one wants its instant.
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        t_timingThread = true;
        const QString priority = raiseTimingPriority();
        std::unique_lock lock(m_mutex);
        m_priority = priority;
        m_started = true;
        m_cv.notify_all();
        for (;;) {
            if (m_queue.empty()) {
                m_cv.wait(lock);
                continue;
            }
            const auto first = m_queue.begin();
            const std::int64_t dueNs = first->first.first;
            if (steadyNs() < dueNs) {
                m_cv.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(dueNs)));
                continue;
            }
            const std::shared_ptr<std::function<void()>> fire = first->second;
            m_keys.erase(first->first.second);
            m_queue.erase(first);
            lock.unlock();
            (*fire)();
            lock.lock();
        }
    }

    // Shared with the threads that arm and disarm: inherits the priority of
    // this thread while it waits to take the next instant.
    mutable PiMutex m_mutex;
    mutable std::condition_variable_any m_cv;
    std::map<std::pair<std::int64_t, std::uint64_t>, std::shared_ptr<std::function<void()>>> m_queue;
    std::map<std::uint64_t, std::int64_t> m_keys;
    std::uint64_t m_seq = 0;
    bool m_started = false;
    QString m_priority;
};

class TimingShot final : public OneShot {
public:
    TimingShot(std::int64_t originNs, std::function<void()> onFire)
        : m_originNs(originNs), m_fire(std::make_shared<std::function<void()>>(std::move(onFire)))
    {
    }
    ~TimingShot() override { stop(); }
    void start(std::int64_t ms) override
    {
        startAt((steadyNs() - m_originNs) / 1000 + std::max<std::int64_t>(ms, 0) * 1000);
    }
    void startAt(std::int64_t dueUs) override
    {
        m_key = TimingThread::instance().arm(m_key, m_originNs + dueUs * 1000, m_fire);
    }
    void stop() override
    {
        if (m_key != 0)
            TimingThread::instance().disarm(m_key);
        m_key = 0;
    }
    bool isActive() const override { return m_key != 0 && TimingThread::instance().isArmed(m_key); }

private:
    std::int64_t m_originNs;
    // Shared with the thread's queue: a shot destroyed while its callback
    // runs leaves the callback whole until it returns.
    std::shared_ptr<std::function<void()>> m_fire;
    std::uint64_t m_key = 0;
};

} // namespace

std::unique_ptr<OneShot> makeTimingShot(std::int64_t originNs, std::function<void()> onFire)
{
    return std::make_unique<TimingShot>(originNs, std::move(onFire));
}

bool runJobOnTimingThread(const std::function<void()> &job, int timeoutMs)
{
    if (t_timingThread) {
        job();
        return true;
    }
    struct Done {
        PiMutex mutex;
        std::condition_variable_any cv;
        bool done = false;
        std::exception_ptr error;
    };
    const auto done = std::make_shared<Done>();
    // Before every instant: the queue is ordered by instant, then by arming.
    const auto fire = std::make_shared<std::function<void()>>([done, job] {
        std::exception_ptr error;
        try {
            job();
        } catch (...) {
            error = std::current_exception();
        }
        const std::lock_guard lock(done->mutex);
        done->error = error;
        done->done = true;
        done->cv.notify_all();
    });
    const std::uint64_t key = TimingThread::instance().arm(0, std::numeric_limits<std::int64_t>::min(), fire);
    std::unique_lock lock(done->mutex);
    if (timeoutMs < 0) {
        done->cv.wait(lock, [&] { return done->done; });
    } else if (!done->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done->done; })) {
        TimingThread::instance().disarm(key);
        return false;
    }
    if (done->error)
        std::rethrow_exception(done->error);
    return true;
}

QString startTimingThread() { return TimingThread::instance().priority(); }

QString raiseTimingPriority()
{
    QStringList obtained;
    // Low in the real-time range: above every ordinary process, below the
    // kernel's and audio servers' own threads.
    constexpr int kWanted = 10;
    rlimit limit{};
    int allowed = kWanted;
    if (geteuid() != 0 && getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        allowed = int(std::min<rlim_t>(limit.rlim_cur, kWanted));
    sched_param param{};
    param.sched_priority = allowed;
    // sched_setscheduler(0) on Linux sets the calling thread only.
    if (allowed > 0 && sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) {
        obtained << QStringLiteral("priorité temps réel (SCHED_FIFO %1)").arg(allowed);
    } else if (const QString granted = raiseThroughRealtimeKit(kWanted); !granted.isEmpty()) {
        obtained << granted;
    } else if (setpriority(PRIO_PROCESS, 0, -10) == 0) {
        obtained << QStringLiteral("priorité nice -10");
    }
    // Locking every future page too is only safe where no limit can make a
    // later allocation fail. Pages are locked as they are first touched: what
    // the writes use stays in memory, without pulling in every page of every
    // library mapped (some 80 MiB of the toolkit never used).
    if ((geteuid() == 0 || (getrlimit(RLIMIT_MEMLOCK, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY))
        && (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) == 0 || mlockall(MCL_CURRENT | MCL_FUTURE) == 0))
        obtained << QStringLiteral("mémoire verrouillée");
    return obtained.isEmpty() ? QStringLiteral("priorité ordinaire") : obtained.join(QStringLiteral(", "));
}

} // namespace tavrel
