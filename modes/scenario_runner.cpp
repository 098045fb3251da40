#include "modes/scenario_runner.h"

#include "modes/journal.h"

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
const QString kShot = QStringLiteral("10");
const QString kMirrorUp = QStringLiteral("11");
const QString kSlice = QStringLiteral("20");
const QString kExposed = QStringLiteral("21");
const QString kLetGo = QStringLiteral("30");
const QString kPause = QStringLiteral("31");

QTime timeNow() { return timeBase().now().time(); }

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
        : q(runner), timer(enchainement), view(shownOn)
    {
    }

    ScenarioRunner *q;
    WindowTimer *timer;
    ScenarioView *view;
    ScenarioReader reader; // the run channel
    ScenarioStep step;     // the step shown last
    std::optional<Place> placeOverride;
    SkyContext sky;              // the night and place of the run
    std::optional<QTime> stepAt; // the time of day of `step`, if it has one
    QString currentFile;
    // The step's own figures, kept for boxes edited into nonsense mid-run.
    std::int32_t stepExposure = 1;
    std::int32_t stepPause = 0;
    bool endReached = false;
    bool exposing = false;    // from the first slice to the release
    bool shotUnderWay = false; // from the mirror press or the first slice to the release
    bool linePressed = false; // our last write held the release down
    std::int64_t anchorUs = 0; // where the wait armed by this tick counts from
    // Files entered since the last exposure: entering one of them again means
    // the chains go round without ever taking a picture.
    QSet<QString> enteredSinceExposure;

    void arm(const QString &tag, std::int64_t ms)
    {
        timer->setTag(tag);
        // An interval of 0 would never tick: a wait already over is taken at once.
        timer->setIntervalFrom(anchorUs, int(std::clamp<std::int64_t>(ms, 1, INT32_MAX)));
    }
    // The same, for a tick that will write `value`: the timing thread writes
    // it at the tick's instant.
    void arm(const QString &tag, std::int64_t ms, int value)
    {
        arm(tag, ms);
        timer->writeLineAtDue(value);
    }
    // The tick that starts a shot presses at once when the step has a mirror
    // delay; otherwise the press is the first slice's, 10 ms on, and asked
    // for now all the same, so that a busy spell over kShot cannot delay it.
    void armShot(std::int64_t ms)
    {
        arm(kShot, ms);
        timer->writeLineAt(timer->dueUs() + (shared().MirrorDelaySeconds != 0 ? 0 : 10000), 1);
    }
    // Withdrawn, the press is not made; already made by the timing thread
    // while this thread was busy, the shot has begun and goes ahead.
    bool stopsBeforeThePress() { return shared().StopRequested != 0 && timer->cancelLineWrite(); }
    // The waits count from the tick's deadline, or from the write that starts
    // a shot or ends an exposure (lastLineWriteUs()), never from the end of a
    // handler.
    void press()
    {
        PressShutter();
        linePressed = true;
    }
    void release()
    {
        ReleaseShutter();
        linePressed = false;
    }

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
    d->exposing = false;
    d->enteredSinceExposure = {canonicalPathOf(path)};
    m_running = true;
    d->view->setRunning(true);

    d->timer->setEnabled(false);
    d->timer->setTag(kTakeUp);
    d->timer->setInterval(10);
    d->timer->setEnabled(true);
    return true;
}

void ScenarioRunner::setPlace(const std::optional<Place> &place) { d->placeOverride = place; }

