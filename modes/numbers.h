#pragma once
// Reading the whole numbers users type into boxes and write into files.

#include <QString>
#include <cstdint>
#include <optional>

namespace tavrel {

// A whole decimal number, blanks around allowed, optional sign; nothing else.
// Empty when the text is not one or does not fit in 32 bits.
std::optional<std::int32_t> parseWholeNumber(const QString &text);

// The longest time any single figure of a job may hold, in seconds: its
// value in milliseconds, plus the settle times added to it, must stay within
// 32 bits. About 23 days, far beyond any night.
constexpr std::int32_t kMaxSeconds = 2000000;

} // namespace tavrel
