#include "link/release_line.h"

#include "link/messages.h"
#include "link/shared_values.h"
#include "link/timebase.h"

#include "link/pi_mutex.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <utility>

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

// Set while this thread runs a job of the line. In virtual time the timing
// thread's shots fire on the main thread, even inside a job's adapter call
// that spends time: a planned write due then waits for the job to end, as it
// would on the real thread, which runs one thing at a time.
thread_local bool t_inLineJob = false;
bool g_serveAfterJob = false;
// The program is going down (terminate, exit): the line is let go even if
// the timing thread never comes back from a call.
std::atomic<bool> g_lastResort{false};

struct LineWrite {
    int value = 0;
    FT_STATUS status = FT_OK;
    std::uint32_t written = 0;
    std::int64_t startUs = 0;
    std::int64_t endUs = 0;
};

LineWrite writeByte(int value)
{
    LineWrite w;
    w.value = value;
    const std::uint8_t buffer = std::uint8_t(value);
    w.startUs = timeBase().monotonicUs();
    w.status = adapter().FT_Write(shared().DeviceHandle, &buffer, 1, &w.written);
    w.endUs = timeBase().monotonicUs();
    return w;
}

void servePlan();

// Runs `job` where the adapter is called: on the timing thread. On the way
// out a thread that never comes back from a call is given up on after 1 s and
// the job made from here, or the release would stay pressed.
void onLine(const std::function<void()> &job)
{
    const auto inJob = [&job] {
        const bool outer = t_inLineJob;
        t_inLineJob = true;
        const auto restore = qScopeGuard([outer] { t_inLineJob = outer; });
        job();
    };
    if (!g_lastResort.load())
        timeBase().runOnTimingThread(inJob);
    else if (!timeBase().runOnTimingThread(inJob, 1000))
        job();
    if (!t_inLineJob && g_serveAfterJob) {
        g_serveAfterJob = false;
        servePlan();
    }
}

// Main thread only: who hears of a plan's writes, and whether still.
struct Receiver {
    PlanObserver observer;
    bool live = true;
};

// The plan the timing thread carries out. Guarded by g_planMutex, which is
// never held across an adapter call: the thread marks a write in flight,
// makes it unlocked, then records it.
struct Plan {
    std::uint64_t id = 0; // 0: none
    const void *owner = nullptr;
    std::int64_t startUs = 0;
    std::vector<PlannedWrite> writes;
    std::vector<std::int64_t> madeUs; // instant of each write made, in order
    bool inFlight = false;
    int lastValue = -1; // the last byte this plan put on the line
    std::shared_ptr<Receiver> receiver;
};
PiMutex g_planMutex;
std::condition_variable_any g_planIdle; // a write in flight is over
Plan g_plan;
std::uint64_t g_planSeq = 0;
std::unique_ptr<OneShot> g_planShot;
TimeBase *g_planShotBase = nullptr;

// Writes made, on their way to the main thread.
struct Queued {
    LineEvent event;
    std::shared_ptr<Receiver> receiver;
};
PiMutex g_eventMutex;
std::deque<Queued> g_events;
bool g_deliveryPosted = false;

bool onMainThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

LineEvent eventOf(const LineWrite &w, int index)
{
    LineEvent e;
    e.index = index;
    e.value = w.value;
    e.status = w.status;
    e.written = w.written;
    e.startUs = w.startUs;
    e.endUs = w.endUs;
    return e;
}

void queue(const LineEvent &event, std::shared_ptr<Receiver> receiver)
{
    bool post = false;
    {
        const std::lock_guard lock(g_eventMutex);
        g_events.push_back(Queued{event, std::move(receiver)});
        post = !std::exchange(g_deliveryPosted, true);
    }
    if (post)
        timeBase().post(deliverLineEvents);
}

// Before the main thread calls the adapter itself: what was written before
// is handed out first, so that the observers hear every write in order.
void deliverHere()
{
    if (onMainThread())
        deliverLineEvents();
}

// The timing shot of the plan, made again whenever the time base changes
// (tests). One left on an old base is never destroyed: that base may be gone.
OneShot &planShot()
{
    if (!g_planShot || g_planShotBase != &timeBase()) {
        (void)g_planShot.release();
        g_planShotBase = &timeBase();
        g_planShot = timeBase().createTimingShot(servePlan);
    }
    return *g_planShot;
}

// Under g_planMutex: when the plan's next write is due, or -1 when none is.
std::int64_t nextDueLocked()
{
    const std::size_t next = g_plan.madeUs.size();
    if (g_plan.id == 0 || next >= g_plan.writes.size())
        return -1;
    const PlannedWrite &w = g_plan.writes[next];
    const bool anchored = w.anchor >= 0 && std::size_t(w.anchor) < next;
    return (anchored ? g_plan.madeUs[std::size_t(w.anchor)] : g_plan.startUs) + w.offsetUs;
}

