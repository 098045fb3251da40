#include "link/journal.h"

#include "link/messages.h"
#include "link/regular_file.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/timebase.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>

#include <cerrno>
#include <iterator>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrel {

namespace {
QString csvField(const QString &text)
{
    static const QRegularExpression special(QStringLiteral("[,\"\r\n]"));
    if (!text.contains(special))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
}

QString outcomeText(JournalOutcome outcome)
{
    // In the order of JournalOutcome.
    static const char *const kTexts[] = {
        "complète",
        "prolongée",
        "arrêtée par l'utilisateur",
        "fenêtre fermée",
        "adaptateur perdu pendant la pose",
        "fin du programme",
        "programme interrompu",
        "déclencheur non relâché (programme interrompu)",
        "coupée (programme suspendu)",
        "non prise : l'appui n'a pas atteint l'adaptateur",
    };
    static_assert(std::size(kTexts) == std::size_t(JournalOutcome::NotTaken) + 1);
    return QString::fromUtf8(kTexts[int(outcome)]);
}

QString reasonOf(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Whether the journal's header line (in its first kilobyte) has the guiding
// column. The file is read through a descriptor of its own, the one given
// being open for appending only.
bool headerHasGuiding(int fd)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    const int reader = ::open(self.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader < 0)
        return true; // unknown: the line is written whole
    char head[1024];
    const ssize_t n = ::pread(reader, head, sizeof head, 0);
    ::close(reader);
    const QByteArray bytes(head, std::max<ssize_t>(n, 0));
    const qsizetype end = bytes.indexOf('\n');
    return n <= 0 || bytes.left(end < 0 ? bytes.size() : end).trimmed().endsWith(",guidage");
}

} // namespace

QString appendJournalLine(int fd, QByteArray line)
{
    // An advisory lock on the journal for one line: the windows, tavrel-run
    // and a guardian may all append to it, and a take-back must never cut what
    // another one wrote. The lock is held for a single short write, so a few
    // tries suffice; should another program keep it (stopped in the middle of
    // its write), the line goes in without it rather than wait on a stranger.
    bool locked = false;
    for (int attempt = 0; attempt < 20 && !locked; ++attempt) {
        locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (locked || (errno != EWOULDBLOCK && errno != EINTR))
            break;
        const timespec pause{0, 2000000};
        ::nanosleep(&pause, nullptr);
    }
    const auto unlock = qScopeGuard([fd, locked] {
        if (locked)
            ::flock(fd, LOCK_UN);
    });
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return reasonOf(errno);
    // A journal begun by an older version keeps its columns: the guiding
    // column, the line's last, is left out of it.
    if (st.st_size > 0 && !headerHasGuiding(fd) && line.contains(','))
        line.truncate(line.lastIndexOf(','));
    const QByteArray bytes = (st.st_size == 0 ? ExposureJournal::header().toUtf8() + '\n' : QByteArray()) + line + '\n';
    // Where this write began, learnt from the write itself: appending, the
    // file's end may have moved since the file was opened.
    off_t began = -1;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // The half line is taken back only while it is still the file's
            // last bytes; should even this fail, the warning is all that is left.
            const off_t end = ::lseek(fd, 0, SEEK_CUR);
            if (began >= 0 && ::fstat(fd, &st) == 0 && st.st_size == end) {
                [[maybe_unused]] const int undone = ::ftruncate(fd, began);
            }
            return reasonOf(error);
        }
        if (began < 0)
            began = ::lseek(fd, 0, SEEK_CUR) - n;
        done += n;
    }
    return QString();
}

ExposureJournal &ExposureJournal::instance()
{
    static ExposureJournal journal;
    return journal;
}

ExposureJournal::ExposureJournal()
{
    setLineWriteObserver([this](int value, std::int64_t us) { onWrite(value, us); });
}

QString ExposureJournal::defaultPath()
{
    QString base = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"));
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/Tavrel/journal.csv");
}

QString ExposureJournal::path() const { return m_path.isEmpty() ? defaultPath() : m_path; }

void ExposureJournal::reset()
{
    m_open = false;
    m_programEnding = false;
    m_warned = false;
    m_reason.reset();
    m_lastEnding.reset();
    m_adapterLost = false;
    m_lastPressUs = -1;
    m_origin.clear();
    m_path.clear();
    m_enabled = true;
    m_guidingAtStart = nullptr;
}

QString ExposureJournal::header()
{
    return QStringLiteral("date,debut,fin,pose_demandee_s,pose_mesuree_s,mode,etape,fichier_ligne,issue,guidage");
}

QString ExposureJournal::csvLine(const QDateTime &start, std::int64_t measuredUs, const JournalExposure &what,
                                 JournalOutcome outcome)
{
    const bool wasMeasured = measuredUs >= 0;
    const std::int64_t measuredMs = (measuredUs + 500) / 1000;
    const QDateTime end = start.addMSecs(measuredMs);
    const QString measured = wasMeasured ? QStringLiteral("%1.%2").arg(measuredMs / 1000).arg(measuredMs % 1000, 3, 10, QLatin1Char('0'))
                                         : QString();
    QStringList fields{
        start.date().toString(Qt::ISODate),
        start.time().toString(QStringLiteral("HH:mm:ss.zzz")),
        wasMeasured ? end.time().toString(QStringLiteral("HH:mm:ss.zzz")) : QString(),
        what.requestedSeconds ? QString::number(*what.requestedSeconds) : QString(),
        measured,
        what.mode,
        what.step ? QString::number(*what.step) : QString(),
        what.fileLine,
        outcomeText(outcome),
        what.guiding,
    };
    for (QString &f : fields)
        f = csvField(f);
    return fields.join(QLatin1Char(','));
}

