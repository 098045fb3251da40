#pragma once
// The timing thread's side of the time base: what QtTimeBase needs to hand
// out one-shots that fire on that thread.

#include "link/timebase.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace tavrel {

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t steadyNs();

// A one-shot whose callback runs on the timing thread, instants counted from
// `originNs` of CLOCK_MONOTONIC.
std::unique_ptr<OneShot> makeTimingShot(std::int64_t originNs, std::function<void()> onFire);

// Runs `job` on the timing thread ahead of any instant and waits for it; run
// at once when called there. An exception it throws comes back here. With
// `timeoutMs` >= 0, gives up after that long (a thread wedged in a call) and
// returns false; the job is then not run, or runs on regardless.
bool runJobOnTimingThread(const std::function<void()> &job, int timeoutMs);

} // namespace tavrel
