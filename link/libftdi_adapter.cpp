#include "link/libftdi_adapter.h"

#include <ftdi.h>
#include <libusb.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <memory>
#include <tuple>
#include <vector>

namespace tavrel {

namespace {

// D2XX and libftdi number the bit modes alike, so FT_SetBitMode passes the mode
// straight through.
static_assert(BITMODE_RESET == 0x00 && BITMODE_BITBANG == 0x01 && BITMODE_SYNCBB == 0x04);

// The probe that tells an unplugged chip from a slow one only needs the
// control endpoint, which answers at once even when the data pipe is stuck.
constexpr unsigned ProbeTimeoutMs = 100;

struct FtdiFree {
    void operator()(ftdi_context *ftdi) const { ftdi_free(ftdi); }
};
using FtdiPtr = std::unique_ptr<ftdi_context, FtdiFree>;

struct ListFree {
    void operator()(ftdi_device_list *list) const { ftdi_list_free(&list); }
};
using ListPtr = std::unique_ptr<ftdi_device_list, ListFree>;

// Where a chip sits: bus, the ports leading to it, then its address.
std::tuple<std::uint8_t, std::vector<std::uint8_t>, std::uint8_t> location(libusb_device *device)
{
    std::vector<std::uint8_t> ports(8);
    ports.resize(std::size_t(std::max(0, libusb_get_port_numbers(device, ports.data(),
                                                                  int(ports.size())))));
    return {libusb_get_bus_number(device), std::move(ports), libusb_get_device_address(device)};
}

// The FTDI chips libusb sees, in a stable order: by bus, then by the ports
// leading to them. libusb's own order depends on how the bus was scanned, and
// an index must keep meaning the same socket from one call to the next. On a
// fresh libftdi context, kept in `ftdi`, for every listing and every open:
// libusb only scans the bus when a context is created, so a long-lived one
// would keep counting an adapter that was pulled out and never see one
// plugged in. Negative when the bus could not be listed.
int listChips(FtdiPtr &ftdi, ListPtr &list, std::vector<libusb_device *> &chips)
{
    ftdi.reset(ftdi_new());
    if (!ftdi)
        return -1;
    ftdi->usb_read_timeout = LibFtdiAdapter::UsbTimeoutMs;
    ftdi->usb_write_timeout = LibFtdiAdapter::UsbTimeoutMs;
    ftdi_device_list *raw = nullptr;
    const int found = ftdi_usb_find_all(ftdi.get(), &raw, 0, 0);
    list.reset(raw);
    if (found < 0)
        return found;
    for (ftdi_device_list *entry = raw; entry; entry = entry->next)
        chips.push_back(entry->dev);
    std::stable_sort(chips.begin(), chips.end(), [](libusb_device *a, libusb_device *b) {
        return location(a) < location(b);
    });
    return int(chips.size());
}

// The chip at `index` of the sorted list, with the context and list that keep
// it alive; FT_OK, or the status D2XX gives for a listing that failed or an
// index past the last chip.
FT_STATUS chipAt(std::int32_t index, FtdiPtr &ftdi, ListPtr &list, libusb_device **chip)
{
    if (index < 0)
        return FT_DEVICE_NOT_FOUND;
    std::vector<libusb_device *> chips;
    const int found = listChips(ftdi, list, chips);
    if (found < 0)
        return FT_OTHER_ERROR;
    if (index >= found)
        return FT_DEVICE_NOT_FOUND;
    *chip = chips[std::size_t(index)];
    return FT_OK;
}

// The kernel's name for the socket a chip sits in, "1-1.4": its bus, then the
// ports leading to it; also its folder under /sys/bus/usb/devices.
std::string busPath(libusb_device *device)
{
    const auto [bus, ports, address] = location(device);
    std::string path = std::to_string(bus) + '-';
    for (std::size_t i = 0; i < ports.size(); ++i)
        path += (i ? "." : "") + std::to_string(ports[i]);
    return path;
}

// The first line of one of the kernel's files about the chip.
std::string sysfsAttribute(libusb_device *device, const char *name)
{
    std::ifstream in("/sys/bus/usb/devices/" + busPath(device) + '/' + name);
    std::string text;
    std::getline(in, text);
    return text;
}

// The driver bound to the chip's first interface (ftdi_sio for a serial
// port), empty when none.
std::string kernelDriver(libusb_device *device)
{
    std::string configuration = sysfsAttribute(device, "bConfigurationValue");
    if (configuration.empty())
        configuration = "1";
    const std::string link = "/sys/bus/usb/devices/" + busPath(device) + ':' + configuration + ".0/driver";
    char target[512];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    const std::string path(target, std::size_t(n));
    return path.substr(path.find_last_of('/') + 1);
}

// libftdi reports every failed transfer as -1 and drops libusb's reason, so ask
// the chip directly whether it is still there.
bool chipVanished(ftdi_context *ftdi)
{
    constexpr auto requestType = std::uint8_t(int(LIBUSB_ENDPOINT_IN)
                                              | int(LIBUSB_REQUEST_TYPE_STANDARD)
                                              | int(LIBUSB_RECIPIENT_DEVICE));
    unsigned char status[2];
    return libusb_control_transfer(ftdi->usb_dev, requestType, LIBUSB_REQUEST_GET_STATUS, 0, 0,
                                   status, sizeof status, ProbeTimeoutMs)
        == LIBUSB_ERROR_NO_DEVICE;
}

// Returns whether the chip let go of its interface cleanly.
bool closeChip(ftdi_context *ftdi)
{
    const bool released = ftdi_usb_close(ftdi) == 0;
    ftdi_free(ftdi);
    return released;
}

} // namespace

LibFtdiAdapter::LibFtdiAdapter() = default;

LibFtdiAdapter::~LibFtdiAdapter()
{
    const std::lock_guard lock(m_mutex);
    for (auto &[handle, device] : m_devices)
        if (device.ftdi)
            closeChip(device.ftdi);
    m_devices.clear();
}

// A transfer failed. If the chip was unplugged, its USB handle and libusb
// context are freed now rather than at FT_Close, so a program that drops the
// handle without closing it (or an unplug/replug cycle) leaks nothing and the
// replugged chip can be opened again at once.
FT_STATUS LibFtdiAdapter::transferFailed(Device &device)
{
    if (chipVanished(device.ftdi)) {
        closeChip(device.ftdi);
        device.ftdi = nullptr;
    }
    return FT_IO_ERROR;
}

// Handle numbers count up rather than refill gaps, so a stale handle kept by
// mistake after FT_Close does not silently drive the next adapter opened.
FT_HANDLE LibFtdiAdapter::nextHandle()
{
    do {
        if (++m_lastHandle == 0)
            m_lastHandle = 1;
    } while (m_devices.contains(m_lastHandle));
    return m_lastHandle;
}

FT_STATUS LibFtdiAdapter::FT_ListDevices(void *arg1, void *arg2, std::uint32_t flags)
{
    if (flags & FT_LIST_BY_INDEX) {
        const bool serial = flags & FT_OPEN_BY_SERIAL_NUMBER;
        if (!arg2 || serial == bool(flags & FT_OPEN_BY_DESCRIPTION))
            return FT_INVALID_PARAMETER;
        const auto index = reinterpret_cast<std::uintptr_t>(arg1);
        if (index > std::uintptr_t(INT_MAX))
            return FT_DEVICE_NOT_FOUND;
        ChipDetails details;
        const FT_STATUS state = describeChip(std::int32_t(index), &details);
        if (state != FT_OK)
            return state;
        const std::string &text = serial ? details.serial : details.description;
        const std::size_t n = std::min(text.size(), (serial ? FT_SERIAL_BUFFER : FT_DESCRIPTION_BUFFER) - 1);
        std::memcpy(arg2, text.data(), n);
        static_cast<char *>(arg2)[n] = '\0';
        return FT_OK;
    }
    // As with the vendor driver, the FT_OPEN_BY_* bits may ride along.
    if (!(flags & FT_LIST_NUMBER_ONLY) || !arg1)
        return FT_INVALID_PARAMETER;
    auto *count = static_cast<std::uint32_t *>(arg1);
    *count = 0;

    FtdiPtr ftdi;
    ListPtr list;
    std::vector<libusb_device *> chips;
    const int found = listChips(ftdi, list, chips);
    if (found < 0)
        return FT_OTHER_ERROR;
    *count = std::uint32_t(found);
    return FT_OK;
}

FT_STATUS LibFtdiAdapter::describeChip(std::int32_t index, ChipDetails *details)
{
    if (!details)
        return FT_INVALID_PARAMETER;
    FtdiPtr ftdi;
    ListPtr list;
    libusb_device *chip = nullptr;
    if (const FT_STATUS status = chipAt(index, ftdi, list, &chip); status != FT_OK)
        return status;
    ChipDetails d;
    d.serial = sysfsAttribute(chip, "serial");
    d.description = sysfsAttribute(chip, "product");
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(chip, &descriptor) == 0) {
        d.vendorId = descriptor.idVendor;
        d.productId = descriptor.idProduct;
    }
    d.busPath = busPath(chip);
    d.kernelDriver = kernelDriver(chip);
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", unsigned(libusb_get_bus_number(chip)),
                  unsigned(libusb_get_device_address(chip)));
    d.accessible = ::access(node, R_OK | W_OK) == 0;
    *details = std::move(d);
    return FT_OK;
}

