#pragma once
// The exposure journal: one line per exposure, from its press to its release,
// whatever started it, appended to $XDG_DATA_HOME/Tavrel/journal.csv. The
// measured time is taken between the press write and the release write on the
// monotonic clock, so it agrees with the adapter log: it is what users put in
// their image headers the morning after.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

namespace tavrel {

enum class JournalOutcome {
    Complete,      // ended by the job, the scenario or the user's own release
    Prolonged,     // complete, but measured more than 1 s over what was asked
                   // (the process stopped, the machine suspended)
    StoppedByUser, // "Stop Shot", or a stop signal to the headless runner
    WindowClosed,  // the window left (mode switch or close box)
    AdapterLost,   // the adapter went away while the release was held
    ProgramEnded,  // the program was ended (signal, logout)
    ProgramKilled, // the program died outright; its guardian let go
    ReleaseFailed, // the program died outright; its guardian could not let go
    Suspended,     // cut short: the program was about to be stopped (Ctrl-Z)
    NotTaken,      // no press reached the adapter: nothing was exposed
};

struct JournalExposure {
    QString mode;                       // "séquence", "scénario", "manuel"
    std::optional<int> requestedSeconds; // none for manual exposures
    std::optional<int> step;            // the exposure's number, or the scenario step
    QString fileLine;                   // "nuit.txt:12" for a scenario
    // How guiding went: "ok", "perdu", "arrêté", or "sans" (no guider).
    QString guiding = QStringLiteral("sans");
};

// Appends one line (and the header first, when the file is empty) to the
// journal open as `fd`, under an advisory lock shared with every program
// that writes the journal. A write cut short is taken back to where it
// began, never further. Returns the reason of a failure, empty on success.
QString appendJournalLine(int fd, QByteArray line);

class ExposureJournal {
public:
    static ExposureJournal &instance();

    // Where the journal goes; the default follows XDG_DATA_HOME.
    static QString defaultPath();
    void setPath(const QString &path) { m_path = path; }
    QString path() const;
    // Added to the mode, e.g. "tavrel-run" for the headless runner.
    void setOrigin(const QString &origin) { m_origin = origin; }
    // A dry run plays exposures in virtual time: none of them is real, and
    // none may reach the user's journal.
    void setEnabled(bool enabled) { m_enabled = enabled; }

    // Starts an entry at the press write that has just been made. A second
    // press while one is open (another slice, a second mouse button) changes
    // nothing.
    void exposureStarted(const JournalExposure &what);
    // How the latest exposure ended, once its line is written; none while it
    // runs (or when the journal is off): the progress lines say the same.
    struct Ending {
        JournalOutcome outcome;
        std::int64_t measuredUs;
    };
    std::optional<Ending> lastEnding() const { return m_lastEnding; }
    // Why the next release write ends the exposure (default: complete).
    void setEndReason(JournalOutcome outcome);
    // The adapter went missing while the release was held.
    void adapterLost();
    // What the guiding column of an exposure starts with, asked when it
    // opens; none: "sans".
    void setGuidingAtStart(std::function<QString()> mark) { m_guidingAtStart = std::move(mark); }
    // Guiding went wrong during the open exposure ("perdu", "arrêté"): the
    // first trouble is the one kept.
    void guidingTrouble(const QString &mark);
    // The program is being ended: exposures cut now say so.
    void setProgramEnding(bool ending) { m_programEnding = ending; }

    // Told when an entry opens (with it, its press instant on the monotonic
    // clock and the wall clock) and when it closes (null): the crash guardian
    // keeps a copy, to write the line should the program die mid-exposure.
    using EntryObserver = std::function<void(const JournalExposure *what, std::int64_t pressUs,
                                             const QDateTime &pressWall)>;
    void setEntryObserver(EntryObserver observer) { m_entryObserver = std::move(observer); }
    // Writes one finished exposure's line (the guardian's way in); a negative
    // `measuredUs` when its end never reached the line.
    void appendEntry(const QDateTime &start, std::int64_t measuredUs, const JournalExposure &what,
                     JournalOutcome outcome);

    // Forgets any open entry and warning (tests).
    void reset();

    // The line a finished exposure gives, without its line end; a negative
    // `measuredUs` leaves the end and the measured time empty (nothing was
    // measured: the press never reached the adapter).
    static QString csvLine(const QDateTime &start, std::int64_t measuredUs, const JournalExposure &what,
                           JournalOutcome outcome);
    static QString header();

private:
    ExposureJournal();
    void onWrite(int value, std::int64_t us);

    QString m_path;
    QString m_origin;
    bool m_enabled = true;
    bool m_open = false;
    bool m_programEnding = false;
    bool m_warned = false;
    JournalExposure m_what;
    std::int64_t m_lastPressUs = -1;
    bool m_lastPressReached = false; // a press of the current run got through
    bool m_pressReached = false;     // the open entry's
    std::int64_t m_pressUs = -1;
    QDateTime m_pressWall;
    QDateTime m_lastPressWall;
    std::optional<JournalOutcome> m_reason;
    std::optional<Ending> m_lastEnding;
    bool m_adapterLost = false;
    EntryObserver m_entryObserver;
    std::function<QString()> m_guidingAtStart;
};

} // namespace tavrel
