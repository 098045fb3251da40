#pragma once
// The command line of tavrel-run: which of the three things to do (play a
// scenario, run a sequence job, check a scenario at no cost), and with what.

#include "app/command_line.h"

#include <QString>
#include <QStringList>
#include <QDate>
#include <QTime>
#include <optional>

#include "link/guider_client.h"
#include "modes/sky_times.h"

namespace tavrel::run {

enum class RunMode { Scenario, Sequence, Check, ListAdapters };

struct RunOptions {
    RunMode mode = RunMode::Scenario;
    bool simulate = false;
    int simulatedChips = 1;
    QString adapterLog; // empty: no adapter log
    QString scenario;
    // A sequence job's figures as typed: the job checks them itself, with the
    // same messages the sequence window gives.
    QString count;
    QString exposure;
    QString mirror = QStringLiteral("0");
    QString delay = QStringLiteral("1");
    QTime at;   // --check only; invalid: the time of day now
    QDate date; // --check only; invalid: today
    // --lieu: the place for steps tied to the sky; unset: the settings' [Lieu].
    std::optional<Place> place;
    // --guider HOST:PORT and --dither-every N, over the settings' [Guidage].
    QString guiderHost;
    int guiderPort = 0; // 0: not given
    std::optional<int> ditherEvery;
    // --web [ADDR:]PORT as typed, checked; empty: no page.
    QString web;
};

// [Guidage] of the settings, with the command line's choices over it.
GuiderSettings guiderSettingsFor(const RunOptions &options);

// Reads the arguments (program name first). `text` receives the help text,
// the version line, or the French reason the command line is refused.
ParseOutcome parseArguments(const QStringList &arguments, RunOptions *options, QString *text);

} // namespace tavrel::run