FT_STATUS LibFtdiAdapter::FT_Open(std::int32_t index, FT_HANDLE *handle)
{
    if (!handle)
        return FT_INVALID_PARAMETER;
    // The bus is scanned on a context of this call's own, before the lock.
    FtdiPtr ftdi;
    ListPtr list;
    libusb_device *chip = nullptr;
    if (const FT_STATUS status = chipAt(index, ftdi, list, &chip); status != FT_OK)
        return status;
    const std::lock_guard lock(m_mutex);

    // Opening it a second time would reset the chip under the first handle;
    // the vendor driver refuses, and the program's mode switch counts on that.
    const std::uint8_t bus = libusb_get_bus_number(chip);
    const std::uint8_t address = libusb_get_device_address(chip);
    for (const auto &[other, device] : m_devices)
        if (device.ftdi && device.bus == bus && device.address == address)
            return FT_DEVICE_NOT_OPENED;

    // Opening resets the chip and sets 9600 baud, as the vendor driver does.
    // On failure the context still owns whatever was opened and frees it.
    if (ftdi_usb_open_dev(ftdi.get(), chip) < 0)
        return FT_DEVICE_NOT_OPENED;

    const FT_HANDLE opened = nextHandle();
    m_devices[opened] = Device{ftdi.release(), bus, address};
    *handle = opened;
    return FT_OK;
}