void ExposureJournal::exposureStarted(const JournalExposure &what)
{
    if (m_open)
        return;
    m_lastEnding.reset();
    if (!m_enabled)
        return;
    m_open = true;
    m_what = what;
    if (m_guidingAtStart)
        m_what.guiding = m_guidingAtStart();
    if (!m_origin.isEmpty())
        m_what.mode += QStringLiteral(" (%1)").arg(m_origin);
    m_pressUs = m_lastPressUs >= 0 ? m_lastPressUs : timeBase().monotonicUs();
    m_pressWall = m_lastPressUs >= 0 ? m_lastPressWall : timeBase().nowPrecise();
    m_pressReached = m_lastPressUs >= 0 ? m_lastPressReached : shared().LastStatus == FT_OK;
    m_reason.reset();
    m_adapterLost = false;
    if (m_entryObserver)
        m_entryObserver(&m_what, m_pressUs, m_pressWall);
}

void ExposureJournal::setEndReason(JournalOutcome outcome)
{
    if (m_open)
        m_reason = outcome;
}

void ExposureJournal::guidingTrouble(const QString &mark)
{
    if (m_open && (m_what.guiding == QLatin1String("ok") || m_what.guiding == QLatin1String("sans"))) {
        m_what.guiding = mark;
        // The guardian journals this exposure if the program dies: it learns
        // the mark too.
        if (m_entryObserver)
            m_entryObserver(&m_what, m_pressUs, m_pressWall);
    }
}

void ExposureJournal::adapterLost()
{
    if (m_open)
        m_adapterLost = true;
}

void ExposureJournal::onWrite(int value, std::int64_t us)
{
    if (value & 1) {
        // Only the first press of a run of presses starts an exposure; but
        // until one gets through, the camera has not started exposing.
        const bool reached = shared().LastStatus == FT_OK;
        if (m_lastPressUs < 0 || (reached && !m_lastPressReached)) {
            const bool first = m_lastPressUs < 0;
            m_lastPressUs = us;
            // Heard a moment after the timing thread made it: dated when made.
            m_lastPressWall = timeBase().nowPrecise().addMSecs(-(timeBase().monotonicUs() - us) / 1000);
            m_lastPressReached = reached;
            if (!first && m_open && !m_pressReached) {
                m_pressUs = us;
                m_pressWall = m_lastPressWall;
                m_pressReached = true;
                if (m_entryObserver)
                    m_entryObserver(&m_what, m_pressUs, m_pressWall);
            }
        }
        return;
    }
    m_lastPressUs = -1;
    if (!m_open)
        return;
    if (shared().LastStatus != FT_OK)
        m_adapterLost = true; // the release never reached a working adapter
    m_open = false;
    JournalOutcome outcome = m_reason.value_or(JournalOutcome::Complete);
    if (m_programEnding)
        outcome = JournalOutcome::ProgramEnded;
    if (m_adapterLost)
        outcome = JournalOutcome::AdapterLost;
    // Held far longer than asked: its frame is not the one planned.
    constexpr std::int64_t kOverrunUs = 1000000;
    if (outcome == JournalOutcome::Complete && m_what.requestedSeconds
        && us - m_pressUs > std::int64_t(*m_what.requestedSeconds) * 1000000 + kOverrunUs)
        outcome = JournalOutcome::Prolonged;
    if (!m_pressReached)
        outcome = JournalOutcome::NotTaken;
    m_reason.reset();
    m_lastEnding = Ending{outcome, us - m_pressUs};
    appendEntry(m_pressWall, m_pressReached ? us - m_pressUs : -1, m_what, outcome);
    if (m_entryObserver)
        m_entryObserver(nullptr, 0, QDateTime());
}

void ExposureJournal::appendEntry(const QDateTime &start, std::int64_t measuredUs, const JournalExposure &what,
                                  JournalOutcome outcome)
{
    // One whole line written at a time: a crash never spoils the lines before
    // it. A journal that cannot be written never holds up an exposure: the
    // user is told once, and the night goes on.
    const QString file = path();
    QDir().mkpath(QFileInfo(file).absolutePath());
    const AppendFile opened = openRegularForAppend(file);
    QString failure = opened.problem;
    if (opened.fd >= 0) {
        failure = appendJournalLine(opened.fd, csvLine(start, measuredUs, what, outcome).toUtf8());
        ::close(opened.fd);
    }
    if (!failure.isEmpty() && !m_warned) {
        m_warned = true;
        showMessage(MessageKind::Warning,
                    QStringLiteral("Le journal des poses %1 ne peut pas être écrit (%2). Les poses continuent "
                                   "normalement, mais ne sont plus notées dans le journal.")
                        .arg(file, failure));
    }
}

} // namespace tavrel
