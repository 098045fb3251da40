#pragma once
// Times of day in scenario files, and how far away they are. A step's time
// carries no date while a night's scenario crosses midnight: a time more than
// 12 hours before now is tomorrow's; within 12 hours before now it is past.

#include <QString>
#include <QTime>
#include <optional>

namespace tavrel {

// "21:45:00", "21:45", "#21:45:00#" (quotes are taken off by the reader).
std::optional<QTime> parseTimeOfDay(const QString &text);

// Seconds from `now` to `step`: negative when the step is past (within the
// last 12 hours), otherwise the wait, carried over midnight when needed.
int secondsUntil(const QTime &step, const QTime &now);

} // namespace tavrel
