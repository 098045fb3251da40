#include "link/simulated_adapter.h"

#include "link/timebase.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace tavrel {

SimulatedAdapter::SimulatedAdapter(int devices, QObject *parent)
    : QObject(parent), m_chips(std::max(devices, 1)), m_attached(devices > 0)
{
}

SimulatedAdapter::Guard::Guard(const SimulatedAdapter *adapter)
    : m_adapter(const_cast<SimulatedAdapter *>(adapter))
{
    m_adapter->m_mutex.lock();
    ++m_adapter->m_depth;
}

SimulatedAdapter::Guard::~Guard()
{
    const bool tell = --m_adapter->m_depth == 0 && m_adapter->m_changed;
    if (tell)
        m_adapter->m_changed = false;
    m_adapter->m_mutex.unlock();
    // Told once the lock is free: the panel's redraw (style sheets, fonts)
    // must never sit between the timing thread and its write.
    if (tell)
        emit m_adapter->changed();
}

void SimulatedAdapter::setListingDelay(int ms) { m_listingDelayMs = std::max(ms, 0); }

void SimulatedAdapter::scanBus() const
{
    // A bus scan takes its time on the bus, not inside the driver's lock.
    if (const int ms = m_listingDelayMs.load(); ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

QString SimulatedAdapter::serialOf(int chip) { return QStringLiteral("SIMFT%1").arg(chip + 1, 3, 10, QLatin1Char('0')); }

QList<int> SimulatedAdapter::listed() const
{
    QList<int> out;
    for (int i = 0; m_attached && i < m_chips.size(); ++i)
        if (m_chips[i].attached)
            out << i;
    return out;
}

int SimulatedAdapter::chipOf(FT_HANDLE handle) const
{
    const Guard guard(this);
    const auto it = m_handles.constFind(handle);
    return it == m_handles.constEnd() ? -1 : it->device;
}

bool SimulatedAdapter::takeFault(const QString &function, FT_STATUS *status)
{
    auto it = m_faults.find(function);
    if (it == m_faults.end())
        return false;
    *status = it->first;
    if (it->second > 0 && --it->second == 0)
        m_faults.erase(it);
    return true;
}

FT_STATUS SimulatedAdapter::handleStatus(FT_HANDLE handle) const
{
    const auto it = m_handles.constFind(handle);
    if (it == m_handles.constEnd())
        return FT_INVALID_HANDLE;
    return it->alive ? FT_OK : FT_IO_ERROR;
}

FT_STATUS SimulatedAdapter::record(AdapterCall call)
{
    call.us = timeBase().monotonicUs();
    m_calls.append(call);
    m_changed = true;
    return call.status;
}

template <typename Body>
FT_STATUS SimulatedAdapter::call(AdapterCall c, Body &&body)
{
    const Guard guard(this);
    if (!takeFault(c.function, &c.status))
        body(c);
    return record(c);
}

FT_STATUS SimulatedAdapter::FT_ListDevices(void *arg1, void *arg2, std::uint32_t flags)
{
    scanBus();
    const Guard guard(this);
    AdapterCall c{0, QStringLiteral("FT_ListDevices"), -1, std::int64_t(flags)};
    if (flags & FT_LIST_BY_INDEX) {
        // By index: the rank goes in `handle`, the text written is not recorded.
        const auto index = std::uint32_t(reinterpret_cast<std::uintptr_t>(arg1));
        c.handle = index;
        const bool serial = flags & FT_OPEN_BY_SERIAL_NUMBER;
        if (takeFault(c.function, &c.status))
            return record(c);
        if (!arg2 || serial == bool(flags & FT_OPEN_BY_DESCRIPTION)) {
            c.status = FT_INVALID_PARAMETER;
        } else if (index >= std::uint32_t(deviceCount())) {
            c.status = FT_DEVICE_NOT_FOUND;
        } else {
            const QByteArray text = serial ? serialOf(listed().at(index)).toLatin1()
                                           : QByteArrayLiteral("FT232R USB UART");
            const std::size_t size = serial ? FT_SERIAL_BUFFER : FT_DESCRIPTION_BUFFER;
            const std::size_t n = std::min(std::size_t(text.size()), size - 1);
            std::memcpy(arg2, text.constData(), n);
            static_cast<char *>(arg2)[n] = '\0';
        }
        return record(c);
    }
    auto *count = static_cast<std::uint32_t *>(arg1);
    if (takeFault(c.function, &c.status)) {
        if (count)
            *count = 0;
        c.out = 0;
    } else if (!(flags & FT_LIST_NUMBER_ONLY) || !count) {
        c.status = FT_INVALID_PARAMETER;
    } else {
        *count = std::uint32_t(deviceCount());
        c.out = *count;
    }
    return record(c);
}

FT_STATUS SimulatedAdapter::FT_Open(std::int32_t index, FT_HANDLE *handle)
{
    return call({0, QStringLiteral("FT_Open"), -1, index}, [&](AdapterCall &c) {
        const int chip = index >= 0 && index < deviceCount() ? listed().at(index) : -1;
        // The vendor's driver refuses a second open of a device in use.
        const auto inUse = [chip](const OpenHandle &h) { return h.alive && h.device == chip; };
        if (chip < 0) {
            c.status = FT_DEVICE_NOT_FOUND;
        } else if (!m_chips[chip].accessible || std::any_of(m_handles.cbegin(), m_handles.cend(), inUse)) {
            c.status = FT_DEVICE_NOT_OPENED;
        } else {
            c.out = m_nextHandle++;
            m_handles.insert(FT_HANDLE(c.out), OpenHandle{chip, true, false});
            if (handle)
                *handle = FT_HANDLE(c.out);
        }
    });
}

FT_STATUS SimulatedAdapter::FT_ResetDevice(FT_HANDLE handle)
{
    return call({0, QStringLiteral("FT_ResetDevice"), handle}, [&](AdapterCall &c) { c.status = handleStatus(handle); });
}

FT_STATUS SimulatedAdapter::FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baud)
{
    return call({0, QStringLiteral("FT_SetBaudRate"), handle, baud}, [&](AdapterCall &c) {
        c.status = handleStatus(handle);
        if (c.status == FT_OK && baud == 0)
            c.status = FT_INVALID_BAUD_RATE;
    });
}

FT_STATUS SimulatedAdapter::FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode)
{
    return call({0, QStringLiteral("FT_SetBitMode"), handle, mask, mode}, [&](AdapterCall &c) {
        c.status = handleStatus(handle);
        // Only asynchronous bit-bang with D0 as an output drives the release.
        if (c.status == FT_OK)
            m_handles[handle].bitBang = (mode == 1) && (mask & 1);
    });
}

