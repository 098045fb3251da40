#include "app/command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHash>
#include <QTranslator>
#include <cstdio>

namespace tavrel {

namespace {

// Every word of the programs is French; Qt's own parser words (headings of the
// help, its refusals) would otherwise come out in English, or in French only
// where Qt's translations happen to be installed. A small computer at the
// telescope rarely has them, so they are carried here.
class ParserWords final : public QTranslator {
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        if (qstrcmp(context, "QCommandLineParser") != 0)
            return QString();
        static const QHash<QByteArray, QString> words{
            {"Usage: %1", QStringLiteral("Utilisation : %1")},
            {"Options:", QStringLiteral("Options :")},
            {"Arguments:", QStringLiteral("Arguments :")},
            {"[options]", QStringLiteral("[options]")},
            {"Unknown option '%1'.", QStringLiteral("option inconnue « %1 ».")},
            {"Unknown options: %1.", QStringLiteral("options inconnues : %1.")},
            {"Missing value after '%1'.", QStringLiteral("valeur manquante après « %1 ».")},
            {"Unexpected value after '%1'.", QStringLiteral("valeur inattendue après « %1 ».")},
        };
        return words.value(QByteArray(sourceText));
    }
};

void installParserWords()
{
    static ParserWords words;
    static QCoreApplication *installedOn = nullptr;
    if (QCoreApplication::instance() && installedOn != QCoreApplication::instance()) {
        QCoreApplication::installTranslator(&words);
        installedOn = QCoreApplication::instance();
    }
}

} // namespace

QString refusal(const QString &program, const QString &why)
{
    return QStringLiteral("%1 : %2\nEssayez « %1 --help ».").arg(program, why);
}

ParseOutcome parseCommandLine(QCommandLineParser &parser, const QList<QCommandLineOption> &options,
                              const QStringList &arguments, const QString &program, QString *text)
{
    installParserWords();
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Affiche cette aide."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Affiche la version."));
    parser.addOptions({help, version});
    parser.addOptions(options);
    if (!parser.parse(arguments)) {
        *text = refusal(program, parser.errorText());
        return ParseOutcome::Error;
    }
    if (parser.isSet(help)) {
        // The program's own name, not the path it was started by.
        QString helpText = parser.helpText();
        const qsizetype firstLineEnd = helpText.indexOf(QLatin1Char('\n'));
        helpText.replace(0, firstLineEnd, helpText.left(firstLineEnd).replace(arguments.value(0), program));
        *text = helpText;
        return ParseOutcome::Help;
    }
    if (parser.isSet(version)) {
        *text = QStringLiteral("%1 %2").arg(program, QStringLiteral(TAVREL_VERSION));
        return ParseOutcome::Version;
    }
    return ParseOutcome::Run;
}

int answerCommandLine(ParseOutcome outcome, const QString &text)
{
    if (outcome == ParseOutcome::Error) {
        std::fprintf(stderr, "%s\n", text.toUtf8().constData());
        return 1;
    }
    std::fputs(text.toUtf8().constData(), stdout);
    if (!text.endsWith(QLatin1Char('\n')))
        std::fputc('\n', stdout);
    return 0;
}

QCommandLineOption simulatedChipsOption()
{
    return QCommandLineOption(QStringLiteral("simulated-chips"),
                              QStringLiteral("Avec --simulate : nombre de puces FTDI simulées (1 par défaut) ; "
                                             "la première porte le déclencheur."),
                              QStringLiteral("N"));
}

bool readSimulatedChips(const QCommandLineParser &parser, const QCommandLineOption &option, bool simulate,
                        const QString &program, int *chips, QString *text)
{
    *chips = 1;
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    *chips = parser.value(option).toInt(&ok);
    if (ok && *chips >= 1 && *chips <= 16 && simulate)
        return true;
    *text = refusal(program, QStringLiteral("--simulated-chips attend un nombre de 1 à 16, avec --simulate."));
    return false;
}

} // namespace tavrel
