#include "modes/exposure_machine.h"

#include "link/fill_style.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/timebase.h"

#include <algorithm>

namespace tavrel {

// A switch, not a table: the modes' own constants are made from these
// before any table of this file would be.
QString ExposureMachine::tag(State state)
{
    switch (state) {
    case State::Shot: return QStringLiteral("10");
    case State::MirrorUp: return QStringLiteral("11");
    case State::Slice: return QStringLiteral("20");
    case State::Exposed: return QStringLiteral("21");
    case State::LetGo: return QStringLiteral("30");
    case State::Pause: break;
    }
    return QStringLiteral("31");
}

ExposureMachine::ExposureMachine(WindowTimer *timer, ShotView *view, Hooks hooks)
    : m_timer(timer), m_view(view), m_hooks(std::move(hooks))
{
}

ExposureMachine::~ExposureMachine() { cancelLinePlan(this); }

void ExposureMachine::arm(const QString &tag, std::int64_t ms)
{
    m_timer->setTag(tag);
    // An interval of 0 would never tick: a wait already over is taken at once.
    m_timer->setIntervalFrom(m_anchorUs, int(std::clamp<std::int64_t>(ms, 1, INT32_MAX)));
}

void ExposureMachine::arm(State state, std::int64_t ms) { arm(tag(state), ms); }

void ExposureMachine::armShot(std::int64_t ms)
{
    arm(State::Shot, ms);
    askShotPress();
}

void ExposureMachine::planShot(std::int64_t startUs, std::vector<PlannedWrite> writes)
{
    submitLinePlan(this, startUs, std::move(writes), [this](const LineEvent &e) { onWrite(e); });
}

void ExposureMachine::askShotPress()
{
    // The shot's tick presses for the mirror; with no mirror the press is
    // the first slice's, 10 ms on. Either is planned now, so that a busy
    // spell over the shot's tick cannot delay it.
    m_mirror = shared().MirrorDelaySeconds != 0;
    m_firstDueUs = m_timer->dueUs() + (m_mirror ? 0 : 10000);
    m_shotPlanned = true;
    m_shotStarted = false;
    planShot(m_firstDueUs, {PlannedWrite{1, -1, 0}});
}

std::vector<PlannedWrite> ExposureMachine::restOfShot() const
{
    const SharedValues &v = shared();
    std::vector<PlannedWrite> writes;
    int press = 0; // the exposure's first press, which its end counts from
    if (m_mirror) {
        writes.push_back({0, 0, 500000});
        writes.push_back({1, 0, std::int64_t(v.MirrorDelaySeconds) * 1000000});
        press = 2;
    }
    // Every minute the press is written again: a line dropped by a glitch is
    // taken up within the minute. The release comes E s + 10 ms after the
    // first press.
    const std::int64_t exposureUs = std::int64_t(v.ExposureSeconds) * 1000000;
    for (std::int64_t at = 60000000; at < exposureUs; at += 60000000)
        writes.push_back({1, press, at});
    writes.push_back({0, press, exposureUs + 10000});
    return writes;
}

bool ExposureMachine::stopsBeforeThePress()
{
    // Cancelled, the press is not made; already made by the timing thread
    // while this thread was busy, the shot has begun and goes ahead.
    return shared().StopRequested != 0 && !cancelLinePlanIfNotBegun(this);
}

void ExposureMachine::release()
{
    cancelLinePlan(this);
    ReleaseShutter();
}

void ExposureMachine::stopRequested()
{
    if (!m_shotPlanned || m_shotUnderWay)
        return;
    if (cancelLinePlanIfNotBegun(this)) {
        m_shotUnderWay = true;
        return;
    }
    if (m_shotStarted) {
        // Its tick has run and nothing else of the shot would tick: it comes
        // once more, sees the stop and ends the run.
        m_shotStarted = false;
        m_anchorUs = timeBase().monotonicUs();
        arm(State::Shot, 1);
        m_timer->setEnabled(true);
    }
}

bool ExposureMachine::letGoIfHeld()
{
    const std::optional<int> last = cancelLinePlan(this);
    const bool letGo = (last && *last != 0) || shared().ShutterHeld != 0;
    if (letGo)
        ReleaseShutter();
    return letGo;
}

void ExposureMachine::reset()
{
    m_shotPlanned = false;
    m_shotStarted = false;
    m_shotUnderWay = false;
    m_exposing = false;
    shared().ShutterHeld = 0;
}

void ExposureMachine::endExposureNow()
{
    if (!m_exposing)
        return;
    cancelLinePlan(this);
    shared().ExposureSeconds = 0;
    ReleaseShutter();
    shotOver(lastLineWriteUs());
}

bool ExposureMachine::pauseSlice()
{
    SharedValues &v = shared();
    if (v.ShotIntervalSeconds <= 10)
        return false;
    arm(State::Pause, 10000);
    v.ShotIntervalSeconds -= 10;
    return true;
}

bool ExposureMachine::tick(const QString &current)
{
    // Started by its first write already, when that came first.
    if (current != tag(State::Shot) || m_shotStarted)
        return false;
    // A stop asked during the wait before it: nothing is pressed.
    if (stopsBeforeThePress()) {
        m_hooks.stoppedBeforeThePress();
        return false;
    }
    startShot();
    return false;
}

void ExposureMachine::startShot()
{
    // Nothing more ticks until the release's event arms the pause.
    m_timer->setEnabled(false);
    if (!m_retake)
        m_hooks.shotStarting();
    m_retake = false;
    m_shotStarted = true;
    m_timer->setTag(tag(m_mirror ? State::MirrorUp : State::Slice));
    extendLinePlan(this, restOfShot());
}

void ExposureMachine::showState(State state) { m_timer->setTag(tag(state)); }

void ExposureMachine::onWrite(const LineEvent &e)
{
    if (!m_shotPlanned || !e.final)
        return;
    if (e.kind == LineEvent::Withdrawn) {
        withdrawn(e);
        return;
    }
    // The shot starts at its tick or at its first write, whichever comes
    // first: its figures are read before its writes are looked at.
    if (!m_shotStarted)
        startShot();
    if (m_mirror && e.index == 0) {
        m_shotUnderWay = true;
        showState(State::MirrorUp);
        m_view->setMirrorStyle(kHorizontalLines);
        m_hooks.mirrorRaised();
    } else if (m_mirror && e.index == 1) {
        showState(State::Slice);
    } else if (e.value != 0) {
        slicePressed();
    } else {
        shotOver(e.startUs);
    }
}

void ExposureMachine::withdrawn(const LineEvent &e)
{
    // Another writer let go (the program about to be stopped): an exposure
    // ends there.
    if (m_exposing) {
        shotOver(e.startUs);
        return;
    }
    if (!m_shotUnderWay) {
        // Nothing of the shot was made: handed over again, for its instant.
        std::vector<PlannedWrite> writes{{1, -1, 0}};
        if (m_shotStarted) {
            const std::vector<PlannedWrite> rest = restOfShot();
            writes.insert(writes.end(), rest.begin(), rest.end());
        }
        planShot(std::max(m_firstDueUs, e.endUs), std::move(writes));
        return;
    }
    // The mirror was up and has come down: the shot starts again, with the
    // figures it read already.
    m_retake = true;
    m_shotUnderWay = false;
    m_shotStarted = false;
    m_view->setMirrorStyle(kVerticalLines);
    m_anchorUs = e.startUs;
    armShot(100);
    m_timer->setEnabled(true);
}

void ExposureMachine::slicePressed()
{
    SharedValues &v = shared();
    m_shotUnderWay = true;
    const std::int32_t seconds = v.ExposureSeconds;
    const bool lastSlice = v.ExposureSeconds <= 60;
    const int sliceMs = lastSlice ? v.ExposureSeconds * 1000 : 60000;
    v.ExposureSeconds = lastSlice ? 0 : v.ExposureSeconds - 60;
    v.ExposureClockMs = v.ExposureSeconds * 1000 + sliceMs;
    v.ShutterHeld = -1;
    showState(lastSlice ? State::Exposed : State::Slice);
    m_view->setMirrorStyle(kHorizontalLines);
    m_view->setProgress(m_hooks.progressShare());
    m_view->setProgressVisible(true);
    if (!m_exposing) {
        m_exposing = true;
        m_hooks.exposureStarted(seconds);
    }
}

void ExposureMachine::shotOver(std::int64_t releaseUs)
{
    m_anchorUs = releaseUs;
    arm(State::Pause, 100);
    m_timer->setEnabled(true);
    m_shotPlanned = false;
    m_shotStarted = false;
    m_shotUnderWay = false;
    m_exposing = false;
    m_view->setProgressVisible(false);
    shared().ShutterHeld = 0;
    m_view->setMirrorStyle(kVerticalLines);
    m_hooks.released();
}

} // namespace tavrel
