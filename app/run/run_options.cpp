#include "app/run/run_options.h"

#include "modes/numbers.h"
#include "app/web/web_address.h"
#include "modes/scenario_time.h"

#include <QCommandLineParser>

namespace tavrel::run {

namespace {

QString refusal(const QString &why) { return tavrel::refusal(QStringLiteral("tavrel-run"), why); }

} // namespace

ParseOutcome parseArguments(const QStringList &arguments, RunOptions *options, QString *text)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Joue une nuit de poses longues sans écran : un fichier de scénario, comme la fenêtre\n"
        "Scénario, ou une série de poses (--count, --exposure), comme la fenêtre Séquence.\n"
        "Une ligne par événement sur la sortie standard, les erreurs sur la sortie d'erreur.\n"
        "--check joue le scénario à blanc, en temps virtuel, et affiche son déroulement prévu."));
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QStringLiteral("Utilise un adaptateur simulé (répétition sans appareil) ; SIGUSR2 le débranche "
                       "puis le rebranche."));
    const QCommandLineOption log(QStringLiteral("adapter-log"),
                                 QStringLiteral("Ajoute chaque appel à l'adaptateur au FICHIER (- : sortie "
                                                "d'erreur)."),
                                 QStringLiteral("FICHIER"));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("Série : nombre de poses."), QStringLiteral("N"));
    const QCommandLineOption exposure(QStringLiteral("exposure"),
                                      QStringLiteral("Série : temps de pose, en secondes."),
                                      QStringLiteral("S"));
    const QCommandLineOption mirror(QStringLiteral("mirror"),
                                    QStringLiteral("Série : délai de relevage du miroir avant chaque pose, "
                                                   "en secondes (0 : sans relevage ; 0 par défaut)."),
                                    QStringLiteral("S"));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("Série : délai entre deux poses, en secondes (1 par "
                                                  "défaut)."),
                                   QStringLiteral("S"));
    const QCommandLineOption check(QStringLiteral("check"),
                                   QStringLiteral("Vérifie le scénario à blanc (temps virtuel, adaptateur "
                                                  "simulé) et affiche le plan de la nuit."));
    const QCommandLineOption at(QStringLiteral("at"),
                                QStringLiteral("Avec --check : heure de départ simulée, HH:MM:SS (maintenant "
                                               "par défaut)."),
                                QStringLiteral("HH:MM:SS"));
    const QCommandLineOption date(QStringLiteral("date"),
                                  QStringLiteral("Avec --check : jour du départ simulé, AAAA-MM-JJ (aujourd'hui "
                                                 "par défaut), pour répéter une nuit à venir."),
                                  QStringLiteral("AAAA-MM-JJ"));
    const QCommandLineOption lieu(QStringLiteral("lieu"),
                                  QStringLiteral("Lieu d'observation pour les étapes liées au ciel (@crepuscule, "
                                                 "@aube…), en degrés décimaux, nord et est positifs : 48.85,2.35 ; "
                                                 "remplace la section [Lieu] de Tavrel.ini pour cette fois."),
                                  QStringLiteral("LAT,LON"));
    const QCommandLineOption guider(QStringLiteral("guider"),
                                    QStringLiteral("Guideur à suivre (son serveur doit être activé), au lieu de Hote et "
                                                   "Port de la section [Guidage] : localhost:4400 pour la première "
                                                   "instance, 4401 pour la deuxième…"),
                                    QStringLiteral("HOTE:PORT"));
    const QCommandLineOption ditherEvery(QStringLiteral("dither-every"),
                                         QStringLiteral("Demande un décalage au guideur toutes les N poses et attend "
                                                        "sa stabilisation avant la pose suivante (0 : jamais) ; "
                                                        "remplace Decalage de la section [Guidage]."),
                                         QStringLiteral("N"));
    const QCommandLineOption web(QStringLiteral("web"),
                                 QStringLiteral("Sert une page pour suivre et arrêter la nuit depuis un téléphone, sur "
                                                "PORT (toutes les adresses de la machine) ou ADRESSE:PORT "
                                                "(127.0.0.1:8080) ; l'adresse de la page, avec sa clé d'accès, est "
                                                "affichée au départ, avec son code QR."),
                                 QStringLiteral("[ADRESSE:]PORT"));
    const QCommandLineOption chips = simulatedChipsOption();
    const QCommandLineOption list(QStringLiteral("list-adapters"),
                                  QStringLiteral("Liste les puces FTDI branchées (rang, numéro de série, "
                                                 "description, USB, emplacement, pilote du noyau) et celle que "
                                                 "les réglages choisissent."));
    parser.addPositionalArgument(QStringLiteral("SCENARIO"),
                                 QStringLiteral("Fichier de scénario à jouer ou à vérifier."),
                                 QStringLiteral("[SCENARIO]"));
    const ParseOutcome outcome =
        parseCommandLine(parser, {simulate, chips, log, count, exposure, mirror, delay, check, at, date, lieu, guider,
                                  ditherEvery, list, web},
                         arguments, QStringLiteral("tavrel-run"), text);
    if (outcome != ParseOutcome::Run)
        return outcome;

    RunOptions o;
    o.simulate = parser.isSet(simulate);
    o.adapterLog = parser.value(log);
    if (parser.isSet(log) && o.adapterLog.isEmpty()) {
        *text = refusal(QStringLiteral("--adapter-log attend un nom de fichier."));
        return ParseOutcome::Error;
    }
    if (!readSimulatedChips(parser, chips, o.simulate, QStringLiteral("tavrel-run"), &o.simulatedChips, text))
        return ParseOutcome::Error;
    if (parser.isSet(guider)) {
        const QString value = parser.value(guider).trimmed();
        const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const int port = colon > 0 ? value.mid(colon + 1).toInt(&ok) : 0;
        if (!ok || port < 1 || port > 65535) {
            *text = refusal(QStringLiteral("--guider « %1 » ne convient pas : il faut le nom ou l'adresse de la "
                                           "machine du guideur et son port, comme localhost:4400.")
                                .arg(parser.value(guider)));
            return ParseOutcome::Error;
        }
        o.guiderHost = value.left(colon);
        o.guiderPort = port;
    }
    if (parser.isSet(ditherEvery)) {
        const auto n = parseWholeNumber(parser.value(ditherEvery));
        if (!n || *n < 0 || *n > 1000000) {
            *text = refusal(QStringLiteral("--dither-every « %1 » ne convient pas : il faut un nombre entier de poses "
                                           "(0 : aucun décalage).")
                                .arg(parser.value(ditherEvery)));
            return ParseOutcome::Error;
        }
        o.ditherEvery = int(*n);
    }
    const QStringList files = parser.positionalArguments();
    if (parser.isSet(web)) {
        if (parser.isSet(list) || parser.isSet(check)) {
            *text = refusal(QStringLiteral("--web suit une nuit qui se joue : ni --check, ni --list-adapters avec lui."));
            return ParseOutcome::Error;
        }
        if (!web::parseWebAddress(parser.value(web))) {
            *text = refusal(QStringLiteral("--web « %1 » ne convient pas : il faut un port (8080) ou une adresse et "
                                           "un port (127.0.0.1:8080).")
                                .arg(parser.value(web)));
            return ParseOutcome::Error;
        }
        o.web = parser.value(web);
    }
    if (parser.isSet(list)) {
        if (!files.isEmpty() || parser.isSet(check) || parser.isSet(count) || parser.isSet(exposure)
            || parser.isSet(mirror) || parser.isSet(delay) || parser.isSet(at) || parser.isSet(date)) {
            *text = refusal(QStringLiteral("--list-adapters ne fait que lister les puces : ni scénario, ni "
                                           "série, ni --check avec lui."));
            return ParseOutcome::Error;
        }
        o.mode = RunMode::ListAdapters;
        *options = o;
        return ParseOutcome::Run;
    }
    if (files.size() > 1) {
        *text = refusal(QStringLiteral("un seul fichier de scénario à la fois (reçu : %1).")
                            .arg(files.join(QStringLiteral(", "))));
        return ParseOutcome::Error;
    }
    const bool sequence = parser.isSet(count) || parser.isSet(exposure);
    const bool sequenceOnly = parser.isSet(mirror) || parser.isSet(delay);
    if (!files.isEmpty())
        o.scenario = files.first();
    if (parser.isSet(lieu)) {
        if (files.isEmpty()) {
            *text = refusal(QStringLiteral("--lieu ne sert qu'avec un fichier de scénario."));
            return ParseOutcome::Error;
        }
        o.place = parsePlace(parser.value(lieu));
        if (!o.place) {
            *text = refusal(QStringLiteral("--lieu « %1 » ne convient pas : il faut la latitude et la longitude en "
                                           "degrés décimaux séparées par une virgule, comme 48.85,2.35 (sud et "
                                           "ouest négatifs).")
                                .arg(parser.value(lieu)));
            return ParseOutcome::Error;
        }
    }

    if (parser.isSet(check)) {
        if (files.isEmpty()) {
            *text = refusal(QStringLiteral("--check attend un fichier de scénario."));
            return ParseOutcome::Error;
        }
        if (sequence || sequenceOnly) {
            *text = refusal(QStringLiteral("--check vérifie un fichier de scénario ; --count, --exposure, "
                                           "--mirror et --delay ne s'y appliquent pas."));
            return ParseOutcome::Error;
        }
        o.mode = RunMode::Check;
        if (parser.isSet(at)) {
            // Written as in a scenario file: 21:40:00 or 21:40.
            const auto time = parseTimeOfDay(parser.value(at));
            if (!time) {
                *text = refusal(QStringLiteral("--at « %1 » ne convient pas : il faut une heure comme 21:40:00.")
                                    .arg(parser.value(at)));
                return ParseOutcome::Error;
            }
            o.at = *time;
        }
        if (parser.isSet(date)) {
            o.date = QDate::fromString(parser.value(date).trimmed(), Qt::ISODate);
            if (!o.date.isValid()) {
                *text = refusal(QStringLiteral("--date « %1 » ne convient pas : il faut un jour comme 2026-12-24.")
                                    .arg(parser.value(date)));
                return ParseOutcome::Error;
            }
        }
        *options = o;
        return ParseOutcome::Run;
    }
    if (parser.isSet(at) || parser.isSet(date)) {
        *text = refusal(QStringLiteral("%1 ne sert qu'avec --check.")
                            .arg(parser.isSet(at) ? QStringLiteral("--at") : QStringLiteral("--date")));
        return ParseOutcome::Error;
    }
    if (!files.isEmpty()) {
        if (sequence || sequenceOnly) {
            *text = refusal(QStringLiteral("donnez soit un fichier de scénario, soit une série (--count, "
                                           "--exposure), pas les deux."));
            return ParseOutcome::Error;
        }
        o.mode = RunMode::Scenario;
        *options = o;
        return ParseOutcome::Run;
    }
    if (!sequence) {
        *text = refusal(sequenceOnly
                            ? QStringLiteral("--mirror et --delay complètent une série : donnez aussi "
                                             "--count et --exposure.")
                            : QStringLiteral("rien à faire : donnez un fichier de scénario, ou une série "
                                             "avec --count et --exposure."));
        return ParseOutcome::Error;
    }
    if (!parser.isSet(count) || !parser.isSet(exposure)) {
        *text = refusal(QStringLiteral("une série demande à la fois --count (nombre de poses) et --exposure "
                                       "(temps de pose)."));
        return ParseOutcome::Error;
    }
    o.mode = RunMode::Sequence;
    o.count = parser.value(count);
    o.exposure = parser.value(exposure);
    if (parser.isSet(mirror))
        o.mirror = parser.value(mirror);
    if (parser.isSet(delay))
        o.delay = parser.value(delay);
    *options = o;
    return ParseOutcome::Run;
}

GuiderSettings guiderSettingsFor(const RunOptions &o)
{
    GuiderSettings s = readGuiderSettings();
    if (o.guiderPort != 0) {
        s.host = o.guiderHost;
        s.port = o.guiderPort;
        s.watch = true;
    }
    if (o.ditherEvery)
        s.every = *o.ditherEvery;
    return s;
}

} // namespace tavrel::run
