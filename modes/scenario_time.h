#pragma once
// Times in scenario files, and when a timed step comes. A step's time of day
// carries no date while a night's scenario crosses midnight: it is taken as
// the instant nearest to the moment the run reaches it, within 12 hours
// either side, counted in elapsed time. So 00:10 read at 23:50 is
// tomorrow's, and 23:59 read at 00:05 (after a long exposure) or 14:00 read
// at 01:00 is past. A step tied to the sky ("@aube") is an instant of the
// run's night already (sky_times.h).
//
// Whatever its kind, a timed step comes down to one instant; the wait for it
// runs on the monotonic clock, so that the time the handlers take, a clock
// change or the whole seconds of the time of day never make the press late.

#include <QDateTime>
#include <QString>
#include <QTime>
#include <QTimeZone>
#include <cstdint>
#include <optional>

namespace tavrel {

class TimeBase;
struct SkyContext;

// "21:45:00", "21:45", "#21:45:00#" (quotes are taken off by the reader).
std::optional<QTime> parseTimeOfDay(const QString &text);

// How the clock shows a time of day on the night of a clock change.
enum class ClockChange {
    None,
    Twice,  // the clock is set back over it: it comes twice, the first is taken
    Skipped // the clock is set forward over it: taken when the clock jumps past it
};

struct LocalInstant {
    QDateTime instant;
    ClockChange change = ClockChange::None;
};

// `time` on `date` as the clock of `zone` shows it.
LocalInstant localInstant(const QDate &date, const QTime &time, const QTimeZone &zone);
// The instant a step's time of day stands for when the run reaches it at
// `now`: the nearest, within (-12 h, +12 h] of elapsed time.
LocalInstant clockStepInstant(const QTime &time, const QDateTime &now, const QTimeZone &zone);

// The instant a timed step (a clock time or a moment of the sky) stands for.
struct StepInstant {
    QDateTime instant;     // invalid when there is none
    ClockChange change = ClockChange::None;
    QString noMoment;      // French: why the sky gives no such moment that night
};
// `field` is a time of day or a sky moment already checked; `now` is when
// the run reaches the step, in the run's zone (`night.zone`).
StepInstant timedStepInstant(const QString &field, const SkyContext &night, const QDateTime &now);

// Where a wall-clock instant lies on the time base's monotonic clock, read
// now: a clock set by hand or by the network moves it, a clock change does not.
std::int64_t monotonicAt(const QDateTime &instant, const TimeBase &time);

// What the run does with a timed step it reaches: wait until `untilUs`, or
// skip it, its instant being past (to the second) or missing.
struct StepWait {
    enum class Outcome { Wait, Past, NoMoment };
    Outcome outcome = Outcome::Wait;
    StepInstant at;
    std::int64_t untilUs = 0; // the instant on the monotonic clock
};
StepWait waitForStep(const QString &field, const SkyContext &night, const TimeBase &time);

} // namespace tavrel
