// tavrel-run: the night without a screen. Plays a scenario file or a
// sequence job exactly as the windows do, on the same core, printing one line
// per event; or checks a scenario in virtual time and prints its plan.

#include "app/run/adapter_list.h"
#include "app/run/dry_run.h"
#include "app/run/real_run.h"
#include "app/run/run_options.h"
#include "link/messages.h"
#include "link/guardian.h"
#include "link/journal.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>

using namespace tavrel;
using namespace tavrel::run;

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], kGuardianArgument) == 0)
        return runGuardian(kGuardianFd);
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
    switch (options.mode) {
    case RunMode::Check:
        return runDryCheck(options);
    case RunMode::ListAdapters:
        return listAdapters(options);
    case RunMode::Scenario:
    case RunMode::Sequence:
        break;
    }
    return runForReal(options);
}
