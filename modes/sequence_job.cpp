#include "modes/sequence_job.h"

#include "link/connection.h"
#include "link/fill_style.h"
#include "link/messages.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/timebase.h"
#include "link/journal.h"
#include "modes/numbers.h"

namespace tavrel {

namespace {

// The delay is over, the next press waits for the guider to settle.
const QString kHeld = QStringLiteral("32");

std::optional<QString> checkField(const QString &label, const QString &text, std::int32_t min,
                                  std::int32_t max, const QString &expected)
{
    const auto v = parseWholeNumber(text);
    if (!v || *v < min || *v > max)
        return QStringLiteral("%1 : « %2 » ne convient pas. %3")
            .arg(label, text.trimmed(), expected);
    return std::nullopt;
}
} // namespace

SequenceJob::SequenceJob(WindowTimer *enchainement, SequenceView *view, QObject *parent)
    : QObject(parent), m_timer(enchainement), m_view(view),
      m_machine(enchainement, view,
                ExposureMachine::Hooks{
                    [this] { endJob(); },
                    [this] {
                        SharedValues &v = shared();
                        v.ExposureSeconds = m_lastExposure = readOr(m_view->exposureText(), m_lastExposure, 1);
                        v.ShotIntervalSeconds = m_lastInterval = readOr(m_view->intervalText(), m_lastInterval, 0);
                        ++m_exposureNumber;
                    },
                    [this] { emit mirrorRaised(m_exposureNumber); },
                    [this](int seconds) {
                        ExposureJournal::instance().exposureStarted(
                            JournalExposure{QStringLiteral("séquence"), seconds, m_exposureNumber, QString()});
                        emit exposureStarted(m_exposureNumber, m_total, seconds);
                    },
                    [this] {
                        m_lastCount = readOr(m_view->countText(), m_lastCount, 1);
                        return double(shared().ShotCount) / double(m_lastCount);
                    },
                    [this] {
                        SharedValues &v = shared();
                        v.ShotCount -= 1;
                        emit exposureEnded(m_exposureNumber, true);
                        if (v.ShotCount > 0 && v.StopRequested == 0) {
                            if (m_gate)
                                m_gate->afterRelease();
                            emit delayStarted(v.ShotIntervalSeconds);
                        }
                    }})
{
    ExposureJournal::instance();
}

std::optional<QString> SequenceJob::checkFigures(const QString &count, const QString &exposure,
                                                 const QString &mirror, const QString &interval)
{
    const QString max = QString::number(kMaxSeconds);
    if (auto e = checkField(QStringLiteral("Nombre de poses"), count, 1, INT32_MAX,
                            QStringLiteral("Entrez un nombre entier de poses, au moins 1.")))
        return e;
    if (auto e = checkField(QStringLiteral("Temps de pose (s)"), exposure, 1, kMaxSeconds,
                            QStringLiteral("Entrez un nombre entier de secondes, de 1 à %1.").arg(max)))
        return e;
    const auto m = parseWholeNumber(mirror);
    if (!m || *m < 0 || *m > kMaxSeconds)
        return QStringLiteral("Délai relevage miroir (s) : « %1 » ne convient pas. Entrez 0 (pas de "
                              "relevage) ou un nombre entier de secondes, de 1 à %2.")
            .arg(mirror.trimmed(), max);
    if (auto e = checkField(QStringLiteral("Délai entre poses (s)"), interval, 0, kMaxSeconds,
                            QStringLiteral("Entrez un nombre entier de secondes, de 0 à %1.").arg(max)))
        return e;
    return std::nullopt;
}

std::int32_t SequenceJob::readOr(const QString &text, std::int32_t last, std::int32_t min) const
{
    // A box edited into nonsense during a job keeps the last good value: the
    // job goes on, and no modal box may hold up a running exposure.
    const auto v = parseWholeNumber(text);
    if (!v || *v < min || *v > kMaxSeconds)
        return last;
    return *v;
}

bool SequenceJob::start()
{
    const QString count = m_view->countText();
    const QString exposure = m_view->exposureText();
    const QString mirror = m_view->mirrorText();
    const QString interval = m_view->intervalText();
    if (const auto problem = checkFigures(count, exposure, mirror, interval)) {
        showMessage(MessageKind::Error, *problem);
        return false;
    }
    if (const QString refusal = runRefusal(); !refusal.isEmpty()) {
        showMessage(MessageKind::Error, refusal);
        return false;
    }
    SharedValues &v = shared();
    v.ShotCount = *parseWholeNumber(count);
    v.MirrorDelaySeconds = *parseWholeNumber(mirror);
    v.ExposureSeconds = *parseWholeNumber(exposure);
    v.ShotIntervalSeconds = *parseWholeNumber(interval);
    m_lastCount = v.ShotCount;
    m_lastExposure = v.ExposureSeconds;
    m_lastInterval = v.ShotIntervalSeconds;
    m_total = v.ShotCount;
    m_exposureNumber = 0;

    m_timer->setEnabled(false);
    m_view->setStartEnabled(false);
    v.StopRequested = 0;
    m_running = true;
    m_timer->setTag(ExposureMachine::tag(ExposureMachine::State::Shot));
    m_timer->setInterval(100);
    m_timer->setEnabled(true);
    m_machine.askShotPress();
    return true;
}

void SequenceJob::finish()
{
    shared().StopRequested = -1;
    m_machine.stopRequested();
}

void SequenceJob::stopShot()
{
    // A press the timing thread made meanwhile is heard first: its exposure
    // reached the camera, and the journal says how it ended.
    deliverLineEvents();
    SharedValues &v = shared();
    const bool exposing = v.ShutterHeld != 0;
    v.StopRequested = -1;
    ExposureJournal::instance().setEndReason(JournalOutcome::StoppedByUser);
    m_machine.release();
    m_machine.reset();
    m_view->setProgressVisible(false);
    m_view->setMirrorStyle(kVerticalLines);
    m_timer->setEnabled(false);
    m_view->setStartEnabled(true);
    if (exposing)
        emit exposureEnded(m_exposureNumber, false);
    if (m_running) {
        m_running = false;
        emit jobEnded(true);
    }
}

void SequenceJob::endExposureNow()
{
    if (m_running)
        m_machine.endExposureNow();
}

void SequenceJob::endJob()
{
    SharedValues &v = shared();
    const bool stopped = v.StopRequested != 0 && v.ShotCount > 0;
    m_view->setStartEnabled(true);
    v.ShotCount = 0;
    v.StopRequested = 0;
    m_view->setMirrorStyle(kVerticalLines);
    m_running = false;
    m_machine.reset();
    emit jobEnded(stopped);
}

void SequenceJob::tick()
{
    SharedValues &v = shared();
    m_timer->setEnabled(false);
    const QString tag = m_timer->Tag();
    m_machine.beginTick();
    if (m_machine.isShotTag(tag)) {
        if (!m_machine.tick(tag))
            return;
    } else if (tag == ExposureMachine::tag(ExposureMachine::State::Pause) || tag == kHeld) {
        // Between two exposures: the delay, then the guider's settle if any.
        if (v.ShotCount <= 0 || v.StopRequested != 0) {
            endJob();
            return;
        }
        // "32": the delay is over and the guider still settles; no press is
        // asked for until it has.
        if (tag == kHeld && m_gate->holdsNextPress())
            m_machine.arm(kHeld, kHoldPollMs);
        else if (tag == kHeld)
            m_machine.armShot(100);
        else if (v.ShotIntervalSeconds <= 10 && m_gate && m_gate->holdsNextPress())
            m_machine.arm(kHeld, std::int64_t(v.ShotIntervalSeconds) * 1000 + 100);
        else if (!m_machine.pauseSlice())
            m_machine.armShot(std::int64_t(v.ShotIntervalSeconds) * 1000 + 100);
    } else {
        return; // an unknown state leaves the timer off
    }
    m_timer->setEnabled(true);
    yieldEvents();
}

} // namespace tavrel
