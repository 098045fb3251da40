#include "link/timebase.h"

#include "link/realtime_kit.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

namespace tavrel {

namespace {

std::int64_t steadyNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The precise one-shot: a timerfd armed for an absolute instant of
// CLOCK_MONOTONIC. Where no timerfd can be had, Qt's precise timer stands in,
// to the millisecond.
class QtOneShot final : public OneShot {
public:
    QtOneShot(std::int64_t originNs, std::function<void()> onFire)
        : m_originNs(originNs), m_fire(std::move(onFire))
    {
        m_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (m_fd >= 0) {
            m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
            QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { expired(); });
        } else {
            m_timer.setSingleShot(true);
            m_timer.setTimerType(Qt::PreciseTimer);
            QObject::connect(&m_timer, &QTimer::timeout, [this] { fallbackFired(); });
        }
    }
    ~QtOneShot() override
    {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    void start(std::int64_t ms) override
    {
        startAt((steadyNs() - m_originNs) / 1000 + std::max<std::int64_t>(ms, 0) * 1000);
    }
    void startAt(std::int64_t dueUs) override
    {
        m_active = true;
        const std::int64_t dueNs = m_originNs + dueUs * 1000;
        if (m_fd < 0) {
            // Rounded up: Qt's timer never fires early, so neither does this.
            const std::int64_t ms = (dueNs - steadyNs() + 999999) / 1000000;
            m_timer.start(int(std::clamp<std::int64_t>(ms, 0, 86400000)));
            return;
        }
        itimerspec when{};
        // An instant of zero would disarm the timer; anything in the past
        // expires at once.
        const std::int64_t ns = std::max<std::int64_t>(dueNs, 1);
        when.it_value.tv_sec = time_t(ns / 1000000000);
        when.it_value.tv_nsec = long(ns % 1000000000);
        timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &when, nullptr);
    }
    void stop() override
    {
        m_active = false;
        if (m_fd < 0) {
            m_timer.stop();
            return;
        }
        const itimerspec disarmed{};
        timerfd_settime(m_fd, 0, &disarmed, nullptr); // also clears an unread expiry
    }
    bool isActive() const override { return m_active; }

private:
    void expired()
    {
        std::uint64_t count = 0;
        if (::read(m_fd, &count, sizeof count) != sizeof count || !m_active)
            return; // re-armed or stopped since the event loop saw it
        m_active = false;
        m_fire();
    }
    void fallbackFired()
    {
        m_active = false;
        m_fire();
    }

    std::int64_t m_originNs;
    std::function<void()> m_fire;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_timer;
    bool m_active = false;
};

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

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
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

TimeBase *g_timeBase = nullptr;

} // namespace

QString startTimingThread() { return TimingThread::instance().priority(); }

QtTimeBase::QtTimeBase() : m_startNs(steadyNs()) {}

QtTimeBase::QtTimeBase(std::int64_t originNs) : m_startNs(originNs) {}

std::int64_t QtTimeBase::monotonicUs() const { return (steadyNs() - m_startNs) / 1000; }

QDateTime QtTimeBase::now() const
{
    QDateTime t = QDateTime::currentDateTime();
    t.setTime(QTime(t.time().hour(), t.time().minute(), t.time().second()));
    return t;
}

QDateTime QtTimeBase::nowPrecise() const { return QDateTime::currentDateTime(); }

std::unique_ptr<OneShot> QtTimeBase::createOneShot(std::function<void()> onFire)
{
    return std::make_unique<QtOneShot>(m_startNs, std::move(onFire));
}

std::unique_ptr<OneShot> QtTimeBase::createTimingShot(std::function<void()> onFire)
{
    return std::make_unique<TimingShot>(m_startNs, std::move(onFire));
}

void QtTimeBase::yield() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

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

// ---------------------------------------------------------------------------

class VirtualOneShot final : public OneShot {
public:
    VirtualOneShot(VirtualTimeBase *base, std::function<void()> onFire, bool timing)
        : m_base(base), m_fire(std::move(onFire)), m_timing(timing)
    {
    }
    ~VirtualOneShot() override { stop(); }
    void start(std::int64_t ms) override
    {
        stop();
        m_key = m_base->arm(this, m_base->m_nowUs + std::max<std::int64_t>(ms, 0) * 1000, m_timing);
        m_active = true;
    }
    void startAt(std::int64_t dueUs) override
    {
        stop();
        m_key = m_base->arm(this, std::max(dueUs, m_base->m_nowUs), m_timing);
        m_active = true;
    }
    void stop() override
    {
        if (m_active) {
            m_base->disarm(m_key);
            m_active = false;
        }
    }
    bool isActive() const override { return m_active; }

