// tavrel-run: the night without a screen. Plays a scenario file or a
// sequence job exactly as the windows do, on the same core, printing one line
// per event; or checks a scenario in virtual time and prints its plan.

#include "app/run/dry_run.h"
#include "app/run/real_run.h"
#include "app/run/run_options.h"
#include "link/messages.h"
#include "modes/journal.h"

#include <QCoreApplication>

using namespace tavrel;
using namespace tavrel::run;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-run"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));

    RunOptions options;
    QString text;
    const ParseOutcome outcome = parseArguments(QCoreApplication::arguments(), &options, &text);
    if (outcome != ParseOutcome::Run)
        return answerCommandLine(outcome, text);

    // Errors and warnings go to standard error, whoever raises them.
    setMessageSink(nullptr);
    // Real runs go to the exposure journal like the windows' exposures, marked
    // as the headless runner's; a dry run's virtual exposures never do.
    ExposureJournal::instance().setOrigin(QStringLiteral("tavrel-run"));
    ExposureJournal::instance().setEnabled(options.mode != RunMode::Check);
    return options.mode == RunMode::Check ? runDryCheck(options) : runForReal(options);
}
