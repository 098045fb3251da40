#pragma once
// Turns what the scenario runner does into progress lines: the step taken
// (number, file, line, figures), the wait for its time, the mirror, the press
// and the release, the pause, skipped steps and why, chain hand-overs, the end
// step and the end. A real run and a dry run print through the same report,
// so a plan reads exactly like the night it foretells.

#include "app/run/press_tally.h"

#include <QDateTime>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <optional>

namespace tavrel {
class ScenarioRunner;
class WindowTimer;
} // namespace tavrel

namespace tavrel::run {

class HeadlessScenarioView;
class ProgressLog;

class ScenarioReport final : public QObject {
    Q_OBJECT
public:
    // `plan`: a dry run, which also says when each pause ends and collects
    // the warnings a hand-written file deserves.
    ScenarioReport(ScenarioRunner *runner, WindowTimer *timer, HeadlessScenarioView *view,
                   ProgressLog *log, bool plan, QObject *parent = nullptr);

    // Wires the runner's timer to the runner, with the report looking at the
    // state just before and just after each tick. Call once, before start.
    void wire();
    // The runner has started on `path`.
    void begin(const QString &path);
    // No more lines (the run is being dropped on purpose).
    void mute() { m_muted = true; }

    // Exposures whose press reached the adapter and that ran their length.
    int exposuresTaken() const { return m_presses.taken(); }
    int stepsSkipped() const { return m_skipped; }
    // Steps to carry out, as far as the files read so far go.
    int stepTotal() const { return m_total; }
    QStringList warnings() const { return m_warnings; }

signals:
    // A chain goes back to a file this run has already played: from here on
    // the night repeats until someone stops it.
    void cameBack(const QString &file);

private:
    void beforeTick();
    void afterTick();
    void onStepTaken(int number, int count, const QString &file, int line, const QString &comment);
    void onStepSkipped(int number, const QString &file, int line, const QString &time);
    void onChained(const QString &from, int line, const QString &to);
    void onWaiting(const QDateTime &instant);
    QString stepTimeText() const;
    // A warning in a plan, a plain line in a real run.
    void notice(const QString &text);
    void onRunEnded(bool stoppedByUser, const QString &error);

    QString stepLabel() const;
    void say(const QString &text);
    void warn(const QString &text);

    ScenarioRunner *m_runner;
    WindowTimer *m_timer;
    HeadlessScenarioView *m_view;
    ProgressLog *m_log;
    bool m_plan;
    bool m_muted = false;

    int m_total = 0;       // steps to carry out, as far as the files read so far go
    int m_step = 0;
    QString m_stepWhere;   // "nuit.txt, ligne 2"
    bool m_pausing = false;
    bool m_takingUp = false;
    PressTally m_presses;
    int m_skipped = 0;
    QDateTime m_runStart;
    // The last timed step, at the instant the runner put it.
    struct Timed {
        QDateTime instant;
        QString where;
        QString time; // as shown: "21:45:00", "@aube → 06:20:00 le 08/12/2026"
    };
    std::optional<Timed> m_lastTimed;
    QSet<QString> m_filesPlayed;
    QStringList m_warnings;
};

// Line of the end step of a scenario file (its last step), 0 if unreadable.
int endStepLine(const QString &path);

} // namespace tavrel::run
