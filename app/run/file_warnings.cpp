#include "app/run/file_warnings.h"

#include "modes/scenario_reader.h"
#include "modes/scenario_time.h"
#include "modes/sky_times.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <algorithm>

namespace tavrel::run {

namespace {

QString canonical(const QString &path)
{
    const QFileInfo info(path);
    const QString c = info.canonicalFilePath();
    return c.isEmpty() ? info.absoluteFilePath() : c;
}

// A first field meant as a file name: not "*", not a time of day nor an
// attempt at one, with a letter and a dot or a slash ("suite.txt",
// "nuits/m42").
bool looksLikeFileName(const QString &field)
{
    const QString t = field.trimmed();
    if (t.isEmpty() || t == QLatin1String("*") || t.contains(QLatin1Char(':')))
        return false;
    if (!t.contains(QLatin1Char('.')) && !t.contains(QLatin1Char('/')))
        return false;
    return std::any_of(t.begin(), t.end(), [](QChar c) { return c.isLetter(); });
}

bool usableFirstField(const ScenarioStep &s)
{
    return isAtOnceStep(s) || parseTimeOfDay(s.time) || parseSkyTime(s.time) || isChainStep(s);
}

} // namespace

QStringList fileWarnings(const QString &path)
{
    QStringList out;
    QSet<QString> seen;
    QStringList pending{path};
    while (!pending.isEmpty()) {
        const QString file = pending.takeFirst();
        if (seen.contains(canonical(file)))
            continue;
        seen.insert(canonical(file));
        ScenarioReader reader;
        if (!reader.open(file))
            continue; // the runner says why
        QList<ScenarioStep> steps;
        while (!reader.atEnd()) {
            const ScenarioStep s = reader.readStep();
            if (s.fields == 0)
                break;
            steps.append(s);
            if (s.fields < 5)
                break;
        }
        const bool complete = !steps.isEmpty() && steps.last().fields == 5 && reader.atEnd();
        const QString name = QFileInfo(file).fileName();
        const auto at = [&name](int line) { return QStringLiteral("%1, ligne %2 : ").arg(name).arg(line); };

        for (int i = 0; i < steps.size(); ++i) {
            const ScenarioStep &s = steps.at(i);
            const bool last = i + 1 == steps.size();
            const bool fitsItsLine = s.startsLine && s.lastLine == s.line;
            if (s.startsLine && s.lastLine > s.line)
                out << at(s.line)
                           + QStringLiteral("moins de cinq champs : l'étape prend ses derniers champs sur la "
                                            "ligne %1, et toutes les étapes qui suivent sont décalées.")
                                 .arg(s.lastLine);
            if (!last && fitsItsLine && !steps.at(i + 1).startsLine && steps.at(i + 1).line == s.line) {
                const ScenarioStep &next = steps.at(i + 1);
                if (!usableFirstField(next))
                    out << at(s.line)
                               + QStringLiteral("le commentaire semble coupé par une virgule : « %1 » reste le "
                                                "commentaire et « %2 » est lu comme l'horaire d'une nouvelle "
                                                "étape, ce qui décale toutes les étapes qui suivent. Mettez le "
                                                "commentaire entre guillemets, par exemple \"%1, %2\".")
                                     .arg(s.comment, next.time);
                else
                    out << at(s.line)
                               + QStringLiteral("plus de cinq champs : le surplus commence une nouvelle étape, "
                                                "et toutes les étapes qui suivent sont décalées.");
            }
            // A step that does not start its line holds fields its author
            // wrote for another purpose: no guess about chains from those.
            if (!s.startsLine || (!isChainStep(s) && !looksLikeFileName(s.time)))
                continue;
            const QString target = s.time.trimmed();
            if (last && complete) {
                out << at(s.line)
                           + QStringLiteral("la dernière étape nomme le fichier %1, mais c'est l'étape de fin, "
                                            "jamais exécutée : l'enchaînement n'aura pas lieu. Ajoutez après "
                                            "elle une étape de fin, par exemple *,0,0,0,fin.")
                                 .arg(target);
            } else if (isChainStep(s)) {
                pending << target;
            } else {
                QString text = at(s.line)
                               + QStringLiteral("le fichier enchaîné %1 n'existe pas pour l'instant (les noms "
                                                "relatifs partent du dossier de travail %2).")
                                     .arg(target, QDir::currentPath());
                const QFileInfo beside(QFileInfo(file).absoluteDir(), target);
                if (QFileInfo(target).isRelative() && beside.isFile())
                    text += QStringLiteral(" Un fichier de ce nom existe à côté du scénario, %1 : lancez "
                                           "tavrel-run depuis le dossier %2, ou écrivez le chemin complet.")
                                .arg(beside.absoluteFilePath(), beside.absolutePath());
                out << text;
            }
        }
    }
    return out;
}

} // namespace tavrel::run
