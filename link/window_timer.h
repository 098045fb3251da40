#pragma once
// The window timer the handlers are written against: an interval in
// milliseconds, an enabled flag and a text tag. A tick comes one interval
// after the timer was last enabled or given an interval; interval 0 or a
// disabled timer never ticks; one handler runs to its end before the next
// tick of the same timer. It runs on the time base, so the same windows run on
// Qt's precise timers in production and in virtual time in tests.
//
// The state machines want more than that: a wait that counts from an instant
// they name (the deadline of the tick under way, the press they just wrote),
// so that the time their handlers take, or a late wake, never pushes the
// later steps. setIntervalFrom() gives the interval with that instant; the
// tick then comes at the instant plus the interval, once the timer is enabled.
// Turning the timer off forgets the instant: an enable that follows without a
// new anchored interval counts from the enable, as always.
//
// The writes themselves are not the timer's: a state machine hands them to
// the timing thread as a plan, and hears of them as they are made.

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>

namespace tavrel {

class OneShot;

class WindowTimer final : public QObject {
    Q_OBJECT
public:
    explicit WindowTimer(QObject *parent = nullptr);
    ~WindowTimer() override;

    int Interval() const { return m_interval; }
    void setInterval(int ms);
    // Interval `ms`, due at `anchorUs` (time base monotonic clock) + ms.
    void setIntervalFrom(std::int64_t anchorUs, int ms);
    // For a periodic watch re-armed by its handler: the next tick one
    // interval after this tick was due, so the handler's time is not lost;
    // when a whole interval has already gone by (a suspend, a long stall)
    // it counts from now instead of catching up in a burst.
    void setIntervalFromTick(int ms);
    // The instant the tick under way (or the last one) was due: where the
    // next wait of a state machine counts from.
    std::int64_t tickDueUs() const { return m_tickDueUs; }
    bool Enabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    QString Tag() const { return m_tag; }
    void setTag(const QString &tag) { m_tag = tag; }

    // Armed and due to tick at some point.
    bool isTicking() const;

    // Where the tick armed last is due.
    std::int64_t dueUs() const { return m_dueUs; }

signals:
    void Timer();

private:
    void arm();
    void fire();

    std::unique_ptr<OneShot> m_shot;
    int m_interval = 0;
    std::int64_t m_dueUs = 0;     // when the armed tick is due
    std::int64_t m_tickDueUs = 0; // when the tick under way was due
    bool m_anchored = false;      // m_dueUs was named by setIntervalFrom
    bool m_enabled = true; // created enabled, silent until given an interval
    QString m_tag;
    bool m_inHandler = false;
    bool m_tickPending = false;
};

} // namespace tavrel
