#include "app/run/scenario_report.h"

#include "app/run/headless_views.h"
#include "app/run/progress_log.h"
#include "link/shared_values.h"
#include "link/timebase.h"
#include "link/window_timer.h"
#include "modes/scenario_reader.h"
#include "modes/scenario_runner.h"
#include "modes/scenario_time.h"
#include "modes/sky_times.h"

#include <QFileInfo>
#include <algorithm>

namespace tavrel::run {

namespace {

// The runner's states the report looks at (see scenario_runner.h).
const QString kTakeUp = QStringLiteral("0");
const QString kPause = QStringLiteral("31");

QString canonical(const QString &path)
{
    const QFileInfo info(path);
    const QString c = info.canonicalFilePath();
    return c.isEmpty() ? info.absoluteFilePath() : c;
}

QString where(const QString &file, int line)
{
    return QStringLiteral("%1, ligne %2").arg(QFileInfo(file).fileName()).arg(line);
}

QString hms(const QTime &t) { return t.toString(QStringLiteral("HH:mm:ss")); }

// "le lendemain", "le 09/12/2026": the day of `instant` seen from `now`.
QString dayText(const QDateTime &instant, const QDateTime &now)
{
    const qint64 days = now.date().daysTo(instant.date());
    if (days == 0)
        return QString();
    if (days == 1)
        return QStringLiteral(" le lendemain");
    return QStringLiteral(" le ") + instant.toString(QStringLiteral("dd/MM/yyyy"));
}

} // namespace

int endStepLine(const QString &path)
{
    ScenarioReader reader;
    if (!reader.open(path))
        return 0;
    int line = 0;
    while (!reader.atEnd()) {
        const ScenarioStep s = reader.readStep();
        if (s.fields == 0)
            break;
        line = s.line;
    }
    return line;
}

ScenarioReport::ScenarioReport(ScenarioRunner *runner, WindowTimer *timer, HeadlessScenarioView *view,
                               ProgressLog *log, bool plan, QObject *parent)
    : QObject(parent), m_runner(runner), m_timer(timer), m_view(view), m_log(log), m_plan(plan)
{
    connect(runner, &ScenarioRunner::stepTaken, this, &ScenarioReport::onStepTaken);
    connect(runner, &ScenarioRunner::stepSkipped, this, &ScenarioReport::onStepSkipped);
    connect(runner, &ScenarioRunner::chained, this, &ScenarioReport::onChained);
    connect(runner, &ScenarioRunner::waitingUntil, this, &ScenarioReport::onWaiting);
    connect(runner, &ScenarioRunner::mirrorRaised, this, [this] {
        say(QStringLiteral("%1 : miroir relevé, pose dans %2")
                .arg(stepLabel(), secondsText(shared().MirrorDelaySeconds)));
    });
    connect(runner, &ScenarioRunner::exposureStarted, this,
            [this](int seconds) { say(m_presses.started(stepLabel(), seconds)); });
    connect(runner, &ScenarioRunner::exposureEnded, this,
            [this](bool completed) { say(m_presses.ended(stepLabel(), completed)); });
    connect(runner, &ScenarioRunner::pauseStarted, this, [this](int seconds) {
        m_pausing = true;
        say(QStringLiteral("%1 : pause de %2").arg(stepLabel(), secondsText(seconds)));
    });
    connect(runner, &ScenarioRunner::runEnded, this, &ScenarioReport::onRunEnded);
}

void ScenarioReport::wire()
{
    // Connected in this order, so the report sees each state just before the
    // runner handles it and just after.
    connect(m_timer, &WindowTimer::Timer, this, &ScenarioReport::beforeTick);
    connect(m_timer, &WindowTimer::Timer, m_runner, &ScenarioRunner::tick);
    connect(m_timer, &WindowTimer::Timer, this, &ScenarioReport::afterTick);
}

void ScenarioReport::begin(const QString &path)
{
    m_runStart = timeBase().now();
    m_total = m_runner->stepCount() - 1;
    m_filesPlayed = {canonical(path)};
    say(QStringLiteral("Scénario %1 : %2 étape%3, puis l'étape de fin")
            .arg(QFileInfo(path).absoluteFilePath())
            .arg(m_total)
            .arg(m_total > 1 ? QStringLiteral("s") : QString()));
}

QString ScenarioReport::stepLabel() const { return QStringLiteral("Étape %1/%2").arg(m_step).arg(m_total); }

void ScenarioReport::say(const QString &text)
{
    if (!m_muted)
        m_log->line(text);
}

void ScenarioReport::warn(const QString &text)
{
    if (!m_plan)
        return;
    m_warnings << text;
    say(QStringLiteral("Attention : ") + text);
}

void ScenarioReport::beforeTick()
{
    m_takingUp = m_timer->Tag() == kTakeUp;
    if (m_takingUp && m_pausing && m_plan)
        say(QStringLiteral("%1 : fin de la pause").arg(stepLabel()));
    if (m_takingUp)
        m_pausing = false;
}

void ScenarioReport::afterTick()
{
    // Taking up a step leads to the pause state only through the end step.
    if (m_takingUp && m_runner->isRunning() && m_timer->Tag() == kPause) {
        const QString file = m_runner->currentFile();
        say(QStringLiteral("Étape de fin atteinte (%1)").arg(where(file, endStepLine(file))));
    }
    m_takingUp = false;
}

void ScenarioReport::onStepTaken(int number, int, const QString &file, int line, const QString &comment)
{
    m_step = number;
    m_stepWhere = where(file, line);
    const QString time = shared().StepTime.trimmed();
    QString text = QStringLiteral("%1 (%2").arg(stepLabel(), m_stepWhere);
    const auto at = m_runner->stepInstant();
    if (at)
        text += QStringLiteral(", horaire %1").arg(stepTimeText());
    text += QLatin1Char(')');
    if (!comment.isEmpty())
        text += QStringLiteral(" « %1 »").arg(comment);
    if (time != QLatin1String("*") && !at) {
        text += QStringLiteral(" : enchaînement vers %1").arg(time);
    } else {
        text += QStringLiteral(" : pose %1").arg(secondsText(m_view->exposureText().toLongLong()));
        if (shared().MirrorDelaySeconds != 0)
            text += QStringLiteral(", miroir %1").arg(secondsText(shared().MirrorDelaySeconds));
        text += QStringLiteral(", pause %1").arg(secondsText(m_view->pauseText().toLongLong()));
    }
    say(text);
}

// A step's time as the logs show it: "21:45:00", or for a step tied to the
// sky "@crepuscule → 18:47:12", dated when not on the run's first day.
QString ScenarioReport::stepTimeText() const
{
    const QString field = shared().StepTime.trimmed();
    const auto at = m_runner->stepInstant();
    if (!at || !at->instant.isValid())
        return field;
    if (looksLikeSkyTime(field))
        return resolvedText(field, at->instant, m_runStart.date());
    return hms(*parseTimeOfDay(field));
}

void ScenarioReport::notice(const QString &text)
{
    if (m_plan)
        warn(text);
    else
        say(text);
}

void ScenarioReport::onWaiting(const QDateTime &instant)
{
    const QDateTime now = timeBase().now();
    m_lastTimed = Timed{instant, m_stepWhere, stepTimeText()};
    // Elapsed time: a night with a clock change lasts an hour more or less
    // than its clock says.
    say(QStringLiteral("%1 : attente jusqu'à %2%3 (%4)")
            .arg(stepLabel(), hms(instant.time()), dayText(instant, now), durationText(now.msecsTo(instant))));
    const auto at = m_runner->stepInstant();
    if (!at || at->change == ClockChange::None)
        return;
    const QString field = hms(*parseTimeOfDay(shared().StepTime));
    const QString offset = instant.timeZoneAbbreviation();
    if (at->change == ClockChange::Twice)
        notice(QStringLiteral("%1 : l'heure %2 passe deux fois cette nuit-là (l'heure recule) ; c'est la "
                              "première qui est retenue (%3 %4, soit dans %5).")
                   .arg(m_stepWhere, field, hms(instant.time()), offset, durationText(now.msecsTo(instant))));
    else
        notice(QStringLiteral("%1 : l'heure %2 n'existe pas cette nuit-là (l'heure avance) ; l'étape est prise "
                              "au changement d'heure, à %3 %4.")
                   .arg(m_stepWhere, field, hms(instant.time()), offset));
}

void ScenarioReport::onStepSkipped(int, const QString &, int, const QString &)
{
    ++m_skipped;
    const QDateTime now = timeBase().now();
    const auto at = m_runner->stepInstant();
    if (!at) {
        say(QStringLiteral("%1 sautée").arg(stepLabel()));
        return;
    }
    if (!at->instant.isValid()) {
        QString why = at->noMoment;
        if (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        say(QStringLiteral("%1 sautée : %2").arg(stepLabel(), why));
        warn(QStringLiteral("%1 : %2 ; elle sera sautée.").arg(m_stepWhere, why));
        return;
    }
    const QDateTime instant = at->instant;
    const QString shown = stepTimeText();
    if (m_lastTimed && instant < m_lastTimed->instant) {
        const QString why =
            QStringLiteral("son horaire %1 vient avant celui de l'étape à horaire qui la précède (%2, "
                           "horaire %3)")
                .arg(shown, m_lastTimed->where, m_lastTimed->time);
        say(QStringLiteral("%1 sautée : %2").arg(stepLabel(), why));
        warn(QStringLiteral("%1 : %2 ; elle sera sautée.").arg(m_stepWhere, why));
    } else if (instant >= m_runStart) {
        const QString why = QStringLiteral("les étapes d'avant ont duré au-delà de son horaire %1 (dépassé "
                                           "de %2)")
                                .arg(shown, durationText(instant.msecsTo(now)));
        say(QStringLiteral("%1 sautée : %2").arg(stepLabel(), why));
        warn(QStringLiteral("%1 : les étapes qui la précèdent finissent à %2, après son horaire %3 ; "
                            "elle sera sautée. Raccourcissez-les ou reculez son horaire.")
                 .arg(m_stepWhere, hms(now.time()), shown));
    } else {
        const QString why = QStringLiteral("son horaire %1 était déjà passé au départ du scénario (%2)")
                                .arg(shown, hms(m_runStart.time()));
        say(QStringLiteral("%1 sautée : %2").arg(stepLabel(), why));
        warn(QStringLiteral("%1 : %2 ; elle sera sautée.").arg(m_stepWhere, why));
    }
    m_lastTimed = Timed{instant, m_stepWhere, shown};
}

void ScenarioReport::onChained(const QString &from, int line, const QString &to)
{
    m_total = m_step + std::max(checkScenarioFile(to, false).stepCount - 1, 0);
    say(QStringLiteral("Enchaînement : %1 passe la main à %2").arg(where(from, line), to));
    const QString key = canonical(to);
    if (m_filesPlayed.contains(key))
        emit cameBack(to);
    m_filesPlayed.insert(key);
}

void ScenarioReport::onRunEnded(bool stoppedByUser, const QString &error)
{
    const int exposures = m_presses.taken();
    const QString taken = QStringLiteral("%1 pose%2 prise%2").arg(exposures).arg(exposures > 1 ? QStringLiteral("s") : QString());
    if (!error.isEmpty())
        say(QStringLiteral("Scénario arrêté par une erreur (%1%2) : %3").arg(taken, m_presses.failures(), error));
    else if (stoppedByUser)
        say(QStringLiteral("Scénario arrêté à la demande : %1%2.").arg(taken, m_presses.failures()));
    else
        say(QStringLiteral("Fin du scénario : %1%2%3.")
                .arg(taken,
                     m_skipped ? QStringLiteral(", %1 étape%2 sautée%2").arg(m_skipped).arg(m_skipped > 1 ? QStringLiteral("s") : QString())
                               : QString(),
                     m_presses.failures()));
}

} // namespace tavrel::run
