#pragma once
// The release line: open and set up the adapter, and put one byte on its data
// lines. Bit 0 (D0) is the camera's release: 1 holds it pressed, 0 lets it go.
// The chip keeps the last byte until the next write, so a press lasts until
// the matching release, with no traffic in between.
//
// These procedures keep no state of their own beyond the shared values, and
// never test a status: every status lands in LastStatus and the sequence of
// calls always runs to its end. Detecting a lost adapter is the connection
// watch's work.

#include "link/d2xx.h"

#include <QString>
#include <functional>
#include <optional>

namespace tavrel {

// The adapter the program talks to, chosen once at start.
Adapter &adapter();
void setAdapter(Adapter *adapter);

// Open, reset, 9600 baud, bit mode: all four calls are made whatever their
// statuses; DeviceOpen becomes -1 only when all four succeeded. Otherwise the
// first failure is kept in SetupFailedCall and SetupFailedStatus, and a
// handle that was opened is closed again.
void OpenDevice();
void CloseDevice();
// The connection check found the adapter gone: DeviceOpen is cleared (its
// handle is kept, to be given back at the next open) and the crash guardian
// forgets it, so that it never opens whatever chip came to take its place.
void adapterGone();
// An immediate write from the window's thread (a stop, an unload, a manual
// press): the line's plan is cancelled first, a write the timing thread made
// from it accounted for, and the byte written now.
void WriteLineByte(int value);
void PressShutter();
void ReleaseShutter();
// When the last write accounted for was put on the line (monotonic us, taken
// right before the call): what a wait counting from that press or release
// counts from.
std::int64_t lastLineWriteUs();

// The line's plan: the write `owner`'s tick at `dueUs` is to make, made by the
// timing thread at that instant however busy the window's thread is. A new
// plan replaces the one before; only `owner` may cancel it.
void planLineWrite(const void *owner, std::int64_t dueUs, int value);
// Run by the timing thread at the instant asked: makes the planned write if
// it still stands and is due.
void serveLinePlan();
// Cancels `owner`'s plan if the thread has not made it yet; returns the byte
// the thread put on the line when it has (left for the tick to take).
std::optional<int> cancelLinePlan(const void *owner);
// The write of `owner`'s tick due at `tickDueUs`: the thread's, waited for if
// under way; made now when none reached the chip (plan cancelled by a close,
// write failed), so that the waits count from what the camera saw.
void writePlannedByte(const void *owner, std::int64_t tickDueUs, int value);

// Told of every byte put on the line, with the monotonic time of the write,
// so the exposure journal measures exactly what the adapter was given.
using LineWriteObserver = std::function<void(int value, std::int64_t us)>;
void setLineWriteObserver(LineWriteObserver observer);

// Told when the adapter has just been set up (true) and whenever it is
// closed (false): the crash guardian follows it.
using SetUpObserver = std::function<void(bool setUp)>;
void setSetUpObserver(SetUpObserver observer);

// The adapter log writes its lines on a thread of its own: this returns once
// every line queued so far is in its file, for a program about to stop
// itself. Nothing when no log is kept.
void flushAdapterLog();
void setAdapterLogFlush(std::function<void()> flush);

// Lets the release go and closes the adapter if anything may still hold it.
void letGoAndClose();
// Last resort on any exit that skips the ordinary shut-down (exit() from a
// library, the X connection dropped at logout, an uncaught exception): the
// chip keeps the last byte it was given, so a program that ends with the
// line high would hold the camera's shutter open all night. Idempotent.
void installExitSafetyNet();

// Shows a trace box when TraceMessages is set (a diagnostic switch).
void traceLink(const QString &text);

} // namespace tavrel