template <typename Call>
FT_STATUS LibFtdiAdapter::onLive(FT_HANDLE handle, Call &&call)
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_devices.find(handle);
    if (it == m_devices.end())
        return FT_INVALID_HANDLE;
    // Its chip vanished: the handle stays until closed, the calls fail.
    return it->second.ftdi ? call(it->second) : FT_IO_ERROR;
}

FT_STATUS LibFtdiAdapter::FT_ResetDevice(FT_HANDLE handle)
{
    return onLive(handle, [this](Device &device) {
        return ftdi_usb_reset(device.ftdi) < 0 ? transferFailed(device) : FT_OK;
    });
}

FT_STATUS LibFtdiAdapter::FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baud)
{
    return onLive(handle, [this, baud](Device &device) -> FT_STATUS {
        if (baud == 0 || baud > std::uint32_t(INT_MAX))
            return FT_INVALID_BAUD_RATE;
        // In bit-bang mode libftdi quadruples the rate it is given, while the
        // vendor driver programs the divisor for the rate as given. Hiding the
        // bit-bang flag for this one call makes libftdi program exactly the
        // divisor the vendor driver would, so the chip is clocked the same (a
        // division by 4 would do too, but rounds rates that are not multiples of 4).
        ftdi_context *ftdi = device.ftdi;
        const unsigned char bitbang = ftdi->bitbang_enabled;
        ftdi->bitbang_enabled = 0;
        const int result = ftdi_set_baudrate(ftdi, int(baud));
        ftdi->bitbang_enabled = bitbang;
        if (result == -1)
            return FT_INVALID_BAUD_RATE;
        return result < 0 ? transferFailed(device) : FT_OK;
    });
}

FT_STATUS LibFtdiAdapter::FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode)
{
    return onLive(handle, [this, mask, mode](Device &device) {
        return ftdi_set_bitmode(device.ftdi, mask, mode) < 0 ? transferFailed(device) : FT_OK;
    });
}

FT_STATUS LibFtdiAdapter::FT_Write(FT_HANDLE handle, const void *buffer, std::uint32_t length,
                                   std::uint32_t *written)
{
    if (!written)
        return FT_INVALID_PARAMETER;
    *written = 0;
    return onLive(handle, [&](Device &device) -> FT_STATUS {
        if (length == 0)
            return FT_OK;
        if (!buffer || length > std::uint32_t(INT_MAX))
            return FT_INVALID_PARAMETER;
        const int sent = ftdi_write_data(device.ftdi, static_cast<const unsigned char *>(buffer), int(length));
        if (sent < 0)
            return transferFailed(device);
        *written = std::uint32_t(sent);
        return FT_OK;
    });
}

FT_STATUS LibFtdiAdapter::FT_Close(FT_HANDLE handle)
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_devices.find(handle);
    if (it == m_devices.end())
        return FT_INVALID_HANDLE;
    ftdi_context *ftdi = it->second.ftdi;
    m_devices.erase(it);
    if (!ftdi)
        return FT_IO_ERROR;
    return closeChip(ftdi) ? FT_OK : FT_IO_ERROR;
}

} // namespace tavrel
