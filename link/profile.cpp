#include "link/profile.h"

#include "link/regular_file.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>

namespace tavrel {

namespace {

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// One line of the file: its bytes as read and its text, without the line
// end, and the line end itself ("\n", "\r\n", "\r", or empty for a last line
// that has none). A line that is not edited goes back byte for byte, so a
// rewrite leaves every other line, and a mixed file, as it was.
struct Line {
    QString text;
    QByteArray eol;
    QByteArray raw;
    bool edited = false;
};

// The file as read: a UTF-8 file, or a Latin-1 one (any file that is not
// valid UTF-8), either after a byte-order mark or not. It is written back in
// the same encoding, with its mark.
struct ProfileText {
    bool bom = false;
    bool latin1 = false;
    QList<Line> lines;
};

ProfileText decode(const QByteArray &bytes)
{
    ProfileText profile;
    QByteArrayView body(bytes);
    profile.bom = body.startsWith(QByteArrayView(kUtf8Bom));
    if (profile.bom)
        body = body.sliced(3);
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    [[maybe_unused]] const QString whole = utf8(body); // decoded only to learn whether it is UTF-8
    // Files edited with an old editor are often Latin-1; every byte
    // sequence is valid Latin-1, so this never fails.
    profile.latin1 = utf8.hasError();

    // CR LF, LF and CR alone each end a line; neither byte occurs inside a
    // UTF-8 character, so lines are cut before they are decoded.
    qsizetype start = 0;
    while (start < body.size()) {
        const qsizetype end = std::find_if(body.begin() + start, body.end(), [](char c) { return c == '\n' || c == '\r'; })
                              - body.begin();
        Line line;
        line.raw = body.sliced(start, end - start).toByteArray();
        line.text = profile.latin1 ? QString::fromLatin1(line.raw) : QString::fromUtf8(line.raw);
        if (end < body.size())
            line.eol = body[end] == '\r' && end + 1 < body.size() && body[end + 1] == '\n' ? "\r\n"
                                                                                          : body.sliced(end, 1).toByteArray();
        profile.lines.append(line);
        start = end + line.eol.size();
    }
    return profile;
}

QByteArray encode(const ProfileText &profile)
{
    QByteArray bytes = profile.bom ? QByteArray(kUtf8Bom) : QByteArray();
    for (const Line &line : profile.lines) {
        if (!line.edited)
            bytes += line.raw;
        else
            bytes += profile.latin1 ? line.text.toLatin1() : line.text.toUtf8();
        bytes += line.eol;
    }
    return bytes;
}

// Only ASCII letters are folded, as the original API did for its names; a
// locale-dependent comparison could match different keys on different
// machines.
bool sameName(QStringView a, QStringView b)
{
    const auto fold = [](QChar c) { return c.unicode() < 0x80 ? c.toLower() : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](QChar x, QChar y) { return fold(x) == fold(y); });
}

enum class LineKind { Other, Section, Key };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    QString name;         // section or key name, blanks removed
    qsizetype equals = -1; // index of the '=' of a key line
};

ParsedLine parse(const QString &text)
{
    ParsedLine parsed;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#')))
        return parsed;
    if (trimmed.startsWith(QLatin1Char('['))) {
        const qsizetype close = trimmed.indexOf(QLatin1Char(']'));
        if (close < 0)
            return parsed;
        parsed.kind = LineKind::Section;
        parsed.name = trimmed.mid(1, close - 1).trimmed();
        return parsed;
    }
    const qsizetype equals = text.indexOf(QLatin1Char('='));
    if (equals < 0)
        return parsed;
    parsed.name = text.left(equals).trimmed();
    if (parsed.name.isEmpty())
        return parsed;
    parsed.kind = LineKind::Key;
    parsed.equals = equals;
    return parsed;
}

struct Location {
    qsizetype sectionLine = -1;
    qsizetype keyLine = -1;
    qsizetype equals = -1;
    qsizetype lastKeyLine = -1;
};

Location locate(const ProfileText &profile, const QString &section, const QString &key)
{
    Location where;
    bool inSection = false;
    for (qsizetype i = 0; i < profile.lines.size(); ++i) {
        const ParsedLine parsed = parse(profile.lines.at(i).text);
        if (parsed.kind == LineKind::Section) {
            // A later section of the same name is never looked at: the first
            // one wins, on reading and on writing alike.
            if (inSection)
                break;
            if (sameName(parsed.name, section)) {
                inSection = true;
                where.sectionLine = i;
            }
            continue;
        }
        if (!inSection || parsed.kind != LineKind::Key)
            continue;
        where.lastKeyLine = i;
        if (where.keyLine < 0 && sameName(parsed.name, key)) {
            where.keyLine = i;
            where.equals = parsed.equals;
        }
    }
    return where;
}

