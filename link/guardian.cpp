#include "link/guardian.h"

#include "link/adapter_backend.h"
#include "link/messages.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/timebase.h"
#include "link/journal.h"

#include <QByteArrayList>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QDateTime>

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include <fcntl.h>
#include <spawn.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace tavrel {

namespace {

// Messages are lines of tab-separated fields, texts percent-encoded:
//   setup  simulate chips log journal originNs
//   use    serial rank mask mode        (the adapter was set up)
//   closed                              (the program closed it)
//   press  pressUs wallMs mode requested step fileLine
//   release
//   done                                (clean ending: nothing to do)

QByteArray text(const QString &value) { return value.toUtf8().toPercentEncoding(); }
QString untext(const QByteArray &value) { return QString::fromUtf8(QByteArray::fromPercentEncoding(value)); }
QByteArray optionalNumber(const std::optional<int> &n) { return n ? QByteArray::number(*n) : QByteArray("-"); }
std::optional<int> numberOrNone(const QByteArray &field)
{
    bool ok = false;
    const int n = field.toInt(&ok);
    return ok ? std::optional<int>(n) : std::nullopt;
}

// Looks every 2 ms whether `done`, for at most `ms`.
template <typename Done>
void waitUpTo(int ms, Done done)
{
    const timespec pause{0, 2000000L};
    for (int waited = 0; !done() && waited < ms; waited += 2)
        ::nanosleep(&pause, nullptr);
}

// --- the program's side ------------------------------------------------------

int g_socket = -1;
pid_t g_guardian = -1;
QSocketNotifier *g_watch = nullptr;
bool g_lossSaid = false;
bool g_failureSaid = false;
// What a guardian started anew must be told again: who the program is and
// where things go, the adapter set up, the exposure under way.
QByteArray g_setupLine;
QByteArray g_useLine;
QByteArray g_pressLine;
// Guardians gone and not yet reaped: one that closed its socket may still be
// on its way out.
QList<pid_t> g_departed;

void reapDeparted()
{
    g_departed.removeIf([](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

// Never blocks and never raises SIGPIPE: a guardian that is stuck or gone
// must not hold up an exposure, let alone end the program.
void tell(const QByteArray &line)
{
    if (g_socket < 0)
        return;
    const QByteArray bytes = line + '\n';
    [[maybe_unused]] const ssize_t n = ::send(g_socket, bytes.constData(), std::size_t(bytes.size()),
                                              MSG_NOSIGNAL | MSG_DONTWAIT);
}

void tellSetUp(bool setUp)
{
    if (!setUp) {
        g_useLine.clear();
        tell("closed");
        return;
    }
    const SharedValues &v = shared();
    g_useLine = QByteArrayList{"use", text(v.DeviceSerialText), QByteArray::number(v.DeviceIndex),
                               QByteArray::number(v.BitMask), QByteArray::number(v.BitMode)}
                    .join('\t');
    tell(g_useLine);
}

void tellEntry(const JournalExposure *what, std::int64_t pressUs, const QDateTime &pressWall)
{
    if (!what) {
        g_pressLine.clear();
        tell("release");
        return;
    }
    g_pressLine = QByteArrayList{"press", QByteArray::number(qint64(pressUs)),
                                 QByteArray::number(pressWall.toMSecsSinceEpoch()), text(what->mode),
                                 optionalNumber(what->requestedSeconds), optionalNumber(what->step),
                                 text(what->fileLine), text(what->guiding)}
                      .join('\t');
    tell(g_pressLine);
}

// Far from the low numbers: the guardian's end must not already be number 3,
// where moving it would leave it marked close-on-exec.
int highFd(int fd)
{
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 200);
    if (high < 0)
        return fd;
    ::close(fd);
    return high;
}

void watchGuardian();

// A guardian of its own session and process group: Ctrl-Z, a kill of the
// program's job or group, the terminal closing, none of them reaches it, and
// it outlives whatever ends the program.
bool spawnGuardian()
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    const int ours = highFd(ends[0]);
    const int theirs = highFd(ends[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs, kGuardianFd);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    char name[] = "tavrel-guardian";
    std::string argument = kGuardianArgument;
    char *argv[] = {name, argument.data(), nullptr};
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(theirs);
    if (failed != 0) {
        ::close(ours);
        return false;
    }
    g_socket = ours;
    g_guardian = pid;
    for (const QByteArray &line : {g_setupLine, g_useLine, g_pressLine})
        if (!line.isEmpty())
            tell(line);
    watchGuardian();
    return true;
}

void startAgain()
{
    if (g_setupLine.isEmpty() || g_socket >= 0)
        return;
    if (spawnGuardian())
        return;
    if (!g_failureSaid) {
        g_failureSaid = true;
        showMessage(MessageKind::Warning,
                    QStringLiteral("Le gardien qui relâche le déclencheur si Tavrel s'arrête brutalement n'a pas pu "
                                   "être relancé ; nouvel essai chaque seconde. Tant qu'il manque, un arrêt brutal "
                                   "du programme laisserait le déclencheur pressé."));
    }
    QTimer::singleShot(1000, startAgain);
}

// The guardian never writes: its end of the socket reads end of file only
// once it is gone (killed, crashed). It is replaced at once.
void guardianGone()
{
    char byte = 0;
    if (::recv(g_socket, &byte, 1, MSG_DONTWAIT) != 0)
        return;
    // Its own signal is under way: the notifier goes once it has returned.
    g_watch->setEnabled(false);
    g_watch->deleteLater();
    g_watch = nullptr;
    ::close(g_socket);
    g_socket = -1;
    g_departed.append(g_guardian);
    g_guardian = -1;
    reapDeparted();
    if (!g_lossSaid) {
        g_lossSaid = true;
        showMessage(MessageKind::Warning,
                    QStringLiteral("Le gardien qui relâche le déclencheur si Tavrel s'arrête brutalement s'est "
                                   "arrêté (tué ou planté) ; un nouveau gardien prend sa place."));
    }
    startAgain();
}

void watchGuardian()
{
    if (!QCoreApplication::instance())
        return;
    g_watch = new QSocketNotifier(g_socket, QSocketNotifier::Read);
    QObject::connect(g_watch, &QSocketNotifier::activated, g_watch, [] { guardianGone(); });
}

// --- the guardian's side -----------------------------------------------------

struct Orders {
    GuardianSetup setup;
    pid_t program = 0;
    std::optional<GuardianTarget> target;
    std::optional<JournalExposure> exposure;
    std::int64_t pressUs = 0;
    QDateTime pressWall;
};

// Returns false on "done".
bool obey(const QByteArray &line, Orders &o)
{
    const QByteArrayList f = line.split('\t');
    const QByteArray &what = f.first();
    if (what == "done")
        return false;
    if (what == "setup" && f.size() >= 7) {
        o.setup = GuardianSetup{f[1] == "1", f[2].toInt(), untext(f[3]), untext(f[4]), f[5].toLongLong()};
        o.program = pid_t(f[6].toInt());
    } else if (what == "use" && f.size() >= 5) {
        o.target = GuardianTarget{untext(f[1]), f[2].toInt(), std::uint8_t(f[3].toUInt()), std::uint8_t(f[4].toUInt())};
    } else if (what == "closed") {
        o.target.reset();
    } else if (what == "press" && f.size() >= 7) {
        o.pressUs = f[1].toLongLong();
        o.pressWall = QDateTime::fromMSecsSinceEpoch(f[2].toLongLong());
        o.exposure = JournalExposure{untext(f[3]), numberOrNone(f[4]), numberOrNone(f[5]), untext(f[6])};
        // How guiding went so far, where the program says it.
        if (f.size() >= 8 && !f[7].isEmpty())
            o.exposure->guiding = untext(f[7]);
    } else if (what == "release") {
        o.exposure.reset();
    }
    return true;
}

// Waits until the program is wholly gone, so that its hold on the adapter
// has been given back: its process is done with only once every thread has
// ended and closed its files. Followed by its process id, not by this
// process's parent: a program that died before this process started has
// already handed it to another parent, and nothing is then left to wait for.
void waitForTheEnd(pid_t program)
{
    const int process = int(::syscall(SYS_pidfd_open, program, 0));
    if (process >= 0) {
        pollfd gone{process, POLLIN, 0};
        while (::poll(&gone, 1, 800) < 0 && errno == EINTR) {
        }
        ::close(process);
        return;
    }
    if (errno == ESRCH)
        return;
    // Without pidfds (kernels before 5.3) the parent changes once the
    // program is done.
    waitUpTo(800, [program] { return ::getppid() != program; });
}

void actAfterCrash(const Orders &o)
{
    QtTimeBase time(o.setup.originNs);
    setTimeBase(&time);
    FT_STATUS released = FT_OK;
    if (o.target) {
        // Without its log, if the log cannot be opened: the release goes all the same.
        const AdapterBackend backend(o.setup.simulate, o.setup.simulatedChips, o.setup.adapterLog);
        released = letGoAfterCrash(backend.adapter(), *o.target);
    }
    if (o.exposure) {
        // Only what reached the line has an end: a release that failed, or
        // an adapter already lost, leaves the exposure without a measured time.
        ExposureJournal &journal = ExposureJournal::instance();
        journal.setPath(o.setup.journalPath);
        if (!o.target)
            journal.appendEntry(o.pressWall, -1, *o.exposure, JournalOutcome::AdapterLost);
        else if (released != FT_OK)
            journal.appendEntry(o.pressWall, -1, *o.exposure, JournalOutcome::ReleaseFailed);
        else
            journal.appendEntry(o.pressWall, time.monotonicUs() - o.pressUs, *o.exposure,
                                JournalOutcome::ProgramKilled);
    }
    if (o.target && released == FT_OK)
        std::fprintf(stderr, "Tavrel : le programme s'est arrêté sans sa fin normale ; son gardien a relâché le "
                             "déclencheur.\n");
    else if (o.target)
        std::fprintf(stderr,
                     "Tavrel : le programme s'est arrêté sans sa fin normale, et son gardien n'a pas pu relâcher "
                     "le déclencheur (statut %d)%s : débranchez l'adaptateur pour arrêter la pose.\n",
                     int(released),
                     released == FT_DEVICE_NOT_OPENED ? " : la puce est prise par un autre programme" : "");
    setTimeBase(nullptr);
}

} // namespace

bool startGuardian(const GuardianSetup &setup)
{
    if (g_socket >= 0)
        return true;
    g_setupLine = QByteArrayList{"setup",
                                 setup.simulate ? "1" : "0",
                                 QByteArray::number(setup.simulatedChips),
                                 text(setup.adapterLog),
                                 text(setup.journalPath),
                                 QByteArray::number(qint64(setup.originNs)),
                                 QByteArray::number(qint64(::getpid()))}
                      .join('\t');
    if (!spawnGuardian()) {
        g_setupLine.clear();
        std::fprintf(stderr, "Attention : le gardien qui relâche le déclencheur si le programme s'arrête "
                             "brutalement n'a pas pu être lancé.\n");
        return false;
    }
    setSetUpObserver(tellSetUp);
    ExposureJournal::instance().setEntryObserver(tellEntry);
    return true;
}

void stopGuardian()
{
    g_setupLine.clear(); // no guardian is started again after this
    setSetUpObserver(nullptr);
    ExposureJournal::instance().setEntryObserver(nullptr);
    reapDeparted();
    if (g_socket < 0)
        return;
    delete g_watch;
    g_watch = nullptr;
    tell("done");
    ::close(g_socket);
    g_socket = -1;
    // It leaves at once; waiting a little keeps it from outliving the program.
    waitUpTo(1000, [] { return ::waitpid(g_guardian, nullptr, WNOHANG) != 0; });
    g_guardian = -1;
}

int runGuardian(int fd)
{
    ::prctl(PR_SET_NAME, "tavrel-guardian");
    // Only the end of the program may end the guardian: Ctrl-C reaches the
    // whole process group, and "pkill -USR1 tavrel-run" must not take it.
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE})
        std::signal(number, SIG_IGN);
    ::close_range(unsigned(fd) + 1, ~0U, 0);
    const pid_t parent = ::getppid();

