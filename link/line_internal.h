#pragma once
// What the release line's two halves share: the adapter calls made on the
// timing thread (release_line.cpp) and the plan with the events it hands
// back (line_plan.cpp). Not for use elsewhere.

#include "link/release_line.h"

#include <functional>

namespace tavrel {

struct LineWrite {
    int value = 0;
    FT_STATUS status = FT_OK;
    std::uint32_t written = 0;
    std::int64_t startUs = 0;
    std::int64_t endUs = 0;
};

// One byte on the line: on the timing thread, or from onLine's job.
LineWrite writeByte(int value);
// Runs `job` where the adapter is called: on the timing thread, waited for.
// On the way out a thread that never comes back from a call is given up on
// after 1 s and the job made from here, or the release would stay pressed.
void onLine(const std::function<void()> &job);
// The program is going down: nothing waits for long any more.
bool lastResort();
// In virtual time, a plan's shot that fires inside a job of the line: true,
// and the plan is served once the job is over, as on the real thread.
bool servedAfterTheJob();
// The timing shot's work: makes every write of the plan that is due.
void servePlan();
// Main thread: a write lands in the shared values and the line's observer.
void account(const LineEvent &event);

LineEvent eventOf(const LineWrite &write, int index);
// Drops whatever plan stands, its write in flight waited for; when writes of
// it were still to come, returns what tells its owner, given the write that
// took its place.
std::function<void(const LineEvent &)> withdrawPlan();
// An immediate write, on its way back like the plan's.
void handBack(const LineEvent &event);
// Hands out what was written so far, when called on the main thread: before
// the main thread has the adapter called, so that every write is heard in
// order.
void deliverHere();

} // namespace tavrel
