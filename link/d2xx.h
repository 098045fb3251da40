#pragma once
// The seven D2XX calls the program makes, with the D2XX status codes it meets,
// behind one interface so the real USB adapter and the simulated one are
// interchangeable. Names and codes follow FTDI's published interface.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrel {

using FT_STATUS = std::int32_t;
using FT_HANDLE = std::uint32_t;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_OTHER_ERROR = 18,
};

constexpr std::uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr std::uint32_t FT_OPEN_BY_DESCRIPTION = 2;
constexpr std::uint32_t FT_LIST_NUMBER_ONLY = 0x80000000u;
constexpr std::uint32_t FT_LIST_BY_INDEX = 0x40000000u;
// Buffers FT_ListDevices fills by index: D2XX's sizes, closing NUL included.
constexpr std::size_t FT_SERIAL_BUFFER = 16;
constexpr std::size_t FT_DESCRIPTION_BUFFER = 64;

// What `tavrel-run --list-adapters` shows of one chip; no D2XX call gives it
// all, so it is the one call of the interface that is the program's own.
struct ChipDetails {
    std::string serial;
    std::string description;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string busPath;      // the kernel's name for the socket: "1-1.4"
    std::string kernelDriver; // empty when no driver holds the chip
    bool accessible = true;   // this user may open it
};

// The adapter as the program sees it. Only the argument forms the program uses
// are supported: FT_ListDevices with FT_LIST_NUMBER_ONLY (count in *arg1), or
// with FT_LIST_BY_INDEX and FT_OPEN_BY_SERIAL_NUMBER or FT_OPEN_BY_DESCRIPTION
// (the index passed as the value of arg1, the text written to the buffer arg2,
// FT_SERIAL_BUFFER or FT_DESCRIPTION_BUFFER bytes); FT_Open by index. Indexes
// are ranks in the same order for listing and opening.
class Adapter {
public:
    virtual ~Adapter() = default;
    virtual FT_STATUS FT_ListDevices(void *arg1, void *arg2, std::uint32_t flags) = 0;
    virtual FT_STATUS FT_Open(std::int32_t index, FT_HANDLE *handle) = 0;
    virtual FT_STATUS FT_ResetDevice(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baud) = 0;
    virtual FT_STATUS FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) = 0;
    virtual FT_STATUS FT_Write(FT_HANDLE handle, const void *buffer, std::uint32_t length,
                               std::uint32_t *written) = 0;
    virtual FT_STATUS FT_Close(FT_HANDLE handle) = 0;
    // The chip of rank `index`: FT_OK, or FT_DEVICE_NOT_FOUND past the last.
    virtual FT_STATUS describeChip(std::int32_t index, ChipDetails *details) = 0;
};

// The index argument of FT_ListDevices by index, as D2XX takes it.
inline void *listIndex(std::uint32_t index) { return reinterpret_cast<void *>(std::uintptr_t(index)); }

} // namespace tavrel
