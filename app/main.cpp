// Tavrel: remote release for a camera set to bulb. Opens the sequence window.

#include "link/adapter_log.h"
#include "link/libftdi_adapter.h"
#include "link/messages.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/signal_watcher.h"
#include "link/simulated_adapter.h"
#include "link/timebase.h"
#include "modes/guardian.h"
#include "modes/journal.h"
#include "windows/director.h"
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


int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], kGuardianArgument) == 0)
        return runGuardian(kGuardianFd);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tavrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tavrel"));
    QApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Télécommande de pose longue pour appareil photo en pose B, par adaptateur USB."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Utilise un adaptateur simulé (répétition sans appareil)."));
    const QCommandLineOption logOption(QStringLiteral("adapter-log"),
                                       QStringLiteral("Écrit chaque appel à l'adaptateur dans FICHIER (- : sortie d'erreur)."),
                                       QStringLiteral("FICHIER"));
    const QCommandLineOption chipsOption(QStringLiteral("simulated-chips"),
                                         QStringLiteral("Avec --simulate : nombre de puces FTDI simulées (1 par "
                                                        "défaut) ; la première porte le déclencheur."),
                                         QStringLiteral("N"));
    parser.addOption(simulate);
    parser.addOption(chipsOption);
    parser.addOption(logOption);
    parser.process(app);
    int chips = 1;
    if (parser.isSet(chipsOption)) {
        bool ok = false;
        chips = parser.value(chipsOption).toInt(&ok);
        if (!ok || chips < 1 || chips > 16 || !parser.isSet(simulate)) {
            std::fprintf(stderr, "tavrel : --simulated-chips attend un nombre de 1 à 16, avec --simulate.\n");
            return 1;
        }
    }

    QtTimeBase time;
    setTimeBase(&time);
    // Before anything can press: from now on a crash cannot leave the
    // release held.
    const QString logPath = parser.value(logOption);
    startGuardian(GuardianSetup{parser.isSet(simulate), chips,
                                logPath.isEmpty() || logPath == QLatin1String("-") ? logPath
                                                                                   : QFileInfo(logPath).absoluteFilePath(),
                                ExposureJournal::instance().path(), time.originNs()});

    std::unique_ptr<Adapter> backend;
    SimulatedAdapter *simulated = nullptr;
    if (parser.isSet(simulate)) {
        auto sim = std::make_unique<SimulatedAdapter>(chips);
        simulated = sim.get();
        backend = std::move(sim);
    } else {
        backend = std::make_unique<LibFtdiAdapter>();
    }
    std::unique_ptr<LoggingAdapter> logged;
    if (parser.isSet(logOption)) {
        QString error;
        logged = LoggingAdapter::open(*backend, parser.value(logOption), &error);
        if (!logged) {
            std::fprintf(stderr, "tavrel : impossible d'ouvrir le journal de l'adaptateur %s : %s\n",
                         qPrintable(parser.value(logOption)), qPrintable(error));
            stopGuardian();
            return 2;
        }
    }
    setAdapter(logged ? static_cast<Adapter *>(logged.get()) : backend.get());
    installExitSafetyNet();

    QtMessageBoxSink boxes;
    setMessageSink(&boxes);

    Director &director = Director::instance();
    QObject::connect(&director, &Director::lastWindowClosed, &app, &QApplication::quit);
    // Signals and the end of the session close the window the ordinary way:
    // release let go, adapter closed.
    // Started under nohup, a hang-up is meant to leave the night running.
    std::vector<int> endSignals{SIGINT, SIGTERM};
    if (!SignalWatcher::ignoredAtStart(SIGHUP))
        endSignals.push_back(SIGHUP);
    SignalWatcher signalWatcher(endSignals);
    QObject::connect(&signalWatcher, &SignalWatcher::received, &app, [&] {
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
    return status;
}
