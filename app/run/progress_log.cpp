#include "app/run/progress_log.h"

#include "link/timebase.h"

namespace tavrel::run {

ProgressLog::ProgressLog(Stamp stamp, std::FILE *out) : m_stamp(std::move(stamp)), m_out(out) {}

void ProgressLog::line(const QString &text)
{
    const QString stamped = m_stamp() + QLatin1Char(' ') + text;
    plain(stamped);
    if (m_echo)
        m_echo(stamped);
}

void ProgressLog::plain(const QString &text)
{
    // A closed pipe (the ssh session gone) only loses the lines: SIGPIPE is
    // ignored, so the night goes on.
    std::fputs(text.toUtf8().constData(), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}

QString wallStamp() { return timeBase().now().toString(QStringLiteral("HH:mm:ss")); }

QString planStamp(const QDateTime &instant, const QDate &firstDay)
{
    QString s = instant.toString(QStringLiteral("HH:mm:ss.zzz"));
    const qint64 days = firstDay.daysTo(instant.date());
    if (days != 0)
        s += QStringLiteral(" (J+%1)").arg(days);
    return s;
}

QString durationText(std::int64_t ms, bool millis)
{
    const std::int64_t totalSeconds = ms / 1000;
    const std::int64_t h = totalSeconds / 3600;
    const std::int64_t m = totalSeconds / 60 % 60;
    const std::int64_t s = totalSeconds % 60;
    QString seconds = QString::number(s);
    if (millis && ms % 1000 != 0)
        seconds += QStringLiteral(",%1").arg(ms % 1000, 3, 10, QLatin1Char('0'));
    if (h > 0)
        return QStringLiteral("%1 h %2 min %3 s").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(seconds);
    if (m > 0)
        return QStringLiteral("%1 min %2 s").arg(m).arg(seconds);
    return QStringLiteral("%1 s").arg(seconds);
}

QString secondsText(std::int64_t seconds)
{
    if (seconds < 120)
        return QStringLiteral("%1 s").arg(seconds);
    return QStringLiteral("%1 s (%2)").arg(seconds).arg(durationText(seconds * 1000));
}

} // namespace tavrel::run
