#pragma once
// Fill styles and colours the indicators take: what the modes report and the
// windows draw. Colours are 24-bit numbers with red in the low byte.

namespace tavrel {

constexpr int kHorizontalLines = 2; // mirror up or exposure running
constexpr int kVerticalLines = 3;   // at rest
constexpr int kRed = 255;           // adapter missing
constexpr int kGreen = 65280;       // adapter attached
constexpr int kDarkRed = 192;       // clock, counts, outlines

} // namespace tavrel
