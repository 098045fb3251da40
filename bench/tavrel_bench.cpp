// tavrel-bench: how close to the nominal timings the real sequence window
// drives the release line when it runs on Qt's event loop in real time, and
// what the program costs while it sits idle with the connection watch ticking.
//
// The window is the one the program opens with, built and loaded by the
// Director; the adapter is the simulated one wrapped in the adapter log, so
// the figures come from the very timestamps a user would send us. Nothing
// here is a pass/fail test: it prints a table, and the exit status only says
// whether every run produced the samples it should have.
//
// With --load N the same jobs run a second time beside N busy threads at
// ordinary priority (a stacking or plate-solving job on the same laptop), and
// both sets of figures print side by side. --stall MS also keeps the window's
// thread busy MS ms at a time, every 100 ms on average, during that second run.
// --slow-list MS makes every listing of the adapter (the connection watch's
// count every 500 ms, a chip's description) take MS ms, as a bus scan on a
// busy USB hub does, in both runs.
// --web-clients N serves the night page of tavrel-run --web from the window's
// thread during the second run, to N clients on another thread: each holds
// the stream of updates open and asks for /etat.json every second.
//
//   QT_QPA_PLATFORM=offscreen ./build/bench/tavrel-bench [--quick] [--long] [--load N] [--stall MS]
//                                                        [--slow-list MS] [--web-clients N] [--keep-log]

#include "bench/bench_measure.h"
#include "app/web/night_server.h"
#include "app/web/night_state.h"
#include "link/adapter_log.h"
#include "link/messages.h"
#include "link/release_line.h"
#include "link/simulated_adapter.h"
#include "link/timebase.h"
#include "windows/director.h"
#include "windows/tavrel_async.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace tavrel;
using namespace bench;

namespace {

// ---------------------------------------------------------------------------
// Driving the sequence window

struct Bench {
    Tavrel_async *window = nullptr;
    LoggingAdapter *log = nullptr;
    QString logPath;
    bool ok = true;

    // The log's size once every line queued so far is written.
    qint64 logSize() const
    {
        log->flush();
        return QFileInfo(logPath).size();
    }
};

double monotonicSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void setBox(Tavrel_async *w, const char *name, int value)
{
    auto *box = w->findChild<QLineEdit *>(QString::fromLatin1(name));
    if (!box) {
        std::fprintf(stderr, "tavrel-bench: no box named %s in the sequence window\n", name);
        std::exit(2);
    }
    box->setText(QString::number(value));
}

// Runs one job of `count` exposures of `exposure` s with `interval` s between
// them and returns the adapter writes it made. Waits on the job's own end
// signal; the safety timer only catches a job that never ends.
std::vector<LineWrite> runJob(Bench &b, int count, int exposure, int interval)
{
    setBox(b.window, "Nb_Poses", count);
    setBox(b.window, "Pose", exposure);
    setBox(b.window, "Relevage", 0);
    setBox(b.window, "Text1", interval);

    const double nominalS = count * (exposure + 0.010 + 0.210 + interval) + 0.1;
    std::fprintf(stderr, "tavrel-bench: %d x %d s, delay %d s (about %.0f s)...\n", count, exposure,
                 interval, nominalS);

    const qint64 offset = b.logSize();
    QEventLoop loop;
    SequenceJob *job = b.window->job();
    const auto ended = QObject::connect(job, &SequenceJob::jobEnded, &loop, [&loop](bool stoppedByUser) {
        loop.exit(stoppedByUser ? 3 : 0);
    });
    QTimer safety;
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, &loop, [&loop] { loop.exit(1); });
    safety.start(int((nominalS * 1.5 + 30.0) * 1000.0));

    b.window->Buble_Click();
    int result = 2;
    if (job->isRunning())
        result = loop.exec();
    QObject::disconnect(ended);

    if (result != 0) {
        static const char *why[] = {"", "did not end in time", "was refused", "was stopped"};
        std::fprintf(stderr, "tavrel-bench: the job %s\n", why[std::clamp(result, 0, 3)]);
        b.ok = false;
        if (job->isRunning())
            b.window->Stop_Shot_Click();
    }
    b.logSize();
    return writesSince(b.logPath, offset);
}

