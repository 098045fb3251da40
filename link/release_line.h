#pragma once
// The release line: open and set up the adapter, and put one byte on its data
// lines. Bit 0 (D0) is the camera's release: 1 holds it pressed, 0 lets it go.
// The chip keeps the last byte until the next write, so a press lasts until
// the matching release, with no traffic in between.
//
// Every call to the adapter that touches its handle is made on the timing
// thread, which is thus the line's only writer: the main thread hands it a
// job and waits, and never holds anything the thread could wait for. The
// procedures never test a status: every status lands in LastStatus and the
// sequence of calls always runs to its end. Detecting a lost adapter is the
// connection watch's work.

#include "link/d2xx.h"

#include <QString>
#include <functional>
#include <optional>
#include <vector>

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
// An immediate write (a stop, an unload, a manual press, a signal): made on
// the timing thread, ahead of any planned write, and waited for. A plan still
// under way gives way to it; its owner is told (LineEvent::Withdrawn).
void WriteLineByte(int value);
void PressShutter();
void ReleaseShutter();
// When the last write handed back was put on the line (monotonic us, taken
// right before the call).
std::int64_t lastLineWriteUs();

// A shot's plan, handed to the timing thread at once: each write is made
// `offsetUs` after the instant the earlier write `anchor` of the same plan was
// actually made (-1: after the plan's start), so that a wait counts from what
// the camera saw. A write that does not reach the chip is made again at once,
// and what follows counts from that second attempt.
struct PlannedWrite {
    int value = 0;
    int anchor = -1;
    std::int64_t offsetUs = 0;
};

// What was put on the line, handed back to the main thread in the order made.
struct LineEvent {
    enum Kind { Written, Withdrawn } kind = Written;
    int index = -1; // in its plan; -1 for an immediate write
    int value = 0;
    FT_STATUS status = FT_OK;
    std::uint32_t written = 0;
    std::int64_t startUs = 0; // monotonic, right before the call
    std::int64_t endUs = 0;   // right after it
    bool final = true;        // false: it failed and is made again at once
    bool reached() const { return status == FT_OK && written == 1; }
};
using PlanObserver = std::function<void(const LineEvent &event)>;

// Replaces whatever plan stood (its writes already made stay made). The
// observer hears of each write of this plan, on the main thread, until the
// owner cancels it; a plan withdrawn by an immediate write says so once.
void submitLinePlan(const void *owner, std::int64_t startUs, std::vector<PlannedWrite> writes,
                    PlanObserver observer);
// More writes for the owner's plan, anchored on its earlier ones.
void extendLinePlan(const void *owner, std::vector<PlannedWrite> writes);
// Cancels the owner's plan, waiting for a write under way; returns the last
// byte the plan put on the line, if it put any. Its observer hears no more.
std::optional<int> cancelLinePlan(const void *owner);
// Cancels the owner's plan only when none of its writes was made; returns
// whether one was (the plan then goes on).
bool cancelLinePlanIfNotBegun(const void *owner);
// Hands the writes made meanwhile to the observers; runs by itself shortly
// after each write, and before every immediate write, set-up or close.
void deliverLineEvents();

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
