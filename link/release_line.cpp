#include "link/release_line.h"

#include "link/messages.h"
#include "link/shared_values.h"
#include "link/timebase.h"

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

} // namespace

Adapter &adapter() { return g_adapter ? *g_adapter : g_noAdapter; }

void setAdapter(Adapter *a) { g_adapter = a; }

void setLineWriteObserver(LineWriteObserver observer) { g_lineObserver = std::move(observer); }

void setSetUpObserver(SetUpObserver observer) { g_setUpObserver = std::move(observer); }

void traceLink(const QString &text)
{
    if (shared().TraceMessages != 0)
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
    // The handle is shown signed, as a 32-bit handle with its top bit set would be.
    traceLink(QStringLiteral("open: %1 Handle: %2").arg(v.LastStatus).arg(std::int32_t(v.DeviceHandle)));
    step("FT_ResetDevice", adapter().FT_ResetDevice(v.DeviceHandle));
    traceLink(QStringLiteral("reset: %1").arg(v.LastStatus));
    step("FT_SetBaudRate", adapter().FT_SetBaudRate(v.DeviceHandle, 9600));
    traceLink(QStringLiteral("setbaud: %1").arg(v.LastStatus));
    // Mode and mask were checked when the settings were loaded, so a mistyped
    // value reaches the chip as the default, never as a garbage byte.
    step("FT_SetBitMode", adapter().FT_SetBitMode(v.DeviceHandle, v.BitMask, v.BitMode));
    traceLink(QStringLiteral("Mode: %1").arg(v.LastStatus));
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
    v.LastStatus = adapter().FT_Close(v.DeviceHandle);
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
    SharedValues &v = shared();
    const std::uint8_t buffer = std::uint8_t(value);
    v.LastStatus = adapter().FT_Write(v.DeviceHandle, &buffer, 1, &v.BytesWritten);
    if (g_lineObserver)
        g_lineObserver(buffer, timeBase().monotonicUs());
    traceLink(QStringLiteral("Write0: %1 Ow: %2").arg(v.LastStatus).arg(v.BytesWritten));
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

void installExitSafetyNet()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    std::atexit(letGoAndClose);
    std::set_terminate([] {
        letGoAndClose();
        std::abort();
    });
}

void PressShutter() { WriteLineByte(1); }

void ReleaseShutter() { WriteLineByte(0); }

} // namespace tavrel
