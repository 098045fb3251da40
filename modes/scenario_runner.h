#pragma once
// The scenario runner: plays a scenario file against the clock, one step at a
// time. For each step it starts at once, waits for the step's time of day,
// skips it (time past) or goes on with another file; then raises the mirror
// if asked, holds the release for the exposure in slices of at most 60 s,
// pauses in slices of 10 s, and reads the next step, until the end step or a
// stop request. Its state lives in the timer (Tag = state, Interval = wait),
// exactly like the sequence job, whose exposure states it shares.
//
// States: "0" take up the next step, "5" wait for the step's time (polls of
// 5 s), "7" an at-once step waits for the guider to settle; the shot's own, "10" to "31", are the exposure machine's
// (modes/exposure_machine.h), as in the sequence job.
//
// The runner knows no widget: the scenario window and the headless runner
// drive it through ScenarioView.

#include "link/window_timer.h"
#include "modes/between_exposures.h"
#include "modes/exposure_machine.h"
#include "modes/scenario_reader.h"
#include "modes/scenario_time.h"
#include "modes/sky_times.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTime>
#include <memory>
#include <optional>

namespace tavrel {

class ScenarioView : public ShotView {
public:
    // The step being run: number, exposure, pause, mirror delay, comment.
    virtual void showStep(int stepNumber, const QString &exposure, const QString &pause,
                          const QString &mirror, const QString &comment) = 0;
    // The exposure and pause as shown, read back when the shot starts.
    virtual QString exposureText() const = 0;
    virtual QString pauseText() const = 0;
    // "** Fin de scénario **" and "*-*" in the three value boxes.
    virtual void showEnd() = 0;
    // Running: lists and start button off, stop on. Not running: lists on,
    // start on for the file still picked, stop off.
    virtual void setRunning(bool running) = 0;
};

class ScenarioRunner final : public QObject {
    Q_OBJECT
public:
    ScenarioRunner(WindowTimer *enchainement, ScenarioView *view, QObject *parent = nullptr);
    ~ScenarioRunner() override;

    // "Start scenario" on the file `path`. Counts and checks every step of
    // the file first; a file that cannot be run is refused with a French
    // message naming the file and the line. Returns whether the run started.
    bool start(const QString &path);
    // The observer's place for the steps tied to the sky ("@crepuscule"),
    // instead of the settings' [Lieu]; nullopt goes back to the settings.
    // Each run resolves those steps for the night it starts in.
    void setPlace(const std::optional<Place> &place);
    // "Stop scenario": never cuts an exposure short, and no exposure starts
    // once it is asked: honoured before a step is read, while waiting for a
    // step's time, before each press that starts a shot and after an
    // exposure.
    void requestStop();
    void tick();
    // The exposure under way ends now, as if its time were up (the program
    // is about to be stopped): no further slice, the next tick lets go and
    // the run goes on from there.
    void endExposureNow();
    // What happens between two exposures (a dither); none by default.
    void setBetweenExposures(BetweenExposures *gate);
    // The window goes away mid-run: the run channel is closed and a held
    // release let go. Returns whether that release was written.
    bool abandon();

    bool isRunning() const { return m_running; }
    // From the press that starts a shot (the mirror's, or the exposure's) to
    // its release: a stop asked now still lets this exposure end.
    bool shotUnderWay() const;
    // Whole seconds until the awaited step's time, while one is awaited.
    std::optional<int> countdownSeconds() const;
    // The instant of the step taken up last, when it is timed: its time of
    // day placed within 12 hours of when the run reached it, or the moment
    // of the sky it came to (or why there is none that night).
    std::optional<StepInstant> stepInstant() const;

    int stepNumber() const;
    int stepCount() const;
    QString currentFile() const;
    int currentLine() const;

signals:
    void stepTaken(int stepNumber, int stepCount, const QString &file, int line,
                   const QString &comment);
    void stepSkipped(int stepNumber, const QString &file, int line, const QString &time);
    void chained(const QString &fromFile, int line, const QString &toFile);
    // A timed step is awaited until `instant` (see stepInstant()).
    void waitingUntil(const QDateTime &instant);
    void mirrorRaised();
    void exposureStarted(int seconds);
    void exposureEnded(bool completed);
    void pauseStarted(int seconds);
    // The run is over: normally (end step or stop request), or on an error
    // already reported with the given text.
    void runEnded(bool stoppedByUser, const QString &error);

private:
    struct Private;
    std::unique_ptr<Private> d;
    bool m_running = false;
};

} // namespace tavrel
