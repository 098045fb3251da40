#include "link/release_line.h"

#include "link/line_internal.h"

#include "link/messages.h"
#include "link/shared_values.h"
#include "link/timebase.h"

#include "link/pi_mutex.h"

#include <QScopeGuard>
#include <atomic>
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

// Set while this thread runs a job of the line. In virtual time the timing
// thread's shots fire on the main thread, even inside a job's adapter call
// that spends time: a planned write due then waits for the job to end, as it
// would on the real thread, which runs one thing at a time.
thread_local bool t_inLineJob = false;
bool g_serveAfterJob = false;
// The program is going down (terminate, exit): the line is let go even if
// the timing thread never comes back from a call.
std::atomic<bool> g_lastResort{false};

} // namespace

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


bool lastResort() { return g_lastResort.load(); }

bool servedAfterTheJob()
{
    if (!t_inLineJob)
        return false;
    g_serveAfterJob = true;
    return true;
}

namespace {
std::int64_t g_lastWriteUs = 0;
} // namespace

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
    const auto tellWithdrawn = withdrawPlan();
    deliverHere();
    LineWrite w;
    onLine([&w, value] { w = writeByte(value); });
    handBack(eventOf(w, -1));
    if (tellWithdrawn)
        tellWithdrawn(eventOf(w, -1));
    deliverHere();
}

std::int64_t lastLineWriteUs() { return g_lastWriteUs; }


void letGoAndClose()
{
    SharedValues &v = shared();
    // Nothing planned may reach the line after this, whatever it holds.
    withdrawPlan();
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
