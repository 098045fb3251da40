#include "app/run/real_run.h"

#include "app/run/adapter_session.h"
#include "app/run/guider_report.h"
#include "app/run/headless_views.h"
#include "app/run/job_report.h"
#include "app/run/progress_log.h"
#include "app/run/run_options.h"
#include "app/run/scenario_report.h"
#include "app/web/night_server.h"
#include "app/web/night_state.h"
#include "app/web/web_address.h"
#include "link/messages.h"
#include "link/signal_watcher.h"
#include "link/simulated_adapter.h"
#include "link/timebase.h"
#include "link/window_timer.h"
#include "modes/dither_gate.h"
#include "link/guardian.h"
#include "link/journal.h"
#include "modes/scenario_reader.h"
#include "modes/scenario_runner.h"
#include "modes/sequence_job.h"
#include "modes/sky_times.h"
#include "modes/suspension.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <csignal>
#include <memory>

namespace tavrel::run {

namespace {

QString signalName(int number)
{
    switch (number) {
    case SIGINT: return QStringLiteral("SIGINT");
    case SIGTERM: return QStringLiteral("SIGTERM");
    case SIGHUP: return QStringLiteral("SIGHUP");
    case SIGQUIT: return QStringLiteral("SIGQUIT");
    case SIGUSR1: return QStringLiteral("SIGUSR1");
    case SIGUSR2: return QStringLiteral("SIGUSR2");
    case SIGTSTP: return QStringLiteral("SIGTSTP");
    default: return QStringLiteral("signal %1").arg(number);
    }
}

std::unique_ptr<SignalWatcher> watchSignals()
{
    // A write to a closed pipe (the ssh session gone, `| head`) must fail
    // quietly rather than kill the program with the release held.
    std::signal(SIGPIPE, SIG_IGN);
    ignoreTerminalStops();
    // SIGUSR2 plugs the simulated adapter in and out; in a real run it is
    // taken and ignored, so a stray one cannot end the night.
    // Started under nohup, the night is meant to outlive the session:
    // hanging up must not end it.
    std::vector<int> numbers{SIGUSR1, SIGUSR2, SIGINT, SIGTERM, SIGQUIT};
    // Ctrl-Z lets go before the program stops (see modes/suspension.h).
    for (const int number : {SIGHUP, SIGTSTP})
        if (!SignalWatcher::ignoredAtStart(number))
            numbers.push_back(number);
    return std::make_unique<SignalWatcher>(numbers);
}

// The night page, when asked for: listening before the adapter is touched,
// so that a port already taken stops the run before it starts.
struct NightPage {
    std::unique_ptr<web::NightState> state;
    std::unique_ptr<web::NightServer> server;
};

bool openNightPage(const QString &where, ProgressLog &log, NightPage *page)
{
    const web::WebAddress address = *web::parseWebAddress(where);
    page->state = std::make_unique<web::NightState>();
    page->server = std::make_unique<web::NightServer>(page->state.get(), web::newAccessKey());
    QString error;
    if (!page->server->start(address.address, address.port, &error)) {
        showMessage(MessageKind::Error,
                    QStringLiteral("impossible d'ouvrir la page de la nuit sur %1 : %2. Aucune pose n'est prise.")
                        .arg(where, error));
        return false;
    }
    const QStringList urls = web::pageUrls(address.address, page->server->port(), page->server->key());
    log.line(QStringLiteral("Page de la nuit : %1").arg(urls.first()));
    for (const QString &other : urls.mid(1))
        log.plain(QStringLiteral("         aussi : %1").arg(other));
    for (const QString &row : web::qrLines(urls.first().toUtf8()))
        log.plain(row);
    // From here on the page's journal shows the lines: the key stays out.
    web::NightState *state = page->state.get();
    log.setEcho([state](const QString &line) { state->addLine(line); });
    return true;
}

} // namespace

int runForReal(const RunOptions &o)
{
    const bool scenario = o.mode == RunMode::Scenario;
    // A bad file or bad figures are refused before any hardware is touched,
    // with the very messages the runner and the job would give.
    if (scenario) {
        const SkyContext sky = SkyContext::at(QDateTime::currentDateTime(), o.place);
        const ScenarioCheck check = checkScenarioFile(o.scenario, true, &sky);
        if (!check.ok()) {
            showMessage(MessageKind::Error, check.error);
            return 1;
        }
    } else if (const auto problem = SequenceJob::checkFigures(o.count, o.exposure, o.mirror, o.delay)) {
        showMessage(MessageKind::Error, *problem);
        return 1;
    }

    QtTimeBase time;
    setTimeBase(&time);
    // Before the adapter is opened, and told "done" on every way out of here.
    startGuardian(GuardianSetup{o.simulate, o.simulatedChips,
                                o.adapterLog.isEmpty() || o.adapterLog == QLatin1String("-")
                                    ? o.adapterLog
                                    : QFileInfo(o.adapterLog).absoluteFilePath(),
                                ExposureJournal::instance().path(), time.originNs()});
    // The line writes of a running job are made at their instants by the
    // timing thread, raised ahead of a stacking or plate-solving job on the
    // same machine where the system permits it.
    const QString timing = startTimingThread();
    struct GuardianDone {
        ~GuardianDone() { stopGuardian(); }
    } guardianDone;
    ProgressLog log(wallStamp);
    // Before the adapter is opened: a signal during the set-up waits for the
    // event loop instead of killing the program.
    const std::unique_ptr<SignalWatcher> watcher = watchSignals();
    NightPage page;
    if (!o.web.isEmpty() && !openNightPage(o.web, log, &page)) {
        setTimeBase(nullptr);
        return 2;
    }

    int status = 0;
    {
        AdapterSession session(&log);
        if (page.state)
            QObject::connect(&session, &AdapterSession::linkChanged, page.state.get(),
                             &web::NightState::setAdapterState);
        if (const int refused = session.open(o.simulate, o.adapterLog, o.simulatedChips)) {
            setTimeBase(nullptr);
            return refused;
        }
        // Said once, so that a night measured later can be read against it.
        log.line(QStringLiteral("Fil de minutage : %1.").arg(timing));

        WindowTimer enchainement;
        enchainement.setObjectName(QStringLiteral("Enchainement"));
        HeadlessScenarioView scenarioView;
        HeadlessSequenceView jobView(o.count, o.exposure, o.mirror, o.delay);
        std::unique_ptr<ScenarioRunner> runner;
        std::unique_ptr<ScenarioReport> scenarioReport;
        std::unique_ptr<SequenceJob> job;
        std::unique_ptr<JobReport> jobReport;
        DitherGate gate;
        GuiderReport guiderReport(&gate, &log, false);

        bool ending = false;
        bool interrupted = false;
        const auto end = [&](int code) {
            if (ending)
                return;
            ending = true;
            session.close();
            gate.end();
            log.line(QStringLiteral("Déclencheur relâché, adaptateur fermé."));
            if (session.losses() > 0)
                log.line(QStringLiteral("Attention : l'adaptateur a été perdu %1 fois pendant la nuit ; "
                                        "vérifiez les poses prises pendant ces absences.")
                             .arg(session.losses()));
            status = code;
            if (page.state)
                page.state->setFinished();
            QCoreApplication::exit(code);
        };

        if (scenario) {
            runner = std::make_unique<ScenarioRunner>(&enchainement, &scenarioView);
            runner->setPlace(o.place);
            scenarioReport = std::make_unique<ScenarioReport>(runner.get(), &enchainement, &scenarioView, &log, false);
            scenarioReport->wire();
            runner->setBetweenExposures(&gate);
            QObject::connect(runner.get(), &ScenarioRunner::runEnded, &session, [&](bool, const QString &error) {
                if (!interrupted)
                    end(error.isEmpty() ? 0 : 1);
            });
        } else {
            job = std::make_unique<SequenceJob>(&enchainement, &jobView);
            jobReport = std::make_unique<JobReport>(job.get(), &log);
            job->setBetweenExposures(&gate);
            QObject::connect(&enchainement, &WindowTimer::Timer, job.get(), &SequenceJob::tick);
            QObject::connect(job.get(), &SequenceJob::jobEnded, &session, [&](bool) {
                if (!interrupted)
                    end(0);
            });
        }

        // SIGUSR1 and the page's "Finir après la pose": the exposure under
        // way runs its length, then the night ends.
        const auto finishAfterShot = [&](const QString &who) {
            if (ending)
                return;
            // Asked first: what the line will do is known once a press the
            // timing thread may have made meanwhile is accounted for.
            if (job)
                job->finish();
            else
                runner->requestStop();
            const bool underWay = job ? job->shotUnderWay() : runner->shotUnderWay();
            const QString notice = underWay ? QStringLiteral("fin après la pose en cours")
                                            : QStringLiteral("arrêt avant la prochaine pose");
            log.line(QStringLiteral("%1 : %2.").arg(who, notice));
            if (page.state)
                page.state->setStopAsked(notice);
        };
        // SIGTERM and the others, and the page's "Arrêter maintenant": the
        // release let go at once.
        const auto stopNow = [&](const QString &who, int number) {
            if (ending)
                return;
            log.line(QStringLiteral("%1 : arrêt immédiat.").arg(who));
            interrupted = true;
            ExposureJournal::instance().setProgramEnding(true);
            if (job)
                job->stopShot();
            else
                runner->abandon();
            end(128 + number);
        };
        if (page.server) {
            if (job)
                page.state->watch(job.get());
            else
                page.state->watch(runner.get(), [report = scenarioReport.get()] { return report->stepTotal(); });
            QObject::connect(page.server.get(), &web::NightServer::finishAsked, &session,
                             [&] { finishAfterShot(QStringLiteral("Page de la nuit")); });
            QObject::connect(page.server.get(), &web::NightServer::stopAsked, &session,
                             [&] { stopNow(QStringLiteral("Page de la nuit"), SIGTERM); });
            // The guider's state as the windows show it; none when no guider is used.
            QObject::connect(&gate, &DitherGate::stateChanged, page.state.get(),
                             [&] { page.state->setGuiderState(gate.stateText()); });
        }

        QObject::connect(watcher.get(), &SignalWatcher::received, &session, [&](int number) {
            if (ending)
                return;
            if (number == SIGUSR1) {
                finishAfterShot(QStringLiteral("SIGUSR1 reçu"));
                return;
            }
            if (number == SIGUSR2) {
                if (SimulatedAdapter *sim = session.simulated()) {
                    sim->setAttached(!sim->isAttached());
                    log.line(sim->isAttached() ? QStringLiteral("SIGUSR2 reçu : adaptateur simulé rebranché.")
                                               : QStringLiteral("SIGUSR2 reçu : adaptateur simulé débranché."));
                }
                return;
            }
            if (number == SIGTSTP) {
                const bool cut = letGoBeforeStopping([&] {
                    if (job)
                        job->endExposureNow();
                    else
                        runner->endExposureNow();
                });
                log.line(cut ? QStringLiteral("SIGTSTP reçu : pose en cours coupée, déclencheur relâché ; "
                                              "programme suspendu jusqu'à sa reprise (fg).")
                             : QStringLiteral("SIGTSTP reçu : déclencheur relâché ; programme suspendu jusqu'à "
                                              "sa reprise (fg)."));
                stopUntilContinued();
                log.line(QStringLiteral("Programme repris : la suite continue à son heure."));
                return;
            }
            stopNow(QStringLiteral("%1 reçu").arg(signalName(number)), number);
        });

        session.startWatch();
        // Connected before the first press, so that its frame is watched too.
        gate.begin(guiderSettingsFor(o));
        const bool started = scenario ? runner->start(o.scenario) : job->start();
        if (!started) {
            gate.end();
            session.close();
            setTimeBase(nullptr);
            return 1;
        }
        if (scenarioReport)
            scenarioReport->begin(o.scenario);
        else
            jobReport->begin();
        guiderReport.begin();

        QCoreApplication::exec();
        // Whatever ended the loop, nothing is left pressed.
        session.close();
        enchainement.setEnabled(false);
        // Then the page's watchers get the end, as far as they take it
        // within a second.
        if (page.server)
            page.server->shutDown(1000);
    }
    setTimeBase(nullptr);
    return status;
}

} // namespace tavrel::run
