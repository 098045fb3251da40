#pragma once
// The connection check every window (and the headless runner) makes at load
// and at each watch tick: is an adapter attached, and if it is back after a
// loss, set it up again.

#include <cstdint>

namespace tavrel {

// Lists the adapters (count in DeviceCount, status in LastStatus). Missing:
// DeviceOpen cleared, handle left as it is. Attached and not set up: opened
// and set up. Returns whether an adapter is attached.
bool checkConnection();

// ExposureClockMs moved on by one watch tick, saturating: it keeps moving
// even when no exposure reads it, and a month-long run must never overflow.
std::int32_t movedExposureClock(std::int32_t value, std::int64_t delta);

} // namespace tavrel