// Run by the timing thread at the plan's instants: makes every write due.
void servePlan()
{
    if (t_inLineJob) {
        g_serveAfterJob = true;
        return;
    }
    for (;;) {
        int value = 0;
        std::uint64_t id = 0;
        std::shared_ptr<Receiver> receiver;
        int index = 0;
        {
            const std::lock_guard lock(g_planMutex);
            const std::int64_t due = nextDueLocked();
            if (due < 0 || g_plan.inFlight)
                return;
            if (due > timeBase().monotonicUs()) {
                planShot().startAt(due);
                return;
            }
            g_plan.inFlight = true;
            id = g_plan.id;
            index = int(g_plan.madeUs.size());
            value = g_plan.writes[std::size_t(index)].value;
            receiver = g_plan.receiver;
        }
        LineWrite w = writeByte(value);
        if (w.status != FT_OK || w.written != 1) {
            // A write the chip did not take is made again at once.
            LineEvent failed = eventOf(w, index);
            failed.final = false;
            queue(failed, receiver);
            w = writeByte(value);
        }
        queue(eventOf(w, index), receiver);
        {
            const std::lock_guard lock(g_planMutex);
            g_plan.inFlight = false;
            if (g_plan.id == id) {
                g_plan.madeUs.push_back(w.startUs);
                g_plan.lastValue = value;
            }
        }
        g_planIdle.notify_all();
    }
}

// Under g_planMutex: waits for a write in flight (never long: one USB
// transfer), at most 1 s on the way out.
void waitIdleLocked(std::unique_lock<PiMutex> &lock)
{
    if (g_lastResort.load())
        g_planIdle.wait_for(lock, std::chrono::seconds(1), [] { return !g_plan.inFlight; });
    else
        g_planIdle.wait(lock, [] { return !g_plan.inFlight; });
}

// Under g_planMutex, the write in flight waited for: drops the plan.
std::shared_ptr<Receiver> dropLocked(int *lastValue)
{
    if (lastValue)
        *lastValue = g_plan.lastValue;
    std::shared_ptr<Receiver> receiver = std::move(g_plan.receiver);
    g_plan = Plan();
    return receiver;
}

// Under g_planMutex, like every arming of the shot: the thread re-arms it
// from its own callback.
void stopPlanShotLocked()
{
    if (g_planShot && g_planShotBase == &timeBase())
        g_planShot->stop();
}

// Drops whatever plan stands, once its write in flight is over; returns who
// is to be told when writes of it were still to come.
std::shared_ptr<Receiver> withdrawPlan()
{
    std::unique_lock lock(g_planMutex);
    waitIdleLocked(lock);
    const bool unfinished = g_plan.id != 0 && g_plan.madeUs.size() < g_plan.writes.size();
    std::shared_ptr<Receiver> receiver = dropLocked(nullptr);
    stopPlanShotLocked();
    return unfinished ? receiver : nullptr;
}

std::int64_t g_lastWriteUs = 0;

