// The line's plan and the way back: a shot's writes carried out by the
// timing thread at their instants, and every write handed back to the main
// thread, in the order made, for the shared values, the journal and the
// plan's owner.

#include "link/line_internal.h"
#include "link/release_line.h"
#include "link/timebase.h"

#include "link/pi_mutex.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <utility>

namespace tavrel {

namespace {

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

} // namespace

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

// Run by the timing thread at the plan's instants: makes every write due.
void servePlan()
{
    if (servedAfterTheJob())
        return;
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

namespace {

// Under g_planMutex: waits for a write in flight (never long: one USB
// transfer), at most 1 s on the way out.
void waitIdleLocked(std::unique_lock<PiMutex> &lock)
{
    if (lastResort())
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

} // namespace

std::function<void(const LineEvent &)> withdrawPlan()
{
    std::unique_lock lock(g_planMutex);
    waitIdleLocked(lock);
    const bool unfinished = g_plan.id != 0 && g_plan.madeUs.size() < g_plan.writes.size();
    const std::shared_ptr<Receiver> receiver = dropLocked(nullptr);
    stopPlanShotLocked();
    if (!receiver)
        return nullptr;
    if (!unfinished) {
        receiver->live = false;
        return nullptr;
    }
    return [receiver](const LineEvent &foreign) {
        LineEvent notice = foreign;
        notice.kind = LineEvent::Withdrawn;
        queue(notice, receiver);
    };
}

void handBack(const LineEvent &event) { queue(event, nullptr); }

void deliverHere()
{
    if (onMainThread())
        deliverLineEvents();
}

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

namespace {

// Takes g_planMutex when `owner`'s plan stands, once its write in flight is
// over; an empty lock otherwise.
std::unique_lock<PiMutex> ownPlan(const void *owner)
{
    std::unique_lock lock(g_planMutex);
    if (g_plan.id == 0 || g_plan.owner != owner)
        return {};
    waitIdleLocked(lock);
    return lock;
}

// Under g_planMutex: the plan goes, and its owner hears no more of it.
// Returns the last byte it put on the line, -1 for none.
int cancelLocked()
{
    int last = -1;
    if (const auto receiver = dropLocked(&last))
        receiver->live = false;
    stopPlanShotLocked();
    return last;
}

} // namespace

std::optional<int> cancelLinePlan(const void *owner)
{
    const std::unique_lock lock = ownPlan(owner);
    if (!lock)
        return std::nullopt;
    const int last = cancelLocked();
    return last < 0 ? std::nullopt : std::optional<int>(last);
}

bool cancelLinePlanIfNotBegun(const void *owner)
{
    const std::unique_lock lock = ownPlan(owner);
    if (!lock)
        return false;
    if (!g_plan.madeUs.empty())
        return true;
    cancelLocked();
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

} // namespace tavrel
