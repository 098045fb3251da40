// The real timing thread on the monotonic clock, against what may share its
// path to the line: a slow bus scan, an adapter log that stalls, a write that
// throws. None may hold a write up, and no fault on the way out may leave
// the release pressed.

#include "link/adapter_log.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/simulated_adapter.h"
#include "link/timebase.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QtTest>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tavrel;

namespace {

// Passes every byte on to a pipe; once a press has gone out, either throws,
// as a USB stack that faults right after the transfer would, or never
// returns, as a wedged one.
class FaultyAdapter final : public Adapter {
public:
    FaultyAdapter(int fd, bool hangs) : m_fd(fd), m_hangs(hangs) {}
    FT_STATUS FT_ListDevices(void *, void *, std::uint32_t) override { return FT_OK; }
    FT_STATUS FT_Open(std::int32_t, FT_HANDLE *handle) override
    {
        *handle = 1;
        return FT_OK;
    }
    FT_STATUS FT_ResetDevice(FT_HANDLE) override { return FT_OK; }
    FT_STATUS FT_SetBaudRate(FT_HANDLE, std::uint32_t) override { return FT_OK; }
    FT_STATUS FT_SetBitMode(FT_HANDLE, std::uint8_t, std::uint8_t) override { return FT_OK; }
    FT_STATUS FT_Write(FT_HANDLE, const void *buffer, std::uint32_t length, std::uint32_t *written) override
    {
        const char byte = *static_cast<const char *>(buffer);
        if (::write(m_fd, &byte, 1) != 1)
            return FT_IO_ERROR;
        *written = length;
        if (byte == 1 && !m_hangs)
            throw std::runtime_error("USB stack fault");
        if (byte == 1) {
            pressed = true;
            for (;;)
                ::pause();
        }
        return FT_OK;
    }
    FT_STATUS FT_Close(FT_HANDLE) override
    {
        const char closed = 'C';
        return ::write(m_fd, &closed, 1) == 1 ? FT_OK : FT_IO_ERROR;
    }
    FT_STATUS describeChip(std::int32_t, ChipDetails *) override { return FT_DEVICE_NOT_FOUND; }

    std::atomic<bool> pressed{false};

private:
    int m_fd;
    bool m_hangs;
};

// A log file whose writes block while `stalled` holds: a pipe nobody reads,
// a card that hangs.
struct StallingFile {
    std::mutex mutex;
    std::condition_variable cv;
    bool stalled = false;

    static ssize_t write(void *cookie, const char *, size_t size)
    {
        auto *self = static_cast<StallingFile *>(cookie);
        std::unique_lock lock(self->mutex);
        self->cv.wait(lock, [self] { return !self->stalled; });
        return ssize_t(size);
    }
    void setStalled(bool on)
    {
        {
            const std::lock_guard lock(mutex);
            stalled = on;
        }
        cv.notify_all();
    }
};

// On the monotonic clock, with the settings the chip is set up with.
void useRealTime(QtTimeBase &base)
{
    setTimeBase(&base);
    resetSharedValues();
    shared().BitMask = 255;
    shared().BitMode = 1;
}

} // namespace

class TestTimingThread : public QObject {
    Q_OBJECT
private slots:
    // First: the child processes must not inherit a timing thread.
    void aFaultyWriteStillLetsGoOnExit_data();
    void aFaultyWriteStillLetsGoOnExit();
    void aSlowNeighbourNeverHoldsAWriteUp_data();
    void aSlowNeighbourNeverHoldsAWriteUp();
    void aPlanIsMadeWhileTheWindowsThreadIsBusy();
};

void TestTimingThread::aFaultyWriteStillLetsGoOnExit_data()
{
    QTest::addColumn<bool>("hangs"); // else it throws
    // The exception ends the program without unwinding: the line's lock is
    // still held by the thread that wrote, where the exit safety net runs.
    QTest::newRow("write throws") << false;
    // The window's thread exits while the write holds the lock for good.
    QTest::newRow("write never returns, then exit") << true;
}

