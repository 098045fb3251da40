#pragma once
// The seven D2XX calls the program makes, with D2XX's own status codes, behind
// one interface so the real USB adapter and the simulated one are
// interchangeable. Names and codes follow FTDI's published interface.

#include <cstdint>

namespace tavrel {

using FT_STATUS = std::int32_t;
using FT_HANDLE = std::uint32_t;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
};

constexpr std::uint32_t FT_LIST_NUMBER_ONLY = 0x80000000u;

// The adapter as the program sees it. Only the argument forms the program uses
// are supported: FT_ListDevices with FT_LIST_NUMBER_ONLY (count in *arg1),
// FT_Open by index.
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
};

} // namespace tavrel
