#include "app/run/dry_run.h"

#include "app/run/file_warnings.h"
#include "app/run/guider_report.h"
#include "app/run/headless_views.h"
#include "app/run/progress_log.h"
#include "app/run/run_options.h"
#include "app/run/scenario_report.h"
#include "link/adapter_log.h"
#include "link/messages.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/simulated_adapter.h"
#include "link/timebase.h"
#include "link/window_timer.h"
#include "modes/dither_gate.h"
#include "modes/scenario_runner.h"
#include "modes/scenario_time.h"
#include "modes/sky_times.h"

#include <QFileInfo>
#include <memory>

namespace tavrel::run {

namespace {

// Longer than any night, short enough to end a plan that never would.
constexpr std::int64_t kPlanLimitMs = 8LL * 24 * 3600 * 1000;

// Errors are reported as in a real run (standard error) and kept for the plan.
class PlanMessages final : public MessageSink {
public:
    void show(const Message &message) override
    {
        m_stderr.show(message);
        if (message.kind == MessageKind::Error)
            errors << message.text;
    }
    QStringList errors;

private:
    StderrMessageSink m_stderr;
};

QString plural(qsizetype n) { return n > 1 ? QStringLiteral("s") : QString(); }

// The place, the night and every moment of it, which the steps tied to the
// sky are measured against; dated when not on the start's day.
QStringList nightLines(const SkyContext &sky, const QDate &startDay)
{
    QStringList lines{QStringLiteral("Lieu %1, nuit du %2 au %3 :")
                          .arg(placeText(*sky.place), sky.night.toString(QStringLiteral("dd/MM/yyyy")),
                               sky.night.addDays(1).toString(QStringLiteral("dd/MM/yyyy")))};
    for (const SkyEvent event : {SkyEvent::Sunset, SkyEvent::NauticalDusk, SkyEvent::Dusk, SkyEvent::Dawn,
                                 SkyEvent::NauticalDawn, SkyEvent::Sunrise}) {
        const auto at = skyEventTime(event, sky.night, *sky.place, sky.zone);
        lines << QStringLiteral("  ")
                     + (at ? resolvedText(skyEventSymbol(event), *at, startDay)
                           : QStringLiteral("%1 : aucun cette nuit (%2)")
                                 .arg(skyEventSymbol(event),
                                      noSkyEventReason(event, sky.night, *sky.place, sky.zone)));
    }
    return lines;
}

} // namespace

int runDryCheck(const RunOptions &o)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QTime at = o.at.isValid() ? o.at : QTime(now.time().hour(), now.time().minute(), now.time().second());
    // The first time the clock shows `at` that day, on a night with a clock change.
    const QDateTime start =
        localInstant(o.date.isValid() ? o.date : now.date(), at, QTimeZone::systemTimeZone()).instant.toLocalTime();
    VirtualTimeBase time(start);
    setTimeBase(&time);
    ProgressLog log([&] { return planStamp(start.addMSecs(time.monotonicMs()), start.date()); });
    PlanMessages messages;
    setMessageSink(&messages);

    // An adapter of its own: a check never touches the one on the desk, and
    // of the settings file it only reads the place ([Lieu]) and the dithers
    // ([Guidage]); no guider is asked anything.
    SimulatedAdapter sim(1);
    std::unique_ptr<LoggingAdapter> logged;
    if (!o.adapterLog.isEmpty()) {
        QString error;
        logged = LoggingAdapter::open(sim, o.adapterLog, &error);
        if (!logged) {
            showMessage(MessageKind::Error,
                        QStringLiteral("impossible d'ouvrir le journal de l'adaptateur %1 : %2.").arg(o.adapterLog, error));
            setMessageSink(nullptr);
            setTimeBase(nullptr);
            return 2;
        }
    }
    setAdapter(logged ? static_cast<Adapter *>(logged.get()) : &sim);
    resetSharedValues();
    shared().BitMode = 1;
    shared().BitMask = 255;
    OpenDevice();

    log.plain(QStringLiteral("Vérification à blanc de %1").arg(QFileInfo(o.scenario).absoluteFilePath()));
    log.plain(QStringLiteral("Départ simulé le %1 à %2 (temps virtuel, adaptateur simulé)")
                  .arg(start.toString(QStringLiteral("dd/MM/yyyy")), start.toString(QStringLiteral("HH:mm:ss"))));
    const SkyContext sky = SkyContext::at(start, o.place);
    if (sky.place)
        for (const QString &line : nightLines(sky, start.date()))
            log.plain(line);
    QStringList warnings = fileWarnings(o.scenario);
    for (const QString &w : std::as_const(warnings))
        log.plain(QStringLiteral("Attention : ") + w);

    WindowTimer timer;
    timer.setObjectName(QStringLiteral("Enchainement"));
    HeadlessScenarioView view;
    ScenarioRunner runner(&timer, &view);
    runner.setPlace(o.place);
    ScenarioReport report(&runner, &timer, &view, &log, true);
    report.wire();
    DitherGate gate;
    GuiderReport guiderReport(&gate, &log, true);
    runner.setBetweenExposures(&gate);
    gate.begin(guiderSettingsFor(o), true);
    guiderReport.begin();
    QString loopFile;
    QObject::connect(&report, &ScenarioReport::cameBack, [&](const QString &file) { loopFile = file; });
    std::int64_t endMs = -1;
    QString runError;
    QObject::connect(&runner, &ScenarioRunner::runEnded, [&](bool, const QString &error) {
        endMs = time.monotonicMs();
        runError = error;
    });

    if (runner.start(o.scenario)) {
        report.begin(o.scenario);
        time.advanceUntil([&] { return !runner.isRunning() || !loopFile.isEmpty(); }, kPlanLimitMs);
        if (runner.isRunning()) {
            report.mute();
            runner.abandon();
            const QString why =
                loopFile.isEmpty()
                    ? QStringLiteral("le scénario dure plus de 8 jours ; le plan s'arrête là.")
                    : QStringLiteral("le scénario revient au fichier %1, déjà joué : il recommence en boucle "
                                     "jusqu'à un arrêt demandé (SIGUSR1, SIGTERM). Le plan s'arrête à ce retour.")
                          .arg(loopFile);
            warnings << why;
            log.line(QStringLiteral("Attention : ") + why);
            endMs = -1;
        }
    } else {
        for (const QString &e : std::as_const(messages.errors))
            log.line(QStringLiteral("Erreur : ") + e);
    }
    warnings << report.warnings();

    if (endMs >= 0) {
        const QDateTime end = start.addMSecs(endMs);
        log.plain(QStringLiteral("Fin le %1 à %2 ; durée totale %3.")
                      .arg(end.toString(QStringLiteral("dd/MM/yyyy")), end.toString(QStringLiteral("HH:mm:ss.zzz")),
                           durationText(endMs, true)));
    }
    const qsizetype errors = messages.errors.size();
    log.plain(QStringLiteral("Bilan : %1 pose%2, %3 étape%4 sautée%4, %5 avertissement%6, %7 erreur%8.")
                  .arg(report.exposuresTaken())
                  .arg(plural(report.exposuresTaken()))
                  .arg(report.stepsSkipped())
                  .arg(plural(report.stepsSkipped()))
                  .arg(warnings.size())
                  .arg(plural(warnings.size()))
                  .arg(errors)
                  .arg(plural(errors)));

    CloseDevice();
    setAdapter(nullptr);
    setMessageSink(nullptr);
    setTimeBase(nullptr);
    if (errors > 0 || !runError.isEmpty())
        return 1;
    return warnings.isEmpty() ? 0 : 3;
}

} // namespace tavrel::run
