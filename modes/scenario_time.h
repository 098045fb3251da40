#pragma once
// Times of day in scenario files, and how far away they are. A step's time
// carries no date while a night's scenario crosses midnight: it is taken as
// the instant nearest to now, within 12 hours either side. So 00:10 read at
// 23:50 is tomorrow's, and 23:59 read at 00:05 (after a long exposure) or
// 14:00 read at 01:00 is past.

#include <QString>
#include <QTime>
#include <optional>

namespace tavrel {

// "21:45:00", "21:45", "#21:45:00#" (quotes are taken off by the reader).
std::optional<QTime> parseTimeOfDay(const QString &text);

// Seconds from `now` to `step`, in (-12 h, +12 h]: negative when the step is
// past, otherwise the wait, carried over midnight when needed.
int secondsUntil(const QTime &step, const QTime &now);

} // namespace tavrel
