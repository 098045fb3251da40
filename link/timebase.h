#pragma once
// The one seam for time. Everything that waits or stamps goes through it:
// the monotonic clock (exposure timing, the adapter log), the time of day
// (the clock display, scenario steps) and one-shot timers. Production runs on
// Qt's event loop with precise timers; tests run the very same code on a
// virtual scheduler, so an hour-long job is checked to the millisecond in no
// time at all.

#include <QDateTime>
#include <QObject>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace tavrel {

// A one-shot timer owned by whoever created it; destroying it cancels it.
class OneShot {
public:
    virtual ~OneShot() = default;
    virtual void start(std::int64_t ms) = 0; // (re)arm: fires once, ms from now
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
    // Let pending events run, then return.
    virtual void yield() = 0;
};

// Qt's event loop, Qt::PreciseTimer (the coarse default may fire 5% off).
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
    void yield() override;

private:
    std::int64_t m_startNs;
};

// Virtual time: nothing fires until a test advances the clock; then every due
// timer fires in order of its due instant (and of arming, for equal instants),
// with the clock set to that instant while it runs.
class VirtualTimeBase final : public TimeBase {
public:
    explicit VirtualTimeBase(const QDateTime &startOfDay = QDateTime(QDate(2026, 12, 7), QTime(21, 0, 0)));
    ~VirtualTimeBase() override;

    std::int64_t monotonicUs() const override { return m_nowUs; }
    QDateTime now() const override;
    QDateTime nowPrecise() const override { return m_wallAtZero.addMSecs(m_nowUs / 1000); }
    std::unique_ptr<OneShot> createOneShot(std::function<void()> onFire) override;
    void yield() override;

    // Runs every timer due up to now + ms, then leaves the clock at now + ms.
    void advance(std::int64_t ms);
    void advanceUs(std::int64_t us);
    // Runs timers until `done` holds or `limitMs` of virtual time has passed;
    // returns whether `done` held.
    bool advanceUntil(const std::function<bool()> &done, std::int64_t limitMs);
    // Time of the next due timer, or -1 when none is armed.
    std::int64_t nextDueUs() const;
    // Moves the wall clock only (a user changing the system time).
    void setWallClock(const QDateTime &wall);

private:
    friend class VirtualOneShot;
    using Key = std::pair<std::int64_t, std::uint64_t>;
    Key arm(class VirtualOneShot *owner, std::int64_t dueUs);
    void disarm(const Key &key);
    bool fireNext(std::int64_t untilUs);

    std::int64_t m_nowUs = 0;
    std::uint64_t m_seq = 0;
    QDateTime m_wallAtZero;
    std::map<Key, class VirtualOneShot *> m_queue;
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