// N threads spinning at ordinary priority for as long as they live.
class BusyLoad {
public:
    explicit BusyLoad(int threads)
    {
        for (int i = 0; i < threads; ++i)
            m_threads.emplace_back([this] {
                // Ordinary work, whatever the bench itself obtained.
                sched_param param{};
                sched_setscheduler(0, SCHED_OTHER, &param);
                setpriority(PRIO_PROCESS, 0, 0);
                volatile std::uint64_t x = 0;
                while (!m_stop.load(std::memory_order_relaxed))
                    x = x * 6364136223846793005ULL + 1;
            });
    }
    ~BusyLoad()
    {
        m_stop = true;
        for (std::thread &t : m_threads)
            t.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

// The window's own thread kept busy `ms` at a time, at random instants 100 ms
// apart on average, as a slow repaint, a journal line on a slow disk or a
// busy handler would. Random, so that the busy spells do not fall in step
// with the job's own rhythm (every wait of a job is a whole number of
// milliseconds from its press) and miss its instants.
class MainThreadStalls {
public:
    explicit MainThreadStalls(int ms) : m_ms(ms)
    {
        if (ms <= 0)
            return;
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const double until = monotonicSeconds() + m_ms / 1000.0;
            while (monotonicSeconds() < until) {
            }
            rearm();
        });
        rearm();
    }

private:
    void rearm()
    {
        // The next spell starts 100 ms after this one on average, give or take 60.
        const int gap = std::max(100 - m_ms, 1);
        m_timer.start(int(m_random.bounded(std::max(gap - 60, 1), gap + 61)));
    }
    int m_ms;
    QRandomGenerator m_random{20261207};
    QTimer m_timer;
};

