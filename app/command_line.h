#pragma once
// What the two programs' command lines share: the help and version options,
// Qt's own parser words in French, the help's usage line with the program's
// name, and the form of a refusal. Neither needs a display.

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineParser;

namespace tavrel {

enum class ParseOutcome { Run, Help, Version, Error };

// Gives `parser` -h/--help and --version, then the program's own `options`,
// and parses `arguments` (the program's path first). Help, Version and Error
// come back with `text` set; Run means the caller reads its options from
// `parser`.
ParseOutcome parseCommandLine(QCommandLineParser &parser, const QList<QCommandLineOption> &options,
                              const QStringList &arguments, const QString &program, QString *text);

// --simulated-chips N, which both programs take with --simulate.
QCommandLineOption simulatedChipsOption();
// Its value into `chips` (1 when absent); false, with `text` set to the
// refusal, for a value out of 1..16 or without --simulate.
bool readSimulatedChips(const QCommandLineParser &parser, const QCommandLineOption &option, bool simulate,
                        const QString &program, int *chips, QString *text);

// "tavrel-run : why" and the hint to ask for help.
QString refusal(const QString &program, const QString &why);

// Prints `text` where its outcome goes (help and version on standard output,
// a refusal on standard error) and returns the program's exit status.
int answerCommandLine(ParseOutcome outcome, const QString &text);

} // namespace tavrel
