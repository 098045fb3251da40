#pragma once
// What tavrel-bench measures and how (see bench_measure.cpp).

#include <QString>
#include <cstdint>
#include <vector>

namespace bench {

struct LineWrite {
    std::int64_t us = 0; // log timestamp, microseconds
    int byte = 0;
    int status = 0;
};

// Presses as the camera sees them: from the first write that raises D0 after
// a release to the write that lets it go. A long exposure rewrites the press
// at every 60 s slice; those writes keep the line where it is and so fall
// inside one press (they are counted in `writesPerPress`).
struct Press {
    std::int64_t startUs = 0;
    std::int64_t endUs = 0;
    int writes = 0;
};

struct Stats {
    std::size_t n = 0;
    double min = 0, median = 0, p99 = 0, max = 0;
};

struct Row {
    QString what;
    double nominalMs = 0;
    Stats stats;
    std::size_t expected = 0;
};

// Everything the log gained since `offset`, FT_Write lines only. The log is
// flushed (LoggingAdapter::flush) before its size is taken, so that size is
// an exact boundary between runs.
std::vector<LineWrite> writesSince(const QString &path, qint64 offset, int *listCalls = nullptr);
std::vector<Press> pressesOf(const std::vector<LineWrite> &writes);
Stats statsOf(std::vector<double> v);
std::vector<double> pressErrorsMs(const std::vector<Press> &presses, double nominalMs);
std::vector<double> gapErrorsMs(const std::vector<Press> &presses, double nominalMs);
// The value after `key` on the first line of a /proc file that starts with
// it. Read with stdio: /proc files report a size of 0, which QFile takes for
// an empty file.
QString procField(const char *path, const char *key);
double cpuSeconds();
// Peak resident set in KiB: VmHWM, or the rusage figure where /proc lacks it.
long peakRssKiB();
int onlineCores();
QString cpuModel();
// The 1, 5 and 15 minute load averages: other work on the machine delays
// timers, so the figures mean little without it.
QString loadAverage();
QString kernel();
void printStats(const Stats &st);
void printRow(const Row &quiet, const Row *loaded);

} // namespace bench