    void fire()
    {
        m_active = false;
        m_fire();
    }

private:
    VirtualTimeBase *m_base;
    std::function<void()> m_fire;
    VirtualTimeBase::Key m_key{};
    bool m_active = false;
    bool m_timing;
};

VirtualTimeBase::VirtualTimeBase(const QDateTime &startOfDay) : m_wallAtZero(startOfDay) {}

VirtualTimeBase::~VirtualTimeBase() = default;

QDateTime VirtualTimeBase::now() const
{
    const QDateTime t = m_wallAtZero.addMSecs(m_nowUs / 1000);
    return t.addMSecs(-t.time().msec());
}

std::unique_ptr<OneShot> VirtualTimeBase::createOneShot(std::function<void()> onFire)
{
    return std::make_unique<VirtualOneShot>(this, std::move(onFire), false);
}

std::unique_ptr<OneShot> VirtualTimeBase::createTimingShot(std::function<void()> onFire)
{
    return std::make_unique<VirtualOneShot>(this, std::move(onFire), true);
}

void VirtualTimeBase::spend(std::int64_t us)
{
    const std::int64_t end = m_nowUs + std::max<std::int64_t>(us, 0);
    // The timing thread does not wait for the busy handler.
    for (;;) {
        auto it = m_queue.begin();
        while (it != m_queue.end() && std::get<0>(it->first) <= end && std::get<1>(it->first) != 0)
            ++it;
        if (it == m_queue.end() || std::get<0>(it->first) > end)
            break;
        m_nowUs = std::max(m_nowUs, std::get<0>(it->first));
        VirtualOneShot *owner = it->second;
        m_queue.erase(it);
        owner->fire();
    }
    m_nowUs = std::max(m_nowUs, end);
}

void VirtualTimeBase::yield()
{
    // Posted events (deferred deletes, queued signals) run; time stands still.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

VirtualTimeBase::Key VirtualTimeBase::arm(VirtualOneShot *owner, std::int64_t dueUs, bool timing)
{
    Key key{dueUs, timing ? 0 : 1, m_seq++};
    m_queue.emplace(key, owner);
    return key;
}

void VirtualTimeBase::disarm(const Key &key) { m_queue.erase(key); }

bool VirtualTimeBase::fireNext(std::int64_t untilUs)
{
    if (m_queue.empty())
        return false;
    auto it = m_queue.begin();
    if (std::get<0>(it->first) > untilUs)
        return false;
    m_nowUs = std::max(m_nowUs, std::get<0>(it->first));
    VirtualOneShot *owner = it->second;
    m_queue.erase(it);
    owner->fire();
    return true;
}

void VirtualTimeBase::advanceUs(std::int64_t us)
{
    const std::int64_t until = m_nowUs + us;
    while (fireNext(until)) {
    }
    m_nowUs = std::max(m_nowUs, until);
}

void VirtualTimeBase::advance(std::int64_t ms) { advanceUs(ms * 1000); }

bool VirtualTimeBase::advanceUntil(const std::function<bool()> &done, std::int64_t limitMs)
{
    const std::int64_t until = m_nowUs + limitMs * 1000;
    while (!done()) {
        if (!fireNext(until)) {
            m_nowUs = until;
            return done();
        }
    }
    return true;
}

std::int64_t VirtualTimeBase::nextDueUs() const
{
    return m_queue.empty() ? -1 : std::get<0>(m_queue.begin()->first);
}

void VirtualTimeBase::setWallClock(const QDateTime &wall)
{
    m_wallAtZero = wall.addMSecs(-(m_nowUs / 1000));
}

TimeBase &timeBase()
{
    if (!g_timeBase) {
        static QtTimeBase fallback;
        g_timeBase = &fallback;
    }
    return *g_timeBase;
}

void setTimeBase(TimeBase *base) { g_timeBase = base; }

void yieldEvents() { timeBase().yield(); }

QDateTime timeOfDay() { return timeBase().now(); }

} // namespace tavrel
