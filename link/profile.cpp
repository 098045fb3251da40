#include "link/profile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QStringDecoder>

namespace tavrel {

namespace {

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// One line of the file, its text without the line end, and the line end
// itself ("\n", "\r\n", or empty for a last line that has none). Keeping the
// end with each line is what lets a rewrite leave a mixed file mixed.
struct Line {
    QString text;
    QString eol;
};

struct ProfileText {
    bool bom = false;
    QList<Line> lines;
};

enum class LoadResult { Loaded, Missing, Unreadable };

ProfileText decode(const QByteArray &bytes)
{
    ProfileText profile;
    QByteArrayView body(bytes);
    profile.bom = body.startsWith(QByteArrayView(kUtf8Bom));
    if (profile.bom)
        body = body.sliced(3);

    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8(body);
    if (utf8.hasError()) {
        // Files edited with an old editor are often Latin-1; every byte
        // sequence is valid Latin-1, so this never fails.
        profile.bom = false;
        text = QString::fromLatin1(bytes);
    }

    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype newline = text.indexOf(QLatin1Char('\n'), start);
        if (newline < 0) {
            profile.lines.append(Line{text.mid(start), QString()});
            break;
        }
        qsizetype end = newline;
        QString eol = QStringLiteral("\n");
        if (end > start && text.at(end - 1) == QLatin1Char('\r')) {
            --end;
            eol = QStringLiteral("\r\n");
        }
        profile.lines.append(Line{text.mid(start, end - start), eol});
        start = newline + 1;
    }
    return profile;
}

QByteArray encode(const ProfileText &profile)
{
    QString text;
    for (const Line &line : profile.lines)
        text += line.text + line.eol;
    QByteArray bytes = profile.bom ? QByteArray(kUtf8Bom) : QByteArray();
    bytes += text.toUtf8();
    return bytes;
}

LoadResult load(const QString &filePath, ProfileText &profile, QByteArray &bytes)
{
    QFile file(filePath);
    if (!file.exists())
        return LoadResult::Missing;
    if (!file.open(QIODevice::ReadOnly))
        return LoadResult::Unreadable;
    bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return LoadResult::Unreadable;
    profile = decode(bytes);
    return LoadResult::Loaded;
}

char16_t foldAscii(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'A' && u <= u'Z') ? char16_t(u + (u'a' - u'A')) : u;
}

// Only ASCII letters are folded, as the original API did for its names; a
// locale-dependent comparison could match different keys on different
// machines.
bool sameName(QStringView a, QStringView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i]))
            return false;
    }
    return true;
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
QString fileLineEnd(const ProfileText &profile)
{
    for (const Line &line : profile.lines) {
        if (!line.eol.isEmpty())
            return line.eol;
    }
    return QStringLiteral("\n");
}

} // namespace

QString getPrivateProfileString(const QString &section, const QString &key, const QString &filePath)
{
    ProfileText profile;
    QByteArray bytes;
    if (load(filePath, profile, bytes) != LoadResult::Loaded)
        return QString();
    const Location where = locate(profile, section.trimmed(), key.trimmed());
    if (where.keyLine < 0)
        return QString();
    const QString &text = profile.lines.at(where.keyLine).text;
    return cutValue(text.mid(where.equals + 1).trimmed());
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

    ProfileText profile;
    QByteArray before;
    const LoadResult loaded = load(filePath, profile, before);
    if (loaded == LoadResult::Unreadable)
        return false; // rewriting what we could not read would lose it

    const QString eol = fileLineEnd(profile);
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
    } else if (where.sectionLine >= 0) {
        const qsizetype after = where.lastKeyLine >= 0 ? where.lastKeyLine : where.sectionLine;
        if (profile.lines[after].eol.isEmpty())
            profile.lines[after].eol = eol;
        profile.lines.insert(after + 1, Line{keyName + QLatin1Char('=') + value, eol});
    } else {
        if (!profile.lines.isEmpty() && profile.lines.last().eol.isEmpty())
            profile.lines.last().eol = eol;
        profile.lines.append(Line{QLatin1Char('[') + sectionName + QLatin1Char(']'), eol});
        profile.lines.append(Line{keyName + QLatin1Char('=') + value, eol});
    }

    const QByteArray after = encode(profile);
    if (loaded == LoadResult::Loaded && after == before)
        return true; // already says so; leave the file and its date alone

    const QFileInfo info(filePath);
    if (!QDir().mkpath(info.absolutePath()))
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
