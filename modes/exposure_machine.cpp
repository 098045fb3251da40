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

void ExposureMachine::askShotPress()
{
    // The shot's tick presses for the mirror; with no mirror the press is
    // the first slice's, 10 ms on, and asked for now all the same, so that a
    // busy spell over the shot's tick cannot delay it.
    m_timer->planWrite(m_timer->dueUs() + (shared().MirrorDelaySeconds != 0 ? 0 : 10000), 1);
}

bool ExposureMachine::isShotTag(const QString &tag) const
{
    for (State state : {State::Shot, State::MirrorUp, State::Slice, State::Exposed, State::LetGo})
        if (tag == ExposureMachine::tag(state))
            return true;
    return false;
}

bool ExposureMachine::stopsBeforeThePress()
{
    // Cancelled, the press is not made; already made by the timing thread
    // while this thread was busy, the shot has begun and goes ahead.
    return shared().StopRequested != 0 && m_timer->cancelPlan() != 1;
}

void ExposureMachine::tickWrite(int value)
{
    writePlannedByte(m_timer, m_timer->tickDueUs(), value);
    m_linePressed = value != 0;
}

void ExposureMachine::release()
{
    ReleaseShutter();
    m_linePressed = false;
}

void ExposureMachine::stopRequested()
{
    if (!m_shotUnderWay && m_timer->cancelPlan() == 1)
        m_shotUnderWay = true;
}

bool ExposureMachine::letGoIfHeld()
{
    const bool pressedAhead = m_timer->cancelPlan() == 1;
    const bool letGo = m_linePressed || shared().ShutterHeld != 0 || pressedAhead;
    if (letGo)
        release();
    return letGo;
}

void ExposureMachine::reset()
{
    m_shotUnderWay = false;
    m_exposing = false;
    shared().ShutterHeld = 0;
}

void ExposureMachine::endExposureNow()
{
    if (!m_exposing)
        return;
    m_timer->setEnabled(false);
    m_timer->cancelPlan();
    shared().ExposureSeconds = 0;
    m_anchorUs = timeBase().monotonicUs();
    arm(State::LetGo, 1);
    m_timer->setEnabled(true);
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

bool ExposureMachine::tick(const QString &tag)
{
    SharedValues &v = shared();
    if (tag == ExposureMachine::tag(State::Shot)) {
        // A stop asked during the wait before it: nothing is pressed.
        if (stopsBeforeThePress()) {
            m_hooks.stoppedBeforeThePress();
            return false;
        }
        m_hooks.shotStarting();
        if (v.MirrorDelaySeconds != 0) {
            m_shotUnderWay = true;
            tickWrite(1);
            m_anchorUs = lastLineWriteUs(); // the mirror's press
            arm(State::MirrorUp, 500);
            m_timer->planWriteAtDue(0);
            m_view->setMirrorStyle(kHorizontalLines);
            m_hooks.mirrorRaised();
        } else {
            arm(State::Slice, 10); // its press is asked for already
        }
    } else if (tag == ExposureMachine::tag(State::MirrorUp)) {
        tickWrite(0);
        arm(State::Slice, std::int64_t(v.MirrorDelaySeconds) * 1000 - 500);
        m_timer->planWriteAtDue(1);
    } else if (tag == ExposureMachine::tag(State::Slice)) {
        // Once the mirror is up the exposure follows, or the camera would be
        // left with its mirror locked up; without a mirror, the stop is
        // looked at once more, right before the press.
        if (!m_shotUnderWay && stopsBeforeThePress()) {
            m_hooks.stoppedBeforeThePress();
            return false;
        }
        m_shotUnderWay = true;
        const std::int32_t seconds = v.ExposureSeconds;
        const bool lastSlice = v.ExposureSeconds <= 60;
        const int sliceMs = lastSlice ? v.ExposureSeconds * 1000 : 60000;
        v.ExposureSeconds = lastSlice ? 0 : v.ExposureSeconds - 60;
        v.ExposureClockMs = v.ExposureSeconds * 1000 + sliceMs;
        v.ShutterHeld = -1;
        // Every slice writes the press again: a line dropped by a glitch is
        // taken up within the minute.
        tickWrite(1);
        if (!m_exposing)
            m_anchorUs = lastLineWriteUs(); // the exposure ends E s + 10 ms after this press
        if (lastSlice) {
            arm(State::Exposed, sliceMs);
            // The release, two ticks on ("21", then "30" 10 ms later), is
            // asked for now: a busy spell over "21" cannot delay it.
            m_timer->planWrite(m_timer->dueUs() + 10000, 0);
        } else {
            arm(State::Slice, sliceMs);
            m_timer->planWriteAtDue(1);
        }
        m_view->setMirrorStyle(kHorizontalLines);
        m_view->setProgress(m_hooks.progressShare());
        m_view->setProgressVisible(true);
        if (!m_exposing) {
            m_exposing = true;
            m_hooks.exposureStarted(seconds);
        }
    } else if (tag == ExposureMachine::tag(State::Exposed)) {
        arm(State::LetGo, 10);
    } else if (tag == ExposureMachine::tag(State::LetGo)) {
        tickWrite(0);
        m_anchorUs = lastLineWriteUs(); // the release
        arm(State::Pause, 100);
        m_shotUnderWay = false;
        m_exposing = false;
        m_view->setProgressVisible(false);
        v.ShutterHeld = 0;
        m_view->setMirrorStyle(kVerticalLines);
        m_hooks.released();
    }
    return true;
}

} // namespace tavrel