void ScenarioRunner::requestStop()
{
    shared().StopRequested = -1;
    // The press that would start the next shot is not made ahead any more;
    // if the timing thread made it already, that shot goes ahead.
    if (!d->shotUnderWay)
        d->timer->cancelLineWrite();
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
    if (!chain && !isAtOnceStep(s))
        stepAt = looksLikeSkyTime(s.time) ? resolveSkyTime(s.time, sky).time : parseTimeOfDay(s.time);
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
        armShot(10);
        return;
    }
    if (chain) {
        chainTo(s.time);
        return;
    }
    const QTime at = *stepAt;
    const int seconds = secondsUntil(at, timeNow());
    if (seconds < 0) {
        emit q->stepSkipped(v.StepNumber, reader.fullPath(), s.line, s.time);
        arm(kTakeUp, 10);
        return;
    }
    emit q->waitingUntil(at, seconds);
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
    const bool pressedAhead = !timer->cancelLineWrite() && lineWrittenAhead() == 1;
    if (linePressed || v.ShutterHeld != 0 || pressedAhead)
        release();
    const bool wasExposing = exposing;
    exposing = false;
    shotUnderWay = false;
    v.ShutterHeld = 0;
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
    d->anchorUs = d->timer->tickDueUs();

    if (tag == kTakeUp) {
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
        } else if (const auto at = d->stepAt; !at) {
            d->fail(d->currentFile, d->step.line,
                    QStringLiteral("l'horaire « %1 » ne convient pas.").arg(v.StepTime));
            return;
        } else {
            const std::int64_t remaining = std::int64_t(secondsUntil(*at, timeNow())) * 1000;
            if (remaining < kWaitPollMs)
                d->armShot(remaining + 10);
            else
                d->arm(kWait, kWaitPollMs);
        }
    } else if (tag == kShot) {
        // A stop asked during the last wait before the step's time: nothing
        // is pressed.
        if (d->stopsBeforeThePress()) {
            d->finish(QString());
            return;
        }
        // The boxes show the step's figures; what stands in them when the shot
        // starts is what is taken, unless it is no usable figure.
        v.ExposureSeconds = secondsOr(d->view->exposureText(), d->stepExposure, 1);
        v.ShotIntervalSeconds = secondsOr(d->view->pauseText(), d->stepPause, 0);
        if (v.MirrorDelaySeconds != 0) {
            d->shotUnderWay = true;
            d->press();
            d->anchorUs = lastLineWriteUs();
            d->view->setMirrorStyle(kHorizontalLines);
            d->arm(kMirrorUp, 500, 0);
            emit mirrorRaised();
        } else {
            d->arm(kSlice, 10); // its press is asked for already
        }
    } else if (tag == kMirrorUp) {
        d->release();
        d->arm(kSlice, std::int64_t(v.MirrorDelaySeconds) * 1000 - 500, 1);
    } else if (tag == kSlice) {
        // Once the mirror is up the exposure follows, or the camera would be
        // left with its mirror locked up; without a mirror, the stop is
        // looked at once more, right before the press.
        if (!d->shotUnderWay && d->stopsBeforeThePress()) {
            d->finish(QString());
            return;
        }
        d->shotUnderWay = true;
        const std::int32_t seconds = v.ExposureSeconds;
        const bool lastSlice = v.ExposureSeconds <= 60;
        const int sliceMs = lastSlice ? v.ExposureSeconds * 1000 : 60000;
        v.ExposureSeconds = lastSlice ? 0 : v.ExposureSeconds - 60;
        v.ExposureClockMs = v.ExposureSeconds * 1000 + sliceMs;
        v.ShutterHeld = -1;
        // Every slice writes the press again: a line dropped by a glitch is
        // taken up within the minute.
        d->press();
        if (!d->exposing)
            d->anchorUs = lastLineWriteUs(); // the exposure ends E s + 10 ms after this press
        if (lastSlice) {
            d->arm(kExposed, sliceMs);
            // The release, two ticks on (kExposed, then kLetGo 10 ms later),
            // is asked for now: a busy spell over kExposed cannot delay it.
            d->timer->writeLineAt(d->timer->dueUs() + 10000, 0);
        } else {
            d->arm(kSlice, sliceMs, 1);
        }
        d->view->setMirrorStyle(kHorizontalLines);
        d->view->setProgress(d->share());
        d->view->setProgressVisible(true);
        if (!d->exposing) {
            d->exposing = true;
            d->enteredSinceExposure.clear();
            ExposureJournal::instance().exposureStarted(JournalExposure{
                QStringLiteral("scénario"), seconds, shared().StepNumber,
                QStringLiteral("%1:%2").arg(QFileInfo(currentFile()).fileName()).arg(currentLine())});
            emit exposureStarted(seconds);
        }
    } else if (tag == kExposed) {
        d->arm(kLetGo, 10);
    } else if (tag == kLetGo) {
        d->release();
        d->anchorUs = lastLineWriteUs();
        d->shotUnderWay = false;
        d->view->setProgressVisible(false);
        v.ShutterHeld = 0;
        d->view->setMirrorStyle(kVerticalLines);
        d->exposing = false;
        d->arm(kPause, 100);
        emit exposureEnded(true);
        if (v.StopRequested == 0)
            emit pauseStarted(v.ShotIntervalSeconds);
    } else if (tag == kPause) {
        if (v.StopRequested != 0) {
            d->finish(QString());
            return;
        }
        if (v.ShotIntervalSeconds > 10) {
            d->arm(kPause, 10000);
            v.ShotIntervalSeconds -= 10;
        } else {
            d->arm(kTakeUp, std::int64_t(v.ShotIntervalSeconds) * 1000 + 100);
        }
    } else {
        return; // an unknown state leaves the timer off
    }
    d->timer->setEnabled(true);
    yieldEvents();
}

bool ScenarioRunner::abandon()
{
    SharedValues &v = shared();
    // Turned off from outside its tick, the timer withdraws a write it asked
    // for; one the timing thread made already is let go below.
    const bool pressedAhead = !d->timer->cancelLineWrite() && lineWrittenAhead() == 1;
    d->timer->setEnabled(false);
    d->reader.close();
    const bool letGo = d->linePressed || v.ShutterHeld != 0 || pressedAhead;
    if (letGo)
        d->release();
    v.ShutterHeld = 0;
    // The window is going away: none of its boxes is touched any more.
    const bool wasExposing = d->exposing;
    d->exposing = false;
    d->shotUnderWay = false;
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
    if (!at)
        return std::nullopt;
    // The last poll ends a few milliseconds past the time: never show -1.
    return std::max(0, secondsUntil(*at, timeNow()));
}

bool ScenarioRunner::shotUnderWay() const { return d->shotUnderWay; }

std::optional<QTime> ScenarioRunner::stepTimeOfDay() const { return d->stepAt; }

int ScenarioRunner::stepNumber() const { return shared().StepNumber; }
int ScenarioRunner::stepCount() const { return shared().StepCount; }
QString ScenarioRunner::currentFile() const { return d->currentFile; }
int ScenarioRunner::currentLine() const { return d->step.line; }

} // namespace tavrel
