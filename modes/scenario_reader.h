#pragma once
// Reading scenario files. A scenario is a plain text file of steps of five
// fields: time (`horaire`), mirror lock-up delay, exposure, pause after the
// exposure, comment. Fields are separated by commas or line ends; the reader
// takes them five at a time and pays no other heed to line ends, so a line of
// four fields borrows its fifth from the next line and shifts every later
// step. Blanks and tabs before a field are skipped; a field may be enclosed
// in double quotes, which then may hold commas. CR LF, LF and CR all end a
// line. Old files are Windows-1252, newer ones UTF-8: a file that is valid
// UTF-8 is read as such, any other as Windows-1252.
//
// The last step of a file is its end step, never carried out: a step after
// which only line ends are left.

#include <QString>
#include <optional>

namespace tavrel {

struct SkyContext;

struct ScenarioStep {
    QString time;     // "*", the name of a scenario file, or a time of day
    QString mirror;   // whole seconds, 0 = no mirror lock-up
    QString exposure; // whole seconds, at least 1
    QString pause;    // whole seconds after the exposure
    QString comment;
    int line = 0;      // line on which the step's first field starts
    int lastLine = 0;  // line on which its last field ends
    int fields = 0;    // fields found: 5, fewer only when the file ran out
    bool startsLine = true; // the first field opens its line
};

// A night's file is a few kilobytes; a file past this size is no scenario.
inline constexpr qint64 kMaxScenarioFileBytes = 16 * 1024 * 1024;

class ScenarioReader {
public:
    // Reads the whole file at once: what was checked is what runs, even if an
    // editor saves over the file during the night. Returns false, with
    // errorString(), when the file cannot be read, and at once for anything
    // but a regular file of at most kMaxScenarioFileBytes (a FIFO is never
    // waited on).
    bool open(const QString &path);
    void close();
    QString errorString() const { return m_error; }

    // The file as named when last opened, and as shown in messages (both
    // kept after close()).
    QString path() const { return m_path; }
    QString fullPath() const { return m_fullPath; }

    // Only line ends (or nothing) are left.
    bool atEnd() const;
    // Only blanks, tabs and line ends are left, some blanks or tabs among
    // them: the line of the first such blank line, else 0. Those lines would
    // make the step before them a step to be carried out, and themselves a
    // step of empty fields.
    int trailingBlankLine() const;
    // The next five fields. At the end of the file a step comes back with
    // fewer fields, as many as were left.
    ScenarioStep readStep();

    // Text decoding: UTF-8 when valid, else Windows-1252.
    static QString decode(const QByteArray &bytes);

private:
    enum class End { Comma, Line, File };
    QString readField(End *end);
    void skipLineEnd();

    QString m_path;
    QString m_fullPath;
    QString m_error;
    QString m_text;
    int m_pos = 0;
    int m_line = 1;
    bool m_open = false;
    bool m_afterComma = false; // a comma was the last separator: a field follows
};

// Why a step that is to be carried out cannot be, in French (no file or
// line: the caller adds them); empty when it can. A chain step (its first
// field names an existing file) only carries its first field: the other four
// are shown, never used, and not checked. A step tied to the sky ("@aube")
// needs the place of `sky` (a night without that moment only skips the step);
// without `sky` only its form is checked.
std::optional<QString> stepProblem(const ScenarioStep &step, const SkyContext *sky = nullptr);

// What is wrong with a file whose steps are followed by lines of blanks
// (see ScenarioReader::trailingBlankLine).
QString trailingBlankLinesProblem();

// The first field names a file that exists, not a folder (relative names
// from the working directory).
bool isChainStep(const ScenarioStep &step);
bool isAtOnceStep(const ScenarioStep &step);

// « Scénario <full path>, ligne <n> : <problem> » (no line when line <= 0).
QString scenarioMessage(const QString &fullPath, int line, const QString &problem);

struct ScenarioCheck {
    int stepCount = 0;  // steps read, end step included
    QString error;      // complete message, empty when the file can be run
    QString errorFile;  // full path of the file at fault
    int errorLine = 0;
    bool ok() const { return error.isEmpty(); }
};

// Reads every step left in `reader` (a copy: the caller's position does not
// move) and checks each one but the end step. A file that runs out in the
// middle of a step, or ends with lines of blanks, is at fault.
ScenarioCheck checkSteps(ScenarioReader reader, const SkyContext *sky = nullptr);

// The counting pass: opens `path`, counts and checks its steps; with
// `followChains`, every scenario file it chains to is checked too (each file
// once), so a bad line anywhere in the night is reported before the first
// exposure. The count is always that of `path` alone. Steps tied to the sky
// are resolved against `sky` (see stepProblem).
ScenarioCheck checkScenarioFile(const QString &path, bool followChains = true, const SkyContext *sky = nullptr);

} // namespace tavrel
