#include "link/adapter_log.h"

#include "link/regular_file.h"
#include "link/timebase.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tavrel {

LoggingAdapter::LoggingAdapter(Adapter &inner, std::FILE *out, bool owned)
    : m_inner(inner), m_out(out), m_owned(owned), m_writer([this] { writeLines(); })
{
}

LoggingAdapter::~LoggingAdapter()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_writer.join();
    if (m_owned && m_out)
        std::fclose(m_out);
}

void LoggingAdapter::writeLines()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
        if (m_pending.empty())
            return; // stopping, and everything is written
        std::deque<std::string> batch;
        batch.swap(m_pending);
        lock.unlock();
        bool lost = false;
        for (const std::string &text : batch)
            lost = std::fputs(text.c_str(), m_out) < 0 || lost;
        // Flushed at once: the log must be whole even if the program dies.
        lost = std::fflush(m_out) != 0 || lost;
        if (lost && !m_lossTold.exchange(true)) {
            // Said once, on standard error: no box may be put up from here,
            // and a full disk must not stop a night.
            const int error = errno;
            std::clearerr(m_out);
            std::fprintf(stderr, "Tavrel : les lignes du journal de l'adaptateur %s sont perdues (%s) ; "
                                 "les poses continuent normalement.\n",
                         QFile::encodeName(m_path.isEmpty() ? QStringLiteral("-") : m_path).constData(),
                         std::strerror(error));
            std::fflush(stderr);
        }
        lock.lock();
        m_written += batch.size();
        m_wake.notify_all();
    }
}

void LoggingAdapter::flush()
{
    std::unique_lock lock(m_mutex);
    const std::uint64_t target = m_queued;
    m_wake.wait(lock, [this, target] { return m_written >= target; });
}

std::unique_ptr<LoggingAdapter> LoggingAdapter::open(Adapter &inner, const QString &path,
                                                     QString *error)
{
    if (path == QLatin1String("-"))
        return std::make_unique<LoggingAdapter>(inner, stderr, false);
    const AppendFile file = openRegularForAppend(path);
    std::FILE *f = file.fd >= 0 ? ::fdopen(file.fd, "a") : nullptr;
    if (!f) {
        if (error)
            *error = file.fd >= 0 ? QString::fromLocal8Bit(std::strerror(errno)) : file.problem;
        if (file.fd >= 0)
            ::close(file.fd);
        return nullptr;
    }
    auto log = std::make_unique<LoggingAdapter>(inner, f, true);
    log->m_path = path;
    return log;
}

FT_STATUS LoggingAdapter::logged(FT_STATUS status, const QString &text)
{
    // Stamped now, when the call returned; written by the log's thread.
    const std::int64_t us = timeBase().monotonicUs();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld.%06lld ", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000));
    std::string full = stamp + text.toStdString() + '\n';
    {
        const std::lock_guard lock(m_mutex);
        m_pending.push_back(std::move(full));
        ++m_queued;
    }
    m_wake.notify_all();
    return status;
}

namespace {
// Text the chip reports, quoted: a description holds blanks, and either may
// hold anything a cheap clone was given.
QString quoted(const char *text)
{
    QString out = QString::fromUtf8(text);
    out.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + out + QLatin1Char('"');
}
} // namespace

FT_STATUS LoggingAdapter::FT_ListDevices(void *arg1, void *arg2, std::uint32_t flags)
{
    const FT_STATUS s = m_inner.FT_ListDevices(arg1, arg2, flags);
    if (flags & FT_LIST_BY_INDEX) {
        QString text = QStringLiteral("FT_ListDevices(index=%1, flags=0x%2) = %3")
                           .arg(quintptr(arg1)).arg(flags, 8, 16, QLatin1Char('0')).arg(s);
        if (s == FT_OK && arg2)
            text += QStringLiteral(" %1=%2")
                        .arg(flags & FT_OPEN_BY_SERIAL_NUMBER ? QStringLiteral("serial") : QStringLiteral("description"),
                             quoted(static_cast<const char *>(arg2)));
        return logged(s, text);
    }
    const std::uint32_t count = arg1 ? *static_cast<std::uint32_t *>(arg1) : 0;
    return logged(s, QStringLiteral("FT_ListDevices(flags=0x%1) = %2 count=%3")
                         .arg(flags, 8, 16, QLatin1Char('0')).arg(s).arg(count));
}

