#include "modes/suspension.h"

#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/journal.h"

#include <csignal>
#include <unistd.h>

namespace tavrel {

bool letGoBeforeStopping(const std::function<void()> &endExposure)
{
    // What the timing thread wrote meanwhile is heard first.
    deliverLineEvents();
    SharedValues &v = shared();
    const bool exposing = v.ShutterHeld != 0;
    ExposureJournal::instance().setEndReason(JournalOutcome::Suspended);
    if (endExposure)
        endExposure();
    // A mirror raised, a write planned: whatever the line holds goes. An
    // exposure its run ended has been let go already.
    if (v.DeviceOpen != 0 && (!exposing || v.ShutterHeld != 0))
        ReleaseShutter();
    return exposing;
}

void stopUntilContinued()
{
    // The let-go in the adapter log before the program stops, not at its return.
    flushAdapterLog();
    // SIGSTOP rather than the terminal's own signal, which is caught here
    // and would be thrown away in an orphaned process group.
    ::kill(::getpid(), SIGSTOP);
}

} // namespace tavrel