QString cutValue(QString value)
{
    if (value.size() > kMaxProfileValueLength) {
        qsizetype keep = kMaxProfileValueLength;
        // Never leave half of a character outside the basic plane.
        if (value.at(keep - 1).isHighSurrogate())
            --keep;
        value.truncate(keep);
    }
    return value;
}

bool hasLineBreak(const QString &text)
{
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

// The line end new lines get: the one the file already uses, so a file made
// on Windows stays CRLF throughout.
QByteArray fileLineEnd(const ProfileText &profile)
{
    for (const Line &line : profile.lines) {
        if (!line.eol.isEmpty())
            return line.eol;
    }
    return "\n";
}

// What reading `key` of `section` gives, as getPrivateProfileString does.
QString valueIn(const ProfileText &profile, const QString &section, const QString &key)
{
    const Location where = locate(profile, section, key);
    if (where.keyLine < 0)
        return QString();
    return cutValue(profile.lines.at(where.keyLine).text.mid(where.equals + 1).trimmed());
}

} // namespace

QString profileFileProblem(const QString &filePath)
{
    const FileRead file = readRegularFile(filePath, kMaxProfileFileBytes);
    return file.status == FileRead::Refused ? file.problem : QString();
}

QString getPrivateProfileString(const QString &section, const QString &key, const QString &filePath)
{
    const FileRead file = readRegularFile(filePath, kMaxProfileFileBytes);
    if (file.status != FileRead::Read)
        return QString();
    return valueIn(decode(file.bytes), section.trimmed(), key.trimmed());
}

bool writePrivateProfileString(const QString &section, const QString &key, const QString &value,
                               const QString &filePath)
{
    const QString sectionName = section.trimmed();
    const QString keyName = key.trimmed();
    if (sectionName.isEmpty() || keyName.isEmpty() || hasLineBreak(section) || hasLineBreak(key)
        || hasLineBreak(value) || sectionName.contains(QLatin1Char(']')) || keyName.contains(QLatin1Char('='))
        || keyName.startsWith(QLatin1Char(';')) || keyName.startsWith(QLatin1Char('#'))
        || keyName.startsWith(QLatin1Char('['))) {
        return false;
    }

    const FileRead read = readRegularFile(filePath, kMaxProfileFileBytes);
    if (read.status == FileRead::Refused)
        return false; // rewriting what we could not read would lose it
    ProfileText profile = decode(read.bytes); // nothing when missing

    const QByteArray eol = fileLineEnd(profile);
    const Location where = locate(profile, sectionName, keyName);
    if (where.keyLine >= 0) {
        Line &line = profile.lines[where.keyLine];
        // Keep everything up to the value as the user wrote it: the key's
        // spelling, its indentation and the blanks around '='.
        const QString rest = line.text.mid(where.equals + 1);
        qsizetype lead = 0;
        if (!rest.trimmed().isEmpty()) {
            while (lead < rest.size() && rest.at(lead).isSpace())
                ++lead;
        }
        line.text = line.text.left(where.equals + 1) + rest.left(lead) + value;
        line.edited = true;
    } else if (where.sectionLine >= 0) {
        const qsizetype after = where.lastKeyLine >= 0 ? where.lastKeyLine : where.sectionLine;
        if (profile.lines[after].eol.isEmpty())
            profile.lines[after].eol = eol;
        profile.lines.insert(after + 1, Line{keyName + QLatin1Char('=') + value, eol, {}, true});
    } else {
        if (!profile.lines.isEmpty() && profile.lines.last().eol.isEmpty())
            profile.lines.last().eol = eol;
        profile.lines.append(Line{QLatin1Char('[') + sectionName + QLatin1Char(']'), eol, {}, true});
        profile.lines.append(Line{keyName + QLatin1Char('=') + value, eol, {}, true});
    }

    const QByteArray after = encode(profile);
    if (read.status == FileRead::Read && after == read.bytes)
        return true; // already says so; leave the file and its date alone
    // A character the file's encoding cannot hold (a euro sign in a Latin-1
    // file) would not read back: the file is left as it was.
    if (valueIn(decode(after), sectionName, keyName) != cutValue(value.trimmed()))
        return false;

    if (!QDir().mkpath(QFileInfo(filePath).absolutePath()))
        return false;
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(after) != after.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace tavrel
