#pragma once
// A sequence job: N bulb exposures of E seconds, an optional mirror lock-up
// delay before each, and a delay after each. The job is a state machine held
// in its timer: the state as text in the Tag, the next wait in the Interval.
// Each tick turns the timer off, does one state's work, arms the next state,
// turns the timer back on and lets pending events run. Every wait counts from
// the deadline of the step before it (or from the press or release that step
// wrote), never from the end of its handler, so lateness does not add up over
// the slices of an exposure; no wait of a job exceeds 60 s except the mirror
// wait.
//
// The job knows no widget: the sequence window and the headless runner both
// drive it through SequenceView.

#include "link/window_timer.h"
#include "modes/between_exposures.h"
#include "modes/exposure_machine.h"

#include <QObject>
#include <QString>
#include <optional>

namespace tavrel {

// What the job reads from, and shows on, whoever drives it.
class SequenceView : public ShotView {
public:
    // The four figures as typed (count, exposure, mirror delay, delay between).
    virtual QString countText() const = 0;
    virtual QString exposureText() const = 0;
    virtual QString mirrorText() const = 0;
    virtual QString intervalText() const = 0;
    virtual void setStartEnabled(bool enabled) = 0;
};

class SequenceJob final : public QObject {
    Q_OBJECT
public:
    SequenceJob(WindowTimer *enchainement, SequenceView *view, QObject *parent = nullptr);

    // "Start Capture Job". Refuses a job whose figures make no sense and says
    // why in French; returns whether the job started.
    bool start();
    // "Finish Capture Job": the exposure under way completes, then the job
    // ends; no exposure starts after it.
    void finish();
    // "Stop Shot": the release is let go at once and the job ends.
    void stopShot();
    // The exposure under way ends now, as if its time were up (the program
    // is about to be stopped): no further slice, the next tick lets go and
    // the job goes on from there.
    void endExposureNow();
    // One tick of the sequence timer.
    void tick();
    // What happens between two exposures (a dither); none by default.
    void setBetweenExposures(BetweenExposures *gate) { m_gate = gate; }

    bool isRunning() const { return m_running; }
    // From the press that starts a shot (the mirror's, or the exposure's) to
    // its release: a "Finish Capture Job" now still lets this exposure end.
    bool shotUnderWay() const { return m_machine.shotUnderWay(); }
    // Exposure number under way or last taken (1-based) and the job's size.
    int exposureNumber() const { return m_exposureNumber; }
    int exposureTotal() const { return m_total; }

    // Checks a job's figures; the French message names the field at fault.
    static std::optional<QString> checkFigures(const QString &count, const QString &exposure,
                                               const QString &mirror, const QString &interval);

signals:
    void mirrorRaised(int exposureNumber);
    void exposureStarted(int exposureNumber, int total, int seconds);
    void exposureEnded(int exposureNumber, bool completed);
    void delayStarted(int seconds);
    void jobEnded(bool stoppedByUser);

private:
    void endJob();
    std::int32_t readOr(const QString &text, std::int32_t last, std::int32_t min) const;

    WindowTimer *m_timer;
    SequenceView *m_view;
    BetweenExposures *m_gate = nullptr;
    ExposureMachine m_machine;
    bool m_running = false;
    int m_exposureNumber = 0;
    int m_total = 0;
    // Last good values of the boxes read again during a job.
    std::int32_t m_lastExposure = 1;
    std::int32_t m_lastInterval = 0;
    std::int32_t m_lastCount = 1;
};

} // namespace tavrel
