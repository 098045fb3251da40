#include "modes/scenario_reader.h"
#include "support/special_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrel;

namespace {

// One step as "L<line> f1|f2|f3|f4|f5" (fewer fields when the file ran out).
QString describe(const ScenarioStep &s)
{
    const QStringList all{s.time, s.mirror, s.exposure, s.pause, s.comment};
    return QStringLiteral("L%1 %2").arg(s.line).arg(all.mid(0, s.fields).join(QLatin1Char('|')));
}

// Every step up to the end of the file; the end step is marked "END".
QStringList readAll(ScenarioReader &reader)
{
    QStringList out;
    for (int guard = 0; guard < 100 && !reader.atEnd(); ++guard) {
        const ScenarioStep s = reader.readStep();
        out << describe(s) + (s.fields == 5 && reader.atEnd() ? QStringLiteral(" END") : QString());
        if (s.fields < 5)
            break;
    }
    return out;
}

const QByteArray kWorkedExample = "21:45:00,0,30,5,Test frame\n"
                                  "*,2,90,10,\"M42, frame 1\"\n"
                                  "*,2,90,10,\"M42, frame 2\"\n"
                                  "22:30:00,0,300,0,Dark frame\n"
                                  "*,0,0,0,fin\n";

} // namespace

class TstScenarioReader : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_savedCwd;
    int m_case = 0;

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }
    QString fresh(const QByteArray &bytes) { return write(QStringLiteral("case%1.txt").arg(++m_case), bytes); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_savedCwd = QDir::currentPath();
        // Chained names are relative to the working directory.
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }
    void cleanupTestCase() { QDir::setCurrent(m_savedCwd); }

    void fields_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("steps");

        QTest::newRow("worked example")
            << kWorkedExample
            << QStringList{"L1 21:45:00|0|30|5|Test frame", "L2 *|2|90|10|M42, frame 1",
                           "L3 *|2|90|10|M42, frame 2", "L4 22:30:00|0|300|0|Dark frame",
                           "L5 *|0|0|0|fin END"};
        QTest::newRow("unquoted comma shifts the next steps")
            << QByteArray("*,2,90,10,M42, frame 1\n*,0,0,0,fin\n")
            << QStringList{"L1 *|2|90|10|M42", "L1 frame 1|*|0|0|0", "L2 fin"};
        QTest::newRow("four fields borrow the fifth from the next line")
            << QByteArray("*,0,30,5\nnote,*,0,0,0\nend\n")
            << QStringList{"L1 *|0|30|5|note", "L2 *|0|0|0|end END"};
        QTest::newRow("one field per line")
            << QByteArray("*\n1\n30\n0\nx\n*\n0\n0\n0\nfin\n")
            << QStringList{"L1 *|1|30|0|x", "L6 *|0|0|0|fin END"};
        QTest::newRow("only the end step") << QByteArray("*,0,0,0,fin\n") << QStringList{"L1 *|0|0|0|fin END"};
        QTest::newRow("no line end at the very end")
            << QByteArray("*,0,30,0,a\n*,0,0,0,fin") << QStringList{"L1 *|0|30|0|a", "L2 *|0|0|0|fin END"};
        QTest::newRow("empty line ends after the end step")
            << QByteArray("*,0,30,0,a\n*,0,0,0,fin\n\n\r\n\r") << QStringList{"L1 *|0|30|0|a", "L2 *|0|0|0|fin END"};
        QTest::newRow("DOS end-of-file mark")
            << QByteArray("*,0,30,0,a\r\n*,0,0,0,fin\r\n\x1a") << QStringList{"L1 *|0|30|0|a", "L2 *|0|0|0|fin END"};
        QTest::newRow("blanks and tabs before a field are skipped, after it dropped")
            << QByteArray("  *, \t1 ,\t30\t,  0,  deux mots  \n*,0,0,0,fin\n")
            << QStringList{"L1 *|1|30|0|deux mots", "L2 *|0|0|0|fin END"};
        QTest::newRow("quotes keep blanks, time forms as written")
            << QByteArray("\"21:45:00\",0,30,0,\"  a \"\n#21:45:00#,0,30,0,b\n*,0,0,0,fin\n")
            << QStringList{"L1 21:45:00|0|30|0|  a ", "L2 #21:45:00#|0|30|0|b", "L3 *|0|0|0|fin END"};
        QTest::newRow("an unclosed quote stops at the line end")
            << QByteArray("*,0,30,0,\"M42, frame\n*,0,0,0,fin\n")
            << QStringList{"L1 *|0|30|0|M42, frame", "L2 *|0|0|0|fin END"};
        QTest::newRow("text after a closing quote stays in the value")
            << QByteArray("*,0,\"30\"x,0,a\n*,0,0,0,fin\n") << QStringList{"L1 *|0|30x|0|a", "L2 *|0|0|0|fin END"};
        QTest::newRow("an empty line is an empty field")
            << QByteArray("*,0,30,0,a\n\n*,0,30,0,b\n*,0,0,0,fin\n")
            << QStringList{"L1 *|0|30|0|a", "L2 |*|0|30|0", "L3 b|*|0|0|0", "L4 fin"};
        QTest::newRow("trailing comma then end of file: empty last field")
            << QByteArray("*,0,30,0,a\n*,0,0,0,") << QStringList{"L1 *|0|30|0|a", "L2 *|0|0|0| END"};
        QTest::newRow("short last step") << QByteArray("*,0,30,0,a\n*,0,0\n")
                                         << QStringList{"L1 *|0|30|0|a", "L2 *|0|0"};
        QTest::newRow("blank line at the end")
            << QByteArray("*,0,30,0,a\n*,0,0,0,fin\n   \n") << QStringList{"L1 *|0|30|0|a", "L2 *|0|0|0|fin", "L3 "};
    }

    void fields()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, steps);
        ScenarioReader reader;
        QVERIFY(reader.open(fresh(content)));
        QCOMPARE(readAll(reader), steps);
    }

    // The same file with each kind of line end reads the same, lines counted alike.
    void lineEnds_data()
    {
        QTest::addColumn<QByteArray>("eol");
        QTest::newRow("CR LF") << QByteArray("\r\n");
        QTest::newRow("LF") << QByteArray("\n");
        QTest::newRow("CR") << QByteArray("\r");
    }
    void lineEnds()
    {
        QFETCH(QByteArray, eol);
        QByteArray content = kWorkedExample;
        content.replace('\n', eol);
        ScenarioReader reader;
        QVERIFY(reader.open(fresh(content)));
        QCOMPARE(readAll(reader),
                 (QStringList{"L1 21:45:00|0|30|5|Test frame", "L2 *|2|90|10|M42, frame 1",
                              "L3 *|2|90|10|M42, frame 2", "L4 22:30:00|0|300|0|Dark frame",
                              "L5 *|0|0|0|fin END"}));
        const ScenarioCheck c = checkScenarioFile(fresh(content));
        QVERIFY2(c.ok(), qPrintable(c.error));
        QCOMPARE(c.stepCount, 5);
    }

    void stepAcrossLines()
    {
        ScenarioReader reader;
        QVERIFY(reader.open(fresh("*,0\n30,0,a\n*,0,0,0,fin\n")));
        const ScenarioStep s = reader.readStep();
        QCOMPARE(s.line, 1);
        QCOMPARE(s.lastLine, 2);
        QVERIFY(s.startsLine);
        const ScenarioStep end = reader.readStep();
        QCOMPARE(end.line, 3);
        QVERIFY(reader.atEnd());
    }

    void decoding_data()
    {
        QTest::addColumn<QByteArray>("comment");
        QTest::addColumn<QString>("expected");
        QTest::newRow("UTF-8") << QByteArray("Pose d'\xc3\xa9t\xc3\xa9") << QStringLiteral("Pose d'été");
        QTest::newRow("Latin-1") << QByteArray("Pose d'\xe9t\xe9 \xe0 l'\xe9toile") << QStringLiteral("Pose d'été à l'étoile");
        QTest::newRow("Windows-1252 quotes and euro")
            << QByteArray("l\x92\xe9t\xe9 \x80 \x93M31\x94 \x85") << QStringLiteral("l’été € “M31” …");
        QTest::newRow("plain ASCII") << QByteArray("Dark frame") << QStringLiteral("Dark frame");
    }
    void decoding()
    {
        QFETCH(QByteArray, comment);
        QFETCH(QString, expected);
        ScenarioReader reader;
        QVERIFY(reader.open(fresh("*,0,30,0," + comment + "\n*,0,0,0,fin\n")));
        QCOMPARE(reader.readStep().comment, expected);
    }

    void utf8MarkIsNoContent()
    {
        ScenarioReader reader;
        QVERIFY(reader.open(fresh("\xef\xbb\xbf*,0,30,0,\xc3\xa9t\xc3\xa9\n*,0,0,0,fin\n")));
        const ScenarioStep s = reader.readStep();
        QCOMPARE(s.time, QStringLiteral("*"));
        QCOMPARE(s.comment, QStringLiteral("été"));
    }

    void timeField_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("21:45:00") << QByteArray("21:45:00") << true;
        QTest::newRow("quoted") << QByteArray("\"21:45:00\"") << true;
        QTest::newRow("hashes") << QByteArray("#21:45:00#") << true;
        QTest::newRow("no seconds") << QByteArray("21:45") << true;
        QTest::newRow("at once") << QByteArray("*") << true;
        QTest::newRow("midnight") << QByteArray("00:00:00") << true;
        QTest::newRow("hour 24") << QByteArray("24:00:00") << false;
        QTest::newRow("French form") << QByteArray("21h45") << false;
        QTest::newRow("empty") << QByteArray("") << false;
        QTest::newRow("file that does not exist") << QByteArray("part9.txt") << false;
        QTest::newRow("a folder is no scenario file") << QByteArray("sub") << false;
    }
    void timeField()
    {
        QFETCH(QByteArray, field);
        QFETCH(bool, accepted);
        QDir(m_dir.path()).mkpath(QStringLiteral("sub"));
        ScenarioReader reader;
        QVERIFY(reader.open(fresh(field + ",0,30,0,x\n*,0,0,0,fin\n")));
        const auto problem = stepProblem(reader.readStep());
        QCOMPARE(!problem.has_value(), accepted);
        if (problem)
            QVERIFY2(problem->startsWith(QStringLiteral("l'horaire « ")), qPrintable(*problem));
    }

    void figures_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("problem"); // empty: the step is fine

        QTest::newRow("all fine") << QByteArray("*,2,90,10,x") << QString();
        QTest::newRow("signs and blanks") << QByteArray("*, +2 ,\" 90 \",0,x") << QString();
        QTest::newRow("largest figures") << QByteArray("*,2000000,2000000,2000000,x") << QString();
        QTest::newRow("exposure 0")
            << QByteArray("*,0,0,0,x")
            << QStringLiteral("le temps de pose « 0 » ne convient pas ; il faut un nombre entier de secondes, au moins 1.");
        QTest::newRow("exposure not whole")
            << QByteArray("*,0,2.5,0,x")
            << QStringLiteral("le temps de pose « 2.5 » ne convient pas ; il faut un nombre entier de secondes, au moins 1.");
        QTest::newRow("exposure too long")
            << QByteArray("*,0,2000001,0,x")
            << QStringLiteral("le temps de pose « 2000001 » ne convient pas ; il faut un nombre entier de secondes, au plus 2000000.");
        QTest::newRow("exposure beyond 32 bits")
            << QByteArray("*,0,99999999999,0,x")
            << QStringLiteral("le temps de pose « 99999999999 » ne convient pas ; il faut un nombre entier de secondes, au moins 1.");
        QTest::newRow("negative mirror")
            << QByteArray("*,-1,30,0,x")
            << QStringLiteral("le délai miroir « -1 » ne convient pas ; il faut un nombre entier de secondes, 0 (sans relevage du miroir) ou plus.");
        QTest::newRow("mirror empty")
            << QByteArray("*,,30,0,x")
            << QStringLiteral("le délai miroir «  » ne convient pas ; il faut un nombre entier de secondes, 0 (sans relevage du miroir) ou plus.");
        QTest::newRow("negative pause")
            << QByteArray("*,0,30,-5,x")
            << QStringLiteral("le délai entre poses « -5 » ne convient pas ; il faut un nombre entier de secondes, 0 ou plus.");
        QTest::newRow("pause in words")
            << QByteArray("*,0,30,dix,x")
            << QStringLiteral("le délai entre poses « dix » ne convient pas ; il faut un nombre entier de secondes, 0 ou plus.");
    }
    void figures()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, problem);
        ScenarioReader reader;
        QVERIFY(reader.open(fresh(line + "\n*,0,0,0,fin\n")));
        QCOMPARE(stepProblem(reader.readStep()).value_or(QString()), problem);
    }

    // A chain step only carries its first field: "0" as exposure is fine there.
    // Its name is looked for from the working directory, not the file's folder.
    void chainStep()
    {
        write(QStringLiteral("part2.txt"), "*,0,30,0,b\n*,0,0,0,fin\n");
        const QString nested = write(QStringLiteral("nights/main.txt"),
                                     "part2.txt,0,0,0,go on\nnights-only.txt,0,0,0,x\n*,0,0,0,fin\n");
        write(QStringLiteral("nights/nights-only.txt"), "*,0,30,0,b\n*,0,0,0,fin\n");
        ScenarioReader reader;
        QVERIFY(reader.open(nested));
        const ScenarioStep chain = reader.readStep();
        QVERIFY(isChainStep(chain));
        QVERIFY(!stepProblem(chain));
        const ScenarioStep other = reader.readStep();
        QVERIFY(!isChainStep(other));
        QVERIFY(stepProblem(other)->contains(QDir::currentPath()));
    }

    void counting_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("steps");
        QTest::addColumn<int>("errorLine"); // -1: no error
        QTest::addColumn<QString>("fragment");

        QTest::newRow("worked example") << kWorkedExample << 5 << -1 << QString();
        QTest::newRow("only the end step") << QByteArray("*,0,0,0,fin\n") << 1 << -1 << QString();
        QTest::newRow("end step content does not matter")
            << QByteArray("*,0,30,0,a\nwhatever,x,y,z,w\n") << 2 << -1 << QString();
        QTest::newRow("past steps are checked too")
            << QByteArray("*,0,30,0,a\n01:00,0,0,0,b\n*,0,0,0,fin\n") << 0 << 2
            << QStringLiteral("le temps de pose « 0 »");
        QTest::newRow("bad time on line 4")
            << QByteArray("*,0,30,0,a\n*,0,30,0,b\n*,0,30,0,c\n25:00,0,30,0,d\n*,0,0,0,fin\n") << 0 << 4
            << QStringLiteral("l'horaire « 25:00 »");
        QTest::newRow("unquoted comma: found where the shift starts")
            << QByteArray("*,2,90,10,M42, frame 1\n*,2,90,10,x\n*,0,0,0,fin\n") << 0 << 1
            << QStringLiteral("une virgule en trop");
        QTest::newRow("short last step")
            << QByteArray("*,0,30,0,a\n*,0,0\n") << 0 << 2 << QStringLiteral("n'a que 3 champs sur 5");
        QTest::newRow("blank lines at the end")
            << QByteArray("*,0,30,0,a\n*,0,0,0,fin\n \n\t\n") << 0 << 3 << QStringLiteral("lignes blanches");
        QTest::newRow("empty file") << QByteArray() << 0 << 0 << QStringLiteral("aucune étape");
        QTest::newRow("line ends only") << QByteArray("\r\n\r\n") << 0 << 0 << QStringLiteral("aucune étape");
    }
    void counting()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, steps);
        QFETCH(int, errorLine);
        QFETCH(QString, fragment);
        const QString path = fresh(content);
        const ScenarioCheck c = checkScenarioFile(path);
        if (errorLine < 0) {
            QVERIFY2(c.ok(), qPrintable(c.error));
            QCOMPARE(c.stepCount, steps);
            return;
        }
        QVERIFY(!c.ok());
        QCOMPARE(c.errorLine, errorLine);
        const QString where = errorLine > 0 ? QStringLiteral("Scénario %1, ligne %2 : ").arg(path).arg(errorLine)
                                            : QStringLiteral("Scénario %1 : ").arg(path);
        QVERIFY2(c.error.startsWith(where), qPrintable(c.error));
        QVERIFY2(c.error.contains(fragment), qPrintable(c.error));
    }

    void exactMessage()
    {
        const QString path = fresh("*,0,30,0,a\n*,0,30,0,b\n*,0,30,0,c\n*,0,0,5,d\n*,0,0,0,fin\n");
        QCOMPARE(checkScenarioFile(path).error,
                 QStringLiteral("Scénario %1, ligne 4 : le temps de pose « 0 » ne convient pas ; il faut "
                                "un nombre entier de secondes, au moins 1.")
                     .arg(path));
    }

    void missingFile()
    {
        const ScenarioCheck c = checkScenarioFile(QStringLiteral("absent.txt"));
        QVERIFY(!c.ok());
        QVERIFY2(c.error.startsWith(QStringLiteral("Scénario %1 : ").arg(QDir::current().absoluteFilePath("absent.txt"))),
                 qPrintable(c.error));
        QVERIFY(c.error.contains(QStringLiteral("introuvable")));
    }

    // Only a regular file of sane size is read; anything else is refused at
    // once, naming the path, and never waited on.
    void specialFiles_data()
    {
        test::addSpecialFileRows();
        QTest::newRow("chained FIFO") << "chain" << "tube nommé";
    }
    void specialFiles()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        const QString path = m_dir.filePath(QStringLiteral("special-%1").arg(++m_case));
        QVERIFY(test::makeSpecialFile(kind == "chain" ? "fifo" : kind, path, kMaxScenarioFileBytes,
                                      "*,0,30,0,a\n*,0,0,0,fin\n"));
        const QString checked =
            kind == "chain" ? fresh(QFileInfo(path).fileName().toUtf8() + ",0,0,0,suite\n*,0,0,0,fin\n") : path;
        const ScenarioCheck c = checkScenarioFile(checked);
        QVERIFY(!c.ok());
        QVERIFY2(c.error.contains(path) && c.error.contains(reason), qPrintable(c.error));
    }

    // Files the first one chains to are checked at start too; the count stays
    // that of the first file; each file is read once, even when they chain in
    // a ring.
    void chainedFilesChecked()
    {
        write(QStringLiteral("ring-a.txt"), "*,0,30,0,a\nring-b.txt,0,0,0,to b\n*,0,0,0,fin\n");
        write(QStringLiteral("ring-b.txt"), "*,0,30,0,b\n*,0,30,0,b\nring-a.txt,0,0,0,to a\n*,0,0,0,fin\n");
        const ScenarioCheck ring = checkScenarioFile(QStringLiteral("ring-a.txt"));
        QVERIFY2(ring.ok(), qPrintable(ring.error));
        QCOMPARE(ring.stepCount, 3);

        write(QStringLiteral("bad-2.txt"), "*,0,30,0,a\n*,0,-3,0,b\n*,0,0,0,fin\n");
        const QString first = write(QStringLiteral("good-1.txt"), "*,0,30,0,a\nbad-2.txt,0,0,0,go\n*,0,0,0,fin\n");
        const ScenarioCheck bad = checkScenarioFile(first);
        QVERIFY(!bad.ok());
        const QString badPath = QDir::current().absoluteFilePath("bad-2.txt");
        QCOMPARE(bad.errorFile, badPath);
        QCOMPARE(bad.errorLine, 2);
        QVERIFY2(bad.error.startsWith(QStringLiteral("Scénario %1, ligne 2 : le temps de pose « -3 »")
                                          .arg(badPath)),
                 qPrintable(bad.error));
        QVERIFY2(bad.error.contains(QStringLiteral("enchaîné depuis %1, ligne 2").arg(first)), qPrintable(bad.error));
        QVERIFY(checkScenarioFile(first, false).ok());
    }

    // The counting pass works on a copy: the run channel keeps its place.
    void checkLeavesReaderInPlace()
    {
        ScenarioReader reader;
        QVERIFY(reader.open(fresh(kWorkedExample)));
        reader.readStep();
        const ScenarioCheck c = checkSteps(reader);
        QVERIFY(c.ok());
        QCOMPARE(c.stepCount, 4);
        QCOMPARE(reader.readStep().line, 2);
    }
};

QTEST_GUILESS_MAIN(TstScenarioReader)
#include "tst_scenario_reader.moc"
