// tavrel-run as a user runs it: a real process, its output, its exit status,
// and the adapter log as the record of what the camera saw.

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "modes/sky_times.h"
#include <csignal>
#include <sys/stat.h>
#include <memory>

namespace {

struct Write {
    qint64 us; // seconds since the program started, in microseconds
    int byte;
};

struct Result {
    int status = -1;
    QStringList out; // standard output, line by line
    QString err;
};

const QByteArray kWorkedExample = "21:45:00,0,30,5,Test frame\n"
                                  "*,2,90,10,\"M42, frame 1\"\n"
                                  "*,2,90,10,\"M42, frame 2\"\n"
                                  "22:30:00,0,300,0,Dark frame\n"
                                  "*,0,0,0,fin\n";

// A real run in real time, on a machine that may be busy with other work:
// these tests check which waits the program makes, to within half the
// smallest difference between two of them (200 ms); how precisely it keeps
// them is the benchmark's business.
constexpr qint64 kToleranceUs = 100000;

const QRegularExpression kWallStamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d "));
const QRegularExpression kPlanStamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}( \\(J\\+\\d+\\))? "));

} // namespace

class TstTavrelRun : public QObject {
    Q_OBJECT

private:
    QString m_program;
    std::unique_ptr<QTemporaryDir> m_dir;

