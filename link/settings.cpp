#include "link/settings.h"

#include "link/messages.h"
#include "link/profile.h"
#include "link/shared_values.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <cstdint>

namespace tavrel {

namespace {

QSet<QString> g_reportedBadValues;
// Choices the settings file would not take (read-only, its folder gone):
// kept for the session, so that night vision or a folder chosen tonight does
// not fall back to the file's value at the next window. By file, section and
// key, lower-cased as names are matched.
QHash<QString, QString> g_unstoredChoices;

QString choiceKey(const QString &path, const QString &section, const QString &key)
{
    return path + QLatin1Char('\n') + section.trimmed().toLower() + QLatin1Char('\n') + key.trimmed().toLower();
}

QString programFilePath()
{
    QString path;
    if (QCoreApplication::instance())
        path = QCoreApplication::applicationFilePath();
    if (path.isEmpty())
        path = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    return path;
}

QString configFolder()
{
    // A relative XDG_CONFIG_HOME is ignored, as the XDG base directory rules
    // ask: it would put the file wherever the program happened to start.
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return xdg;
    return QDir::homePath() + QStringLiteral("/.config");
}

// Reads a key; a missing or empty one gets its default written back, so the
// user finds every setting in the file. A failing write is not reported: the
// default is used either way, and the next start tries again.
QString readOrDefault(const QString &section, const QString &key, const QString &defaultValue)
{
    const QString value = ReadSetting(section, key, QString::fromLatin1(kSettingsFile));
    if (!value.isEmpty())
        return value;
    writePrivateProfileString(section, key, defaultValue, settingsFilePath());
    return defaultValue;
}

// The value of an adapter key: a whole number of plain ASCII digits within
// 0..max, blanks around allowed. Signs, decimals, hexadecimal and non-ASCII
// digits are refused: the value ends up as a byte sent to the chip, and a
// guess could drive the wrong pin. A refused value gives `defaultValue` (-1:
// none, the adapter stays closed) and a warning.
std::int64_t checkedValue(const char *keyName, const QString &text, std::int64_t max, std::int64_t defaultValue,
                          QStringList &warnings)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    bool ok = false;
    const qulonglong number = text.trimmed().toULongLong(&ok);
    if (digits.match(text.trimmed()).hasMatch() && ok && number <= qulonglong(max))
        return std::int64_t(number);

    const QString path = settingsFilePath();
    const QString key = QString::fromLatin1(keyName);
    if (firstReport(path + QLatin1Char('\n') + key + QLatin1Char('\n') + text)) {
        // One arg() call for all: chained calls would also fill in any "%1"
        // that came in with the user's value.
        const QString consequence
            = defaultValue < 0
                  ? QStringLiteral("Aucun adaptateur n'est ouvert tant qu'il n'est pas corrigé (ouvrir le premier "
                                   "venu pourrait couper le câble USB-série d'un autre appareil)")
                  : QStringLiteral("La valeur par défaut %1 est utilisée").arg(defaultValue);
        warnings << QStringLiteral("Le réglage %1=%2 de la section [FDTI] du fichier %3 n'est pas un nombre "
                                   "entier de 0 à %4. %5 ; corrigez le fichier puis relancez Tavrel.")
                        .arg(key, visibleText(text), path, QString::number(max), consequence);
    }
    return defaultValue;
}

} // namespace

QString resolveSettingsPath(const QString &fileName)
{
    if (fileName.isEmpty()) {
        const QFileInfo program(programFilePath());
        return program.absolutePath() + QLatin1Char('/') + program.completeBaseName() + QStringLiteral(".ini");
    }
    if (!fileName.contains(QLatin1Char('/')))
        return configFolder() + QLatin1Char('/') + fileName;
    return fileName;
}

QString settingsFilePath() { return QDir::toNativeSeparators(resolveSettingsPath(QString::fromLatin1(kSettingsFile))); }

QString ReadSetting(const QString &section, const QString &key, const QString &fileName)
{
    const QString path = resolveSettingsPath(fileName);
    if (const auto kept = g_unstoredChoices.constFind(choiceKey(path, section, key)); kept != g_unstoredChoices.cend())
        return kept->trimmed().left(kMaxProfileValueLength);
    return getPrivateProfileString(section, key, path);
}

