#pragma once
// A night on the real clock: a scenario or a sequence job, the adapter
// watched, Unix signals honoured. Returns the exit status.

namespace tavrel::run {

struct RunOptions;

int runForReal(const RunOptions &options);

} // namespace tavrel::run
