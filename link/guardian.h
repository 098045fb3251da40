#pragma once
// The crash guardian. The chip keeps the last byte it was given, so a program
// that dies outright (kill -9, a crash, the out-of-memory killer) with the
// release pressed would hold the camera's shutter open all night; no code of
// the dying program can prevent that. So each program starts, at launch, a
// second process of its own executable that only waits on a socket: the
// program tells it which adapter it has set up, and each press and release
// of the exposure journal. When the program dies, the socket reads end of
// file; the guardian then opens that adapter, writes 0, closes it (in the
// adapter log like any call), journals the exposure under way as "programme
// interrompu", and exits.
//
// It never touches the adapter while the program lives, and has nothing to do
// after a clean ending: the program tells it "done" (or has closed the
// adapter, its own safety net included) before it goes.

#include "link/d2xx.h"

#include <QString>
#include <cstdint>

namespace tavrel {

// argv[1] of the guardian process; its socket is file descriptor 3.
inline constexpr const char *kGuardianArgument = "--guardian";
inline constexpr int kGuardianFd = 3;

struct GuardianSetup {
    bool simulate = false;
    int simulatedChips = 1;
    QString adapterLog;     // empty: no adapter log
    QString journalPath;
    std::int64_t originNs = 0; // the program's time origin, CLOCK_MONOTONIC
};

// The chip the program set up, as the guardian finds it again.
struct GuardianTarget {
    QString serial; // empty: by rank
    std::int32_t rank = 0;
    std::uint8_t mask = 0xff;
    std::uint8_t mode = 1;
};

// The program's side. start() is called once, early; the rest follows the
// link and the journal by itself. Failing to start only costs a warning.
bool startGuardian(const GuardianSetup &setup);
// The clean ending: "done", then the guardian is waited for (briefly).
void stopGuardian();

// The guardian's side: runs the process started with kGuardianArgument.
// Returns its exit status.
int runGuardian(int fd);

// What the guardian does to the adapter after a crash: the chip found by
// serial (or rank), opened, put in the program's bit mode, 0 written,
// closed. Returns the status of the write (or of the step that failed).
FT_STATUS letGoAfterCrash(Adapter &adapter, const GuardianTarget &target);

} // namespace tavrel
