#pragma once
// A stand-in adapter that behaves like the vendor's driver with one or more
// FTDI chips plugged in, the first of them wired to the camera's release: the
// chips can be unplugged and plugged back at any moment (all together, or one
// by one), made to fail any call, and it keeps a timestamped record of every
// call, so tests (and a user rehearsing a night with --simulate) see exactly
// what the camera would have seen.

#include "link/d2xx.h"
#include "link/pi_mutex.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <atomic>

namespace tavrel {

struct AdapterCall {
    std::int64_t us = 0;      // monotonic time of the call
    QString function;         // "FT_Write", ...
    std::int64_t handle = -1; // the handle passed, -1 where none
    std::int64_t arg = -1;    // flags, index, baud rate, mask or the byte written
    std::int64_t arg2 = -1;   // the mode of FT_SetBitMode
    FT_STATUS status = FT_OK;
    std::int64_t out = -1;    // count, handle or bytes written, -1 where none
};

class SimulatedAdapter final : public QObject, public Adapter {
    Q_OBJECT
public:
    // `devices` chips are plugged in at start (0 = one, unplugged); the first
    // one carries the camera's release line. Chip n (from 1) has the serial
    // SIMFT00n and sits at 1-n on the bus.
    explicit SimulatedAdapter(int devices = 1, QObject *parent = nullptr);
    static QString serialOf(int chip);

    FT_STATUS FT_ListDevices(void *arg1, void *arg2, std::uint32_t flags) override;
    FT_STATUS FT_Open(std::int32_t index, FT_HANDLE *handle) override;
    FT_STATUS FT_ResetDevice(FT_HANDLE handle) override;
    FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baud) override;
    FT_STATUS FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) override;
    FT_STATUS FT_Write(FT_HANDLE handle, const void *buffer, std::uint32_t length,
                       std::uint32_t *written) override;
    FT_STATUS FT_Close(FT_HANDLE handle) override;
    FT_STATUS describeChip(std::int32_t index, ChipDetails *details) override;

    // Unplugging kills every open handle (later calls on them fail with
    // FT_IO_ERROR) and drops the lines, as a chip without power does.
    bool isAttached() const { return m_attached; }
    void setAttached(bool attached);
    // The same for one chip (0 = the first), the others staying put: the
    // ranks of the chips after it move down by one.
    void setChipAttached(int chip, bool attached);
    // A chip this user may not open (no udev rule): FT_Open fails.
    void setChipAccessible(int chip, bool accessible);
    // The chip a handle was opened on, -1 for an unknown handle.
    int chipOf(FT_HANDLE handle) const;

    // The next `times` calls of `function` return `status` and do nothing
    // (times < 0: until cleared).
    void injectFault(const QString &function, FT_STATUS status, int times = 1);

    // Every listing (count or by rank) and description of a chip takes `ms`
    // more, as a bus scan on a busy USB hub does; 0 is instant.
    void setListingDelay(int ms);

    // Bit 0 of the release adapter's data lines.
    bool isPressed() const { return (m_level & 1) != 0; }
    std::int64_t pressedSinceUs() const { return m_pressedSinceUs; }
    int pressCount() const { return m_pressCount; }
    int openHandleCount() const;

    // The record itself, for tests in virtual time, where no other thread
    // writes; callsOf() copies it under the lock.
    const QList<AdapterCall> &calls() const { return m_calls; }
    QList<AdapterCall> callsOf(const QString &function) const;
    void clearCalls() { m_calls.clear(); }

signals:
    // Any call or plug change; the rehearsal panel redraws on it. Emitted
    // once the call is over and its lock free, on the calling thread.
    void changed();

private:
    struct OpenHandle {
        int device = 0; // the chip, not its rank
        bool alive = true;
        bool bitBang = false;
    };
    struct Chip {
        bool attached = true;
        bool accessible = true;
    };
    bool takeFault(const QString &function, FT_STATUS *status);
    FT_STATUS record(AdapterCall call);
    // One call under the lock: an injected fault answers for it, else `body`.
    template <typename Body>
    FT_STATUS call(AdapterCall c, Body &&body);
    // FT_OK for a live handle, FT_IO_ERROR once its device vanished.
    FT_STATUS handleStatus(FT_HANDLE handle) const;
    // The chips on the bus, in rank order.
    QList<int> listed() const;
    int deviceCount() const { return int(listed().size()); }
    void unplugged(int chip);

    QList<Chip> m_chips;
    bool m_attached;
    FT_HANDLE m_nextHandle = 1;
    QMap<FT_HANDLE, OpenHandle> m_handles;
    QMap<QString, QPair<FT_STATUS, int>> m_faults;
    int m_level = 0;
    std::int64_t m_pressedSinceUs = -1;
    int m_pressCount = 0;
    QList<AdapterCall> m_calls;
    // The timing thread writes while the main thread lists, plugs and draws
    // the panel. Recursive: a test's fault or plug call may come from inside
    // another; with priority inheritance, as the timing thread waits on it.
    mutable PiMutex m_mutex{PiMutex::Recursive};
    int m_depth = 0;
    bool m_changed = false;
    std::atomic<int> m_listingDelayMs{0};

    // Holds the lock for one call and tells changed() once it is let go.
    class Guard {
    public:
        explicit Guard(const SimulatedAdapter *adapter);
        ~Guard();
        Guard(const Guard &) = delete;
        Guard &operator=(const Guard &) = delete;

    private:
        SimulatedAdapter *m_adapter;
    };
    void scanBus() const;
};

} // namespace tavrel
