#pragma once
// The adapter log: one line per adapter call, whatever the backend, e.g.
//   2.125431 FT_Write(handle=1, byte=0x01) = 0 written=1
//   0.004210 FT_ListDevices(index=1, flags=0x40000001) = 0 serial="A10KZP3Q"
// Seconds on the monotonic clock since the program started, the call, its
// arguments, the status and the values it handed back. Users send this file
// when a cable misbehaves and tools read it, so the shape never changes.
//
// A call only stamps and queues its line; a thread of the log's own writes
// and flushes it. The timing thread's write is thus never held up by a log
// on a slow card, a full pipe or a terminal scrolled back.

#include "link/d2xx.h"

#include "link/pi_mutex.h"

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <thread>

namespace tavrel {

class LoggingAdapter final : public Adapter {
public:
    // Writes to `out`, flushing every line; takes ownership when `owned`.
    LoggingAdapter(Adapter &inner, std::FILE *out, bool owned);
    // Every line queued is written first.
    ~LoggingAdapter() override;
    LoggingAdapter(const LoggingAdapter &) = delete;
    LoggingAdapter &operator=(const LoggingAdapter &) = delete;

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

    // Returns once every line queued so far is in the file.
    void flush();

private:
    // Queues the call's line; returns the call's status.
    FT_STATUS logged(FT_STATUS status, const QString &text);
    void writeLines();

    Adapter &m_inner;
    std::FILE *m_out;
    bool m_owned;
    QString m_path;
    // Shared with the timing thread, which only pushes a line under it.
    PiMutex m_mutex;
    std::condition_variable_any m_wake;
    std::deque<std::string> m_pending;
    std::uint64_t m_queued = 0;
    std::uint64_t m_written = 0;
    bool m_stopping = false;
    std::atomic<bool> m_lossTold{false};
    std::thread m_writer;
};

} // namespace tavrel
