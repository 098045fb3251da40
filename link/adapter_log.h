#pragma once
// The adapter log: one line per adapter call, whatever the backend, e.g.
//   2.125431 FT_Write(handle=1, byte=0x01) = 0 written=1
//   0.004210 FT_ListDevices(index=1, flags=0x40000001) = 0 serial="A10KZP3Q"
// Seconds on the monotonic clock since the program started, the call, its
// arguments, the status and the values it handed back. Users send this file
// when a cable misbehaves and tools read it, so the shape never changes.

#include "link/d2xx.h"

#include <QString>
#include <atomic>
#include <cstdio>
#include <memory>

namespace tavrel {

class LoggingAdapter final : public Adapter {
public:
    // Writes to `out`, flushing every line; takes ownership when `owned`.
    LoggingAdapter(Adapter &inner, std::FILE *out, bool owned);
    ~LoggingAdapter() override;

    // "-" is standard error; anything else a regular file opened for
    // appending, so a second run never wipes the log of the night before.
    // Null on failure, with the reason in French. A log that stops taking
    // its lines (a full disk) says so once on standard error.
    static std::unique_ptr<LoggingAdapter> open(Adapter &inner, const QString &path,
                                                QString *error);

    FT_STATUS FT_ListDevices(void *arg1, void *arg2, std::uint32_t flags) override;
    FT_STATUS FT_Open(std::int32_t index, FT_HANDLE *handle) override;
    FT_STATUS FT_ResetDevice(FT_HANDLE handle) override;
    FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baud) override;
    FT_STATUS FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) override;
    FT_STATUS FT_Write(FT_HANDLE handle, const void *buffer, std::uint32_t length,
                       std::uint32_t *written) override;
    FT_STATUS FT_Close(FT_HANDLE handle) override;
    FT_STATUS describeChip(std::int32_t index, ChipDetails *details) override;

private:
    void line(const QString &text);

    Adapter &m_inner;
    std::FILE *m_out;
    bool m_owned;
    QString m_path;
    std::atomic<bool> m_lossTold{false};
};

} // namespace tavrel
