#include "link/messages.h"
#include "link/profile.h"
#include "link/settings.h"
#include "link/shared_values.h"
#include "support/special_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrel;

namespace {

// What LoadSettings writes when there is no file at all.
const QByteArray kDefaultFile = "[FDTI]\nFDTINo=0\nFDTINoBIT=1\nFDTIMask=255\n[Defaut]\nDEF_DRIVE=c:\nDEF_DIR=\\\n";

QByteArray settingsFile(const QByteArray &no, const QByteArray &bit, const QByteArray &mask)
{
    return "[FDTI]\nFDTINo=" + no + "\nFDTINoBIT=" + bit + "\nFDTIMask=" + mask
           + "\n[Defaut]\nDEF_DRIVE=c:\nDEF_DIR=\\\n";
}

} // namespace

class TstSettings : public QObject {
    Q_OBJECT

private:
    // The program's own name with ".ini", in the program's folder.
    static QString besideProgram()
    {
        const QFileInfo program(QCoreApplication::applicationFilePath());
        return program.absolutePath() + QLatin1Char('/') + program.completeBaseName() + QStringLiteral(".ini");
    }

    QTemporaryDir m_root;
    QString m_config; // XDG_CONFIG_HOME of the running case, not created yet
    int m_case = 0;
    RecordingMessageSink m_sink;

    QString settingsPath() const { return m_config + QStringLiteral("/Tavrel.ini"); }
    QString scratchPath(const QString &name) const { return QFileInfo(m_config).absolutePath() + '/' + name; }

    static void writeBytes(const QString &path, const QByteArray &bytes)
    {
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), bytes.size());
    }

    static QByteArray readBytes(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        return file.readAll();
    }