FT_STATUS SimulatedAdapter::FT_Write(FT_HANDLE handle, const void *buffer, std::uint32_t length,
                                     std::uint32_t *written)
{
    const auto *bytes = static_cast<const std::uint8_t *>(buffer);
    if (written)
        *written = 0;
    const AdapterCall write{0, QStringLiteral("FT_Write"), handle, (bytes && length) ? bytes[0] : -1, -1, FT_OK, 0};
    return call(write, [&](AdapterCall &c) {
        c.status = handleStatus(handle);
        if (c.status == FT_OK && (!bytes || length == 0))
            c.status = FT_INVALID_PARAMETER;
        if (c.status != FT_OK)
            return;
        c.out = length;
        if (written)
            *written = length;
        if (m_handles[handle].device != 0 || !m_handles[handle].bitBang)
            return;
        const int level = bytes[length - 1];
        const std::int64_t now = timeBase().monotonicUs();
        if ((level & 1) && !(m_level & 1)) {
            ++m_pressCount;
            m_pressedSinceUs = now;
        } else if (!(level & 1)) {
            m_pressedSinceUs = -1;
        }
        m_level = level;
    });
}

FT_STATUS SimulatedAdapter::FT_Close(FT_HANDLE handle)
{
    return call({0, QStringLiteral("FT_Close"), handle}, [&](AdapterCall &c) {
        // A handle whose device vanished is freed all the same; the chip keeps
        // the level last written after the close.
        if (!m_handles.remove(handle))
            c.status = FT_INVALID_HANDLE;
    });
}

FT_STATUS SimulatedAdapter::describeChip(std::int32_t index, ChipDetails *details)
{
    scanBus();
    return call({0, QStringLiteral("describeChip"), -1, index}, [&](AdapterCall &c) {
        if (index < 0 || index >= deviceCount() || !details) {
            c.status = details ? FT_DEVICE_NOT_FOUND : FT_INVALID_PARAMETER;
            return;
        }
        const int chip = listed().at(index);
        *details = ChipDetails{serialOf(chip).toStdString(), "FT232R USB UART", 0x0403, 0x6001,
                               "1-" + std::to_string(chip + 1), std::string(), m_chips[chip].accessible};
    });
}

void SimulatedAdapter::unplugged(int chip)
{
    for (OpenHandle &h : m_handles)
        if (chip < 0 || h.device == chip)
            h.alive = false;
    if (chip <= 0) {
        m_level = 0;
        m_pressedSinceUs = -1;
    }
    m_changed = true;
}

void SimulatedAdapter::setAttached(bool attached)
{
    const Guard guard(this);
    if (m_attached == attached)
        return;
    m_attached = attached;
    if (!attached)
        unplugged(-1);
    else
        m_changed = true;
}

void SimulatedAdapter::setChipAttached(int chip, bool attached)
{
    const Guard guard(this);
    if (chip < 0 || chip >= m_chips.size() || m_chips[chip].attached == attached)
        return;
    m_chips[chip].attached = attached;
    if (!attached)
        unplugged(chip);
    else
        m_changed = true;
}

void SimulatedAdapter::setChipAccessible(int chip, bool accessible)
{
    const Guard guard(this);
    if (chip >= 0 && chip < m_chips.size())
        m_chips[chip].accessible = accessible;
}

void SimulatedAdapter::injectFault(const QString &function, FT_STATUS status, int times)
{
    const Guard guard(this);
    m_faults.insert(function, qMakePair(status, times));
}

int SimulatedAdapter::openHandleCount() const
{
    const Guard guard(this);
    return int(m_handles.size());
}

QList<AdapterCall> SimulatedAdapter::callsOf(const QString &function) const
{
    const Guard guard(this);
    QList<AdapterCall> out;
    for (const AdapterCall &c : m_calls)
        if (c.function == function)
            out.append(c);
    return out;
}

} // namespace tavrel
