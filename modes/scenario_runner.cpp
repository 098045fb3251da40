#include "modes/scenario_runner.h"

#include "link/journal.h"

#include "link/connection.h"
#include "link/fill_style.h"
#include "link/messages.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/timebase.h"
#include "modes/numbers.h"
#include "modes/scenario_time.h"

#include <QFileInfo>
#include <QSet>
#include <algorithm>

namespace tavrel {

namespace {
// Steps of chained files run past the first file's count; the bar keeps a
// sliver so that it still reads as "running".
constexpr double kMinimumShare = 0.01;
// A poll while waiting for a step's time; the last one is cut to the time.
constexpr int kWaitPollMs = 5000;

const QString kTakeUp = QStringLiteral("0");
const QString kWait = QStringLiteral("5");
const QString kHeld = QStringLiteral("7");
const QString kPause = ExposureMachine::tag(ExposureMachine::State::Pause);

QString canonicalPathOf(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

std::int32_t secondsOr(const QString &text, std::int32_t fallback, std::int32_t min)
{
    const auto v = parseWholeNumber(text);
    return v && *v >= min && *v <= kMaxSeconds ? *v : fallback;
}

// A figure as shown: its decimal value, or the text itself where a chain
// step carries something that is no number (it is never used).
QString shownFigure(const QString &text)
{
    const auto v = parseWholeNumber(text);
    return v ? QString::number(*v) : text.trimmed();
}
} // namespace

struct ScenarioRunner::Private {
    Private(ScenarioRunner *runner, WindowTimer *enchainement, ScenarioView *shownOn)
        : q(runner), timer(enchainement), view(shownOn),
          machine(enchainement, shownOn,
                  ExposureMachine::Hooks{
                      [this] { finish(QString()); },
                      [this] {
                          // The boxes show the step's figures; what stands in
                          // them when the shot starts is what is taken, unless
                          // it is no usable figure.
                          SharedValues &v = shared();
                          v.ExposureSeconds = secondsOr(view->exposureText(), stepExposure, 1);
                          v.ShotIntervalSeconds = secondsOr(view->pauseText(), stepPause, 0);
                      },
                      [this] { emit q->mirrorRaised(); },
                      [this](int seconds) {
                          enteredSinceExposure.clear();
                          ExposureJournal::instance().exposureStarted(JournalExposure{
                              QStringLiteral("scénario"), seconds, shared().StepNumber,
                              QStringLiteral("%1:%2").arg(QFileInfo(currentFile).fileName()).arg(step.line)});
                          emit q->exposureStarted(seconds);
                      },
                      [this] { return share(); },
                      [this] {
                          emit q->exposureEnded(true);
                          if (shared().StopRequested == 0) {
                              // Read ahead on a copy: after the run's last
                              // exposure comes the end step, and no dither.
                              ScenarioReader ahead = reader;
                              if (gate && !(ahead.readStep().fields == 5 && ahead.atEnd()))
                                  gate->afterRelease();
                              emit q->pauseStarted(shared().ShotIntervalSeconds);
                          }
                      }})
    {
    }

    ScenarioRunner *q;
    WindowTimer *timer;
    ScenarioView *view;
    BetweenExposures *gate = nullptr;
    ScenarioReader reader; // the run channel
    ScenarioStep step;     // the step shown last
    std::optional<Place> placeOverride;
    SkyContext sky;                     // the night and place of the run
    std::optional<StepInstant> stepAt; // the instant of `step`, when it is timed
    QString currentFile;
    // The step's own figures, kept for boxes edited into nonsense mid-run.
    std::int32_t stepExposure = 1;
    std::int32_t stepPause = 0;
    bool endReached = false;
    // Files entered since the last exposure: entering one of them again means
    // the chains go round without ever taking a picture.
    QSet<QString> enteredSinceExposure;
    ExposureMachine machine;

    void arm(const QString &tag, std::int64_t ms) { machine.arm(tag, ms); }
    void armShot(std::int64_t ms) { machine.armShot(ms); }

