#pragma once
// The connection check every window (and the headless runner) makes at load
// and at each watch tick: is the adapter there, and is it set up; if it is
// there and not set up (back after a loss, or a set-up that failed), set it up
// again.

#include <QString>
#include <cstdint>

namespace tavrel {

enum class LinkState {
    Missing,  // not attached (or the listing failed)
    Unusable, // attached, or asked for, but not set up
    Ready,    // open and set up: all four calls of OpenDevice succeeded
};

struct LinkCheck {
    LinkState state = LinkState::Missing;
    // Why, in French: the indicator's tooltip, the runner's lines.
    QString reason;
    // Said once per run: several FTDI chips, no FDTISerial, and which of them
    // was opened, with how to pin it.
    QString notice;
    bool ready() const { return state == LinkState::Ready; }
};

// Lists the chips (count in DeviceCount). The adapter is the chip with the
// serial FDTISerial when that is set (DeviceIndex then follows its rank),
// the chip of rank DeviceIndex otherwise. Missing: DeviceOpen cleared, the
// handle left as it is. There and not set up: OpenDevice.
LinkCheck checkConnection();

// Why a run (a sequence job, a scenario, from a window or tavrel-run) may not
// start now, in French; empty when the adapter is open and set up. A run
// started blind would count down, show progress and journal exposures that
// never reached the camera.
QString runRefusal();

// Forgets that the notice was given (tests).
void resetConnectionNotice();

// ExposureClockMs moved on by one watch tick, saturating: it keeps moving
// even when no exposure reads it, and a month-long run must never overflow.
std::int32_t movedExposureClock(std::int32_t value, std::int64_t delta);

} // namespace tavrel