private slots:
    void initTestCase() { QVERIFY(m_root.isValid()); }

    void init()
    {
        m_config = m_root.path() + QStringLiteral("/case%1/config").arg(++m_case);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config));
        resetSharedValues();
        resetSettingsWarnings();
        m_sink.shown.clear();
        setMessageSink(&m_sink);
    }

    void cleanup() { setMessageSink(nullptr); }

    // --- the private-profile layer ----------------------------------------

    void readValue_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");

        QTest::newRow("exact names") << QByteArray("[FDTI]\nFDTIMask=7\n") << "FDTI" << "FDTIMask" << "7";
        QTest::newRow("names in other case") << QByteArray("[fdti]\nfdtimask=7\n") << "FDTI" << "FDTIMask" << "7";
        QTest::newRow("asked in other case") << QByteArray("[FDTI]\nFDTIMask=7\n") << "fDtI" << "FDTIMASK" << "7";
        QTest::newRow("only ASCII letters fold") << QByteArray("[\xC3\x89t\xC3\xA9]\nk=1\n") << "\xC3\xA9t\xC3\xA9"
                                                 << "k" << "";
        QTest::newRow("blanks around names and value")
            << QByteArray("  [ FDTI ]  \n\t FDTIMask =  7 \t\n") << "FDTI" << "FDTIMask" << "7";
        QTest::newRow("CRLF line ends") << QByteArray("[FDTI]\r\nFDTIMask=7\r\n") << "FDTI" << "FDTIMask" << "7";
        QTest::newRow("no final line end") << QByteArray("[A]\nk=v") << "A" << "k" << "v";
        QTest::newRow("value holding '='") << QByteArray("[A]\nk=a=b\n") << "A" << "k" << "a=b";
        QTest::newRow("text after value kept") << QByteArray("[A]\nk=1 ; note\n") << "A" << "k" << "1 ; note";
        QTest::newRow("single backslash") << QByteArray("[Defaut]\nDEF_DIR=\\\n") << "Defaut" << "DEF_DIR" << "\\";
        QTest::newRow("empty value") << QByteArray("[A]\nk=\nz=1\n") << "A" << "k" << "";
        QTest::newRow("missing key") << QByteArray("[FDTI]\nFDTINo=2\n") << "FDTI" << "FDTIMask" << "";
        QTest::newRow("missing section") << QByteArray("[Other]\nFDTIMask=7\n") << "FDTI" << "FDTIMask" << "";
        QTest::newRow("key of the next section") << QByteArray("[FDTI]\nFDTINo=1\n[Other]\nFDTIMask=7\n") << "FDTI"
                                                 << "FDTIMask" << "";
        QTest::newRow("key before any section") << QByteArray("FDTIMask=7\n[FDTI]\n") << "FDTI" << "FDTIMask" << "";
        QTest::newRow("comment lines") << QByteArray("[FDTI]\n;FDTIMask=7\n  # FDTIMask=8\n") << "FDTI"
                                       << "FDTIMask" << "";
        QTest::newRow("unknown line then key") << QByteArray("[A]\njunk\nk=1\n") << "A" << "k" << "1";
        QTest::newRow("duplicate key, first wins") << QByteArray("[A]\nk=1\nK=2\n") << "A" << "k" << "1";
        QTest::newRow("duplicate section, first wins") << QByteArray("[A]\nk=1\n[B]\n[a]\nk=2\n") << "A" << "k" << "1";
        QTest::newRow("only the first section is looked at")
            << QByteArray("[A]\nx=1\n[A]\nk=2\n") << "A" << "k" << "";
        QTest::newRow("UTF-8") << QByteArray("[A]\nk=caf\xC3\xA9\n") << "A" << "k" << "caf\xC3\xA9";
        QTest::newRow("Latin-1") << QByteArray("[A]\nk=caf\xE9\n") << "A" << "k" << "caf\xC3\xA9";
        QTest::newRow("UTF-8 byte-order mark") << QByteArray("\xEF\xBB\xBF[A]\nk=1\n") << "A" << "k" << "1";
        QTest::newRow("byte-order mark, then Latin-1") << QByteArray("\xEF\xBB\xBF[A]\nk=caf\xE9\n") << "A" << "k"
                                                       << "caf\xC3\xA9";
        QTest::newRow("CR-only line ends") << QByteArray("[A]\rx=1\rk=7\r") << "A" << "k" << "7";
        QTest::newRow("254 characters kept")
            << QByteArray("[A]\nk=" + QByteArray(254, 'x') + "\n") << "A" << "k" << QString(254, 'x');
        QTest::newRow("255 characters cut") << QByteArray("[A]\nk=" + QByteArray(255, 'x') + "\n") << "A" << "k"
                                            << QString(254, 'x');
        QTest::newRow("300 non-ASCII characters cut")
            << QByteArray("[A]\nk=" + QString(300, QChar(0xE9)).toUtf8() + "\n") << "A" << "k"
            << QString(254, QChar(0xE9));
    }

    void readValue()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        const QString path = scratchPath(QStringLiteral("read.ini"));
        writeBytes(path, content);
        QCOMPARE(getPrivateProfileString(section, key, path), expected);
        QCOMPARE(readBytes(path), content);
    }

    void readMissingFile()
    {
        QCOMPARE(getPrivateProfileString("FDTI", "FDTINo", scratchPath("absent.ini")), QString());
        QVERIFY(!QFile::exists(scratchPath("absent.ini")));
    }

    void writeValue_data()
    {
        QTest::addColumn<QByteArray>("before"); // a null array: no file yet
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("new file") << QByteArray() << "A" << "k" << "v" << QByteArray("[A]\nk=v\n");
        QTest::newRow("single backslash") << QByteArray() << "Defaut" << "DEF_DIR" << "\\"
                                          << QByteArray("[Defaut]\nDEF_DIR=\\\n");
        QTest::newRow("replaced in place, spelling and surroundings kept")
            << QByteArray("; top\n\n[fdti]\n  FdtiMask = 7 \n; c\n\nodd line\n[Other]\nx=1\n") << "FDTI" << "FDTIMask"
            << "9" << QByteArray("; top\n\n[fdti]\n  FdtiMask = 9\n; c\n\nodd line\n[Other]\nx=1\n");
        QTest::newRow("replaced in a CRLF file")
            << QByteArray("[FDTI]\r\nFDTINo=0\r\nFDTIMask=7\r\n\r\n[Defaut]\r\nDEF_DIR=\\\r\n") << "FDTI" << "FDTIMask"
            << "9" << QByteArray("[FDTI]\r\nFDTINo=0\r\nFDTIMask=9\r\n\r\n[Defaut]\r\nDEF_DIR=\\\r\n");
        QTest::newRow("mixed line ends kept") << QByteArray("[A]\r\nk=1\nz=2\r\n") << "A" << "k" << "3"
                                              << QByteArray("[A]\r\nk=3\nz=2\r\n");
        QTest::newRow("empty value replaced") << QByteArray("[A]\nk=  \nz=1\n") << "A" << "k" << "v"
                                              << QByteArray("[A]\nk=v\nz=1\n");
        QTest::newRow("first of duplicate keys replaced") << QByteArray("[A]\nk=1\nk=2\n") << "A" << "k" << "v"
                                                          << QByteArray("[A]\nk=v\nk=2\n");
        QTest::newRow("new key after the last key of its section")
            << QByteArray("[A]\nx=1\njunk\n# was: k=0\n\n; about B\n[B]\ny=2\n") << "A" << "k" << "v"
            << QByteArray("[A]\nx=1\nk=v\njunk\n# was: k=0\n\n; about B\n[B]\ny=2\n");
        QTest::newRow("new key in a CRLF file") << QByteArray("[A]\r\nx=1\r\n\r\n") << "A" << "k" << "v"
                                                << QByteArray("[A]\r\nx=1\r\nk=v\r\n\r\n");
        QTest::newRow("new key in a section without keys") << QByteArray("[A]\n\n[B]\n") << "A" << "k" << "v"
                                                           << QByteArray("[A]\nk=v\n\n[B]\n");
        QTest::newRow("new key at an end without line end") << QByteArray("[A]\nx=1") << "A" << "k" << "v"
                                                             << QByteArray("[A]\nx=1\nk=v\n");
        QTest::newRow("new key in the first of duplicate sections")
            << QByteArray("[A]\nx=1\n[A]\ny=2\n") << "A" << "k" << "v" << QByteArray("[A]\nx=1\nk=v\n[A]\ny=2\n");
        QTest::newRow("missing section appended at the end")
            << QByteArray("top=0\n[A]\nx=1\n\n") << "B" << "k" << "v" << QByteArray("top=0\n[A]\nx=1\n\n[B]\nk=v\n");
        QTest::newRow("missing section in a CRLF file without final line end")
            << QByteArray("[A]\r\nx=1") << "B" << "k" << "v" << QByteArray("[A]\r\nx=1\r\n[B]\r\nk=v\r\n");
        QTest::newRow("byte-order mark kept") << QByteArray("\xEF\xBB\xBF[A]\r\nk=1\r\n") << "A" << "k" << "2"
                                              << QByteArray("\xEF\xBB\xBF[A]\r\nk=2\r\n");
        QTest::newRow("non-ASCII value written as UTF-8") << QByteArray("[A]\n") << "A" << "k" << "\xC3\xA9t\xC3\xA9"
                                                          << QByteArray("[A]\nk=\xC3\xA9t\xC3\xA9\n");
        // A file is written back as it was read: its encoding, its line
        // ends, its byte-order mark, every byte outside the edited line.
        QTest::newRow("Latin-1 file stays Latin-1") << QByteArray("[A]\nn=caf\xE9\n") << "A" << "k" << "\xC3\xA9"
                                                    << QByteArray("[A]\nn=caf\xE9\nk=\xE9\n");
        QTest::newRow("byte-order mark, then Latin-1")
            << QByteArray("\xEF\xBB\xBF[FDTI]\r\nFDTINo=1\r\n; caf\xE9\r\n") << "FDTI" << "FDTIMask" << "255"
            << QByteArray("\xEF\xBB\xBF[FDTI]\r\nFDTINo=1\r\nFDTIMask=255\r\n; caf\xE9\r\n");
        QTest::newRow("CR-only line ends, replaced") << QByteArray("[A]\rk=1\rz=2\r") << "A" << "k" << "3"
                                                     << QByteArray("[A]\rk=3\rz=2\r");
        QTest::newRow("CR-only line ends, new section") << QByteArray("[A]\rk=1") << "B" << "k" << "3"
                                                        << QByteArray("[A]\rk=1\r[B]\rk=3\r");
    }

    void writeValue()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QByteArray, after);
        const QString path = scratchPath(QStringLiteral("write.ini"));
        if (!before.isNull())
            writeBytes(path, before);
        QVERIFY(writePrivateProfileString(section, key, value, path));
        QCOMPARE(readBytes(path), after);
        QCOMPARE(getPrivateProfileString(section, key, path), value.trimmed());
        // Nothing else left beside it (no stray temporary file).
        QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files), QStringList{"write.ini"});
    }

    // Names and values that could not be read back as written, or would
    // break other lines, are refused and the file is not touched.
    void writeRefusesWhatCannotBeStored_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("empty section") << "" << "k" << "v";
        QTest::newRow("blank key") << "A" << "  " << "v";
        QTest::newRow("line break in section") << "A\nB" << "k" << "v";
        QTest::newRow("line break in key") << "A" << "k\r" << "v";
        QTest::newRow("line break in value") << "A" << "x" << "v\r\n[B]\r\ny=2";
        QTest::newRow("']' in section") << "A]x" << "k" << "v";
        QTest::newRow("'=' in key") << "A" << "k=1" << "v";
        QTest::newRow("key read as a comment") << "A" << ";k" << "v";
        QTest::newRow("key read as a section") << "A" << "[k]" << "v";
        QTest::newRow("euro sign in a Latin-1 file") << "A" << "k" << "\u20AC";
    }

    void writeRefusesWhatCannotBeStored()
    {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QString path = scratchPath(QStringLiteral("refuse.ini"));
        const QByteArray content("[A]\nx=caf\xE9\n"); // Latin-1
        writeBytes(path, content);
        QVERIFY(!writePrivateProfileString(section, key, value, path));
        QCOMPARE(readBytes(path), content);
    }

    void writeCreatesMissingFolders()
    {
        const QString path = scratchPath(QStringLiteral("a/b/c/Tavrel.ini"));
        QVERIFY(writePrivateProfileString("A", "k", "v", path));
        QCOMPARE(readBytes(path), QByteArray("[A]\nk=v\n"));
    }

    void writeFailsWhereNoFolderCanBe()
    {
        // A plain file where a folder should be: no one, not even root, can
        // write below it.
        const QString blocker = scratchPath(QStringLiteral("blocker"));
        writeBytes(blocker, "not a folder");
        QCOMPARE(WriteSetting("A", "k", "v", blocker + QStringLiteral("/sub/Tavrel.ini")), QStringLiteral("0"));
        QCOMPARE(readBytes(blocker), QByteArray("not a folder"));
    }

    void writeFailsInReadOnlyFolder()
    {
        const QString folder = scratchPath(QStringLiteral("readonly"));
        const QString path = folder + QStringLiteral("/Tavrel.ini");
        writeBytes(path, "[A]\nk=1\n");
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
        const auto restore = qScopeGuard([&] {
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        });
        {
            QFile probe(folder + QStringLiteral("/probe"));
            if (probe.open(QIODevice::WriteOnly)) {
                probe.remove();
                QSKIP("folder permissions are not enforced for this user (root?)");
            }
        }
        QCOMPARE(WriteSetting("A", "k", "2", path), QStringLiteral("0"));
        QCOMPARE(readBytes(path), QByteArray("[A]\nk=1\n"));
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"Tavrel.ini"});
    }

    // --- where the settings file is ---------------------------------------

    void resolveSettingsPath_data()
    {
        QTest::addColumn<bool>("xdgSet");
        QTest::addColumn<QString>("xdg");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        const QString home = QDir::homePath() + QStringLiteral("/.config/Tavrel.ini");
        QTest::newRow("bare name, XDG_CONFIG_HOME set") << true << "/srv/cfg" << "Tavrel.ini" << "/srv/cfg/Tavrel.ini";
        QTest::newRow("bare name, XDG_CONFIG_HOME unset") << false << "" << "Tavrel.ini" << home;
        QTest::newRow("bare name, XDG_CONFIG_HOME empty") << true << "" << "Tavrel.ini" << home;
        QTest::newRow("bare name, XDG_CONFIG_HOME relative") << true << "cfg" << "Tavrel.ini" << home;
        QTest::newRow("bare name with backslash") << true << "/srv/cfg" << "a\\b.ini" << "/srv/cfg/a\\b.ini";
        QTest::newRow("absolute name") << true << "/srv/cfg" << "/etc/tavrel/T.ini" << "/etc/tavrel/T.ini";
        QTest::newRow("relative name with folder") << true << "/srv/cfg" << "conf/T.ini" << "conf/T.ini";
        QTest::newRow("empty name") << true << "/srv/cfg" << ""
                                    << besideProgram();
    }

    void resolveSettingsPath()
    {
        QFETCH(bool, xdgSet);
        QFETCH(QString, xdg);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        if (xdgSet)
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(xdg));
        else
            qunsetenv("XDG_CONFIG_HOME");
        QCOMPARE(tavrel::resolveSettingsPath(name), expected);
    }

    void emptyFileNameIsBesideProgram()
    {
        if (!QFileInfo(QCoreApplication::applicationDirPath()).isWritable())
            QSKIP("the test program's folder is read-only here");
        const QString path = besideProgram();
        QFile::remove(path);
        const auto removeFile = qScopeGuard([&] { QFile::remove(path); });
        QCOMPARE(WriteSetting("A", "k", "v", QString()), QStringLiteral("1"));
        QCOMPARE(readBytes(path), QByteArray("[A]\nk=v\n"));
        QCOMPARE(ReadSetting("a", "K", QString()), QStringLiteral("v"));
        QVERIFY(!QFile::exists(settingsPath()));
    }

    // --- LoadSettings -----------------------------------------------------

    void loadCreatesDefaultFile()
    {
        QVERIFY(!QFileInfo::exists(m_config)); // the folder too is made
        LoadSettings();
        QCOMPARE(readBytes(settingsPath()), kDefaultFile);
        const SharedValues &s = shared();
        QCOMPARE(s.DeviceIndexText, QStringLiteral("0"));
        QCOMPARE(s.BitModeText, QStringLiteral("1"));
        QCOMPARE(s.MaskText, QStringLiteral("255"));
        QCOMPARE(s.DefaultDrive, QStringLiteral("c:"));
        QCOMPARE(s.DefaultDir, QStringLiteral("\\"));
        QCOMPARE(s.DeviceIndex, 0);
        QCOMPARE(s.BitMode, std::uint8_t(1));
        QCOMPARE(s.BitMask, std::uint8_t(255));
        QVERIFY(m_sink.shown.isEmpty());

        // The file just written loads back without a change.
        resetSharedValues();
        LoadSettings();
        QCOMPARE(readBytes(settingsPath()), kDefaultFile);
        QCOMPARE(shared().DefaultDir, QStringLiteral("\\"));
    }

    void loadKeepsCompleteFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("mask");
        QTest::addColumn<QString>("drive");
        QTest::addColumn<QString>("dir");

        QTest::newRow("plain") << settingsFile("2", "1", "255") << 2 << 1 << 255 << "c:" << "\\";
        QTest::newRow("names in other case, blanks")
            << QByteArray("[fdti]\nfdtino = 3\nFdtiNoBit=\t0\nfdtimask= 7 \n[DEFAUT]\ndef_drive=d:\ndef_dir=\\astro\\\n")
            << 3 << 0 << 7 << "d:" << "\\astro\\";
        QTest::newRow("CRLF, comments, other sections, unknown keys")
            << QByteArray("; Tavrel\r\n\r\n[Camera]\r\nModel=X\r\n\r\n[FDTI]\r\n; which adapter\r\nFDTINo=1\r\n"
                          "Serial=A1B2\r\nFDTINoBIT=4\r\nFDTIMask=15\r\n\r\n[Defaut]\r\nDEF_DRIVE=e:\r\n"
                          "DEF_DIR=\\nuits\\\r\n# end\r\n")
            << 1 << 4 << 15 << "e:" << "\\nuits\\";
        QTest::newRow("largest values") << settingsFile("2147483647", "255", "255") << 2147483647 << 255 << 255
                                        << "c:" << "\\";
        QTest::newRow("smallest values") << settingsFile("0", "0", "0") << 0 << 0 << 0 << "c:" << "\\";
        QTest::newRow("leading zeros") << settingsFile("007", "01", "0255") << 7 << 1 << 255 << "c:" << "\\";
    }

    void loadKeepsCompleteFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, index);
        QFETCH(int, mode);
        QFETCH(int, mask);
        QFETCH(QString, drive);
        QFETCH(QString, dir);
        writeBytes(settingsPath(), content);
        LoadSettings();
        QCOMPARE(readBytes(settingsPath()), content);
        QCOMPARE(shared().DeviceIndex, index);
        QCOMPARE(int(shared().BitMode), mode);
        QCOMPARE(int(shared().BitMask), mask);
        QCOMPARE(shared().DefaultDrive, drive);
        QCOMPARE(shared().DefaultDir, dir);
        QVERIFY(m_sink.shown.isEmpty());
    }

    void loadFillsMissingOrEmptyValues_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("empty mask") << settingsFile("2", "1", "") << settingsFile("2", "1", "255");
        QTest::newRow("blank index") << settingsFile("   ", "1", "255") << settingsFile("0", "1", "255");
        QTest::newRow("empty folder")
            << QByteArray("[FDTI]\nFDTINo=0\nFDTINoBIT=1\nFDTIMask=255\n[Defaut]\nDEF_DRIVE=\nDEF_DIR=\n")
            << kDefaultFile;
        QTest::newRow("missing keys go inside their section")
            << QByteArray("[FDTI]\r\nFDTINo=2\r\n; adapter\r\n\r\n[Defaut]\r\nDEF_DIR=\\astro\r\n")
            << QByteArray("[FDTI]\r\nFDTINo=2\r\nFDTINoBIT=1\r\nFDTIMask=255\r\n; adapter\r\n\r\n[Defaut]\r\n"
                          "DEF_DIR=\\astro\r\nDEF_DRIVE=c:\r\n");
        QTest::newRow("missing section appended")
            << QByteArray("; mine\n[FDTI]\nFDTINo=1\nFDTINoBIT=1\nFDTIMask=3\n")
            << QByteArray("; mine\n[FDTI]\nFDTINo=1\nFDTINoBIT=1\nFDTIMask=3\n[Defaut]\nDEF_DRIVE=c:\nDEF_DIR=\\\n");
        QTest::newRow("empty file") << QByteArray("") << kDefaultFile;
    }

    void loadFillsMissingOrEmptyValues()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        writeBytes(settingsPath(), before);
        LoadSettings();
        QCOMPARE(readBytes(settingsPath()), after);
        QVERIFY(m_sink.shown.isEmpty());
    }

    void loadCutsLongValue()
    {
        const QByteArray longDir = "\\" + QByteArray(299, 'd');
        const QByteArray content = "[FDTI]\nFDTINo=0\nFDTINoBIT=1\nFDTIMask=255\n[Defaut]\nDEF_DRIVE=c:\nDEF_DIR="
                                   + longDir + "\n";
        writeBytes(settingsPath(), content);
        LoadSettings();
        QCOMPARE(shared().DefaultDir, QString::fromLatin1(longDir.left(254)));
        QCOMPARE(readBytes(settingsPath()), content);
    }

    void loadResetsRunState()
    {
        writeBytes(settingsPath(), kDefaultFile);
        SharedValues &s = shared();
        s.ShutterHeld = -1;
        s.DeviceOpen = -1;
        s.TraceMessages = -1;
        s.PollIntervalMs = 20;
        LoadSettings();
        QCOMPARE(s.ShutterHeld, std::int16_t(0));
        QCOMPARE(s.DeviceOpen, 0);
        QCOMPARE(s.TraceMessages, std::int16_t(0));
        QCOMPARE(s.PollIntervalMs, 500);
    }

    void loadUsesDefaultsWhenFileCannotBeWritten()
    {
        const QString blocker = scratchPath(QStringLiteral("blocker"));
        writeBytes(blocker, "not a folder");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker + QStringLiteral("/config")));
        shared().BitMask = 3;
        shared().DeviceIndex = 5;
        LoadSettings();
        QCOMPARE(shared().DeviceIndexText, QStringLiteral("0"));
        QCOMPARE(shared().DeviceIndex, 0);
        QCOMPARE(shared().BitMode, std::uint8_t(1));
        QCOMPARE(shared().BitMask, std::uint8_t(255));
        QCOMPARE(shared().DefaultDrive, QStringLiteral("c:"));
        QCOMPARE(shared().DefaultDir, QStringLiteral("\\"));
        QVERIFY(m_sink.shown.isEmpty());
        QCOMPARE(readBytes(blocker), QByteArray("not a folder"));
    }

    // Choices the file will not take last the session (a window opened
    // later still finds them), and the user hears of it once, with the path.
    void unwritableFileKeepsChoicesForTheSession()
    {
        const QString blocker = scratchPath(QStringLiteral("blocker"));
        writeBytes(blocker, "not a folder");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker + QStringLiteral("/config")));
        QCOMPARE(WriteSetting("Affichage", "Nuit", "1", kSettingsFile), QStringLiteral("0"));
        QCOMPARE(WriteSetting("Defaut", "DEF_DIR", "/data/nuit", kSettingsFile), QStringLiteral("0"));
        QCOMPARE(ReadSetting("affichage", "NUIT", kSettingsFile), QStringLiteral("1"));
        LoadSettings();
        QCOMPARE(shared().DefaultDir, QStringLiteral("/data/nuit"));
        QCOMPARE(m_sink.shown.size(), 1);
        QVERIFY2(m_sink.shown.first().text.contains(blocker + QStringLiteral("/config/Tavrel.ini"))
                     && m_sink.shown.first().text.contains(QStringLiteral("session")),
                 qPrintable(m_sink.shown.first().text));
    }

    // A control byte in a value is shown, not passed on: a NUL would end the
    // message on its way to the box or the terminal, before its reason.
    void controlBytesInValuesShownVisibly_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("NUL") << QByteArray("1\0" "2", 3) << QStringLiteral("FDTIMask=1\\02 ");
        QTest::newRow("escape") << QByteArray("1\x1b[2J") << QStringLiteral("FDTIMask=1\\x1b[2J ");
    }
    void controlBytesInValuesShownVisibly()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, shown);
        writeBytes(settingsPath(), settingsFile("0", "1", value));
        LoadSettings();
        QCOMPARE(m_sink.shown.size(), 1);
        const QString text = m_sink.shown.first().text;
        QVERIFY2(text.indexOf(shown) >= 0 && text.indexOf(QStringLiteral("pas un nombre entier")) > text.indexOf(shown),
                 qPrintable(text));
        QVERIFY(!text.contains(QChar(0)) && !text.contains(QChar(0x1b)));
    }

    // A settings file that is no regular file of sane size is not read nor
    // replaced: the defaults serve, and the user is told once, with the path.
    void specialSettingsFile_data() { test::addSpecialFileRows(); }
    void specialSettingsFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QVERIFY(QDir().mkpath(m_config));
        const QString path = settingsPath();
        QVERIFY(test::makeSpecialFile(kind, path, kMaxProfileFileBytes, settingsFile("1", "1", "255")));
        const QFileInfo before(path);
        LoadSettings();
        LoadSettings();
        QCOMPARE(shared().DeviceIndex, 0);
        QCOMPARE(m_sink.shown.size(), 1);
        const QString text = m_sink.shown.first().text;
        QVERIFY2(text.contains(path) && text.contains(reason), qPrintable(text));
        QCOMPARE(QFileInfo(path).size(), before.size()); // neither replaced nor filled in
    }

    // A bad adapter value must never reach the chip as a garbage byte: the
    // default is used, the user's file is kept for them to fix, and they are
    // told once.
    void adapterValues_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<qint64>("used");
        QTest::addColumn<bool>("warned");
        QTest::addColumn<bool>("rewritten"); // with the default

        const QList<QByteArray> keys{"FDTINo", "FDTINoBIT", "FDTIMask"};
        const QList<qint64> defaults{0, 1, 255};
        for (int k = 0; k < keys.size(); ++k) {
            const QByteArray &key = keys[k];
            const bool byte = key != "FDTINo";
            QList<QByteArray> bad{"abc", "-1", "1.5", "+1", "0x10", "1 2", "%0",
                                  "\xEF\xBC\x91" /* fullwidth 1 */};
            bad << (byte ? QByteArray("256") : QByteArray("2147483648")) << "99999999999999999999";
            // A bad rank opens nothing (-1): the first chip may be a mount's cable.
            for (const QByteArray &value : bad) {
                QTest::addRow("%s=%s bad", key.constData(), value.constData())
                    << key << value << (byte ? defaults[k] : -1) << true << false;
            }
            // Empty is not an error: the key is only filled in, like a missing one.
            QTest::addRow("%s= empty", key.constData()) << key << QByteArray() << defaults[k] << false << true;
            QTest::addRow("%s=17 good", key.constData()) << key << QByteArray(" 17 ") << qint64(17) << false << false;
            if (!byte) {
                QTest::addRow("%s=256 good", key.constData())
                    << key << QByteArray("256") << qint64(256) << false << false;
            }
        }
    }

    void adapterValues()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, value);
        QFETCH(qint64, used);
        QFETCH(bool, warned);
        QFETCH(bool, rewritten);

        const auto fileWith = [&](const QByteArray &text) {
            return settingsFile(key == "FDTINo" ? text : "0", key == "FDTINoBIT" ? text : "1",
                                key == "FDTIMask" ? text : "255");
        };
        const QByteArray content = fileWith(value);
        const QByteArray expectedFile = rewritten ? fileWith(QByteArray::number(used)) : content;
        const QString expectedText = rewritten ? QString::number(used) : QString::fromUtf8(value).trimmed();
        writeBytes(settingsPath(), content);
        const auto usedValue = [&]() -> qint64 {
            if (key == "FDTINo")
                return shared().DeviceIndex;
            return key == "FDTINoBIT" ? shared().BitMode : shared().BitMask;
        };
        const auto textRead = [&] {
            if (key == "FDTINo")
                return shared().DeviceIndexText;
            return key == "FDTINoBIT" ? shared().BitModeText : shared().MaskText;
        };

        for (int load = 1; load <= 2; ++load) {
            LoadSettings();
            QCOMPARE(usedValue(), used);
            QCOMPARE(textRead(), expectedText);
            QCOMPARE(readBytes(settingsPath()), expectedFile);
            // The second load (window opened again) says nothing new.
            QCOMPARE(m_sink.shown.size(), warned ? 1 : 0);
        }
        if (!warned)
            return;
        const Message &message = m_sink.shown.first();
        QCOMPARE(message.kind, MessageKind::Warning);
        const QString text = message.text;
        QVERIFY2(text.contains(QString::fromUtf8(key + '=' + value)), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("[FDTI]")), qPrintable(text));
        QVERIFY2(text.contains(settingsPath()), qPrintable(text));
        QVERIFY2(text.contains(key == "FDTINo" ? QStringLiteral("de 0 à 2147483647") : QStringLiteral("de 0 à 255")),
                 qPrintable(text));
        QVERIFY2(text.contains(used < 0 ? QStringLiteral("Aucun adaptateur n'est ouvert")
                                        : QStringLiteral("par défaut %1 ").arg(used)),
                 qPrintable(text));
    }

    void adapterWarningWording()
    {
        writeBytes(settingsPath(), settingsFile("0", "1", "abc"));
        LoadSettings();
        QCOMPARE(m_sink.texts(),
                 QStringList{QStringLiteral("Le réglage FDTIMask=abc de la section [FDTI] du fichier ") + settingsPath()
                             + QStringLiteral(" n'est pas un nombre entier de 0 à 255. La valeur par défaut 255 est "
                                              "utilisée ; corrigez le fichier puis relancez Tavrel.")});
    }

    void adapterWarningOncePerDistinctValue()
    {
        // The same mistake in two keys is two things to fix.
        writeBytes(settingsPath(), settingsFile("abc", "1", "abc"));
        LoadSettings();
        QCOMPARE(m_sink.shown.size(), 2);
        QVERIFY(m_sink.shown[0].text.contains(QStringLiteral("FDTINo=abc ")));
        QVERIFY(m_sink.shown[1].text.contains(QStringLiteral("FDTIMask=abc ")));

        // The user fixes one value and mistypes it anew: only the new value
        // is worth a box.
        writeBytes(settingsPath(), settingsFile("abc", "1", "ab"));
        LoadSettings();
        QCOMPARE(m_sink.shown.size(), 3);
        QVERIFY(m_sink.shown[2].text.contains(QStringLiteral("FDTIMask=ab ")));

        // Back to a value already reported: nothing more.
        writeBytes(settingsPath(), settingsFile("abc", "1", "abc"));
        LoadSettings();
        QCOMPARE(m_sink.shown.size(), 3);

        resetSettingsWarnings();
        LoadSettings();
        QCOMPARE(m_sink.shown.size(), 5);
    }
};

QTEST_GUILESS_MAIN(TstSettings)
#include "tst_settings.moc"