    Orders orders;
    QByteArray pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buffer, n);
        for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            if (!obey(line, orders))
                return 0;
        }
    }
    // End of file without "done": the program is dying.
    if (orders.target || orders.exposure) {
        waitForTheEnd(orders.program > 0 ? orders.program : parent);
        actAfterCrash(orders);
    }
    return 0;
}

FT_STATUS letGoAfterCrash(Adapter &adapter, const GuardianTarget &target)
{
    std::uint32_t count = 0;
    FT_STATUS status = adapter.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    if (status != FT_OK)
        return status;
    std::int32_t rank = target.serial.isEmpty() ? target.rank : -1;
    for (std::uint32_t i = 0; rank < 0 && i < count; ++i) {
        char serial[FT_SERIAL_BUFFER] = {};
        if (adapter.FT_ListDevices(listIndex(i), serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) == FT_OK
            && target.serial == QLatin1String(serial))
            rank = std::int32_t(i);
    }
    if (rank < 0 || std::uint32_t(rank) >= count)
        return FT_DEVICE_NOT_FOUND;
    FT_HANDLE handle = 0;
    if ((status = adapter.FT_Open(rank, &handle)) != FT_OK)
        return status;
    // Opening resets the chip; the mode makes sure the 0 lands on the lines.
    const FT_STATUS mode = adapter.FT_SetBitMode(handle, target.mask, target.mode);
    const std::uint8_t zero = 0;
    std::uint32_t written = 0;
    status = adapter.FT_Write(handle, &zero, 1, &written);
    adapter.FT_Close(handle);
    return status == FT_OK ? mode : status;
}

} // namespace tavrel
