#pragma once
// Ctrl-Z stops the whole process, the timing thread with it, and the chip
// keeps its last byte: a release held at that moment would stay held for as
// long as the job is stopped. So the terminal's stop (SIGTSTP) is taken like
// the other signals, on the event loop: the run's exposure is ended at once
// (its release written, journalled as cut), then the process stops itself.
// Continued (SIGCONT, `fg`), the run goes on from that release.

#include <functional>

namespace tavrel {

// Tells the run (through `endExposure`) that its exposure ends now, then lets
// the release go. Returns whether an exposure was under way.
bool letGoBeforeStopping(const std::function<void()> &endExposure);
// Stops the process as the terminal's stop would; returns once continued.
void stopUntilContinued();

} // namespace tavrel