// Main thread only: the write lands in the shared values and the observers.
void account(const LineEvent &w)
{
    SharedValues &v = shared();
    v.LastStatus = w.status;
    v.BytesWritten = w.written;
    g_lastWriteUs = w.startUs;
    if (g_lineObserver)
        g_lineObserver(std::uint8_t(w.value), w.endUs);
    traceLink(QStringLiteral("Write0: %1 Ow: %2").arg(v.LastStatus).arg(v.BytesWritten));
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
    deliverHere();
    v.SetupFailedCall.clear();
    const auto step = [&v](const char *call, FT_STATUS status) {
        v.LastStatus = status;
        if (status != FT_OK && v.SetupFailedCall.isEmpty()) {
            v.SetupFailedCall = QString::fromLatin1(call);
            v.SetupFailedStatus = status;
        }
    };
    FT_STATUS opened = FT_OK, reset = FT_OK, baud = FT_OK, mode = FT_OK;
    std::optional<LineWrite> letGo;
    onLine([&] {
        step("FT_Open", opened = adapter().FT_Open(v.DeviceIndex, &v.DeviceHandle));
        if (opened == FT_OK)
            v.HandleOpen = -1;
        step("FT_ResetDevice", reset = adapter().FT_ResetDevice(v.DeviceHandle));
        step("FT_SetBaudRate", baud = adapter().FT_SetBaudRate(v.DeviceHandle, 9600));
        // Mode and mask were checked when the settings were loaded, so a
        // mistyped value reaches the chip as the default, never as garbage.
        step("FT_SetBitMode", mode = adapter().FT_SetBitMode(v.DeviceHandle, v.BitMask, v.BitMode));
        // Whatever the chip was left holding (a program killed elsewhere, the
        // reset's idle level), the release is let go before anything else
        // may use it; the write also proves the line answers.
        if (v.SetupFailedCall.isEmpty()) {
            letGo = writeByte(0);
            step("FT_Write", letGo->status == FT_OK && letGo->written != 1 ? FT_IO_ERROR : letGo->status);
        }
    });
    // The trace boxes are modal: shown once the line is free again. The
    // handle is shown signed, as a 32-bit handle with its top bit set would be.
    traceLink(QStringLiteral("open: %1 Handle: %2").arg(opened).arg(std::int32_t(v.DeviceHandle)));
    traceLink(QStringLiteral("reset: %1").arg(reset));
    traceLink(QStringLiteral("setbaud: %1").arg(baud));
    traceLink(QStringLiteral("Mode: %1").arg(mode));
    if (letGo)
        account(eventOf(*letGo, -1));
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
    deliverHere();
    // A plan under way stays: its writes fail on the closed handle and the
    // shot runs to its end, as after an unplug. Whoever lets go cancels it.
    onLine([&v] { v.LastStatus = adapter().FT_Close(v.DeviceHandle); });
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

void WriteLineByte(int value)
{
    // A plan under way gives way: none of its writes may come after this one.
    const std::shared_ptr<Receiver> withdrawn = withdrawPlan();
    deliverHere();
    LineWrite w;
    onLine([&w, value] { w = writeByte(value); });
    queue(eventOf(w, -1), nullptr);
    if (withdrawn) {
        LineEvent notice = eventOf(w, -1);
        notice.kind = LineEvent::Withdrawn;
        queue(notice, withdrawn);
    }
    deliverHere();
}

std::int64_t lastLineWriteUs() { return g_lastWriteUs; }

void submitLinePlan(const void *owner, std::int64_t startUs, std::vector<PlannedWrite> writes,
                    PlanObserver observer)
{
    {
        std::unique_lock lock(g_planMutex);
        waitIdleLocked(lock);
        if (g_plan.receiver)
            g_plan.receiver->live = false;
        g_plan = Plan();
        g_plan.id = ++g_planSeq;
        g_plan.owner = owner;
        g_plan.startUs = startUs;
        g_plan.writes = std::move(writes);
        g_plan.receiver = std::make_shared<Receiver>(Receiver{std::move(observer)});
        planShot().startAt(startUs);
    }
}

void extendLinePlan(const void *owner, std::vector<PlannedWrite> writes)
{
    {
        const std::lock_guard lock(g_planMutex);
        if (g_plan.id == 0 || g_plan.owner != owner)
            return;
        g_plan.writes.insert(g_plan.writes.end(), writes.begin(), writes.end());
        // Looked at now: the thread sets the shot for whatever comes next.
        planShot().startAt(timeBase().monotonicUs());
    }
}

std::optional<int> cancelLinePlan(const void *owner)
{
    int last = -1;
    {
        std::unique_lock lock(g_planMutex);
        if (g_plan.id == 0 || g_plan.owner != owner)
            return std::nullopt;
        waitIdleLocked(lock);
        if (const auto receiver = dropLocked(&last))
            receiver->live = false;
        stopPlanShotLocked();
    }
    return last < 0 ? std::nullopt : std::optional<int>(last);
}

bool cancelLinePlanIfNotBegun(const void *owner)
{
    {
        std::unique_lock lock(g_planMutex);
        if (g_plan.id == 0 || g_plan.owner != owner)
            return false;
        waitIdleLocked(lock);
        if (!g_plan.madeUs.empty())
            return true;
        if (const auto receiver = dropLocked(nullptr))
            receiver->live = false;
        stopPlanShotLocked();
    }
    return false;
}

void deliverLineEvents()
{
    // One delivery at a time: an observer that writes leaves what follows to
    // the loop already running, so every observer hears the writes in order.
    static bool delivering = false;
    if (delivering)
        return;
    delivering = true;
    const auto done = qScopeGuard([] { delivering = false; });
    for (;;) {
        Queued q;
        {
            const std::lock_guard lock(g_eventMutex);
            if (g_events.empty()) {
                g_deliveryPosted = false;
                return;
            }
            q = std::move(g_events.front());
            g_events.pop_front();
        }
        if (q.event.kind == LineEvent::Written)
            account(q.event);
        if (!q.receiver || !q.receiver->live)
            continue;
        if (q.event.kind == LineEvent::Withdrawn)
            q.receiver->live = false;
        if (q.receiver->observer)
            q.receiver->observer(q.event);
    }
}

void letGoAndClose()
{
    SharedValues &v = shared();
    // Nothing planned may reach the line after this, whatever it holds.
    if (const auto withdrawn = withdrawPlan())
        withdrawn->live = false;
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