    void takeUpStep();
    void chainTo(const QString &target);
    double share() const;
    void finish(const QString &error);
    void fail(const QString &file, int line, const QString &problem)
    {
        finish(scenarioMessage(file, line, problem));
    }
};

ScenarioRunner::ScenarioRunner(WindowTimer *enchainement, ScenarioView *view, QObject *parent)
    : QObject(parent), d(new Private(this, enchainement, view))
{
}

ScenarioRunner::~ScenarioRunner() = default;

bool ScenarioRunner::start(const QString &path)
{
    if (m_running)
        return false;
    SharedValues &v = shared();
    v.ScenarioPath = path;
    // One night for the whole run, chained files included.
    d->sky = SkyContext::at(timeBase().now(), d->placeOverride);
    const ScenarioCheck check = checkScenarioFile(path, true, &d->sky);
    if (!check.ok()) {
        showMessage(MessageKind::Error, check.error);
        return false;
    }
    if (const QString refusal = runRefusal(); !refusal.isEmpty()) {
        showMessage(MessageKind::Error, refusal);
        return false;
    }
    if (!d->reader.open(path)) {
        showMessage(MessageKind::Error,
                    scenarioMessage(d->reader.fullPath(), 0, d->reader.errorString() + QLatin1Char('.')));
        return false;
    }
    v.StepCount = check.stepCount;
    // Each run counts its steps from 1, and a stop clicked while nothing ran
    // must not end this run at its first wait.
    v.StepNumber = 0;
    v.StopRequested = 0;
    d->step = ScenarioStep();
    d->stepAt.reset();
    d->currentFile = d->reader.fullPath();
    d->endReached = false;
    d->machine.reset();
    d->enteredSinceExposure = {canonicalPathOf(path)};
    m_running = true;
    d->view->setRunning(true);

    d->timer->setEnabled(false);
    d->timer->setTag(kTakeUp);
    d->timer->setInterval(10);
    d->timer->setEnabled(true);
    return true;
}

void ScenarioRunner::setBetweenExposures(BetweenExposures *gate) { d->gate = gate; }

void ScenarioRunner::setPlace(const std::optional<Place> &place) { d->placeOverride = place; }

void ScenarioRunner::requestStop()
{
    shared().StopRequested = -1;
    d->machine.stopRequested();
}

void ScenarioRunner::Private::takeUpStep()
{
    SharedValues &v = shared();
    const ScenarioStep s = reader.readStep();
    v.ShotCount = 1;
    if (s.fields == 5 && reader.atEnd()) {
        // The end step: nothing of it is shown, the run ends at "31".
        reader.close();
        v.StopRequested = -1;
        endReached = true;
        arm(kPause, 10);
        return;
    }
    // Checked at start or at the hand-over already; checked again because a
    // step is never carried out unchecked.
    if (const auto problem = stepProblem(s, &sky)) {
        fail(reader.fullPath(), s.line, *problem);
        return;
    }
    if (const int blank = reader.trailingBlankLine()) {
        fail(reader.fullPath(), blank, trailingBlankLinesProblem());
        return;
    }
    step = s;
    const bool chain = isChainStep(s);
    stepAt.reset();
    std::optional<StepWait> wait;
    if (!chain && !isAtOnceStep(s)) {
        wait = waitForStep(s.time, sky, timeBase());
        stepAt = wait->at;
    }
    v.StepTime = s.time;
    v.MirrorDelaySeconds = chain ? 0 : *parseWholeNumber(s.mirror);
    v.ExposureSeconds = chain ? 0 : *parseWholeNumber(s.exposure);
    v.ShotIntervalSeconds = chain ? 0 : *parseWholeNumber(s.pause);
    v.StepComment = s.comment;
    stepExposure = v.ExposureSeconds;
    stepPause = v.ShotIntervalSeconds;
    v.StepNumber += 1;
    view->showStep(v.StepNumber, shownFigure(s.exposure), shownFigure(s.pause),
                   shownFigure(s.mirror), s.comment);
    emit q->stepTaken(v.StepNumber, v.StepCount, reader.fullPath(), s.line, s.comment);

    if (isAtOnceStep(s)) {
        if (gate && gate->holdsNextPress())
            arm(kHeld, kHoldPollMs);
        else
            armShot(10);
        return;
    }
    if (chain) {
        chainTo(s.time);
        return;
    }
    if (wait->outcome != StepWait::Outcome::Wait) {
        emit q->stepSkipped(v.StepNumber, reader.fullPath(), s.line, s.time);
        arm(kTakeUp, 10);
        return;
    }
    emit q->waitingUntil(wait->at.instant);
    arm(kWait, 10);
}

void ScenarioRunner::Private::chainTo(const QString &target)
{
    const QString from = reader.fullPath();
    const int line = step.line;
    const QString key = canonicalPathOf(target);
    if (enteredSinceExposure.contains(key)) {
        fail(from, line,
             QStringLiteral("l'enchaînement vers %1 revient à un fichier déjà parcouru sans "
                            "qu'aucune pose n'ait été prise entre-temps : le scénario tournerait "
                            "en rond sans fin.")
                 .arg(QFileInfo(target).absoluteFilePath()));
        return;
    }
    reader.close();
    if (!reader.open(target)) {
        fail(from, line,
             QStringLiteral("le fichier enchaîné %1 est inutilisable : %2.")
                 .arg(reader.fullPath(), reader.errorString()));
        return;
    }
    currentFile = reader.fullPath();
    // The whole new file is checked before its first exposure, not step by
    // step in the small hours.
    const ScenarioCheck check = checkSteps(reader, &sky);
    if (!check.ok()) {
        finish(check.error + QStringLiteral(" (Fichier enchaîné depuis %1, ligne %2.)").arg(from).arg(line));
        return;
    }
    enteredSinceExposure.insert(key);
    emit q->chained(from, line, reader.fullPath());
    arm(kTakeUp, 10);
}

double ScenarioRunner::Private::share() const
{
    const SharedValues &v = shared();
    const int steps = std::max(v.StepCount - 1, 1);
    const double share = double(v.StepCount - 1 - (v.StepNumber - 1)) / double(steps);
    return std::clamp(share, kMinimumShare, 1.0);
}

void ScenarioRunner::Private::finish(const QString &error)
{
    SharedValues &v = shared();
    // Before anything else, and before a message box can hold the program.
    machine.letGoIfHeld();
    const bool wasExposing = machine.exposing();
    machine.reset();
    const bool byUser = error.isEmpty() && v.StopRequested != 0 && !endReached;
    timer->setEnabled(false);
    view->setProgressVisible(false);
    view->setRunning(false);
    v.StopRequested = 0;
    reader.close();
    view->setMirrorStyle(kVerticalLines);
    view->showEnd();
    q->m_running = false;
    if (wasExposing)
        emit q->exposureEnded(false);
    if (!error.isEmpty())
        showMessage(MessageKind::Error, error);
    emit q->runEnded(byUser, error);
}

void ScenarioRunner::tick()
{
    SharedValues &v = shared();
    d->timer->setEnabled(false);
    if (!m_running)
        return;
    const QString tag = d->timer->Tag();
    d->machine.beginTick();

    if (d->machine.isShotTag(tag)) {
        if (!d->machine.tick(tag))
            return;
    } else if (tag == kTakeUp) {
        // A stop asked during the last slice of a pause: the next step is
        // not even read.
        if (v.StopRequested != 0) {
            d->finish(QString());
            return;
        }
        d->takeUpStep();
        if (!m_running)
            return;
    } else if (tag == kWait) {
        if (v.StopRequested != 0) {
            d->arm(kPause, 10);
        } else if (const auto at = d->stepAt; !at || !at->instant.isValid()) {
            d->fail(d->currentFile, d->step.line,
                    QStringLiteral("l'horaire « %1 » ne convient pas.").arg(v.StepTime));
            return;
        } else {
            // Where the step's instant lies is read again at every poll: a
            // clock set right meanwhile moves it, the handlers' time does not.
            const std::int64_t dueUs = monotonicAt(at->instant, timeBase());
            if (dueUs - d->machine.anchorUs() < std::int64_t(kWaitPollMs) * 1000) {
                // 10 ms after the instant, as after any wait; never before this tick.
                d->machine.setAnchorUs(std::max(dueUs, d->machine.anchorUs()));
                d->armShot(10);
            } else {
                d->arm(kWait, kWaitPollMs);
            }
        }
    } else if (tag == kHeld) {
        if (v.StopRequested != 0) {
            d->finish(QString());
            return;
        }
        if (d->gate->holdsNextPress())
            d->arm(kHeld, kHoldPollMs);
        else
            d->armShot(10);
    } else if (tag == kPause) {
        // Between two exposures.
        if (v.StopRequested != 0) {
            d->finish(QString());
            return;
        }
        if (!d->machine.pauseSlice())
            d->arm(kTakeUp, std::int64_t(v.ShotIntervalSeconds) * 1000 + 100);
    } else {
        return; // an unknown state leaves the timer off
    }
    d->timer->setEnabled(true);
    yieldEvents();
}

void ScenarioRunner::endExposureNow()
{
    if (m_running)
        d->machine.endExposureNow();
}

bool ScenarioRunner::abandon()
{
    // A press the timing thread made meanwhile is heard first: its exposure
    // reached the camera, and the journal says how it ended.
    deliverLineEvents();
    SharedValues &v = shared();
    // Turned off from outside its tick, the timer withdraws a write it asked
    // for; one the timing thread made already is let go.
    const bool letGo = d->machine.letGoIfHeld();
    d->timer->setEnabled(false);
    d->reader.close();
    // The window is going away: none of its boxes is touched any more.
    const bool wasExposing = d->machine.exposing();
    d->machine.reset();
    if (!m_running)
        return letGo;
    m_running = false;
    v.StopRequested = 0;
    if (wasExposing)
        emit exposureEnded(false);
    emit runEnded(true, QString());
    return letGo;
}

std::optional<int> ScenarioRunner::countdownSeconds() const
{
    if (!m_running || d->timer->Tag() != kWait || isAtOnceStep(d->step))
        return std::nullopt;
    const auto at = d->stepAt;
    if (!at || !at->instant.isValid())
        return std::nullopt;
    // Rounded up, so that 0 shows when the instant has come; never -1.
    const std::int64_t us = monotonicAt(at->instant, timeBase()) - timeBase().monotonicUs();
    return int(std::max<std::int64_t>(0, (us + 999999) / 1000000));
}

bool ScenarioRunner::shotUnderWay() const { return d->machine.shotUnderWay(); }

std::optional<StepInstant> ScenarioRunner::stepInstant() const { return d->stepAt; }

int ScenarioRunner::stepNumber() const { return shared().StepNumber; }
int ScenarioRunner::stepCount() const { return shared().StepCount; }
QString ScenarioRunner::currentFile() const { return d->currentFile; }
int ScenarioRunner::currentLine() const { return d->step.line; }

} // namespace tavrel
