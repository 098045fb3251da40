#pragma once
// The real release adapter on Linux: the D2XX calls the program makes, carried
// out with libftdi1 (and so libusb) instead of FTDI's closed driver. Statuses,
// handle rules and baud-rate meaning follow the vendor driver, so the rest of
// the program cannot tell which of the two it talks to.
//
// Calls on open handles are serialised by one lock, which the short USB
// timeouts below keep brief and which lifts its holder to the priority of a
// raised thread waiting for it. Listing the bus and reading the kernel's
// records of a chip work on a context of their own and never take it: a bus
// scan (tens of milliseconds on a busy hub) cannot delay a write.

#include "link/d2xx.h"
#include "link/pi_mutex.h"

#include <cstdint>
#include <map>

struct ftdi_context;

namespace tavrel {

class LibFtdiAdapter final : public Adapter {
public:
    // Longest a single USB transfer may take before the call gives up. libusb
    // would otherwise wait 5 s on a wedged adapter, with the windows frozen
    // for all that time; a healthy FT232R answers in about a millisecond.
    static constexpr int UsbTimeoutMs = 500;

    LibFtdiAdapter();
    // Closes and frees every adapter still open.
    ~LibFtdiAdapter() override;
    LibFtdiAdapter(const LibFtdiAdapter &) = delete;
    LibFtdiAdapter &operator=(const LibFtdiAdapter &) = delete;

    // FT_LIST_NUMBER_ONLY: the number of FTDI chips on the bus goes to
    // *(uint32*)arg1, open ones included. FT_LIST_BY_INDEX with
    // FT_OPEN_BY_SERIAL_NUMBER or FT_OPEN_BY_DESCRIPTION: that text of the
    // chip of rank arg1, as the kernel read it when the chip was plugged in,
    // so no chip is opened or even spoken to, and a chip this user may not
    // open still shows its serial. Any other form is FT_INVALID_PARAMETER, as
    // with the simulated adapter.
    FT_STATUS FT_ListDevices(void *arg1, void *arg2, std::uint32_t flags) override;
    // Opens the index-th chip, ordered by bus and port. The handles are small
    // numbers from 1 up. A chip this adapter already holds open is refused with
    // FT_DEVICE_NOT_OPENED, as the vendor driver does. *handle is only written
    // on success.
    FT_STATUS FT_Open(std::int32_t index, FT_HANDLE *handle) override;
    FT_STATUS FT_ResetDevice(FT_HANDLE handle) override;
    // The rate means what it means to the vendor driver, bit-bang mode or not.
    FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baud) override;
    FT_STATUS FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) override;
    // On failure *written is 0, even if part of a longer buffer went out.
    FT_STATUS FT_Write(FT_HANDLE handle, const void *buffer, std::uint32_t length,
                       std::uint32_t *written) override;
    // Always forgets the handle. FT_IO_ERROR when the chip had been unplugged
    // (or its interface could not be released), FT_OK otherwise.
    FT_STATUS FT_Close(FT_HANDLE handle) override;
    // From the kernel's records as well: nothing is opened.
    FT_STATUS describeChip(std::int32_t index, ChipDetails *details) override;

private:
    struct Device {
        // Null once the chip was found unplugged: its USB handle and libusb
        // context are freed right then, only the handle number stays taken
        // until FT_Close.
        ftdi_context *ftdi = nullptr;
        std::uint8_t bus = 0;
        std::uint8_t address = 0;
    };

    // `call` on the device of a live handle, under the lock; else
    // FT_INVALID_HANDLE or FT_IO_ERROR.
    template <typename Call>
    FT_STATUS onLive(FT_HANDLE handle, Call &&call);
    FT_STATUS transferFailed(Device &device);
    FT_HANDLE nextHandle();

    PiMutex m_mutex;
    std::map<FT_HANDLE, Device> m_devices;
    FT_HANDLE m_lastHandle = 0;
};

} // namespace tavrel
