#include "modes/scenario_time.h"

#include "link/timebase.h"
#include "modes/sky_times.h"

#include <QList>
#include <QRegularExpression>
#include <algorithm>
#include <cstdlib>

namespace tavrel {

std::optional<QTime> parseTimeOfDay(const QString &text)
{
    QString t = text.trimmed();
    if (t.size() >= 2 && t.startsWith(QLatin1Char('#')) && t.endsWith(QLatin1Char('#')))
        t = t.mid(1, t.size() - 2).trimmed();
    static const QRegularExpression re(QStringLiteral("^(\\d{1,2}):(\\d{2})(?::(\\d{2}))?$"));
    const auto m = re.match(t);
    if (!m.hasMatch())
        return std::nullopt;
    const int h = m.captured(1).toInt();
    const int min = m.captured(2).toInt();
    const int s = m.captured(3).isEmpty() ? 0 : m.captured(3).toInt();
    if (h > 23 || min > 59 || s > 59)
        return std::nullopt;
    return QTime(h, min, s);
}

LocalInstant localInstant(const QDate &date, const QTime &time, const QTimeZone &zone)
{
    // The clock's reading taken as UTC, less each offset the zone has around
    // that day; an offset fits when the zone has it at the instant it gives.
    const QDateTime asUtc(date, time, Qt::UTC);
    const int before = zone.offsetFromUtc(asUtc.addDays(-1));
    const int after = zone.offsetFromUtc(asUtc.addDays(1));
    QList<QDateTime> fits;
    for (const int offset : {before, after}) {
        const QDateTime candidate = asUtc.addSecs(-offset);
        if (zone.offsetFromUtc(candidate) == offset && !fits.contains(candidate))
            fits << candidate;
    }
    std::sort(fits.begin(), fits.end());
    if (!fits.isEmpty())
        return {fits.first().toTimeZone(zone), fits.size() > 1 ? ClockChange::Twice : ClockChange::None};
    // Set forward over it: the clock passes it at the change, which lies
    // between the two readings; found to the second.
    qint64 lo = asUtc.addSecs(-after).toSecsSinceEpoch();
    qint64 hi = asUtc.addSecs(-before).toSecsSinceEpoch();
    while (hi - lo > 1) {
        const qint64 mid = lo + (hi - lo) / 2;
        if (zone.offsetFromUtc(QDateTime::fromSecsSinceEpoch(mid, Qt::UTC)) == before)
            lo = mid;
        else
            hi = mid;
    }
    return {QDateTime::fromSecsSinceEpoch(hi, zone), ClockChange::Skipped};
}

LocalInstant clockStepInstant(const QTime &time, const QDateTime &now, const QTimeZone &zone)
{
    const QDate today = now.toTimeZone(zone).date();
    LocalInstant best;
    qint64 bestDistance = 0;
    for (int d = -1; d <= 1; ++d) {
        const LocalInstant c = localInstant(today.addDays(d), time, zone);
        const qint64 distance = std::abs(now.secsTo(c.instant));
        // On the 12-hour mark either side, the step is ahead.
        if (!best.instant.isValid() || distance < bestDistance || (distance == bestDistance && c.instant > now)) {
            best = c;
            bestDistance = distance;
        }
    }
    return best;
}

StepInstant timedStepInstant(const QString &field, const SkyContext &night, const QDateTime &now)
{
    StepInstant s;
    if (looksLikeSkyTime(field)) {
        const SkyResolution r = resolveSkyTime(field, night);
        s.instant = r.instant;
        s.noMoment = r.problem;
        return s;
    }
    if (const auto time = parseTimeOfDay(field)) {
        const LocalInstant c = clockStepInstant(*time, now, night.zone);
        s.instant = c.instant;
        s.change = c.change;
    }
    return s;
}

std::int64_t monotonicAt(const QDateTime &instant, const TimeBase &time)
{
    return time.monotonicUs() + time.nowPrecise().msecsTo(instant) * 1000;
}

StepWait waitForStep(const QString &field, const SkyContext &night, const TimeBase &time)
{
    StepWait w;
    const QDateTime now = time.now();
    w.at = timedStepInstant(field, night, now);
    if (!w.at.instant.isValid())
        w.outcome = StepWait::Outcome::NoMoment;
    else if (w.at.instant < now) // the very second of the step is not past
        w.outcome = StepWait::Outcome::Past;
    else
        w.untilUs = monotonicAt(w.at.instant, time);
    return w;
}

} // namespace tavrel
