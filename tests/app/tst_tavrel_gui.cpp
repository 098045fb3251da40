// The window program as a user starts it: every way it ends lets the release
// go and closes the adapter, as its adapter log shows.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

class TestTavrelGui : public QObject {
    Q_OBJECT
private slots:
    void signalsLetGoAndClose_data();
    void signalsLetGoAndClose();
    void helpListsTheOptions();
    void killedOutrightTheGuardianLetsGo();

private:
    static QStringList logLines(const QString &path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
};

void TestTavrelGui::signalsLetGoAndClose_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestTavrelGui::signalsLetGoAndClose()
{
    QFETCH(int, signalNumber);
    QTemporaryDir home;
    const QString log = home.filePath("adapter.log");
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(qEnvironmentVariable("TAVREL_GUI"), {"--simulate", "--adapter-log", log});
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(logLines(log).join('\n').contains("FT_SetBitMode"), 15000);
    ::kill(pid_t(p.processId()), signalNumber);
    QVERIFY(p.waitForFinished(15000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    const QStringList lines = logLines(log);
    QVERIFY(lines.size() >= 2);
    QVERIFY2(lines.at(lines.size() - 2).contains("FT_Write(handle=1, byte=0x00) = 0"), qPrintable(lines.join('\n')));
    QVERIFY(lines.last().contains("FT_Close(handle=1) = 0"));
}

void TestTavrelGui::helpListsTheOptions()
{
    QProcess p;
    p.start(qEnvironmentVariable("TAVREL_GUI"), {"--help"});
    QVERIFY(p.waitForFinished(15000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    for (const char *option : {"--simulate", "--adapter-log", "--version", "--help"})
        QVERIFY2(out.contains(option), option);
}

// Killed outright, the window program leaves the line to its guardian, which
// opens the adapter again, writes 0 and closes it.
void TestTavrelGui::killedOutrightTheGuardianLetsGo()
{
    QTemporaryDir home;
    const QString log = home.filePath("adapter.log");
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(qEnvironmentVariable("TAVREL_GUI"), {"--simulate", "--adapter-log", log});
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(logLines(log).join('\n').contains("FT_SetBitMode"), 15000);
    const int before = int(logLines(log).filter("FT_Open(").size());
    ::kill(pid_t(p.processId()), SIGKILL);
    QVERIFY(p.waitForFinished(15000));
    QTRY_VERIFY_WITH_TIMEOUT(logLines(log).last().contains("FT_Close("), 5000);
    const QStringList lines = logLines(log);
    QCOMPARE(lines.filter("FT_Open(").size(), before + 1);
    QVERIFY2(lines.at(lines.size() - 2).contains("FT_Write(handle=1, byte=0x00) = 0"), qPrintable(lines.join('\n')));
}

QTEST_GUILESS_MAIN(TestTavrelGui)
#include "tst_tavrel_gui.moc"
