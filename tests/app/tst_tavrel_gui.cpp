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
    void commandLineNeedsNoDisplay_data();
    void commandLineNeedsNoDisplay();
    void killedOutrightTheGuardianLetsGo();

private:
    // The window program on a simulated adapter, with settings and journal
    // in `home` and its adapter log in `log`.
    static void startOnSimulatedAdapter(QProcess &p, const QTemporaryDir &home, const QString &log)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", home.filePath("config"));
        env.insert("XDG_DATA_HOME", home.filePath("data"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.start(qEnvironmentVariable("TAVREL_GUI"), {"--simulate", "--adapter-log", log});
    }

    static QStringList logLines(const QString &path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    static QStringList outputOf(const QString &program, const QString &option)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(display);
        p.setProcessEnvironment(env);
        p.start(program, {option});
        if (!p.waitForFinished(15000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return {QStringLiteral("failed: ") + QString::fromUtf8(p.readAllStandardError())};
        return QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    }
};

void TestTavrelGui::signalsLetGoAndClose_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("startUpBox");
    for (const bool box : {false, true}) {
        const char *when = box ? "during the start-up box" : "running";
        QTest::addRow("SIGTERM %s", when) << int(SIGTERM) << box;
        QTest::addRow("SIGINT %s", when) << int(SIGINT) << box;
        QTest::addRow("SIGHUP %s", when) << int(SIGHUP) << box;
        QTest::addRow("SIGQUIT %s", when) << int(SIGQUIT) << box;
    }
}

void TestTavrelGui::signalsLetGoAndClose()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, startUpBox);
    QTemporaryDir home;
    const QString log = home.filePath("adapter.log");
    if (startUpBox) {
        // A mask out of range: the program starts with a warning box open.
        QVERIFY(QDir().mkpath(home.filePath("config")));
        QFile ini(home.filePath("config/Tavrel.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[FDTI]\nFDTINo=0\nFDTINoBIT=1\nFDTIMask=256\n");
    }
    QProcess p;
    startOnSimulatedAdapter(p, home, log);
    QVERIFY(p.waitForStarted());
    // A box that held up the load would keep the adapter from being set up:
    // the signal then comes while it waits.
    const bool loaded = QTest::qWaitFor([&] { return logLines(log).join('\n').contains("FT_SetBitMode"); }, 15000);
    ::kill(pid_t(p.processId()), signalNumber);
    QVERIFY(p.waitForFinished(15000));
    QVERIFY(loaded);
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 128 + signalNumber);
    const QStringList lines = logLines(log);
    QVERIFY(lines.size() >= 2);
    QVERIFY2(lines.at(lines.size() - 2).contains("FT_Write(handle=1, byte=0x00) = 0"), qPrintable(lines.join('\n')));
    QVERIFY(lines.last().contains("FT_Close(handle=1) = 0"));
}

void TestTavrelGui::commandLineNeedsNoDisplay_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("--version") << "--version";
    QTest::newRow("--help") << "--help";
    QTest::newRow("--bogus") << "--bogus";
}

void TestTavrelGui::commandLineNeedsNoDisplay()
{
    // With no display at all, both programs answer, and in the same words;
    // a mistyped option is refused as such, not taken for a display fault.
    QFETCH(QString, option);
    const QStringList gui = outputOf(qEnvironmentVariable("TAVREL_GUI"), option);
    const QStringList run = outputOf(qEnvironmentVariable("TAVREL_RUN"), option);
    if (option == "--bogus") {
        for (const QStringList &refusal : {gui, run})
            QVERIFY2(refusal.join('\n').contains("option inconnue « bogus »"), qPrintable(refusal.join('\n')));
        return;
    }
    QVERIFY2(!gui.isEmpty() && !gui.first().startsWith("failed"), qPrintable(gui.join('\n')));
    if (option == "--version") {
        QCOMPARE(gui, QStringList{"tavrel " + run.first().section(' ', 1)});
        return;
    }
    QCOMPARE(gui.first().section(' ', 0, 1), run.first().section(' ', 0, 1));
    for (const QString &shared : {QStringLiteral("Options"), QStringLiteral("--help"), QStringLiteral("--version")})
        QCOMPARE(gui.filter(shared).first().simplified(), run.filter(shared).first().simplified());
    QVERIFY(!gui.filter("--simulate").isEmpty() && !gui.filter("--adapter-log").isEmpty());
}

// Killed outright, the window program leaves the line to its guardian, which
// opens the adapter again, writes 0 and closes it.
void TestTavrelGui::killedOutrightTheGuardianLetsGo()
{
    QTemporaryDir home;
    const QString log = home.filePath("adapter.log");
    QProcess p;
    startOnSimulatedAdapter(p, home, log);
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
