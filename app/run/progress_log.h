#pragma once
// The progress lines: one per event, each starting with its time of day, and
// flushed at once so that a log tailed over the network, or cut short by a
// power failure, is whole up to the last event.

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <functional>

namespace tavrel::run {

class ProgressLog {
public:
    using Stamp = std::function<QString()>;
    explicit ProgressLog(Stamp stamp, std::FILE *out = stdout);

    // "HH:MM:SS text"
    void line(const QString &text);
    // A line of its own, without the time.
    void plain(const QString &text);
    // Each stamped line is also handed to `echo` (the night page's journal).
    void setEcho(std::function<void(const QString &)> echo) { m_echo = std::move(echo); }

private:
    Stamp m_stamp;
    std::function<void(const QString &)> m_echo;
    std::FILE *m_out;
};

// "HH:MM:SS" of the time base's clock: the stamp of a real run.
QString wallStamp();

// "HH:MM:SS.mmm" of an instant, with "(J+n)" when it falls n days after
// `firstDay`: the stamp of a plan, where a night crosses midnight.
QString planStamp(const QDateTime &instant, const QDate &firstDay);

// "48 s", "4 min 48 s", "1 h 02 min 05 s"; with `millis`, the seconds carry
// their milliseconds ("54 min 48,940 s").
QString durationText(std::int64_t ms, bool millis = false);

// "30 s", or "2 min 30 s" beside it when the seconds are many.
QString secondsText(std::int64_t seconds);

} // namespace tavrel::run