    QString path(const QString &name) const { return m_dir->filePath(name); }
    QString configDir() const { return m_dir->filePath(QStringLiteral("config")); }

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString p = path(name);
        QDir().mkpath(QFileInfo(p).absolutePath());
        QFile f(p);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(p));
        return p;
    }

    // Each run on a settings folder and a working directory of its own.
    void start(QProcess &process, const QStringList &arguments, const QString &program = QString())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir());
        env.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(m_dir->path());
        if (program.isEmpty())
            process.start(m_program, arguments);
        else
            process.start(program, QStringList{m_program} + arguments);
        QVERIFY2(process.waitForStarted(5000), qPrintable(process.errorString()));
    }

    static Result finish(QProcess &process, const QByteArray &outSoFar = QByteArray(), int timeoutMs = 20000)
    {
        Result r;
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished();
            return r;
        }
        const QByteArray out = outSoFar + process.readAllStandardOutput();
        r.out = QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        r.err = QString::fromUtf8(process.readAllStandardError());
        r.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return r;
    }

    Result run(const QStringList &arguments)
    {
        QProcess process;
        start(process, arguments);
        return finish(process);
    }

    // Reads standard output until a line holds `fragment`.
    static bool waitForOutput(QProcess &process, QByteArray &out, const QString &fragment, int timeoutMs = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!QString::fromUtf8(out).contains(fragment)) {
            if (clock.elapsed() > timeoutMs || process.state() != QProcess::Running)
                return false;
            process.waitForReadyRead(100);
            out += process.readAllStandardOutput();
        }
        return true;
    }

    QStringList logLines(const QString &name) const
    {
        QFile f(path(name));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    QList<Write> writes(const QString &name) const
    {
        static const QRegularExpression re(
            QStringLiteral("^(\\d+)\\.(\\d{6}) FT_Write\\(handle=\\d+, byte=0x([0-9a-f]{2})\\) = 0 written=1$"));
        QList<Write> out;
        for (const QString &line : logLines(name)) {
            const auto m = re.match(line);
            if (m.hasMatch())
                out.append({m.captured(1).toLongLong() * 1000000 + m.captured(2).toLongLong(),
                            m.captured(3).toInt(nullptr, 16)});
        }
        return out;
    }

    static QList<int> bytes(const QList<Write> &w)
    {
        QList<int> out;
        for (const Write &x : w)
            out.append(x.byte);
        return out;
    }

    // Every expected fragment turns up, in this order, each on its own line.
    static void verifyInOrder(const QStringList &lines, const QStringList &fragments)
    {
        int at = 0;
        for (const QString &fragment : fragments) {
            while (at < lines.size() && !lines.at(at).contains(fragment))
                ++at;
            QVERIFY2(at < lines.size(), qPrintable(QStringLiteral("« %1 » missing or out of order in:\n%2")
                                                       .arg(fragment, lines.join(QLatin1Char('\n')))));
            ++at;
        }
    }

    static void verifyStamped(const QStringList &lines)
    {
        for (const QString &line : lines)
            QVERIFY2(kWallStamp.match(line).hasMatch(), qPrintable(line));
    }

    static QStringList planLines(const QStringList &out)
    {
        QStringList plan;
        for (const QString &line : out)
            if (kPlanStamp.match(line).hasMatch())
                plan << line;
        return plan;
    }

private slots:
    void initTestCase()
    {
        m_program = qEnvironmentVariable("TAVREL_RUN");
        QVERIFY2(QFileInfo(m_program).isExecutable(), "TAVREL_RUN must name the built tavrel-run");
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void cleanup() { m_dir.reset(); }

    // --- nights on the simulated adapter --------------------------------------

    void scenarioOnSimulatedAdapter()
    {
        write(QStringLiteral("s.txt"), "*,1,1,0,a\n*,0,1,0,\"b, c\"\n*,0,0,0,fin\n");
        const Result r = run({QStringLiteral("--simulate"), QStringLiteral("--adapter-log"), QStringLiteral("a.log"),
                              QStringLiteral("s.txt")});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        verifyStamped(r.out);
        verifyInOrder(r.out, {QStringLiteral("Adaptateur n° 0 prêt (simulé), déclencheur relâché"),
                              QStringLiteral("Scénario %1 : 2 étapes").arg(path(QStringLiteral("s.txt"))),
                              QStringLiteral("Étape 1/2 (s.txt, ligne 1) « a » : pose 1 s, miroir 1 s, pause 0 s"),
                              QStringLiteral("Étape 1/2 : miroir relevé, pose dans 1 s"),
                              QStringLiteral("Étape 1/2 : déclenchement, pose de 1 s"),
                              QStringLiteral("Étape 1/2 : relâché, pose terminée"),
                              QStringLiteral("Étape 1/2 : pause de 0 s"),
                              QStringLiteral("Étape 2/2 (s.txt, ligne 2) « b, c » : pose 1 s, pause 0 s"),
                              QStringLiteral("Étape 2/2 : déclenchement, pose de 1 s"),
                              QStringLiteral("Étape 2/2 : relâché, pose terminée"),
                              QStringLiteral("Étape de fin atteinte (s.txt, ligne 3)"),
                              QStringLiteral("Fin du scénario : 2 poses prises."),
                              QStringLiteral("Déclencheur relâché, adaptateur fermé.")});

        // Let go at start, mirror up and down, two exposures, let go at the end.
        const QList<Write> w = writes(QStringLiteral("a.log"));
        QCOMPARE(bytes(w), (QList<int>{0, 1, 0, 1, 0, 1, 0, 0}));
        QVERIFY(qAbs(w[2].us - w[1].us - 500000) <= kToleranceUs);  // mirror pulse
        QVERIFY(qAbs(w[3].us - w[1].us - 1000000) <= kToleranceUs); // mirror delay
        QVERIFY(qAbs(w[4].us - w[3].us - 1000000) <= kToleranceUs);
        QVERIFY(qAbs(w[6].us - w[5].us - 1000000) <= kToleranceUs);
        QVERIFY(logLines(QStringLiteral("a.log")).last().contains(QStringLiteral("FT_Close(handle=1) = 0")));
        // The adapter was set up from the same settings file as the windows'.
        QVERIFY(QFile::exists(configDir() + QStringLiteral("/Tavrel.ini")));
    }

    void journalGetsRealExposuresOnly()
    {
        const QString journal = path(QStringLiteral("data/Tavrel/journal.csv"));
        write(QStringLiteral("s.txt"), "*,0,1,0,a\n*,0,0,0,fin\n");
        QCOMPARE(run({QStringLiteral("--check"), QStringLiteral("s.txt")}).status, 0);
        QVERIFY(!QFile::exists(journal)); // a dry run's exposures are not real
        QCOMPARE(run({QStringLiteral("--simulate"), QStringLiteral("s.txt")}).status, 0);
        QFile f(journal);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(1).contains(QStringLiteral(",scénario (tavrel-run),1,s.txt:1,complète")),
                 qPrintable(lines.at(1)));
    }

    void sequenceOnSimulatedAdapter_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QList<int>>("bytes");
        QTest::addColumn<QList<qint64>>("gapsMs"); // between successive writes after the first
        QTest::addColumn<QStringList>("fragments");
        // Delay 1 s by default: release, 100 ms, then the delay plus 100 ms,
        // then 10 ms to the press.
        QTest::newRow("default delay, no mirror")
            << QStringList{"--count", "2", "--exposure", "1"} << QList<int>{0, 1, 0, 1, 0, 0}
            << QList<qint64>{1010, 1210, 1010}
            << QStringList{"Série de 2 poses de 1 s, pause 1 s entre les poses", "Pose 1/2 : déclenchement, pose de 1 s",
                           "Pose 1/2 : relâché, pose terminée", "Pause de 1 s avant la pose 2/2",
                           "Pose 2/2 : déclenchement", "Pose 2/2 : relâché", "Fin de la série : 2 poses prises."};
        QTest::newRow("mirror")
            << QStringList{"--count", "1", "--exposure", "1", "--mirror", "1", "--delay", "0"}
            << QList<int>{0, 1, 0, 1, 0, 0} << QList<qint64>{500, 500, 1010}
            << QStringList{"Série de 1 pose de 1 s, miroir 1 s", "Pose 1/1 : miroir relevé, pose dans 1 s",
                           "Pose 1/1 : déclenchement", "Fin de la série : 1 pose prise."};
    }
    void sequenceOnSimulatedAdapter()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QList<int>, bytes);
        QFETCH(QList<qint64>, gapsMs);
        QFETCH(QStringList, fragments);
        const Result r = run(QStringList{"--simulate", "--adapter-log", "a.log"} + arguments);
        QCOMPARE(r.status, 0);
        verifyStamped(r.out);
        verifyInOrder(r.out, fragments);
        const QList<Write> w = writes(QStringLiteral("a.log"));
        QCOMPARE(this->bytes(w), bytes);
        for (int i = 0; i < gapsMs.size(); ++i)
            QVERIFY2(qAbs(w[i + 2].us - w[i + 1].us - gapsMs[i] * 1000) <= kToleranceUs,
                     qPrintable(QStringLiteral("gap %1: %2 us").arg(i).arg(w[i + 2].us - w[i + 1].us)));
    }

    // A chained file spoiled during the night is found at the hand-over:
    // the run ends there with the runner's message and status 1.
    void chainedFileSpoiledDuringTheNight()
    {
        write(QStringLiteral("main.txt"), "*,0,1,0,a\npart2.txt,0,0,0,suite\n*,0,0,0,fin\n");
        write(QStringLiteral("part2.txt"), "*,0,1,0,b\n*,0,0,0,fin\n");
        QProcess process;
        start(process, {"--simulate", "--adapter-log", "a.log", "main.txt"});
        QByteArray out;
        QVERIFY(waitForOutput(process, out, QStringLiteral("déclenchement")));
        write(QStringLiteral("part2.txt"), "*,0,1,0,b\n*,0,x,0,c\n*,0,0,0,fin\n");
        const Result r = finish(process, out);
        QCOMPARE(r.status, 1);
        const QString where = QStringLiteral("Scénario %1, ligne 2 : le temps de pose « x »").arg(path(QStringLiteral("part2.txt")));
        QVERIFY2(r.err.contains(where), qPrintable(r.err));
        verifyInOrder(r.out, {QStringLiteral("Étape 1/2 : relâché, pose terminée"),
                              QStringLiteral("Étape 2/2 (main.txt, ligne 2) « suite » : enchaînement vers part2.txt"),
                              QStringLiteral("Scénario arrêté par une erreur (1 pose prise) : ") + where,
                              QStringLiteral("Déclencheur relâché, adaptateur fermé.")});
        QCOMPARE(bytes(writes(QStringLiteral("a.log"))), (QList<int>{0, 1, 0, 0}));
    }

    // --- signals ---------------------------------------------------------------

    // SIGUSR1 mid-exposure: that exposure runs its full length; during a
    // pause, nothing more is pressed. Either way the run ends normally, and
    // the message says which of the two happens.
    void finishAfterCurrentExposure_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("when");
        QTest::addColumn<QStringList>("fragments");
        const QString under = QStringLiteral("SIGUSR1 reçu : fin après la pose en cours");
        const QString before = QStringLiteral("SIGUSR1 reçu : arrêt avant la prochaine pose");
        QTest::newRow("scenario, exposing") << QStringList{"s.txt"} << "déclenchement"
                                            << QStringList{under, "relâché, pose terminée", "arrêté"};
        QTest::newRow("sequence, exposing") << QStringList{"--count", "3", "--exposure", "2"} << "déclenchement"
                                            << QStringList{under, "relâché, pose terminée", "arrêtée"};
        QTest::newRow("scenario, pausing") << QStringList{"s.txt"} << "pause de 3 s"
                                           << QStringList{"relâché, pose terminée", before, "arrêté"};
        QTest::newRow("sequence, pausing") << QStringList{"--count", "3", "--exposure", "2", "--delay", "3"}
                                           << "Pause de 3 s" << QStringList{"relâché, pose terminée", before, "arrêtée"};
    }
    void finishAfterCurrentExposure()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, when);
        QFETCH(QStringList, fragments);
        write(QStringLiteral("s.txt"), "*,0,2,3,a\n*,0,2,0,b\n*,0,0,0,fin\n");
        QProcess process;
        start(process, QStringList{"--simulate", "--adapter-log", "a.log"} + arguments);
        QByteArray out;
        QVERIFY(waitForOutput(process, out, when));
        ::kill(process.processId(), SIGUSR1);
        const Result r = finish(process, out);
        QCOMPARE(r.status, 0);
        verifyInOrder(r.out, fragments + QStringList{QStringLiteral("Déclencheur relâché, adaptateur fermé.")});
        const QList<Write> w = writes(QStringLiteral("a.log"));
        QCOMPARE(bytes(w), (QList<int>{0, 1, 0, 0}));
        QVERIFY(qAbs(w[2].us - w[1].us - 2000000) <= kToleranceUs);
    }

    // The release goes at once, the adapter is closed, the status tells which signal.
    void stopAtOnce_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<int>("status");
        QTest::newRow("SIGTERM, scenario") << QStringList{"s.txt"} << int(SIGTERM) << 143;
        QTest::newRow("SIGINT, sequence") << QStringList{"--count", "2", "--exposure", "2"} << int(SIGINT) << 130;
        QTest::newRow("SIGHUP, scenario") << QStringList{"s.txt"} << int(SIGHUP) << 129;
        // 0: the night page's "Arrêter maintenant", which does what SIGTERM does.
        QTest::newRow("page, sequence") << QStringList{"--count", "2", "--exposure", "2", "--web", "127.0.0.1:0"} << 0
                                        << 143;
    }
    void stopAtOnce()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, signalNumber);
        QFETCH(int, status);
        write(QStringLiteral("s.txt"), "*,0,2,0,a\n*,0,2,0,b\n*,0,0,0,fin\n");
        QProcess process;
        start(process, QStringList{"--simulate", "--adapter-log", "a.log"} + arguments);
        QByteArray out;
        QVERIFY(waitForOutput(process, out, QStringLiteral("déclenchement")));
        if (signalNumber != 0) {
            ::kill(process.processId(), signalNumber);
        } else {
            const QUrl page(QString::fromUtf8(out).section(QStringLiteral("Page de la nuit : "), 1).section('\n', 0, 0));
            QTcpSocket http;
            http.connectToHost(page.host(), quint16(page.port()));
            QVERIFY(http.waitForConnected(3000));
            http.write("POST /arreter?" + page.query().toLatin1() + " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");
            QVERIFY(http.waitForReadyRead(3000));
            QVERIFY(http.readAll().startsWith("HTTP/1.1 202"));
        }
        const Result r = finish(process, out);
        QCOMPARE(r.status, status);
        verifyInOrder(r.out, {QStringLiteral(" : arrêt immédiat."), QStringLiteral("relâché, pose interrompue"),
                              QStringLiteral("Déclencheur relâché, adaptateur fermé.")});
        const QList<Write> w = writes(QStringLiteral("a.log"));
        QVERIFY(w.size() >= 3);
        QCOMPARE(bytes(w).mid(0, 2), (QList<int>{0, 1}));
        QCOMPARE(w.last().byte, 0);
        // Let go well before the exposure would have ended.
        QVERIFY(w[2].us - w[1].us < 1500000);
        QVERIFY(logLines(QStringLiteral("a.log")).last().contains(QStringLiteral("FT_Close(handle=1) = 0")));
        // The journal says why that exposure was cut short.
        QFile journal(path(QStringLiteral("data/Tavrel/journal.csv")));
        QVERIFY(journal.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(journal.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(1).endsWith(QStringLiteral(",fin du programme")), qPrintable(lines.at(1)));
    }

    // Started under nohup the user wants the night to outlive the session.
    void hangUpIgnoredUnderNohup()
    {
        const QString nohup = QStandardPaths::findExecutable(QStringLiteral("nohup"));
        if (nohup.isEmpty())
            QSKIP("nohup is not installed");
        write(QStringLiteral("s.txt"), "*,0,1,0,a\n*,0,0,0,fin\n");
        QProcess process;
        start(process, {"--simulate", "--adapter-log", "a.log", "s.txt"}, nohup);
        QByteArray out;
        QVERIFY(waitForOutput(process, out, QStringLiteral("déclenchement")));
        ::kill(process.processId(), SIGHUP);
        const Result r = finish(process, out);
        QCOMPARE(r.status, 0);
        const QList<Write> w = writes(QStringLiteral("a.log"));
        QCOMPARE(bytes(w), (QList<int>{0, 1, 0, 0}));
        QVERIFY(qAbs(w[2].us - w[1].us - 1000000) <= kToleranceUs);
    }

    // The watch notices the adapter going and coming back, and sets it up again.
    void adapterLostAndBack()
    {
        write(QStringLiteral("s.txt"), "*,0,3,0,a\n*,0,0,0,fin\n");
        QProcess process;
        start(process, {"--simulate", "--adapter-log", "a.log", "s.txt"});
        QByteArray out;
        QVERIFY(waitForOutput(process, out, QStringLiteral("déclenchement")));
        ::kill(process.processId(), SIGUSR2);
        QVERIFY(waitForOutput(process, out, QStringLiteral("Adaptateur perdu")));
        ::kill(process.processId(), SIGUSR2);
        QVERIFY(waitForOutput(process, out, QStringLiteral("Adaptateur de retour, ouvert et réglé à nouveau.")));
        const Result r = finish(process, out);
        QCOMPARE(r.status, 0);
        verifyInOrder(r.out, {QStringLiteral("Adaptateur perdu (débranché ou sans courant) pendant une pose"),
                              QStringLiteral("Adaptateur de retour"), QStringLiteral("Fin du scénario"),
                              QStringLiteral("l'adaptateur a été perdu 1 fois")});
        QCOMPARE(logLines(QStringLiteral("a.log")).filter(QStringLiteral("FT_Open(index=0) = 0")).size(), 2);
    }

    // Unplugged mid-job: the presses that follow never reach the adapter;
    // they are said to have failed and are not counted as taken.
    void pressesThatFailAreNotTaken()
    {
        QProcess process;
        start(process, {"--simulate", "--count", "3", "--exposure", "1", "--delay", "1"});
        QByteArray out;
        QVERIFY(waitForOutput(process, out, QStringLiteral("Pose 1/3 : déclenchement")));
        ::kill(process.processId(), SIGUSR2);
        const Result r = finish(process, out);
        QCOMPARE(r.status, 0);
        verifyInOrder(r.out, {QStringLiteral("Pose 1/3 : relâché, pose terminée"),
                              QStringLiteral("Pose 2/3 : échec du déclenchement"), QStringLiteral("Pose 2/3 : relâché, pose non prise"),
                              QStringLiteral("Pose 3/3 : échec du déclenchement"), QStringLiteral("Fin de la série : 1 pose prise")});
    }

    // --- the adapter cannot be used: no night started blind --------------------

    void adapterUnusable_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("fragment");
        QTest::newRow("none attached") << QStringList{"s.txt"} << QByteArray() << QStringLiteral("Aucun adaptateur");
        // The index comes from Tavrel.ini, as for the windows: there is no second adapter.
        QTest::newRow("index from the settings")
            << QStringList{"--simulate", "s.txt"}
            << QByteArray("[FDTI]\nFDTINo=1\nFDTINoBIT=1\nFDTIMask=255\n") << QStringLiteral("FDTINo=1");
        QTest::newRow("index not a number") << QStringList{"--simulate", "s.txt"} << QByteArray("[FDTI]\nFDTINo=un\n")
                                            << QStringLiteral("FDTINo=un");
        QTest::newRow("serial not attached")
            << QStringList{"--simulate", "--simulated-chips", "2", "--adapter-log", "a.log", "s.txt"}
            << QByteArray("[FDTI]\nFDTISerial=A10KZP3Q\n")
            << QStringLiteral("A10KZP3Q");
        QTest::newRow("log not writable") << QStringList{"--simulate", "--adapter-log", "no/such/dir/a.log", "s.txt"}
                                          << QByteArray() << QStringLiteral("journal de l'adaptateur");
        // A FIFO would hold the open for good; /dev/full would take no line.
        QTest::newRow("log is a FIFO") << QStringList{"--simulate", "--adapter-log", "fifo.log", "s.txt"}
                                       << QByteArray() << QStringLiteral("tube nommé");
        QTest::newRow("log on /dev/full") << QStringList{"--simulate", "--adapter-log", "/dev/full", "s.txt"}
                                          << QByteArray() << QStringLiteral("périphérique");
    }
    void adapterUnusable()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, settings);
        QFETCH(QString, fragment);
        write(QStringLiteral("s.txt"), "*,0,1,0,a\n*,0,0,0,fin\n");
        if (!settings.isEmpty())
            write(QStringLiteral("config/Tavrel.ini"), settings);
        if (arguments.contains(QStringLiteral("fifo.log")))
            QCOMPARE(::mkfifo(QFile::encodeName(path(QStringLiteral("fifo.log"))).constData(), 0600), 0);
        const Result r = run(arguments);
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains(fragment), qPrintable(r.err));
        QVERIFY(r.out.filter(QStringLiteral("déclenchement")).isEmpty());
        // Refused without a call made in vain.
        QCOMPARE(logLines(QStringLiteral("a.log")).filter(QStringLiteral("FT_Write")), QStringList());
    }

    // --- several FTDI chips, and the guardian ------------------------------------

    void adapterBySerialOrRank_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("ready");
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("notice"); // which chip was opened, and how to pin it
        QTest::newRow("pinned") << QByteArray("[FDTI]\nFDTISerial=SIMFT003\n")
                                << QStringLiteral("Adaptateur n° 2 (série SIMFT003) prêt") << 2 << false;
        QTest::newRow("by rank") << QByteArray() << QStringLiteral("Adaptateur n° 0 prêt") << 0 << true;
    }
    void adapterBySerialOrRank()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QString, ready);
        QFETCH(int, index);
        QFETCH(bool, notice);
        if (!settings.isEmpty())
            write(QStringLiteral("config/Tavrel.ini"), settings);
        const Result r = run({"--simulate", "--simulated-chips", "3", "--adapter-log", "a.log", "--count", "1",
                              "--exposure", "1"});
        QCOMPARE(r.status, 0);
        verifyInOrder(r.out, {ready, QStringLiteral("Fin de la série")});
        QCOMPARE(r.out.filter(QStringLiteral("FDTISerial=")).size(), notice ? 1 : 0);
        const QStringList opens = logLines(QStringLiteral("a.log")).filter(QStringLiteral("FT_Open("));
        QCOMPARE(opens.size(), 1);
        QVERIFY2(opens.first().contains(QStringLiteral("FT_Open(index=%1) = 0").arg(index)), qPrintable(opens.first()));
    }

    void listAdapters_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("pinned") << QByteArray("[FDTI]\nFDTISerial=SIMFT002\n")
                                << QStringList{"2 puces FTDI", "rang 0 : série SIMFT001, « FT232R USB UART », USB 0403:6001",
                                               "rang 1 : série SIMFT002"}
                                << QStringLiteral("SIMFT002");
        QTest::newRow("by rank") << QByteArray()
                                 << QStringList{"2 puces FTDI", "rang 0 : série SIMFT001", "rang 1 : série SIMFT002",
                                                "FDTISerial=<série>"}
                                 << QStringLiteral("SIMFT001");
    }
    void listAdapters()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QStringList, lines);
        QFETCH(QString, chosen);
        if (!settings.isEmpty())
            write(QStringLiteral("config/Tavrel.ini"), settings);
        const Result r = run({"--list-adapters", "--simulate", "--simulated-chips", "2"});
        QCOMPARE(r.status, 0);
        verifyInOrder(r.out, lines);
        const QStringList picked = r.out.filter(QStringLiteral("<- choisie"));
        QCOMPARE(picked.size(), 1);
        QVERIFY2(picked.first().contains(QStringLiteral("série ") + chosen), qPrintable(picked.first()));
        // A ready access rule for that chip alone, to put in place of the general one.
        const QStringList rule = r.out.filter(QStringLiteral("ATTR{serial}==\"%1\"").arg(chosen));
        QCOMPARE(rule.size(), 1);
        QVERIFY2(rule.first().startsWith(QStringLiteral("SUBSYSTEM==\"usb\"")) && rule.first().contains("TAG+=\"uaccess\""),
                 qPrintable(rule.first()));
    }

    // Guardians of this test's runs still alive, found by their settings folder.
    QList<int> guardians() const
    {
        QList<int> found;
        const QByteArray mark = "XDG_CONFIG_HOME=" + QFile::encodeName(configDir());
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
            if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "tavrel-guardian"
                && environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(mark))
                found << pid.toInt();
        }
        return found;
    }

    // Killed outright mid-exposure: the guardian lets go within a second and
    // journals the exposure.
    void killedOutrightTheGuardianLetsGo()
    {
        QProcess process;
        start(process, {"--simulate", "--adapter-log", "a.log", "--count", "1", "--exposure", "30"});
        QByteArray out;
        QVERIFY(waitForOutput(process, out, QStringLiteral("déclenchement")));
        QCOMPARE(writes(QStringLiteral("a.log")).last().byte, 1);
        QElapsedTimer sinceDeath;
        ::kill(process.processId(), SIGKILL);
        sinceDeath.start();
        QVERIFY(process.waitForFinished(5000));
        // Polled, not slept: the bound is checked against the moment seen.
        while (writes(QStringLiteral("a.log")).last().byte != 0 && sinceDeath.elapsed() < 5000)
            QTest::qWait(10);
        QVERIFY2(sinceDeath.elapsed() < 1000, qPrintable(QString::number(sinceDeath.elapsed())));
        const QStringList log = logLines(QStringLiteral("a.log"));
        QVERIFY2(log.last().contains(QStringLiteral("FT_Close(")), qPrintable(log.join(QLatin1Char('\n'))));
        QTRY_VERIFY_WITH_TIMEOUT(guardians().isEmpty(), 5000);
        QFile journal(path(QStringLiteral("data/Tavrel/journal.csv")));
        QVERIFY(journal.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(journal.readAll()).trimmed().endsWith(QStringLiteral(",1,,programme interrompu")));
    }

    // A clean end, or a signal handled, leaves the guardian nothing to do, and
    // it does not outlive the run.
    void cleanEndLeavesTheGuardianNothing_data()
    {
        QTest::addColumn<int>("signalNumber"); // 0: the run ends by itself
        QTest::newRow("run to its end") << 0;
        QTest::newRow("SIGTERM") << int(SIGTERM);
    }
    void cleanEndLeavesTheGuardianNothing()
    {
        QFETCH(int, signalNumber);
        QProcess process;
        start(process, {"--simulate", "--adapter-log", "a.log", "--count", "1", "--exposure", "1"});
        QByteArray out;
        QVERIFY(waitForOutput(process, out, QStringLiteral("déclenchement")));
        if (signalNumber)
            ::kill(process.processId(), signalNumber);
        QVERIFY(finish(process, out).status >= 0);
        QCOMPARE(guardians(), QList<int>());
        const QStringList log = logLines(QStringLiteral("a.log"));
        QCOMPARE(log.filter(QStringLiteral("FT_Open(")).size(), 1);
        QVERIFY2(log.last().contains(QStringLiteral("FT_Close(handle=1) = 0")), qPrintable(log.last()));
    }

    // --- dry runs ------------------------------------------------------------------

    void checkWorkedExample_data()
    {
        QTest::addColumn<QString>("at");
        QTest::addColumn<QStringList>("plan");
        QTest::addColumn<QString>("end");
        QTest::newRow("21:40:12") << QStringLiteral("21:40:12")
                                  << QStringList{
                                         "21:40:12.000 Scénario",
                                         "21:40:12.010 Étape 1/4 (nuit.txt, ligne 1, horaire 21:45:00) « Test frame » : pose 30 s, pause 5 s",
                                         "21:40:12.010 Étape 1/4 : attente jusqu'à 21:45:00 (4 min 48 s)",
                                         "21:45:00.040 Étape 1/4 : déclenchement, pose de 30 s",
                                         "21:45:30.050 Étape 1/4 : relâché, pose terminée",
                                         "21:45:30.050 Étape 1/4 : pause de 5 s",
                                         "21:45:35.250 Étape 1/4 : fin de la pause",
                                         "21:45:35.250 Étape 2/4 (nuit.txt, ligne 2) « M42, frame 1 » : pose 90 s, miroir 2 s, pause 10 s",
                                         "21:45:35.260 Étape 2/4 : miroir relevé, pose dans 2 s",
                                         "21:45:37.260 Étape 2/4 : déclenchement, pose de 90 s",
                                         "21:47:07.270 Étape 2/4 : relâché, pose terminée",
                                         "21:47:07.270 Étape 2/4 : pause de 10 s",
                                         "21:47:17.470 Étape 2/4 : fin de la pause",
                                         "21:47:17.470 Étape 3/4 (nuit.txt, ligne 3) « M42, frame 2 »",
                                         "21:47:17.480 Étape 3/4 : miroir relevé",
                                         "21:47:19.480 Étape 3/4 : déclenchement, pose de 90 s",
                                         "21:48:49.490 Étape 3/4 : relâché, pose terminée",
                                         "21:48:49.490 Étape 3/4 : pause de 10 s",
                                         "21:48:59.690 Étape 3/4 : fin de la pause",
                                         "21:48:59.690 Étape 4/4 (nuit.txt, ligne 4, horaire 22:30:00) « Dark frame »",
                                         "21:48:59.690 Étape 4/4 : attente jusqu'à 22:30:00 (41 min 1 s)",
                                         "22:30:00.720 Étape 4/4 : déclenchement, pose de 300 s",
                                         "22:35:00.730 Étape 4/4 : relâché, pose terminée",
                                         "22:35:00.730 Étape 4/4 : pause de 0 s",
                                         "22:35:00.930 Étape 4/4 : fin de la pause",
                                         "22:35:00.930 Étape de fin atteinte (nuit.txt, ligne 5)",
                                         "22:35:00.940 Fin du scénario : 4 poses prises."}
                                  << QStringLiteral("à 22:35:00.940 ; durée totale 54 min 48,940 s.");
        // Step 1 is past: step 2 starts at once.
        QTest::newRow("22:00:00") << QStringLiteral("22:00:00")
                                  << QStringList{
                                         "22:00:00.000 Scénario",
                                         "22:00:00.010 Étape 1/4 (nuit.txt, ligne 1, horaire 21:45:00)",
                                         "22:00:00.010 Étape 1/4 sautée : son horaire 21:45:00 était déjà passé au départ du scénario (22:00:00)",
                                         "22:00:00.020 Étape 2/4 (nuit.txt, ligne 2)",
                                         "22:00:00.030 Étape 2/4 : miroir relevé",
                                         "22:00:02.030 Étape 2/4 : déclenchement, pose de 90 s",
                                         "22:01:32.040 Étape 2/4 : relâché",
                                         "22:01:32.040 Étape 2/4 : pause de 10 s",
                                         "22:01:42.240 Étape 2/4 : fin de la pause",
                                         "22:01:42.240 Étape 3/4 (nuit.txt, ligne 3)",
                                         "22:01:42.250 Étape 3/4 : miroir relevé",
                                         "22:01:44.250 Étape 3/4 : déclenchement",
                                         "22:03:14.260 Étape 3/4 : relâché",
                                         "22:03:14.260 Étape 3/4 : pause de 10 s",
                                         "22:03:24.460 Étape 3/4 : fin de la pause",
                                         "22:03:24.460 Étape 4/4 (nuit.txt, ligne 4, horaire 22:30:00)",
                                         "22:03:24.460 Étape 4/4 : attente jusqu'à 22:30:00 (26 min 36 s)",
                                         "22:30:00.490 Étape 4/4 : déclenchement, pose de 300 s",
                                         "22:35:00.500 Étape 4/4 : relâché",
                                         "22:35:00.500 Étape 4/4 : pause de 0 s",
                                         "22:35:00.700 Étape 4/4 : fin de la pause",
                                         "22:35:00.700 Étape de fin atteinte (nuit.txt, ligne 5)",
                                         "22:35:00.710 Fin du scénario : 3 poses prises, 1 étape sautée."}
                                  << QStringLiteral("à 22:35:00.710 ; durée totale 35 min 0,710 s.");
    }
    void checkWorkedExample()
    {
        QFETCH(QString, at);
        QFETCH(QStringList, plan);
        QFETCH(QString, end);
        write(QStringLiteral("nuit.txt"), kWorkedExample);
        const Result r = run({QStringLiteral("--check"), QStringLiteral("nuit.txt"), QStringLiteral("--at"), at});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        const QStringList lines = planLines(r.out);
        QCOMPARE(lines.size(), plan.size());
        for (int i = 0; i < plan.size(); ++i)
            QVERIFY2(lines.at(i).startsWith(plan.at(i)), qPrintable(lines.at(i) + QStringLiteral("\nexpected: ") + plan.at(i)));
        QCOMPARE(r.out.filter(QStringLiteral("Fin le %1 ").arg(QDate::currentDate().toString(QStringLiteral("dd/MM/yyyy")))).size(), 1);
        QVERIFY2(r.out.filter(end).size() == 1, qPrintable(r.out.join(QLatin1Char('\n'))));
        QVERIFY(r.out.last().startsWith(QStringLiteral("Bilan :")));
        QVERIFY(r.out.last().contains(QStringLiteral("0 avertissement, 0 erreur")));
        // A check writes no settings and touches no adapter.
        QVERIFY(!QFile::exists(configDir() + QStringLiteral("/Tavrel.ini")));
    }

    // The plan is the run: the simulated adapter of a check sees the presses
    // and releases of the scenario runner at the very instants the plan gives.
    void checkAdapterLogIsTheRun()
    {
        write(QStringLiteral("nuit.txt"), kWorkedExample);
        const Result r = run({"--check", "nuit.txt", "--at", "21:40:12", "--adapter-log", "c.log"});
        QCOMPARE(r.status, 0);
        QList<QPair<qint64, int>> got;
        for (const Write &w : writes(QStringLiteral("c.log")))
            got.append({w.us / 1000, w.byte});
        QCOMPARE(got, (QList<QPair<qint64, int>>{
                          {288040, 1}, {318050, 0}, {323260, 1}, {323760, 0}, {325260, 1}, {385260, 1},
                          {415270, 0}, {425480, 1}, {425980, 0}, {427480, 1}, {487480, 1}, {517490, 0},
                          {2988720, 1}, {3048720, 1}, {3108720, 1}, {3168720, 1}, {3228720, 1}, {3288730, 0}}));
    }

    void checkVerdicts_data()
    {
        QTest::addColumn<QStringList>("files"); // name, content, name, content... (first one checked)
        QTest::addColumn<QString>("at");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("out"); // fragments expected on standard output, in order
        QTest::addColumn<QString>("err");     // fragment expected on standard error, empty: none at all

        QTest::newRow("clean chain")
            << QStringList{"main.txt", "*,0,5,0,a\npart2.txt,0,0,0,suite\n*,0,0,0,fin\n", "part2.txt",
                           "*,0,7,0,b\n*,0,0,0,fin2\n"}
            << "21:00:00" << 0
            << QStringList{"21:00:00.010 Étape 1/2 (main.txt, ligne 1)",
                           "21:00:05.240 Étape 2/2 (main.txt, ligne 2) « suite » : enchaînement vers part2.txt",
                           "21:00:05.240 Enchaînement : main.txt, ligne 2 passe la main à",
                           "21:00:05.250 Étape 3/3 (part2.txt, ligne 1) « b »",
                           "21:00:05.270 Étape 3/3 : déclenchement, pose de 7 s",
                           "Étape de fin atteinte (part2.txt, ligne 2)", "0 avertissement, 0 erreur"}
            << QString();
        QTest::newRow("four fields on a line")
            << QStringList{"s.txt", "*,0,5,0\na\n*,0,5,0,b\n*,0,0,0,fin\n"} << "21:00:00" << 3
            << QStringList{"Attention : s.txt, ligne 1 : moins de cinq champs", "Étape 2/2 (s.txt, ligne 3)",
                           "1 avertissement, 0 erreur"}
            << QString();
        QTest::newRow("six fields on a line")
            << QStringList{"s.txt", "*,0,5,0,a,*\n0,5,0,b\n*,0,0,0,fin\n"} << "21:00:00" << 3
            << QStringList{"Attention : s.txt, ligne 1 : plus de cinq champs", "1 avertissement, 0 erreur"}
            << QString();
        QTest::newRow("comment cut by a comma")
            << QStringList{"s.txt", "*,2,90,10,M42, frame 1\n*,0,5,0,b\n*,0,0,0,fin\n"} << "21:00:00" << 1
            << QStringList{"Attention : s.txt, ligne 1 : le commentaire semble coupé par une virgule : « M42 » reste "
                           "le commentaire et « frame 1 » est lu comme l'horaire d'une nouvelle étape, ce qui décale "
                           "toutes les étapes qui suivent. Mettez le commentaire entre guillemets, par exemple "
                           "\"M42, frame 1\".",
                           "Erreur : Scénario", "1 avertissement, 1 erreur"}
            << "ligne 1 : l'horaire « frame 1 » ne convient pas";
        QTest::newRow("timed step before the one above")
            << QStringList{"s.txt", "21:30:00,0,5,0,a\n21:10:00,0,5,0,b\n*,0,0,0,fin\n"} << "21:00:00" << 3
            << QStringList{"21:30:05.250 Étape 2/2 sautée : son horaire 21:10:00 vient avant",
                           "Attention : s.txt, ligne 2 : son horaire 21:10:00 vient avant", "1 avertissement"}
            << QString();
        QTest::newRow("across midnight")
            << QStringList{"s.txt", "23:55:00,0,10,0,a\n00:10:00,0,10,0,b\n*,0,0,0,fin\n"} << "23:50:00" << 0
            << QStringList{"23:55:00.040 Étape 1/2 : déclenchement",
                           "23:55:10.250 Étape 2/2 : attente jusqu'à 00:10:00 le lendemain (14 min 50 s)",
                           "00:10:00.280 (J+1) Étape 2/2 : déclenchement, pose de 10 s",
                           "00:10:10.500 (J+1) Fin du scénario : 2 poses prises.", "durée totale 20 min 10,500 s.",
                           "0 avertissement, 0 erreur"}
            << QString();
        QTest::newRow("a long exposure ends past midnight, the next step was before it")
            << QStringList{"s.txt", "23:45:00,0,1200,0,a\n23:59:00,0,60,0,b\n*,0,0,0,fin\n"} << "23:40:00" << 3
            << QStringList{"Étape 2/2 sautée : les étapes d'avant ont duré au-delà de son horaire 23:59:00",
                           "Attention : s.txt, ligne 2 : les étapes qui la précèdent finissent à 00:05:00", "1 avertissement"}
            << QString();
        QTest::newRow("steps run past the next time")
            << QStringList{"s.txt", "*,0,120,0,a\n21:01:00,0,10,0,b\n*,0,0,0,fin\n"} << "21:00:00" << 3
            << QStringList{"21:02:00.240 Étape 2/2 sautée : les étapes d'avant ont duré au-delà de son horaire 21:01:00",
                           "Attention : s.txt, ligne 2 : les étapes qui la précèdent finissent à 21:02:00",
                           "1 avertissement"}
            << QString();
        QTest::newRow("missing chain file")
            << QStringList{"s.txt", "*,0,5,0,a\npart2.txt,0,0,0,suite\n*,0,0,0,fin\n"} << "21:00:00" << 1
            << QStringList{"Attention : s.txt, ligne 2 : le fichier enchaîné part2.txt n'existe pas pour l'instant",
                           "Erreur : Scénario", "1 avertissement, 1 erreur"}
            << "s.txt, ligne 2 : l'horaire « part2.txt »";
        QTest::newRow("chain file beside the scenario, not in the working directory")
            << QStringList{"nights/s.txt", "*,0,5,0,a\npart2.txt,0,0,0,suite\n*,0,0,0,fin\n", "nights/part2.txt",
                           "*,0,5,0,b\n*,0,0,0,fin\n"}
            << "21:00:00" << 1 << QStringList{"Un fichier de ce nom existe à côté du scénario"}
            << "ligne 2 : l'horaire « part2.txt »";
        QTest::newRow("chain named by the end step")
            << QStringList{"s.txt", "*,0,5,0,a\npart2.txt,0,0,0,suite\n", "part2.txt", "*,0,5,0,b\n*,0,0,0,fin\n"}
            << "21:00:00" << 3
            << QStringList{"Attention : s.txt, ligne 2 : la dernière étape nomme le fichier part2.txt",
                           "Fin du scénario : 1 pose prise.", "1 avertissement, 0 erreur"}
            << QString();
        QTest::newRow("bad time")
            << QStringList{"s.txt", "*,0,5,0,a\n*,0,5,0,b\n21h45,0,5,0,c\n*,0,0,0,fin\n"} << "21:00:00" << 1
            << QStringList{"Erreur : Scénario", "0 pose, 0 étape sautée, 0 avertissement, 1 erreur"}
            << "s.txt, ligne 3 : l'horaire « 21h45 » ne convient pas";
        QTest::newRow("sky step with no place")
            << QStringList{"s.txt", "*,0,5,0,a\n@aube,0,5,0,b\n*,0,0,0,fin\n"} << "21:00:00" << 1
            << QStringList{"Erreur : Scénario", "0 pose"} << "s.txt, ligne 2 : l'horaire « @aube » dépend du lieu";
        QTest::newRow("endless loop")
            << QStringList{"s.txt", "*,0,5,0,a\ns.txt,0,0,0,encore\n*,0,0,0,fin\n"} << "21:00:00" << 3
            << QStringList{"Enchaînement : s.txt, ligne 2", "recommence en boucle", "1 pose, 0 étape sautée, 1 avertissement"}
            << QString();
    }
    // The night's first exposure waits for astronomical dusk at the place given
    // (the Pic du Midi, which has an astronomical night all year round).
    void checkSkyBound()
    {
        write(QStringLiteral("nuit.txt"), "@crepuscule,0,60,0,M42\n*,0,0,0,fin\n");
        const Result r = run({"--check", "nuit.txt", "--at", "17:00:00", "--lieu", "42.94,0.14"});
        QCOMPARE(r.status, 0);
        const QDate today = QDate::currentDate();
        const QString dusk = tavrel::skyEventTime(tavrel::SkyEvent::Dusk, today, {42.94, 0.14})->toString("HH:mm:ss");
        verifyInOrder(r.out, {"Lieu 42,94° N, 0,14° E, nuit du " + today.toString("dd/MM/yyyy") + " : @crepuscule → " + dusk,
                              "Étape 1/1 (nuit.txt, ligne 1, horaire @crepuscule → " + dusk + ")",
                              dusk + ".040 Étape 1/1 : déclenchement"});
    }

    void checkVerdicts()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, at);
        QFETCH(int, status);
        QFETCH(QStringList, out);
        QFETCH(QString, err);
        for (int i = 0; i + 1 < files.size(); i += 2)
            write(files.at(i), files.at(i + 1).toUtf8());
        const Result r = run({QStringLiteral("--check"), files.first(), QStringLiteral("--at"), at});
        verifyInOrder(r.out, out);
        if (err.isEmpty())
            QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        else
            QVERIFY2(r.err.contains(err), qPrintable(r.err));
        QCOMPARE(r.status, status);
    }

    // --- the command line ------------------------------------------------------------

    void badArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("fragment");
        QTest::newRow("nothing to do") << QStringList{} << QStringLiteral("rien à faire");
        QTest::newRow("unknown option") << QStringList{"--simulate", "--expo", "3"} << QStringLiteral("option inconnue");
        QTest::newRow("missing value") << QStringList{"--count"} << QStringLiteral("valeur manquante");
        QTest::newRow("file and job") << QStringList{"s.txt", "--count", "2", "--exposure", "1"}
                                      << QStringLiteral("pas les deux");
        QTest::newRow("count alone") << QStringList{"--count", "2"} << QStringLiteral("--exposure");
        QTest::newRow("delay alone") << QStringList{"--delay", "2"} << QStringLiteral("--count et --exposure");
        QTest::newRow("two files") << QStringList{"s.txt", "t.txt"} << QStringLiteral("un seul fichier");
        QTest::newRow("--at without --check") << QStringList{"s.txt", "--at", "21:00"} << QStringLiteral("--at ne sert");
        QTest::newRow("--at not a time") << QStringList{"--check", "s.txt", "--at", "25:00"}
                                         << QStringLiteral("--at « 25:00 » ne convient pas");
        QTest::newRow("--check without file") << QStringList{"--check"} << QStringLiteral("--check attend");
        QTest::newRow("--web not a port") << QStringList{"s.txt", "--web", "huit"} << QStringLiteral("--web « huit »");
        QTest::newRow("--web with --check") << QStringList{"--check", "s.txt", "--web", "8080"}
                                            << QStringLiteral("--web suit une nuit");
        QTest::newRow("--lieu not a place") << QStringList{"--check", "s.txt", "--lieu", "Paris"} << QStringLiteral("--lieu « Paris »");
        // Refused with the sequence window's own words, before any adapter is looked for.
        QTest::newRow("count not a number") << QStringList{"--count", "x", "--exposure", "1"}
                                            << QStringLiteral("Nombre de poses : « x » ne convient pas.");
        QTest::newRow("exposure 0") << QStringList{"--count", "1", "--exposure", "0"}
                                    << QStringLiteral("Temps de pose (s) : « 0 » ne convient pas.");
        QTest::newRow("negative mirror") << QStringList{"--count", "1", "--exposure", "1", "--mirror", "-1"}
                                         << QStringLiteral("Délai relevage miroir (s)");
        QTest::newRow("missing scenario") << QStringList{"absent.txt"} << QStringLiteral("le fichier est introuvable.");
        QTest::newRow("FIFO as scenario") << QStringList{"fifo.txt"} << QStringLiteral("tube nommé");
        QTest::newRow("bad scenario")
            << QStringList{"s.txt"} << QStringLiteral("ligne 1 : le temps de pose « 0 » ne convient pas");
    }
    void badArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, fragment);
        write(QStringLiteral("s.txt"), "*,0,0,0,a\n*,0,0,0,fin\n");
        write(QStringLiteral("t.txt"), "*,0,1,0,a\n*,0,0,0,fin\n");
        ::mkfifo(QFile::encodeName(path(QStringLiteral("fifo.txt"))).constData(), 0600); // never waited on
        const Result r = run(arguments);
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(fragment), qPrintable(r.err));
        QVERIFY2(r.out.isEmpty(), qPrintable(r.out.join(QLatin1Char('\n'))));
    }

    // The page's port taken: the night does not start, the adapter untouched.
    void webPortTaken()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost));
        const Result r = run({"--simulate", "--adapter-log", "a.log", "--count", "1", "--exposure", "1", "--web",
                              QStringLiteral("127.0.0.1:%1").arg(taken.serverPort())});
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains(QStringLiteral("impossible d'ouvrir la page de la nuit")), qPrintable(r.err));
        QVERIFY(logLines(QStringLiteral("a.log")).filter(QStringLiteral("FT_Open")).isEmpty());
    }

    void helpAndVersion()
    {
        const Result help = run({QStringLiteral("--help")});
        QCOMPARE(help.status, 0);
        const QString text = help.out.join(QLatin1Char('\n'));
        QVERIFY(text.startsWith(QStringLiteral("Utilisation : tavrel-run")));
        for (const char *option : {"--help", "--version", "--simulate", "--adapter-log <FICHIER>", "--count <N>",
                                   "--exposure <S>", "--mirror <S>", "--delay <S>", "--check", "--at <HH:MM:SS>",
                                   "--lieu <LAT,LON>"})
            QVERIFY2(text.contains(QLatin1String(option)), option);
        QVERIFY(text.contains(QStringLiteral("SCENARIO")));

        const Result version = run({QStringLiteral("--version")});
        QCOMPARE(version.status, 0);
        QCOMPARE(version.out, QStringList{QStringLiteral("tavrel-run " TAVREL_VERSION)});
    }
};

QTEST_GUILESS_MAIN(TstTavrelRun)
#include "tst_tavrel_run.moc"
