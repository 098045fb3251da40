#include "modes/scenario_reader.h"

#include "link/regular_file.h"
#include "modes/numbers.h"
#include "modes/scenario_time.h"
#include "modes/sky_times.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>

namespace tavrel {

namespace {

// DOS editors closed files with Ctrl-Z; it is no content.
constexpr char16_t kDosEndOfFile = 0x1A;

bool isLineEnd(QChar c) { return c == QLatin1Char('\r') || c == QLatin1Char('\n'); }
bool isBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }
bool isSeparator(QChar c) { return c == QLatin1Char(',') || isLineEnd(c); }

QString chopBlanks(QString s)
{
    int n = s.size();
    while (n > 0 && isBlank(s[n - 1]))
        --n;
    s.truncate(n);
    return s;
}

QString fullPathOf(const QString &path) { return QFileInfo(path).absoluteFilePath(); }

// Two names of one file (relative, through a link) are one file.
QString canonicalPathOf(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

const QString kShiftHint = QStringLiteral(
    " Cette étape ne tient pas exactement sur une ligne : une virgule en trop ou un champ "
    "manquant décale toutes les étapes qui suivent.");

std::optional<QString> secondsProblem(const QString &label, const QString &text, std::int32_t min,
                                      const QString &atLeast)
{
    const auto v = parseWholeNumber(text);
    if (v && *v >= min && *v <= kMaxSeconds)
        return std::nullopt;
    if (v && *v > kMaxSeconds)
        return QStringLiteral("%1 « %2 » ne convient pas ; il faut un nombre entier de secondes, "
                              "au plus %3.")
            .arg(label, text.trimmed())
            .arg(kMaxSeconds);
    return QStringLiteral("%1 « %2 » ne convient pas ; il faut un nombre entier de secondes, %3.")
        .arg(label, text.trimmed(), atLeast);
}

bool fitsOneLine(const ScenarioStep &step) { return step.startsLine && step.lastLine == step.line; }

bool allFieldsEmpty(const ScenarioStep &step)
{
    const QString fields[] = {step.time, step.mirror, step.exposure, step.pause, step.comment};
    return std::all_of(fields, fields + step.fields, [](const QString &f) { return f.isEmpty(); });
}

const QString kBlankTail = QStringLiteral(
    "le fichier se termine par des lignes blanches (espaces ou tabulations) après sa dernière "
    "étape ; retirez-les.");

// The problem of a step the file ran out in the middle of.
QString incompleteProblem(const ScenarioStep &step)
{
    if (allFieldsEmpty(step))
        return kBlankTail;
    return QStringLiteral("la dernière étape n'a que %1 champ%2 sur 5. Chaque étape a cinq champs "
                          "(horaire, délai miroir, temps de pose, délai entre poses, commentaire), "
                          "et le fichier se termine par une étape de fin de cinq champs, jamais "
                          "exécutée.")
               .arg(step.fields)
               .arg(step.fields > 1 ? QStringLiteral("s") : QString())
           + (fitsOneLine(step) ? QString() : kShiftHint);
}

ScenarioCheck failure(const QString &file, int line, const QString &problem)
{
    ScenarioCheck c;
    c.errorFile = file;
    c.errorLine = line;
    c.error = scenarioMessage(file, line, problem);
    return c;
}

// A file a scenario chains to, and where it is named.
struct ChainStep {
    QString name;
    QString from;
    int line;
};

// The counting pass over what is left in `reader`; the chain steps found are
// added to `chains`.
ScenarioCheck countAndCheck(ScenarioReader reader, QList<ChainStep> *chains, const SkyContext *sky)
{
    const QString file = reader.fullPath();
    if (reader.atEnd())
        return failure(file, 0,
                       QStringLiteral("le fichier ne contient aucune étape ; il faut au moins une "
                                      "étape, suivie de l'étape de fin qui n'est jamais exécutée."));
    ScenarioCheck c;
    while (true) {
        const ScenarioStep step = reader.readStep();
        if (step.fields < 5)
            return failure(file, step.line, incompleteProblem(step));
        ++c.stepCount;
        if (reader.atEnd())
            return c; // the end step: its content does not matter
        if (const int blank = reader.trailingBlankLine())
            return failure(file, blank, kBlankTail);
        if (const auto problem = stepProblem(step, sky))
            return failure(file, step.line, *problem);
        if (chains && isChainStep(step))
            chains->append({step.time, file, step.line});
    }
}

} // namespace

// ---------------------------------------------------------------------------

QString ScenarioReader::decode(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    // Qt decodes Windows-1252 through ICU, which gives the five codes the
    // encoding leaves unassigned their Latin-1 meaning; a Qt built without
    // ICU falls back to Latin-1, which differs only in 0x80-0x9F.
    QStringDecoder cp1252("windows-1252", QStringConverter::Flag::Stateless);
    return cp1252.isValid() ? cp1252.decode(bytes) : QString::fromLatin1(bytes);
}

bool ScenarioReader::open(const QString &path)
{
    close();
    m_path = path;
    m_error.clear();
    m_fullPath = fullPathOf(path);
    const FileRead file = readRegularFile(path, kMaxScenarioFileBytes);
    if (file.status != FileRead::Read) {
        m_error = file.status == FileRead::Missing ? QStringLiteral("le fichier est introuvable") : file.problem;
        return false;
    }
    m_text = decode(file.bytes);
    m_open = true;
    return true;
}

void ScenarioReader::close()
{
    m_open = false;
    m_text.clear();
    m_pos = 0;
    m_line = 1;
    m_afterComma = false;
}

bool ScenarioReader::atEnd() const
{
    for (int i = m_pos; i < m_text.size(); ++i)
        if (!isLineEnd(m_text[i]) && m_text[i] != QChar(kDosEndOfFile))
            return false;
    return true;
}

int ScenarioReader::trailingBlankLine() const
{
    int line = m_line;
    int blankLine = 0;
    for (int i = m_pos; i < m_text.size(); ++i) {
        const QChar c = m_text[i];
        if (isBlank(c)) {
            if (blankLine == 0)
                blankLine = line;
        } else if (c == QLatin1Char('\n')
                   || (c == QLatin1Char('\r') && (i + 1 == m_text.size() || m_text[i + 1] != QLatin1Char('\n')))) {
            ++line;
        } else if (c != QLatin1Char('\r') && c != QChar(kDosEndOfFile)) {
            return 0;
        }
    }
    return blankLine;
}

void ScenarioReader::skipLineEnd()
{
    // CR LF, LF alone and CR alone each end one line.
    if (m_text[m_pos] == QLatin1Char('\r') && m_pos + 1 < m_text.size()
        && m_text[m_pos + 1] == QLatin1Char('\n'))
        ++m_pos;
    ++m_pos;
    ++m_line;
}

QString ScenarioReader::readField(End *end)
{
    const int size = m_text.size();
    while (m_pos < size && isBlank(m_text[m_pos]))
        ++m_pos;
    QString value;
    if (m_pos < size && m_text[m_pos] == QLatin1Char('"')) {
        // Quoted text may hold commas. A line end closes it even without the
        // closing quote, so one forgotten quote cannot swallow the file.
        const int start = ++m_pos;
        while (m_pos < size && m_text[m_pos] != QLatin1Char('"') && !isLineEnd(m_text[m_pos]))
            ++m_pos;
        value = m_text.mid(start, m_pos - start);
        if (m_pos < size && m_text[m_pos] == QLatin1Char('"'))
            ++m_pos;
        // Text after the closing quote stays in the value: a number written
        // "30"x must be refused, not read as 30.
        const int rest = m_pos;
        while (m_pos < size && !isSeparator(m_text[m_pos]))
            ++m_pos;
        value += m_text.mid(rest, m_pos - rest).trimmed();
    } else {
        const int start = m_pos;
        while (m_pos < size && !isSeparator(m_text[m_pos]))
            ++m_pos;
        value = chopBlanks(m_text.mid(start, m_pos - start));
    }
    m_afterComma = false;
    if (m_pos >= size) {
        *end = End::File;
    } else if (m_text[m_pos] == QLatin1Char(',')) {
        ++m_pos;
        m_afterComma = true;
        *end = End::Comma;
    } else {
        skipLineEnd();
        *end = End::Line;
    }
    return value;
}

ScenarioStep ScenarioReader::readStep()
{
    ScenarioStep step;
    step.line = m_line;
    step.lastLine = m_line;
    step.startsLine = m_pos == 0 || isLineEnd(m_text[m_pos - 1]);
    QString *fields[] = {&step.time, &step.mirror, &step.exposure, &step.pause, &step.comment};
    for (QString *field : fields) {
        // After a comma a field always follows, if only an empty one.
        if (!m_open || (m_pos >= m_text.size() && !m_afterComma))
            break;
        const int line = m_line;
        End end;
        *field = readField(&end);
        if (step.fields == 0)
            step.line = line;
        step.lastLine = line;
        ++step.fields;
    }
    return step;
}

// ---------------------------------------------------------------------------

QString trailingBlankLinesProblem() { return kBlankTail; }

bool isAtOnceStep(const ScenarioStep &step) { return step.time.trimmed() == QLatin1String("*"); }

bool isChainStep(const ScenarioStep &step)
{
    // Whatever is there (a FIFO, a device) is taken for the file meant: its
    // opening then says why it cannot be read, rather than the time being
    // called wrong.
    if (step.time.isEmpty() || isAtOnceStep(step))
        return false;
    const QFileInfo info(step.time);
    return info.exists() && !info.isDir();
}

std::optional<QString> stepProblem(const ScenarioStep &step, const SkyContext *sky)
{
    if (step.fields < 5)
        return incompleteProblem(step);
    if (isChainStep(step))
        return std::nullopt;
    if (looksLikeSkyTime(step.time)) {
        // A night without such a moment skips the step; the file is sound.
        QString problem = parseSkyTime(step.time) ? QString() : skyTimeFormProblem(step.time);
        if (sky && problem.isEmpty()) {
            const SkyResolution r = resolveSkyTime(step.time, *sky);
            if (!r.noMoment)
                problem = r.problem;
        }
        if (!problem.isEmpty())
            return problem + (fitsOneLine(step) ? QString() : kShiftHint);
    } else if (!isAtOnceStep(step) && !parseTimeOfDay(step.time)) {
        QString problem = QStringLiteral("l'horaire « %1 » ne convient pas ; il faut « * » (tout de "
                                         "suite), une heure comme 21:45:00 ou 21:45, un moment du "
                                         "ciel comme @crepuscule, ou le nom d'un fichier de scénario "
                                         "existant.")
                              .arg(step.time);
        // Chained names are taken from the working directory, not from the
        // scenario's folder: say where the file was looked for.
        if (!step.time.contains(QLatin1Char(':')) && !step.time.trimmed().isEmpty())
            problem += QStringLiteral(" Aucun fichier %1 n'existe (les noms relatifs partent du "
                                      "dossier de travail %2).")
                           .arg(QFileInfo(step.time).absoluteFilePath(), QDir::currentPath());
        return problem + (fitsOneLine(step) ? QString() : kShiftHint);
    }
    std::optional<QString> problem = secondsProblem(
        QStringLiteral("le délai miroir"), step.mirror, 0,
        QStringLiteral("0 (sans relevage du miroir) ou plus"));
    if (!problem)
        problem = secondsProblem(QStringLiteral("le temps de pose"), step.exposure, 1,
                                 QStringLiteral("au moins 1"));
    if (!problem)
        problem = secondsProblem(QStringLiteral("le délai entre poses"), step.pause, 0,
                                 QStringLiteral("0 ou plus"));
    if (problem && !fitsOneLine(step))
        *problem += kShiftHint;
    return problem;
}

QString scenarioMessage(const QString &fullPath, int line, const QString &problem)
{
    if (line <= 0)
        return QStringLiteral("Scénario %1 : %2").arg(fullPath, problem);
    return QStringLiteral("Scénario %1, ligne %2 : %3").arg(fullPath).arg(line).arg(problem);
}

ScenarioCheck checkSteps(ScenarioReader reader, const SkyContext *sky)
{
    return countAndCheck(std::move(reader), nullptr, sky);
}

ScenarioCheck checkScenarioFile(const QString &path, bool followChains, const SkyContext *sky)
{
    ScenarioReader reader;
    if (!reader.open(path))
        return failure(reader.fullPath(), 0, reader.errorString() + QLatin1Char('.'));
    // Every file the night may reach, each once, so that a bad line in the
    // third file is not found at three in the morning.
    QList<ChainStep> pending;
    ScenarioCheck first = countAndCheck(reader, followChains ? &pending : nullptr, sky);
    if (!first.ok() || !followChains)
        return first;
    QSet<QString> seen{canonicalPathOf(path)};
    while (!pending.isEmpty()) {
        const ChainStep next = pending.takeFirst();
        const QString key = canonicalPathOf(next.name);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        ScenarioReader chained;
        if (!chained.open(next.name))
            return failure(next.from, next.line,
                           QStringLiteral("le fichier enchaîné %1 est inutilisable : %2.")
                               .arg(fullPathOf(next.name), chained.errorString()));
        ScenarioCheck c = countAndCheck(chained, &pending, sky);
        if (!c.ok()) {
            c.error += QStringLiteral(" (Fichier enchaîné depuis %1, ligne %2.)").arg(next.from).arg(next.line);
            return c;
        }
    }
    return first;
}

} // namespace tavrel
