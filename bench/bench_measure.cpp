// What tavrel-bench measures and how: the adapter log read back into the
// line's writes and presses, the figures made of them, the process's cost and
// the machine it ran on, and the table's rows.

#include "bench/bench_measure.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace bench {

// ---------------------------------------------------------------------------
// Reading the adapter log back


// Everything the log gained since `offset`, FT_Write lines only. The log is
// flushed (LoggingAdapter::flush) before its size is taken, so that size is
// an exact boundary between runs.
std::vector<LineWrite> writesSince(const QString &path, qint64 offset, int *listCalls)
{
    static const QRegularExpression writeLine(
        QStringLiteral(R"(^(\d+)\.(\d{6}) FT_Write\(handle=-?\d+, byte=0x([0-9a-fA-F]{2})\) = (-?\d+) )"));
    static const QRegularExpression listLine(QStringLiteral(R"(^\d+\.\d{6} FT_ListDevices\()"));
    std::vector<LineWrite> out;
    if (listCalls)
        *listCalls = 0;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text) || !f.seek(offset))
        return out;
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine());
        if (listCalls && listLine.match(line).hasMatch())
            ++*listCalls;
        const auto m = writeLine.match(line);
        if (!m.hasMatch())
            continue;
        LineWrite w;
        w.us = m.captured(1).toLongLong() * 1000000 + m.captured(2).toLongLong();
        w.byte = m.captured(3).toInt(nullptr, 16);
        w.status = m.captured(4).toInt();
        out.push_back(w);
    }
    return out;
}


std::vector<Press> pressesOf(const std::vector<LineWrite> &writes)
{
    std::vector<Press> out;
    bool pressed = false;
    Press current;
    for (const LineWrite &w : writes) {
        if (w.status != 0)
            continue; // a failed write never reached the line
        const bool high = (w.byte & 1) != 0;
        if (high && !pressed) {
            current = Press{w.us, 0, 1};
            pressed = true;
        } else if (high) {
            ++current.writes;
        } else if (pressed) {
            current.endUs = w.us;
            out.push_back(current);
            pressed = false;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Figures


Stats statsOf(std::vector<double> v)
{
    Stats s;
    s.n = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.min = v.front();
    s.max = v.back();
    const std::size_t mid = v.size() / 2;
    s.median = v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2.0;
    // Nearest rank: with fewer than 100 samples this is the largest one.
    const std::size_t rank = std::size_t(std::ceil(0.99 * double(v.size())));
    s.p99 = v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
    return s;
}



std::vector<double> pressErrorsMs(const std::vector<Press> &presses, double nominalMs)
{
    std::vector<double> out;
    for (const Press &p : presses)
        out.push_back(double(p.endUs - p.startUs) / 1000.0 - nominalMs);
    return out;
}

std::vector<double> gapErrorsMs(const std::vector<Press> &presses, double nominalMs)
{
    std::vector<double> out;
    for (std::size_t i = 1; i < presses.size(); ++i)
        out.push_back(double(presses[i].startUs - presses[i - 1].endUs) / 1000.0 - nominalMs);
    return out;
}


// ---------------------------------------------------------------------------
// Process cost

// The value after `key` on the first line of a /proc file that starts with
// it. Read with stdio: /proc files report a size of 0, which QFile takes for
// an empty file.
QString procField(const char *path, const char *key)
{
    std::FILE *f = std::fopen(path, "r");
    if (!f)
        return {};
    char line[512];
    QString value;
    const std::size_t keyLength = std::strlen(key);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, keyLength) == 0) {
            value = QString::fromUtf8(line + keyLength).trimmed();
            if (value.startsWith(QLatin1Char(':')))
                value = value.mid(1).trimmed();
            break;
        }
    }
    std::fclose(f);
    return value;
}

double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec)
        + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Peak resident set in KiB: VmHWM, or the rusage figure where /proc lacks it.
long peakRssKiB()
{
    const QString hwm = procField("/proc/self/status", "VmHWM:");
    bool ok = false;
    const long kib = hwm.section(QLatin1Char(' '), 0, 0).toLong(&ok);
    if (ok)
        return kib;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// ---------------------------------------------------------------------------
// The machine

int onlineCores()
{
    // What nproc prints: the CPUs this process may run on.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return CPU_COUNT(&set);
    return int(sysconf(_SC_NPROCESSORS_ONLN));
}

QString cpuModel()
{
    const QString model = procField("/proc/cpuinfo", "model name");
    return model.isEmpty() ? QStringLiteral("unknown CPU") : model;
}

// The 1, 5 and 15 minute load averages: other work on the machine delays
// timers, so the figures mean little without it.
QString loadAverage()
{
    std::FILE *f = std::fopen("/proc/loadavg", "r");
    if (!f)
        return QStringLiteral("?");
    char line[128] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    return read ? QString::fromLatin1(line).section(QLatin1Char(' '), 0, 2) : QStringLiteral("?");
}

QString kernel()
{
    utsname u{};
    if (uname(&u) != 0)
        return QStringLiteral("unknown kernel");
    return QStringLiteral("%1 %2 %3").arg(QString::fromLocal8Bit(u.sysname),
                                          QString::fromLocal8Bit(u.release),
                                          QString::fromLocal8Bit(u.machine));
}

void printStats(const Stats &st)
{
    if (st.n == 0)
        std::printf(" %4zu %26s", st.n, "no samples");
    else
        std::printf(" %4zu %+8.3f %+8.3f %+8.3f", st.n, st.median, st.p99, st.max);
}

void printRow(const Row &quiet, const Row *loaded)
{
    const QByteArray what = quiet.what.toUtf8();
    std::printf("%-34s %9.0f", what.constData(), quiet.nominalMs);
    printStats(quiet.stats);
    if (loaded) {
        std::printf("   |");
        printStats(loaded->stats);
    }
    std::printf("\n");
}


} // namespace bench
