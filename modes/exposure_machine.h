#pragma once
// One exposure, as the sequence job and the scenario runner both take it:
// the mirror raised if asked, the release held in slices of at most 60 s
// (each slice writes the press again), let go E s + 10 ms after the first
// press, then the pause in slices of 10 s. The states keep the tag values
// the windows show in their sequencing timer.
//
// The shot's writes are the timing thread's: the first press is planned when
// the wait before the shot is armed, the rest of the shot (mirror release,
// press, a press again every minute, release) when the shot starts, each
// counted from the write it follows as the camera saw it. What was written
// comes back as events, which move the states, the views and the journal; the
// release's event arms the pause, counted from that release.
//
// The end of the pause (ShotIntervalSeconds left, at most 10 s) is the one
// clear place between two exposures: the mode decides there what comes next
// (the next shot, the next step, the guider's settle through its
// BetweenExposures gate, the end of the run).

#include "link/release_line.h"
#include "link/window_timer.h"

#include <QString>
#include <cstdint>
#include <functional>

namespace tavrel {

// What an exposure shows on whoever drives it.
class ShotView {
public:
    virtual ~ShotView() = default;
    // Fill style of the mirror indicator: 2 raised / exposing, 3 at rest.
    virtual void setMirrorStyle(int fillStyle) = 0;
    // The progress bar: share of the run still to go, and whether shown.
    virtual void setProgress(double share) = 0;
    virtual void setProgressVisible(bool visible) = 0;
};

class ExposureMachine {
public:
    enum class State {
        Shot,     // "10": the shot starts: mirror press, or on to the exposure
        MirrorUp, // "11": the mirror's release, then its delay
        Slice,    // "20": a slice of the exposure, the press written again
        Exposed,  // "21": the exposure's time is over
        LetGo,    // "30": the release
        Pause,    // "31": a slice of the pause, or the pause is over
    };
    static QString tag(State state);

    // What the mode does at the steps of a shot.
    struct Hooks {
        std::function<void()> stoppedBeforeThePress; // the run ends, nothing pressed
        std::function<void()> shotStarting;          // figures read again
        std::function<void()> mirrorRaised;
        std::function<void(int seconds)> exposureStarted;
        std::function<double()> progressShare;
        std::function<void()> released; // the exposure is over, the pause begins
    };

    ExposureMachine(WindowTimer *timer, ShotView *view, Hooks hooks);
    ~ExposureMachine();
    ExposureMachine(const ExposureMachine &) = delete;
    ExposureMachine &operator=(const ExposureMachine &) = delete;

    // Arms the shot `ms` after the wait's anchor and plans its first press.
    void armShot(std::int64_t ms);
    // Plans the first press of the shot just armed.
    void askShotPress();
    // Arms `state` `ms` after the wait's anchor.
    void arm(State state, std::int64_t ms);
    void arm(const QString &tag, std::int64_t ms);

    // One tick: where its waits count from, then the work of a shot state.
    void beginTick() { m_anchorUs = m_timer->tickDueUs(); }
    bool isShotTag(const QString &tag) const { return tag == ExposureMachine::tag(State::Shot); }
    // The shot's tick: its plan handed over whole, or the run ended when a
    // stop came before its first press. The timer stays off until the
    // release's event arms the pause: returns false.
    bool tick(const QString &current);
    // At "31": one more slice of the pause (true), or the pause is over.
    bool pauseSlice();

    // A stop is asked: a shot whose first write is not made yet is not
    // made at all; if it was made, the shot goes ahead and shotUnderWay()
    // says so.
    void stopRequested();
    // Lets go if anything of this shot may hold the release (a press the
    // timing thread made meanwhile included); returns whether it wrote.
    bool letGoIfHeld();
    // The exposure under way ends now, as if its time were up (the program
    // is about to be stopped): the run goes on from that release.
    void endExposureNow();
    // Lets go at once, whatever the line holds.
    void release();
    // The shot is over, whatever state it was in.
    void reset();

    bool shotUnderWay() const { return m_shotUnderWay; }
    bool exposing() const { return m_exposing; }
    // Where the next wait counts from: the tick's deadline, or the write
    // or instant a state names.
    std::int64_t anchorUs() const { return m_anchorUs; }
    void setAnchorUs(std::int64_t us) { m_anchorUs = us; }

private:
    bool stopsBeforeThePress();
    std::vector<PlannedWrite> restOfShot() const;
    void planShot(std::int64_t startUs, std::vector<PlannedWrite> writes);
    void onWrite(const LineEvent &event);
    void withdrawn(const LineEvent &event);
    void slicePressed();
    void showState(State state);
    void startShot();
    void shotOver(std::int64_t releaseUs);

    WindowTimer *m_timer;
    ShotView *m_view;
    Hooks m_hooks;
    bool m_shotPlanned = false;  // from the first press planned to the release
    bool m_shotStarted = false;  // the shot's tick has run
    bool m_shotUnderWay = false; // from the mirror press or the first slice to the release
    bool m_exposing = false;     // from the first slice to the release
    bool m_mirror = false;       // this shot raises the mirror first
    bool m_retake = false;       // started again: its figures are read already
    std::int64_t m_firstDueUs = 0;
    std::int64_t m_anchorUs = 0; // where the wait armed by this tick counts from
};

} // namespace tavrel