void TestTimingThread::aFaultyWriteStillLetsGoOnExit()
{
    // Either way the exit safety net must let go and the program end, not
    // wait for that lock with the release pressed.
    QFETCH(bool, hangs);
    int fds[2];
    QVERIFY(::pipe(fds) == 0);
    const pid_t pid = ::fork();
    QVERIFY(pid >= 0);
    if (pid == 0) {
        // The test framework's crash report (a debugger attached) is not
        // wanted here: the abort is the expected end.
        ::signal(SIGABRT, SIG_DFL);
        ::close(fds[0]);
        static FaultyAdapter adapter(fds[1], hangs);
        setAdapter(&adapter);
        OpenDevice();
        installExitSafetyNet();
        std::thread([] { PressShutter(); }).detach();
        while (!hangs || !adapter.pressed)
            std::this_thread::yield();
        std::exit(0);
    }
    ::close(fds[1]);
    QByteArray seen;
    pollfd readable{fds[0], POLLIN, 0};
    char buffer[16];
    ssize_t n = 1;
    // Until the child's end closes the pipe, or 10 s without a byte: hung.
    bool ended = false;
    while (!ended && ::poll(&readable, 1, 10000) > 0) {
        n = ::read(fds[0], buffer, sizeof buffer);
        ended = n <= 0;
        if (n > 0)
            seen.append(buffer, int(n));
    }
    ::close(fds[0]);
    int status = 0;
    if (!ended)
        ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    QVERIFY2(ended, qPrintable("hung after the writes " + seen.toHex()));
    QCOMPARE(seen, QByteArray("\x00\x01\x00" "C", 4)); // the set-up's let-go, pressed, let go, closed
    if (hangs)
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    else
        QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
}

void TestTimingThread::aSlowNeighbourNeverHoldsAWriteUp_data()
{
    QTest::addColumn<bool>("scan"); // else the adapter log stalls
    QTest::newRow("bus scan of 300 ms") << true;
    QTest::newRow("adapter log stalled") << false;
}

void TestTimingThread::aSlowNeighbourNeverHoldsAWriteUp()
{
    // A press 20 ms on and its release 40 ms later, from the timing thread,
    // while the connection watch lists a slow bus or the log cannot be
    // written: both reach the chip before the neighbour is done.
    QFETCH(bool, scan);
    QtTimeBase base;
    useRealTime(base);
    SimulatedAdapter sim;
    StallingFile stall;
    std::FILE *file = fopencookie(&stall, "w", cookie_io_functions_t{nullptr, &StallingFile::write, nullptr, nullptr});
    QVERIFY(file);
    auto logged = std::make_unique<LoggingAdapter>(sim, file, true);
    setAdapter(logged.get());
    OpenDevice();
    logged->flush();

    std::atomic<bool> listing{false};
    std::thread watch;
    const auto cleanup = qScopeGuard([&] {
        stall.setStalled(false);
        if (watch.joinable())
            watch.join();
        CloseDevice();
        logged.reset();
        setAdapter(nullptr);
        setTimeBase(nullptr);
    });
    if (scan) {
        sim.setListingDelay(300);
        listing = true;
        watch = std::thread([&] {
            std::uint32_t count = 0;
            logged->FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
            listing = false;
        });
    } else {
        stall.setStalled(true); // the press's own line is the first to stall
    }
    int owner = 0;
    submitLinePlan(&owner, base.monotonicUs() + 20000, {{1, -1, 0}, {0, 0, 40000}}, nullptr);
    QVERIFY(QTest::qWaitFor([&] { return sim.pressCount() == 1 && !sim.isPressed(); }, 5000));
    if (scan)
        QVERIFY(listing.load());
    cancelLinePlan(&owner);
}

void TestTimingThread::aPlanIsMadeWhileTheWindowsThreadIsBusy()
{
    // The window's thread hands over a press and its release, then stays busy
    // without looking at its events: both are made all the same, and come
    // back to it, in order and with their instants, once it looks.
    QtTimeBase base;
    useRealTime(base);
    SimulatedAdapter sim;
    setAdapter(&sim);
    OpenDevice();
    const auto cleanup = qScopeGuard([] {
        CloseDevice();
        setAdapter(nullptr);
        setTimeBase(nullptr);
    });
    int owner = 0;
    QList<LineEvent> heard;
    const std::int64_t due = base.monotonicUs() + 20000;
    submitLinePlan(&owner, due, {{1, -1, 0}, {0, 0, 30000}}, [&](const LineEvent &e) { heard << e; });
    // The adapter's record is read under its lock: the thread writes to it.
    const auto writes = [&sim] { return sim.callsOf(QStringLiteral("FT_Write")).size(); };
    const qsizetype before = writes();
    QElapsedTimer busy;
    busy.start();
    while (writes() < before + 2 && busy.elapsed() < 5000) {
    }
    QCOMPARE(writes(), before + 2);
    QCOMPARE(sim.pressCount(), 1);
    QVERIFY(!sim.isPressed());
    QVERIFY(heard.isEmpty()); // nothing touched this thread's state meanwhile
    QVERIFY(QTest::qWaitFor([&] { return heard.size() == 2; }, 5000));
    QCOMPARE(heard[0].value, 1);
    QCOMPARE(heard[1].value, 0);
    QVERIFY(heard[0].startUs >= due);
    QVERIFY(heard[1].startUs >= heard[0].startUs + 30000);
    QVERIFY(heard[0].reached() && heard[1].reached());
    cancelLinePlan(&owner);
}

QTEST_GUILESS_MAIN(TestTimingThread)
#include "tst_timing_thread.moc"
