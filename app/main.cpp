// Tavrel: remote release for a camera set to bulb. Opens the sequence window.

#include "app/command_line.h"
#include "link/adapter_backend.h"
#include "link/messages.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/signal_watcher.h"
#include "link/simulated_adapter.h"
#include "link/timebase.h"
#include "link/guardian.h"
#include "link/journal.h"
#include "modes/suspension.h"
#include "windows/director.h"
#include "windows/night.h"
#include "windows/simulated_panel.h"
#include "windows/toolkit.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QPointer>
#include <csignal>
#include <cstring>
#include <memory>

using namespace tavrel;

namespace {

struct Options {
    bool simulate = false;
    int chips = 1;      // simulated FTDI chips; the first carries the release
    QString adapterLog; // empty: no adapter log
};

ParseOutcome parseOptions(const QStringList &arguments, Options *options, QString *text)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Télécommande de pose longue pour appareil photo en pose B, par adaptateur USB."));
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Utilise un adaptateur simulé (répétition sans appareil)."));
    const QCommandLineOption log(QStringLiteral("adapter-log"),
                                 QStringLiteral("Écrit chaque appel à l'adaptateur dans FICHIER (- : sortie d'erreur)."),
                                 QStringLiteral("FICHIER"));
    const QCommandLineOption chips = simulatedChipsOption();
    const ParseOutcome outcome =
        parseCommandLine(parser, {simulate, chips, log}, arguments, QStringLiteral("tavrel"), text);
    if (outcome != ParseOutcome::Run)
        return outcome;
    options->simulate = parser.isSet(simulate);
    if (!readSimulatedChips(parser, chips, options->simulate, QStringLiteral("tavrel"), &options->chips, text))
        return ParseOutcome::Error;
    options->adapterLog = parser.value(log);
    if (parser.isSet(log) && options->adapterLog.isEmpty()) {
        *text = refusal(QStringLiteral("tavrel"), QStringLiteral("--adapter-log attend un nom de fichier."));
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

// The command line less the options QGuiApplication takes for itself
// (-platform, -display, -style...), so that the program's own refusals can be
// given before a display is looked for. Both "-name value" and "-name=value"
// forms, with one dash or two, as Qt reads them.
QStringList withoutQtOptions(const QStringList &arguments)
{
    static const QStringList withValue{"platform", "platformpluginpath", "platformtheme", "plugin",
                                       "qwindowgeometry", "geometry", "qwindowtitle", "title", "qwindowicon",
                                       "icon", "session", "display", "name", "style", "stylesheet"};
    static const QStringList alone{"reverse", "widgetcount", "nograb", "dograb", "sync", "testability",
                                   "qmljsdebugger"};
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (i == 0 || !a.startsWith(QLatin1Char('-'))) {
            kept << a;
            continue;
        }
        if (a == QLatin1String("--")) {
            kept << arguments.mid(i);
            break;
        }
        const QString word = a.mid(a.startsWith(QLatin1String("--")) ? 2 : 1);
        const QString name = word.section(QLatin1Char('='), 0, 0);
        if (alone.contains(name) || (withValue.contains(name) && word.contains(QLatin1Char('='))))
            continue;
        if (withValue.contains(name)) {
            ++i; // its value goes with it
            continue;
        }
        kept << a;
    }
    return kept;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], kGuardianArgument) == 0)
        return runGuardian(kGuardianFd);

    // --help, --version and a bad command line are answered before the
    // window system is touched: they need no display, and a mistyped option
    // must not come back as a complaint about the display. Qt's own options
    // (-platform, -display) are set aside for this look.
    {
        QStringList arguments;
        for (int i = 0; i < argc; ++i)
            arguments << QString::fromLocal8Bit(argv[i]);
        Options unused;
        QString text;
        const ParseOutcome early = parseOptions(withoutQtOptions(arguments), &unused, &text);
        if (early != ParseOutcome::Run) {
            QCoreApplication words(argc, argv);
            return answerCommandLine(parseOptions(withoutQtOptions(QCoreApplication::arguments()), &unused, &text),
                                     text);
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tavrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tavrel"));
    QApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
    installQtTranslations();

    Options options;
    QString text;
    const ParseOutcome outcome = parseOptions(QCoreApplication::arguments(), &options, &text);
    if (outcome != ParseOutcome::Run)
        return answerCommandLine(outcome, text);

    QtTimeBase time;
    setTimeBase(&time);
    // Before anything can press: from now on a crash cannot leave the
    // release held.
    const QString logPath = options.adapterLog;
    startGuardian(GuardianSetup{options.simulate, options.chips,
                                logPath.isEmpty() || logPath == QLatin1String("-") ? logPath
                                                                                   : QFileInfo(logPath).absoluteFilePath(),
                                ExposureJournal::instance().path(), time.originNs()});
    // The line writes of a running job are made at their instants by the
    // timing thread, raised ahead of a stacking or plate-solving job on the
    // same machine where the system permits it.
    startTimingThread();

    const AdapterBackend backend(options.simulate, options.chips, options.adapterLog);
    if (!backend.logError().isEmpty()) {
        std::fprintf(stderr, "tavrel : impossible d'ouvrir le journal de l'adaptateur %s : %s\n",
                     qPrintable(options.adapterLog), qPrintable(backend.logError()));
        stopGuardian();
        return 2;
    }
    setAdapter(&backend.adapter());
    SimulatedAdapter *simulated = backend.simulated();
    installExitSafetyNet();

    QtMessageBoxSink boxes;
    setMessageSink(&boxes);

    Director &director = Director::instance();
    QObject::connect(&director, &Director::lastWindowClosed, &app, &QApplication::quit);
    // Signals and the end of the session close the window the ordinary way:
    // release let go, adapter closed. The program then ends as tavrel-run
    // does, with 128 + the signal's number.
    // Started under nohup, a hang-up is meant to leave the night running.
    std::vector<int> endSignals{SIGINT, SIGTERM, SIGQUIT};
    ignoreTerminalStops();
    if (!SignalWatcher::ignoredAtStart(SIGHUP))
        endSignals.push_back(SIGHUP);
    // Ctrl-Z in the terminal it was started from lets go before the program
    // stops (see modes/suspension.h).
    if (!SignalWatcher::ignoredAtStart(SIGTSTP))
        endSignals.push_back(SIGTSTP);
    SignalWatcher signalWatcher(endSignals);
    int endedBy = 0;
    QObject::connect(&signalWatcher, &SignalWatcher::received, &app, [&](int number) {
        if (number == SIGTSTP) {
            letGoBeforeStopping([&director] {
                if (ModeWindow *w = director.current())
                    w->endExposureNow();
            });
            stopUntilContinued();
            return;
        }
        if (endedBy == 0)
            endedBy = number;
        director.shutdown();
        QApplication::quit();
    });
    QObject::connect(&app, &QApplication::aboutToQuit, &director, &Director::shutdown);

    std::unique_ptr<SimulatedPanel> panel;
    if (simulated) {
        panel = std::make_unique<SimulatedPanel>(simulated);
        QObject::connect(&director, &Director::windowOpened, panel.get(),
                         [&panel](ModeWindow *w) { panel->placeBeside(w); });
    }

    // Night vision comes back as it was left, before anything is drawn.
    loadNightVision();
    ModeWindow *first = director.open(Mode::Sequence);
    if (panel) {
        panel->placeBeside(first);
        panel->show();
    }
    const int status = QApplication::exec();
    director.shutdown();
    letGoAndClose();
    setAdapter(nullptr);
    stopGuardian();
    return endedBy != 0 ? 128 + endedBy : status;
}
