#include "modes/journal.h"

#include "link/messages.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/timebase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrel {

namespace {
QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"'))
        && !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// Whether the file's header line (at most its first kilobyte) has the
// guiding column: a journal begun by an older version keeps its columns.
bool headerHasGuiding(int fd)
{
    char head[1024];
    const ssize_t n = ::pread(fd, head, sizeof head, 0);
    if (n <= 0)
        return false;
    const QByteArray bytes(head, n);
    const qsizetype end = bytes.indexOf('\n');
    return bytes.left(end < 0 ? n : end).trimmed().endsWith(",guidage");
}

// Appends `line` to `file` as one write, after the header when the file is
// empty; `lastField` goes at its end when the header has its column. A write cut short (a full disk) is taken back, so the file never
// keeps half a line for the next one to be glued to. Returns the reason of a
// failure, empty on success.
QString appendWhole(const QString &file, QByteArray line, const QByteArray &lastField)
{
    const auto reason = [](int error) { return QString::fromLocal8Bit(std::strerror(error)); };
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return reason(errno);
    const auto closer = qScopeGuard([fd] { ::close(fd); });
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return reason(errno);
    if (st.st_size == 0 || headerHasGuiding(fd))
        line += ',' + lastField;
    const QByteArray bytes = (st.st_size == 0 ? ExposureJournal::header().toUtf8() + '\n' : QByteArray()) + line + '\n';
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            if (done > 0) {
                // Should even this fail, the warning is all that is left.
                [[maybe_unused]] const int undone = ::ftruncate(fd, st.st_size);
            }
            return reason(error);
        }
        done += n;
    }
    return QString();
}
} // namespace

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
    m_adapterLost = false;
    m_lastPressUs = -1;
    m_origin.clear();
    m_path.clear();
    m_guidingAtStart = nullptr;
    m_enabled = true;
}

QString ExposureJournal::header()
{
    return QStringLiteral("date,debut,fin,pose_demandee_s,pose_mesuree_s,mode,etape,fichier_ligne,issue,guidage");
}

QString ExposureJournal::outcomeText(JournalOutcome outcome)
{
    switch (outcome) {
    case JournalOutcome::Complete:
        return QStringLiteral("complète");
    case JournalOutcome::Prolonged:
        return QStringLiteral("prolongée");
    case JournalOutcome::StoppedByUser:
        return QStringLiteral("arrêtée par l'utilisateur");
    case JournalOutcome::WindowClosed:
        return QStringLiteral("fenêtre fermée");
    case JournalOutcome::AdapterLost:
        return QStringLiteral("adaptateur perdu pendant la pose");
    case JournalOutcome::ProgramEnded:
        return QStringLiteral("fin du programme");
    case JournalOutcome::ProgramKilled:
        return QStringLiteral("programme interrompu");
    }
    return QString();
}

QString ExposureJournal::csvLine(const QDateTime &start, std::int64_t measuredUs, const JournalExposure &what,
                                 JournalOutcome outcome)
{
    const std::int64_t measuredMs = (measuredUs + 500) / 1000;
    const QDateTime end = start.addMSecs(measuredMs);
    const QString measured = QStringLiteral("%1.%2").arg(measuredMs / 1000).arg(measuredMs % 1000, 3, 10, QLatin1Char('0'));
    QStringList fields{
        start.date().toString(Qt::ISODate),
        start.time().toString(QStringLiteral("HH:mm:ss.zzz")),
        end.time().toString(QStringLiteral("HH:mm:ss.zzz")),
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
    if (m_open || !m_enabled)
        return;
    m_open = true;
    m_what = what;
    if (m_guidingAtStart)
        m_what.guiding = m_guidingAtStart();
    if (!m_origin.isEmpty())
        m_what.mode += QStringLiteral(" (%1)").arg(m_origin);
    m_pressUs = m_lastPressUs >= 0 ? m_lastPressUs : timeBase().monotonicUs();
    m_pressWall = m_lastPressUs >= 0 ? m_lastPressWall : timeBase().nowPrecise();
    m_reason.reset();
    m_adapterLost = false;
    if (m_entryObserver)
        m_entryObserver(&m_what, m_pressUs, m_pressWall);
}

void ExposureJournal::appendEntry(const QDateTime &start, std::int64_t measuredUs, const JournalExposure &what,
                                  JournalOutcome outcome)
{
    append(csvLine(start, measuredUs, what, outcome));
}

void ExposureJournal::setEndReason(JournalOutcome outcome)
{
    if (m_open)
        m_reason = outcome;
}

void ExposureJournal::guidingTrouble(const QString &mark)
{
    if (m_open && (m_what.guiding == QLatin1String("ok") || m_what.guiding == QLatin1String("sans")))
        m_what.guiding = mark;
}

void ExposureJournal::adapterLost()
{
    if (m_open)
        m_adapterLost = true;
}

void ExposureJournal::onWrite(int value, std::int64_t us)
{
    if (value & 1) {
        // Only the first press of a run of presses starts an exposure.
        if (m_lastPressUs < 0) {
            m_lastPressUs = us;
            m_lastPressWall = timeBase().nowPrecise();
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
    m_reason.reset();
    append(csvLine(m_pressWall, us - m_pressUs, m_what, outcome));
    if (m_entryObserver)
        m_entryObserver(nullptr, 0, QDateTime());
}

void ExposureJournal::append(const QString &line)
{
    // One whole line written at a time: a crash never spoils the lines before
    // it. A journal that cannot be written never holds up an exposure: the
    // user is told once, and the night goes on.
    const QString file = path();
    QDir().mkpath(QFileInfo(file).absolutePath());
    // The guiding column is the line's last field: kept apart, for the
    // journals whose header has no such column.
    const qsizetype comma = line.lastIndexOf(QLatin1Char(','));
    const QString failure = appendWhole(file, line.left(comma).toUtf8(), line.mid(comma + 1).toUtf8());
    if (!failure.isEmpty() && !m_warned) {
        m_warned = true;
        showMessage(MessageKind::Warning,
                    QStringLiteral("Le journal des poses %1 ne peut pas être écrit (%2). Les poses continuent "
                                   "normalement, mais ne sont plus notées dans le journal.")
                        .arg(file, failure));
    }
}

} // namespace tavrel