QString WriteSetting(const QString &section, const QString &key, const QString &value, const QString &fileName)
{
    const QString path = resolveSettingsPath(fileName);
    // A value no file could hold as one line is no choice to keep.
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')))
        return QStringLiteral("0");
    if (writePrivateProfileString(section, key, value, path)) {
        g_unstoredChoices.remove(choiceKey(path, section, key));
        return QStringLiteral("1");
    }
    g_unstoredChoices.insert(choiceKey(path, section, key), value);
    // Once per file: each choice of the evening would otherwise bring its own box.
    if (firstReport(QStringLiteral("unwritable\n") + path)) {
        const QString problem = profileFileProblem(path);
        showMessage(MessageKind::Warning,
                    QStringLiteral("Le fichier de réglages %1 ne peut pas être écrit%2 : vos choix (vision de nuit, "
                                   "dossiers...) valent pour cette session mais seront perdus à la fermeture de "
                                   "Tavrel. Rendez le fichier et son dossier accessibles en écriture pour les garder.")
                        .arg(QDir::toNativeSeparators(path),
                             problem.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(problem)));
    }
    return QStringLiteral("0");
}

void LoadSettings()
{
    SharedValues &s = shared();
    s.TraceMessages = 0;

    const QString adapter = QStringLiteral("FDTI");
    const QString folders = QStringLiteral("Defaut");
    s.DeviceIndexText = readOrDefault(adapter, QStringLiteral("FDTINo"), QStringLiteral("0"));
    // Optional: absent or empty keeps the rule by rank, and nothing is added
    // to the user's file.
    s.DeviceSerialText
        = ReadSetting(adapter, QStringLiteral("FDTISerial"), QString::fromLatin1(kSettingsFile)).trimmed();
    s.BitModeText = readOrDefault(adapter, QStringLiteral("FDTINoBIT"), QStringLiteral("1"));
    s.MaskText = readOrDefault(adapter, QStringLiteral("FDTIMask"), QStringLiteral("255"));
    s.DefaultDrive = readOrDefault(folders, QStringLiteral("DEF_DRIVE"), QStringLiteral("c:"));
    s.DefaultDir = readOrDefault(folders, QStringLiteral("DEF_DIR"), QStringLiteral("\\"));

    s.PollIntervalMs = 500;
    s.DeviceOpen = 0;
    s.ShutterHeld = 0;

    // Collected first and shown after every value is in place: a message box
    // may run an event loop, and the timers must not see half-loaded values.
    QStringList warnings;
    // With a serial the rank is found at each connection check.
    s.DeviceIndex = s.DeviceSerialText.isEmpty()
                        ? std::int32_t(checkedValue("FDTINo", s.DeviceIndexText, 2147483647, -1, warnings))
                        : -1;
    s.BitMode = std::uint8_t(checkedValue("FDTINoBIT", s.BitModeText, 255, 1, warnings));
    s.BitMask = std::uint8_t(checkedValue("FDTIMask", s.MaskText, 255, 255, warnings));

    // A settings file that is no regular file of sane size is neither read
    // nor replaced: the user is told, once, why the defaults serve.
    const QString path = settingsFilePath();
    const QString problem = profileFileProblem(path);
    if (!problem.isEmpty() && firstReport(path + QLatin1Char('\n') + problem))
        warnings.prepend(QStringLiteral("Le fichier de réglages %1 n'est pas lu : %2. Les réglages par défaut "
                                        "servent, et le fichier est laissé tel quel ; remplacez-le par un "
                                        "fichier texte ordinaire puis relancez Tavrel.")
                             .arg(path, problem));
    for (const QString &warning : std::as_const(warnings))
        showMessage(MessageKind::Warning, warning);
}

void resetSettingsWarnings()
{
    g_reportedBadValues.clear();
    g_unstoredChoices.clear();
}

bool firstReport(const QString &what)
{
    if (g_reportedBadValues.contains(what))
        return false;
    g_reportedBadValues.insert(what);
    return true;
}

} // namespace tavrel
