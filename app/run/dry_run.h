#pragma once
// The dry run (--check): the scenario played by the very runner of a real
// night, in virtual time from the chosen time of day, against a simulated
// adapter of its own. What it prints is the plan of the night: nothing in it
// is computed apart from the run, so the two cannot disagree.
//
// Exit status: 0 clean, 3 warnings only, 1 errors.

namespace tavrel::run {

struct RunOptions;

int runDryCheck(const RunOptions &options);

} // namespace tavrel::run
