#pragma once
// The one seam for time. Everything that waits or stamps goes through it:
// the monotonic clock (exposure timing, the adapter log), the time of day
// (the clock display, scenario steps) and one-shot timers. Production runs on
// Qt's event loop with precise timers; tests run the very same code on a
// virtual scheduler, so an hour-long job is checked to the millisecond in no
// time at all.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

namespace tavrel {

// A one-shot timer owned by whoever created it; destroying it cancels it.
class OneShot {
public:
    virtual ~OneShot() = default;
    virtual void start(std::int64_t ms) = 0; // (re)arm: fires once, ms from now
    // (Re)arm for an instant of the time base's monotonic clock (us); an
    // instant already past fires at once.
    virtual void startAt(std::int64_t dueUs) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

class TimeBase {
public:
    virtual ~TimeBase() = default;
    // Microseconds since the time base was made; never goes back.
    virtual std::int64_t monotonicUs() const = 0;
    std::int64_t monotonicMs() const { return monotonicUs() / 1000; }
    // Local date and time of day, to the whole second.
    virtual QDateTime now() const = 0;
    // The same to the millisecond, for records of when things happened.
    virtual QDateTime nowPrecise() const = 0;
    virtual std::unique_ptr<OneShot> createOneShot(std::function<void()> onFire) = 0;
    // A one-shot whose callback runs on the timing thread: a thread that does
    // nothing but sleep until an instant and act, so that nothing the main
    // thread does (painting, a file write, a slow handler) holds it up. The
    // callback runs on that thread and must touch only what is safe there.
    virtual std::unique_ptr<OneShot> createTimingShot(std::function<void()> onFire) = 0;
    // Runs `job` on the timing thread, ahead of its instants, and waits for it
    // (at once when called there); an exception comes back to the caller.
    // With `timeoutMs` >= 0 it gives up after that long and returns false.
    virtual bool runOnTimingThread(const std::function<void()> &job, int timeoutMs = -1) = 0;
    // Hands `job` to the main thread, from any thread, to run once the
    // handler under way there has returned.
    virtual void post(std::function<void()> job) = 0;
    // Let pending events run, then return.
    virtual void yield() = 0;
};

// Qt's event loop. A one-shot is a timerfd on CLOCK_MONOTONIC armed for an
// absolute instant to the nanosecond and watched by the event loop, so a wake
// lands within a few microseconds of its instant instead of Qt's whole
// milliseconds, and an instant computed once never drifts with the handlers.
class QtTimeBase final : public TimeBase {
public:
    QtTimeBase();
    // Counting from another instant of CLOCK_MONOTONIC (ns): a helper process
    // stamping lines in the same seconds as the program it looks after.
    explicit QtTimeBase(std::int64_t originNs);
    std::int64_t originNs() const { return m_startNs; }
    std::int64_t monotonicUs() const override;
    QDateTime now() const override;
    QDateTime nowPrecise() const override;
    std::unique_ptr<OneShot> createOneShot(std::function<void()> onFire) override;
    std::unique_ptr<OneShot> createTimingShot(std::function<void()> onFire) override;
    bool runOnTimingThread(const std::function<void()> &job, int timeoutMs = -1) override;
    void post(std::function<void()> job) override;
    void yield() override;

private:
    std::int64_t m_startNs;
};

// Starts the timing thread if it is not running yet and returns what its
// priority could be raised to (see raiseTimingPriority), for the logs. The
// first timing shot starts it too.
QString startTimingThread();

// Puts the calling thread (the timing thread, which writes the line at its
// instants) ahead of ordinary work: real-time priority where RLIMIT_RTPRIO or
// the privileges allow it, else through the desktop's RealtimeKit service,
// else nice -10; memory locked where RLIMIT_MEMLOCK allows it. Children
// started later do not inherit the priority. Anything refused is left as it
// was, silently: the program runs the same, only less sheltered from load.
// Returns what was obtained, for the logs.
QString raiseTimingPriority();

// Virtual time: nothing fires until a test advances the clock; then every due
// timer fires in order of its due instant (and of arming, for equal instants),
// with the clock set to that instant while it runs. Timing shots stand for the
// timing thread: they fire at their very instant, before ordinary timers of the
// same instant, and even in the middle of a handler that spends time, as the
// thread would while the main thread is busy. A job for the timing thread runs
// in place; what is posted to the main thread runs as a timer due at once.
class VirtualTimeBase final : public TimeBase {
public:
    explicit VirtualTimeBase(const QDateTime &startOfDay = QDateTime(QDate(2026, 12, 7), QTime(21, 0, 0)));
    ~VirtualTimeBase() override;

    std::int64_t monotonicUs() const override { return m_nowUs; }
    QDateTime now() const override;
    QDateTime nowPrecise() const override { return m_wallAtZero.addMSecs(m_nowUs / 1000); }
    std::unique_ptr<OneShot> createOneShot(std::function<void()> onFire) override;
    std::unique_ptr<OneShot> createTimingShot(std::function<void()> onFire) override;
    bool runOnTimingThread(const std::function<void()> &job, int) override
    {
        job();
        return true;
    }
    void post(std::function<void()> job) override;
    void yield() override;

    // Runs every timer due up to now + ms, then leaves the clock at now + ms.
    void advance(std::int64_t ms);
    void advanceUs(std::int64_t us);
    // Moves the clock on as a handler that takes time (a slow write, a late
    // wake) does, firing only the timing shots that come due meanwhile; call
    // it from inside a handler.
    void spend(std::int64_t us);
    // Runs timers until `done` holds or `limitMs` of virtual time has passed;
    // returns whether `done` held.
    bool advanceUntil(const std::function<bool()> &done, std::int64_t limitMs);
    // Time of the next due timer, or -1 when none is armed.
    std::int64_t nextDueUs() const;
    // Moves the wall clock only (a user changing the system time).
    void setWallClock(const QDateTime &wall);

private:
    friend class VirtualOneShot;
    // Due instant, lane (0: timing thread, 1: posted, 2: timers), order of arming.
    using Key = std::tuple<std::int64_t, int, std::uint64_t>;
    Key arm(class VirtualOneShot *owner, std::int64_t dueUs, int lane);
    void disarm(const Key &key);
    bool fireNext(std::int64_t untilUs);

    std::int64_t m_nowUs = 0;
    std::uint64_t m_seq = 0;
    QDateTime m_wallAtZero;
    std::map<Key, class VirtualOneShot *> m_queue;
    std::unique_ptr<OneShot> m_postShot;
    std::vector<std::function<void()>> m_posted;
};

// The time base the program runs on; set once at start (tests set a virtual one).
TimeBase &timeBase();
void setTimeBase(TimeBase *base);

// The two toolkit operations the handlers rely on, on the time base so that
// tests stay in virtual time: let pending events run, then return; and the
// clock's time of day, to the whole second, with its date.
void yieldEvents();
QDateTime timeOfDay();

} // namespace tavrel