FT_STATUS LoggingAdapter::FT_Open(std::int32_t index, FT_HANDLE *handle)
{
    const FT_STATUS s = m_inner.FT_Open(index, handle);
    QString text = QStringLiteral("FT_Open(index=%1) = %2").arg(index).arg(s);
    // A failed open leaves the caller's handle as it was: showing it would mislead.
    if (s == FT_OK && handle)
        text += QStringLiteral(" handle=%1").arg(*handle);
    return logged(s, text);
}

FT_STATUS LoggingAdapter::FT_ResetDevice(FT_HANDLE handle)
{
    const FT_STATUS s = m_inner.FT_ResetDevice(handle);
    return logged(s, QStringLiteral("FT_ResetDevice(handle=%1) = %2").arg(handle).arg(s));
}

FT_STATUS LoggingAdapter::FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baud)
{
    const FT_STATUS s = m_inner.FT_SetBaudRate(handle, baud);
    return logged(s, QStringLiteral("FT_SetBaudRate(handle=%1, baud=%2) = %3").arg(handle).arg(baud).arg(s));
}

FT_STATUS LoggingAdapter::FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode)
{
    const FT_STATUS s = m_inner.FT_SetBitMode(handle, mask, mode);
    return logged(s, QStringLiteral("FT_SetBitMode(handle=%1, mask=%2, mode=%3) = %4")
                         .arg(handle).arg(mask).arg(mode).arg(s));
}

FT_STATUS LoggingAdapter::FT_Write(FT_HANDLE handle, const void *buffer, std::uint32_t length,
                                   std::uint32_t *written)
{
    const FT_STATUS s = m_inner.FT_Write(handle, buffer, length, written);
    const auto *bytes = static_cast<const std::uint8_t *>(buffer);
    QString what;
    for (std::uint32_t i = 0; bytes && i < length; ++i)
        what += QStringLiteral("%1byte=0x%2").arg(i ? QStringLiteral(", ") : QString())
                    .arg(bytes[i], 2, 16, QLatin1Char('0'));
    return logged(s, QStringLiteral("FT_Write(handle=%1, %2) = %3 written=%4")
                         .arg(handle).arg(what).arg(s).arg(written ? *written : 0));
}

FT_STATUS LoggingAdapter::describeChip(std::int32_t index, ChipDetails *details)
{
    const FT_STATUS s = m_inner.describeChip(index, details);
    QString text = QStringLiteral("describeChip(index=%1) = %2").arg(index).arg(s);
    if (s == FT_OK && details)
        text += QStringLiteral(" serial=%1 description=%2 usb=%3:%4 path=%5 driver=%6 access=%7")
                    .arg(quoted(details->serial.c_str()), quoted(details->description.c_str()))
                    .arg(details->vendorId, 4, 16, QLatin1Char('0'))
                    .arg(details->productId, 4, 16, QLatin1Char('0'))
                    .arg(QString::fromStdString(details->busPath),
                         details->kernelDriver.empty() ? QStringLiteral("none")
                                                       : QString::fromStdString(details->kernelDriver),
                         details->accessible ? QStringLiteral("yes") : QStringLiteral("no"));
    return logged(s, text);
}

FT_STATUS LoggingAdapter::FT_Close(FT_HANDLE handle)
{
    const FT_STATUS s = m_inner.FT_Close(handle);
    return logged(s, QStringLiteral("FT_Close(handle=%1) = %2").arg(handle).arg(s));
}

} // namespace tavrel