// Phones and scripts following the night page, on a thread of their own as
// they would be on other machines: each keeps the stream of updates open,
// reading it all, and asks for the state once a second on a second
// connection.
class WebClients {
public:
    WebClients(int count, quint16 port, const QByteArray &cookie)
    {
        m_thread.start();
        m_owner.moveToThread(&m_thread);
        QMetaObject::invokeMethod(&m_owner, [this, count, port, cookie] {
            for (int i = 0; i < count; ++i) {
                auto *stream = new QTcpSocket(&m_owner);
                auto *poll = new QTcpSocket(&m_owner);
                QObject::connect(stream, &QTcpSocket::readyRead, stream, [this, stream] {
                    m_bytes += stream->readAll().size();
                });
                QObject::connect(poll, &QTcpSocket::readyRead, poll, [this, poll] {
                    m_bytes += poll->readAll().size();
                });
                stream->connectToHost(QHostAddress::LocalHost, port);
                poll->connectToHost(QHostAddress::LocalHost, port);
                stream->write("GET /flux HTTP/1.1\r\nHost: bench\r\nCookie: " + cookie + "\r\n\r\n");
                auto *timer = new QTimer(poll);
                QObject::connect(timer, &QTimer::timeout, poll, [poll, cookie] {
                    poll->write("GET /etat.json HTTP/1.1\r\nHost: bench\r\nCookie: " + cookie + "\r\n\r\n");
                });
                timer->start(1000);
            }
        }, Qt::BlockingQueuedConnection);
    }
    ~WebClients()
    {
        QMetaObject::invokeMethod(&m_owner, [this] { qDeleteAll(m_owner.children()); },
                                  Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    qint64 bytes() const { return m_bytes; }

private:
    QThread m_thread;
    QObject m_owner;
    std::atomic<qint64> m_bytes{0};
};

struct Sizes {
    int shortCount, longCount, fiveCount, gapCount;
    bool withLong;
};

// One set of jobs: every row of the table, in order.
std::vector<Row> runSet(Bench &b, const Sizes &z, int *minWrites, int *maxWrites)
{
    std::vector<Row> rows;
    {
        const auto presses = pressesOf(runJob(b, z.shortCount, 1, 0));
        rows.push_back({QStringLiteral("Press, 1 s exposure"), 1010, statsOf(pressErrorsMs(presses, 1010)),
                        std::size_t(z.shortCount)});
        rows.push_back({QStringLiteral("Release to next press, delay 0 s"), 210,
                        statsOf(gapErrorsMs(presses, 210)), std::size_t(z.shortCount - 1)});
    }
    // Exposures of several 60 s slices, each slice rewriting the press.
    struct Long {
        int seconds, count;
    };
    std::vector<Long> longs{{61, z.longCount}, {301, z.fiveCount}};
    if (z.withLong)
        longs.push_back({1201, 1});
    for (const Long &l : longs) {
        const auto presses = pressesOf(runJob(b, l.count, l.seconds, 0));
        const double nominal = l.seconds * 1000.0 + 10.0;
        rows.push_back({QStringLiteral("Press, %1 s exposure (%2 slices)").arg(l.seconds).arg((l.seconds + 59) / 60),
                        nominal, statsOf(pressErrorsMs(presses, nominal)), std::size_t(l.count)});
        for (const Press &p : presses) {
            if (l.seconds != 61)
                continue;
            *minWrites = *minWrites ? std::min(*minWrites, p.writes) : p.writes;
            *maxWrites = std::max(*maxWrites, p.writes);
        }
    }
    {
        const auto presses = pressesOf(runJob(b, z.gapCount, 2, 1));
        rows.push_back({QStringLiteral("Release to next press, delay 1 s"), 1210,
                        statsOf(gapErrorsMs(presses, 1210)), std::size_t(z.gapCount - 1)});
    }
    return rows;
}

} // namespace

int main(int argc, char *argv[])
{
    // The window loads and writes back its settings file: keep the user's
    // own one out of reach.
    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "tavrel-bench: cannot make a temporary folder\n");
        return 2;
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work.path()));

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tavrel-bench"));
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Real-time timing benchmark of the sequence window on the simulated adapter."));
    parser.addHelpOption();
    const QCommandLineOption quick(QStringLiteral("quick"),
                                   QStringLiteral("Short run: fewer exposures of each length, 10 s idle."));
    const QCommandLineOption longRun(QStringLiteral("long"), QStringLiteral("Adds one exposure of 1201 s."));
    const QCommandLineOption load(QStringLiteral("load"),
                                  QStringLiteral("Runs the jobs again beside N busy threads."),
                                  QStringLiteral("N"));
    const QCommandLineOption stall(QStringLiteral("stall"),
                                   QStringLiteral("In the second run, keeps the window's thread busy MS ms at a time, at random instants 100 ms apart on average."),
                                   QStringLiteral("MS"));
    const QCommandLineOption slowList(QStringLiteral("slow-list"),
                                      QStringLiteral("Makes every listing call of the adapter take MS ms, as a busy USB bus does."),
                                      QStringLiteral("MS"));
    const QCommandLineOption webClients(QStringLiteral("web-clients"),
                                        QStringLiteral("In the second run, serves the night page to N clients."),
                                        QStringLiteral("N"));
    const QCommandLineOption keepLog(QStringLiteral("keep-log"),
                                     QStringLiteral("Keep the adapter log and print where it is."));
    parser.addOption(quick);
    parser.addOption(longRun);
    parser.addOption(load);
    parser.addOption(stall);
    parser.addOption(slowList);
    parser.addOption(webClients);
    parser.addOption(keepLog);
    parser.process(app);
    const bool isQuick = parser.isSet(quick);
    const int loadThreads = std::max(0, parser.value(load).toInt());
    const int stallMs = std::clamp(parser.value(stall).toInt(), 0, 90);
    const int slowListMs = std::clamp(parser.value(slowList).toInt(), 0, 400);
    const int clients = std::clamp(parser.value(webClients).toInt(), 0, 200);
    const bool secondRun = loadThreads > 0 || stallMs > 0 || clients > 0;
    if (parser.isSet(keepLog))
        work.setAutoRemove(false);

    // The sizes of each run.
    const Sizes sizes{isQuick ? 5 : 20, isQuick ? 1 : 3, isQuick ? 1 : 2, isQuick ? 4 : 11, parser.isSet(longRun)};
    const int idleSeconds = isQuick ? 10 : 60;

    QtTimeBase time;
    setTimeBase(&time);
    // As the program does: the timing thread ahead of ordinary work.
    const QString priority = startTimingThread();

    // A refused job must not wait on a modal box nobody will click.
    StderrMessageSink messages;
    setMessageSink(&messages);

    Bench b;
    b.logPath = work.filePath(QStringLiteral("adapter.log"));
    SimulatedAdapter simulated(1);
    simulated.setListingDelay(slowListMs);
    QString error;
    std::unique_ptr<LoggingAdapter> logged = LoggingAdapter::open(simulated, b.logPath, &error);
    if (!logged) {
        std::fprintf(stderr, "tavrel-bench: cannot open %s: %s\n", qPrintable(b.logPath), qPrintable(error));
        return 2;
    }
    setAdapter(logged.get());
    b.log = logged.get();

    Director &director = Director::instance();
    b.window = qobject_cast<Tavrel_async *>(director.open(Mode::Sequence));
    if (!b.window) {
        std::fprintf(stderr, "tavrel-bench: the sequence window did not open\n");
        return 2;
    }
    // Let the window settle (first paint, first watch tick) before timing anything.
    {
        QEventLoop settle;
        QTimer::singleShot(1000, &settle, &QEventLoop::quit);
        settle.exec();
    }

    const QString loadBefore = loadAverage();
    const double t0 = monotonicSeconds();
    int minWrites = 0, maxWrites = 0;
    const std::vector<Row> rows = runSet(b, sizes, &minWrites, &maxWrites);
    std::vector<Row> loadedRows;
    QString loadDuring;
    int webStreams = 0;
    qint64 webBytes = 0;
    if (secondRun) {
        std::fprintf(stderr, "tavrel-bench: the same jobs beside %d busy threads, window thread busy %d ms in 100, "
                     "%d night page clients...\n", loadThreads, stallMs, clients);
        BusyLoad busy(loadThreads);
        MainThreadStalls stalls(stallMs);
        // The night page as tavrel-run --web serves it: on this thread's
        // event loop, fed by the job's signals.
        std::unique_ptr<web::NightState> night;
        std::unique_ptr<web::NightServer> server;
        std::unique_ptr<WebClients> followers;
        if (clients > 0) {
            night = std::make_unique<web::NightState>();
            night->watch(b.window->job());
            server = std::make_unique<web::NightServer>(night.get(), web::newAccessKey());
            QString why;
            if (!server->start(QHostAddress::LocalHost, 0, &why)) {
                std::fprintf(stderr, "tavrel-bench: the night page cannot listen: %s\n", qPrintable(why));
                return 2;
            }
            followers = std::make_unique<WebClients>(clients, server->port(),
                                                     server->cookieName().toLatin1() + '=' + server->key());
        }
        loadedRows = runSet(b, sizes, &minWrites, &maxWrites);
        loadDuring = loadAverage();
        if (server) {
            webStreams = server->streamCount();
            webBytes = followers->bytes();
        }
    }
    const double jobsSeconds = monotonicSeconds() - t0;

    // 4. Idle with the connection watch ticking.
    std::fprintf(stderr, "tavrel-bench: idle for %d s...\n", idleSeconds);
    const qint64 idleOffset = b.logSize();
    const double cpu0 = cpuSeconds();
    const double wall0 = monotonicSeconds();
    {
        QEventLoop idle;
        QTimer::singleShot(idleSeconds * 1000, Qt::PreciseTimer, &idle, &QEventLoop::quit);
        idle.exec();
    }
    const double wall = monotonicSeconds() - wall0;
    const double cpu = cpuSeconds() - cpu0;
    b.logSize();
    int watchTicks = 0;
    writesSince(b.logPath, idleOffset, &watchTicks);
    const long peakKiB = peakRssKiB();
    const QString loadAfter = loadAverage();

    director.shutdown();
    setAdapter(nullptr);

    // ---- Report ----------------------------------------------------------
    std::printf("Tavrel release timing benchmark (%s run)\n", isQuick ? "quick" : "full");
    std::printf("Date     : %s\n", qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)));
    std::printf("Machine  : %d cores (nproc), %s, %s\n", onlineCores(), qPrintable(cpuModel()),
                qPrintable(kernel()));
    std::printf("Load avg : %s at start, %s at end (1/5/15 min)\n", qPrintable(loadBefore),
                qPrintable(loadAfter));
    std::printf("Qt       : %s, platform %s\n", qVersion(), qPrintable(QGuiApplication::platformName()));
    std::printf("Setup    : sequence window on Qt's event loop, line writes made by the timing thread at\n"
                "           their instants; simulated adapter, times read back from the adapter log\n"
                "           (monotonic clock, 1 us); %.0f s of jobs\n",
                jobsSeconds);
    std::printf("Priority : timing thread: %s\n", qPrintable(priority));
    if (slowListMs > 0)
        std::printf("Bus      : every listing of the adapter takes %d ms (both runs)\n", slowListMs);
    if (secondRun)
    if (loadThreads > 0 || stallMs > 0)
        std::printf("Load     : right-hand columns: %d busy threads at ordinary priority, the window's thread\n"
                    "           busy %d ms at a time, 100 ms apart on average (load avg %s at their end)\n",
                    loadThreads, stallMs, qPrintable(loadDuring));
    if (clients > 0)
        std::printf("Web      : right-hand columns: night page served to %d clients, each with the stream of\n"
                    "           updates open and /etat.json every second (%d streams open at the end, %.1f KiB read)\n",
                    clients, webStreams, double(webBytes) / 1024.0);
    std::printf("\nTiming error = measured - nominal, in ms (p99: nearest rank)\n");
    std::printf("%-34s %9s %4s %8s %8s %8s", "Measurement", "Nominal", "n", "Median", "p99", "Max");
    if (secondRun)
        std::printf("   |%5s %8s %8s %8s", "n", "Median", "p99", "Max");
    std::printf("\n%-34s %9s %4s %8s %8s %8s", "", "(ms)", "", "quiet", "", "");
    if (secondRun)
        std::printf("   |%5s %8s %8s %8s", "", "loaded", "", "");
    std::printf("\n%s\n", QByteArray(secondRun ? 111 : 72, '-').constData());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row &r = rows[i];
        printRow(r, i < loadedRows.size() ? &loadedRows[i] : nullptr);
        for (const Row *x : {&r, i < loadedRows.size() ? &loadedRows[i] : static_cast<const Row *>(nullptr)}) {
            if (x && x->stats.n != x->expected) {
                std::fprintf(stderr, "tavrel-bench: %s: %zu samples, expected %zu\n", qPrintable(x->what),
                             x->stats.n, x->expected);
                b.ok = false;
            }
        }
    }
    std::printf("Writes per 61 s press (first press + slice rewrites): %d..%d\n", minWrites, maxWrites);

    std::printf("\nProcess cost\n");
    std::printf("%-38s %9.2f %% of one core (%.3f s CPU over %.1f s, %d watch ticks)\n",
                "Idle CPU, connection watch ticking", wall > 0 ? 100.0 * cpu / wall : 0.0, cpu, wall,
                watchTicks);
    std::printf("%-38s %9.1f MiB (VmHWM)\n", "Peak resident memory", double(peakKiB) / 1024.0);
    if (parser.isSet(keepLog))
        std::printf("\nAdapter log kept: %s\n", qPrintable(b.logPath));
    if (!b.ok)
        std::printf("\nWARNING: some runs did not produce the expected samples (see standard error).\n");
    std::fflush(stdout);

    logged.reset();
    return b.ok ? 0 : 1;
}
