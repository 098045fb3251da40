#include "modes/scenario_time.h"

#include <QRegularExpression>

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

int secondsUntil(const QTime &step, const QTime &now)
{
    constexpr int kDay = 24 * 3600;
    constexpr int kHalfDay = 12 * 3600;
    int diff = now.secsTo(step);
    if (diff <= -kHalfDay)
        diff += kDay;
    else if (diff > kHalfDay)
        diff -= kDay;
    return diff;
}

} // namespace tavrel
