#include "modes/numbers.h"

namespace tavrel {

std::optional<std::int32_t> parseWholeNumber(const QString &text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    int i = 0;
    if (t[0] == QLatin1Char('+') || t[0] == QLatin1Char('-'))
        i = 1;
    if (i == t.size())
        return std::nullopt;
    for (int k = i; k < t.size(); ++k)
        if (t[k] < QLatin1Char('0') || t[k] > QLatin1Char('9'))
            return std::nullopt;
    bool ok = false;
    const qlonglong v = t.toLongLong(&ok);
    if (!ok || v < INT32_MIN || v > INT32_MAX)
        return std::nullopt;
    return std::int32_t(v);
}

} // namespace tavrel
