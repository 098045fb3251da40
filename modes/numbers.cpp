#include "modes/numbers.h"

#include <QRegularExpression>

namespace tavrel {

std::optional<std::int32_t> parseWholeNumber(const QString &text)
{
    static const QRegularExpression whole(QStringLiteral("^[+-]?[0-9]+$"));
    const QString t = text.trimmed();
    bool ok = false;
    const qlonglong v = t.toLongLong(&ok);
    if (!whole.match(t).hasMatch() || !ok || v < INT32_MIN || v > INT32_MAX)
        return std::nullopt;
    return std::int32_t(v);
}

} // namespace tavrel
