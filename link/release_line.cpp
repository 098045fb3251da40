#include "link/release_line.h"

#include "link/messages.h"
#include "link/shared_values.h"
#include "link/timebase.h"

#include "link/pi_mutex.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>

namespace tavrel {

namespace {

// With no backend chosen every call fails as the vendor's library does when
// its driver is missing; nothing ever dereferences a null adapter.
class NoAdapter final : public Adapter {
public:
    FT_STATUS FT_ListDevices(void *arg1, void *, std::uint32_t) override
    {
        if (arg1)
            *static_cast<std::uint32_t *>(arg1) = 0;
        return FT_DEVICE_NOT_FOUND;
    }
    FT_STATUS FT_Open(std::int32_t, FT_HANDLE *) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_ResetDevice(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_SetBaudRate(FT_HANDLE, std::uint32_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_SetBitMode(FT_HANDLE, std::uint8_t, std::uint8_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_Write(FT_HANDLE, const void *, std::uint32_t, std::uint32_t *written) override
    {
        if (written)
            *written = 0;
        return FT_INVALID_HANDLE;
    }
    FT_STATUS FT_Close(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS describeChip(std::int32_t, ChipDetails *) override { return FT_DEVICE_NOT_FOUND; }
};

NoAdapter g_noAdapter;
Adapter *g_adapter = nullptr;
LineWriteObserver g_lineObserver;
SetUpObserver g_setUpObserver;

void tellSetUp(bool setUp)
{
    if (g_setUpObserver)
        g_setUpObserver(setUp);
}

// One writer on the line at a time, main thread or timing thread. Held for
// the whole set-up and close too, and it guards the handle and the request
// below; never held while anything else (observers, boxes, the adapter log's
// file) runs. Priority inheritance: the raised timing thread waiting for it
// lifts whoever holds it.
PiMutex g_lineMutex;
// Set while this thread holds the line: in virtual time the "timing thread"
// runs inside the main thread, and a write of its own while the main thread
// is inside an adapter call would deadlock; it is left to the tick instead.
// On the way out, it also tells that a write under the lock never returned.
thread_local bool t_holdsLine = false;
// The program is going down (terminate, exit): the line is let go whatever
// state the lock was left in.
std::atomic<bool> g_lastResort{false};

// In virtual time the timing thread's shot may fire inside this thread's own
// adapter call: as the real thread would block, it writes once that is over.
bool g_serveOnRelease = false;

class LineLock {
public:
    LineLock()
    {
        if (g_lastResort.load()) {
            // An exception that escaped a write made under the lock ended the
            // program without unwinding: this very thread still holds it, and
            // waiting for it would hang with the release pressed. Held by
            // another thread, it is waited for a while (a write under way
            // ends in milliseconds), then the release goes out regardless.
            m_locked = !t_holdsLine && g_lineMutex.try_lock_for(std::chrono::milliseconds(1000));
        } else {
            g_lineMutex.lock();
            m_locked = true;
        }
        m_held = t_holdsLine;
        t_holdsLine = true;
    }
    ~LineLock()
    {
        t_holdsLine = m_held;
        if (m_locked)
            g_lineMutex.unlock();
        if (!m_held && g_serveOnRelease) {
            g_serveOnRelease = false;
            serveLinePlan();
        }
    }
    LineLock(const LineLock &) = delete;
    LineLock &operator=(const LineLock &) = delete;

private:
    bool m_locked = false;
    bool m_held = false;
};

std::int64_t g_lastWriteUs = 0;

struct LineWrite {
    int value = 0;
    FT_STATUS status = FT_OK;
    std::uint32_t written = 0;
    std::int64_t startUs = 0;
    std::int64_t endUs = 0;
};

// The line's plan: the coming write a state machine's tick is to make,
// handed to the timing thread, which makes it at its instant. Made, it waits
// here until the window's thread takes it (its tick, a stop, any other
// write), which tells the observers. Guarded by the line's lock.
struct PlannedWrite {
    enum State { None, Waiting, Made } state = None;
    const void *owner = nullptr;
    std::int64_t dueUs = 0;
    LineWrite write; // value asked; the rest once made
};
PlannedWrite g_plan;
// Signalled by the timing thread when it has made the planned write.
std::condition_variable_any g_planMade;

LineWrite writeLocked(int value)
{
    LineWrite w;
    w.value = value;
    const std::uint8_t buffer = std::uint8_t(value);
    w.startUs = timeBase().monotonicUs();
    w.status = adapter().FT_Write(shared().DeviceHandle, &buffer, 1, &w.written);
    w.endUs = timeBase().monotonicUs();
    return w;
}

// Main thread only: the write lands in the shared values and the observers.
void account(const LineWrite &w)
{
    SharedValues &v = shared();
    v.LastStatus = w.status;
    v.BytesWritten = w.written;
    g_lastWriteUs = w.startUs;
    if (g_lineObserver)
        g_lineObserver(std::uint8_t(w.value), w.endUs);
    traceLink(QStringLiteral("Write0: %1 Ow: %2").arg(v.LastStatus).arg(v.BytesWritten));
}

// Under the lock: the plan is dropped; a write it made is handed back.
std::optional<LineWrite> clearPlanLocked()
{
    std::optional<LineWrite> made;
    if (g_plan.state == PlannedWrite::Made)
        made = g_plan.write;
    g_plan = PlannedWrite();
    return made;
}

// Before the window's thread writes or changes the line's set-up: whatever
// the thread made is accounted for, whatever it was to make is dropped.
void settlePlan()
{
    std::optional<LineWrite> made;
    {
        const LineLock lock;
        made = clearPlanLocked();
    }
    if (made)
        account(*made);
}

} // namespace

Adapter &adapter() { return g_adapter ? *g_adapter : g_noAdapter; }

void setAdapter(Adapter *a) { g_adapter = a; }

void setLineWriteObserver(LineWriteObserver observer) { g_lineObserver = std::move(observer); }

void setSetUpObserver(SetUpObserver observer) { g_setUpObserver = std::move(observer); }

namespace {
std::function<void()> g_logFlush;
} // namespace

void setAdapterLogFlush(std::function<void()> flush) { g_logFlush = std::move(flush); }

void flushAdapterLog()
{
    if (g_logFlush)
        g_logFlush();
}

void traceLink(const QString &text)
{
    // No box on the way out: nobody would answer it, and the line must go.
    if (shared().TraceMessages != 0 && !g_lastResort.load())
        showMessage(MessageKind::Trace, text);
}

void OpenDevice()
{
    SharedValues &v = shared();
    // A handle still open (a window load cleared DeviceOpen while the window
    // it replaces holds the adapter, or "Cnx" pressed while connected) is
    // given back first: the chip refuses a second open, and a set-up made on
    // the old handle after a failed open would pass for a working one.
    if (v.HandleOpen != 0)
        CloseDevice();
    settlePlan();
    std::optional<LineLock> lock(std::in_place);
    v.SetupFailedCall.clear();
    const auto step = [&v](const char *call, FT_STATUS status) {
        v.LastStatus = status;
        if (status != FT_OK && v.SetupFailedCall.isEmpty()) {
            v.SetupFailedCall = QString::fromLatin1(call);
            v.SetupFailedStatus = status;
        }
    };
    step("FT_Open", adapter().FT_Open(v.DeviceIndex, &v.DeviceHandle));
    if (v.LastStatus == FT_OK)
        v.HandleOpen = -1;
    const FT_STATUS opened = v.LastStatus;
    step("FT_ResetDevice", adapter().FT_ResetDevice(v.DeviceHandle));
    const FT_STATUS reset = v.LastStatus;
    step("FT_SetBaudRate", adapter().FT_SetBaudRate(v.DeviceHandle, 9600));
    const FT_STATUS baud = v.LastStatus;
    // Mode and mask were checked when the settings were loaded, so a mistyped
    // value reaches the chip as the default, never as a garbage byte.
    step("FT_SetBitMode", adapter().FT_SetBitMode(v.DeviceHandle, v.BitMask, v.BitMode));
    const FT_STATUS mode = v.LastStatus;
    // Whatever the chip was left holding (a program killed elsewhere, the
    // reset's idle level), the release is let go before anything else may
    // use it; the write also proves the line answers.
    std::optional<LineWrite> letGo;
    if (v.SetupFailedCall.isEmpty()) {
        letGo = writeLocked(0);
        step("FT_Write", letGo->status == FT_OK && letGo->written != 1 ? FT_IO_ERROR : letGo->status);
    }
    lock.reset();
    // The trace boxes are modal: shown once the line is free again. The
    // handle is shown signed, as a 32-bit handle with its top bit set would be.
    traceLink(QStringLiteral("open: %1 Handle: %2").arg(opened).arg(std::int32_t(v.DeviceHandle)));
    traceLink(QStringLiteral("reset: %1").arg(reset));
    traceLink(QStringLiteral("setbaud: %1").arg(baud));
    traceLink(QStringLiteral("Mode: %1").arg(mode));
    if (letGo)
        account(*letGo);
    if (v.SetupFailedCall.isEmpty()) {
        v.DeviceOpen = -1;
        tellSetUp(true);
        return;
    }
    // Half set up is not set up: nothing is kept open, so the next
    // connection check can try again from the start.
    if (v.HandleOpen != 0)
        CloseDevice();
    v.DeviceOpen = 0;
}

void CloseDevice()
{
    SharedValues &v = shared();
    settlePlan();
    {
        const LineLock lock;
        v.LastStatus = adapter().FT_Close(v.DeviceHandle);
    }
    traceLink(QStringLiteral("Close: %1").arg(v.LastStatus));
    v.DeviceOpen = 0;
    v.HandleOpen = 0;
    tellSetUp(false);
}

void adapterGone()
{
    SharedValues &v = shared();
    if (v.DeviceOpen != 0)
        tellSetUp(false);
    v.DeviceOpen = 0;
}

// Owned by nobody: the plan, whatever it holds, gives way to it.
void WriteLineByte(int value) { writePlannedByte(nullptr, -1, value); }

std::int64_t lastLineWriteUs() { return g_lastWriteUs; }

void planLineWrite(const void *owner, std::int64_t dueUs, int value)
{
    settlePlan();
    const LineLock lock;
    g_plan = PlannedWrite{PlannedWrite::Waiting, owner, dueUs, LineWrite{value}};
}

void serveLinePlan()
{
    if (t_holdsLine) {
        g_serveOnRelease = true;
        return;
    }
    {
        const LineLock lock;
        // Cancelled, replaced by a later one, or already made: nothing to do.
        if (g_plan.state != PlannedWrite::Waiting || g_plan.dueUs > timeBase().monotonicUs())
            return;
        g_plan.write = writeLocked(g_plan.write.value);
        g_plan.state = PlannedWrite::Made;
    }
    g_planMade.notify_all();
}

std::optional<int> cancelLinePlan(const void *owner)
{
    const LineLock lock;
    if (g_plan.owner == owner && g_plan.state == PlannedWrite::Made)
        return g_plan.write.value;
    if (g_plan.owner == owner)
        g_plan = PlannedWrite();
    return std::nullopt;
}

void writePlannedByte(const void *owner, std::int64_t tickDueUs, int value)
{
    std::optional<LineWrite> made;
    std::optional<LineWrite> now;
    {
        const LineLock lock;
        const bool mine = g_plan.owner == owner && g_plan.dueUs <= tickDueUs && g_plan.write.value == value;
        // Due and not made yet: the thread is on its way (woken late, or
        // waiting for this lock). Waited for, never taken over.
        if (mine && g_plan.state == PlannedWrite::Waiting && !g_lastResort.load())
            g_planMade.wait_for(g_lineMutex, std::chrono::milliseconds(500),
                                [] { return g_plan.state != PlannedWrite::Waiting; });
        const bool reached = mine && g_plan.state == PlannedWrite::Made && g_plan.write.status == FT_OK
                             && g_plan.write.written == 1;
        made = clearPlanLocked();
        // What the thread made and the chip took is this tick's write; one
        // that failed, or none, is made now, and counted from.
        if (!reached)
            now = writeLocked(value);
    }
    if (made)
        account(*made);
    if (now)
        account(*now);
}

void letGoAndClose()
{
    SharedValues &v = shared();
    if (v.DeviceOpen != 0 || v.ShutterHeld != 0) {
        ReleaseShutter();
        CloseDevice();
        v.ShutterHeld = 0;
    }
}

void letGoAtLastResort()
{
    g_lastResort = true;
    letGoAndClose();
}

void installExitSafetyNet()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    std::atexit(letGoAtLastResort);
    std::set_terminate([] {
        letGoAtLastResort();
        std::abort();
    });
}

void PressShutter() { WriteLineByte(1); }

void ReleaseShutter() { WriteLineByte(0); }

} // namespace tavrel
