// tavrel-run as a user runs it: a real process, its output, its exit status,
// and the adapter log as the record of what the camera saw.

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "link/timebase.h"
#include "modes/sky_times.h"
#include "support/stand_in_guider.h"
#include <csignal>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>
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
    QString m_zone; // TZ of the runs, when a test sets one

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
        if (!m_zone.isEmpty())
            env.insert(QStringLiteral("TZ"), m_zone);
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
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(timeoutMs)) {
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

    void cleanup()
    {
        m_dir.reset();
        m_zone.clear();
    }

    // A rehearsal shows where the dithers fall and holds the next at-once
    // press for Stabilite seconds; a step with a time of day keeps its time.
    void checkCountsTheDithers()
    {
        write(QStringLiteral("config/Tavrel.ini"), "[Guidage]\nDecalage=1\nStabilite=10\n");
        write(QStringLiteral("s.txt"), "*,0,5,2,a\n*,0,5,2,b\n21:00:40,0,5,0,c\n*,0,0,0,fin\n");
        const Result r = run({"--check", "s.txt", "--at", "21:00:00"});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out.filter(QStringLiteral("compté comme 10 s")).size(), 2);
        verifyInOrder(r.out, {"Stabilite=10 s", "21:00:05.040 Décalage 1", "21:00:15.060 Étape 2/3 : déclenchement",
                              "21:00:20.070 Décalage 2", "21:00:40.020 Étape 3/3 : déclenchement"});
    }

    // --- nights on the simulated adapter --------------------------------------

    // Dithers with a guider listening: each next press after its settle, the
    // journal's guiding column filled; with nobody listening, one warning and
    // the exposures on time.
    void dithersThroughTheGuider_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::newRow("guider listening") << true;
        QTest::newRow("nobody listening") << false;
    }
    void dithersThroughTheGuider()
    {
        QFETCH(bool, listening);
        tavrel::QtTimeBase time;
        tavrel::setTimeBase(&time);
        const auto restore = qScopeGuard([] { tavrel::setTimeBase(nullptr); });
        tavrel::test::StandInGuider guider;
        guider.settleMs = 1500;
        const QString port = QString::number(guider.port());
        if (!listening)
            guider.stopListening();
        QProcess process;
        start(process, {"--simulate", "--adapter-log", "a.log", "--guider", "127.0.0.1:" + port, "--dither-every",
                        "1", "--count", "3", "--exposure", "1", "--delay", "0"});
        QVERIFY(QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000));
        const Result r = finish(process);
        QCOMPARE(r.status, 0);
        QList<qint64> pressUs, releaseUs; // the releases start with the one written at opening
        for (const Write &x : writes(QStringLiteral("a.log")))
            (x.byte == 1 ? pressUs : releaseUs).append(x.us);
        QCOMPARE(pressUs.size(), 3);
        QCOMPARE(guider.dithers.size(), listening ? 2 : 0);
        for (int i : {1, 2}) {
            const qint64 gapUs = pressUs[i] - releaseUs[i];
            QVERIFY2(listening ? gapUs >= 1500000 : gapUs < 1000000, qPrintable(QString::number(gapUs)));
        }
        QCOMPARE(r.err.count(QStringLiteral("injoignable")), listening ? 0 : 1);
        if (listening)
            verifyInOrder(r.out, {"Décalage 1 demandé", "Guideur stabilisé", "Pose 2/3", "Décalage 2 demandé",
                                  "Guideur stabilisé", "Pose 3/3"});
        QStringList column;
        for (const QString &line : logLines(QStringLiteral("data/Tavrel/journal.csv")).mid(1))
            column << line.section(QLatin1Char(','), -1);
        QCOMPARE(column.join(QLatin1Char(',')), listening ? QStringLiteral("ok,ok,ok") : QStringLiteral("sans,sans,sans"));
    }


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
        QVERIFY2(lines.at(1).endsWith(QStringLiteral(",fin du programme,sans")), qPrintable(lines.at(1)));
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

    // The living guardians whose parent is `parent`.
    static QList<int> guardiansOf(qint64 parent)
    {
        QList<int> found;
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "tavrel-guardian"
                || !stat.open(QIODevice::ReadOnly))
                continue;
            // "pid (comm) state ppid ...", the name may hold spaces.
            const QByteArray text = stat.readAll();
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && fields.at(0) != "Z" && fields.at(1).toLongLong() == parent)
                found << pid.toInt();
        }
        return found;
    }

    // The journal's lines, header left out.
    QStringList journalLines() const
    {
        QFile journal(path(QStringLiteral("data/Tavrel/journal.csv")));
        if (!journal.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(journal.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(1);
    }

    static char processState(qint64 pid)
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return '?';
        const QByteArray text = stat.readAll();
        return text.mid(text.lastIndexOf(')') + 2, 1).at(0);
    }

    // Killed outright mid-exposure (the program alone, its whole process
    // group as a shell's `kill -9 %1` does, or after its guardian was killed
    // and replaced): a guardian lets go within a second and journals the
    // exposure; a lost guardian is said once.
    void killedOutrightTheGuardianLetsGo_data()
    {
        QTest::addColumn<bool>("wholeGroup");
        QTest::addColumn<bool>("guardianKilledFirst");
        QTest::newRow("the program") << false << false;
        QTest::newRow("its process group") << true << false;
        QTest::newRow("its guardian, then the program") << false << true;
    }
    void killedOutrightTheGuardianLetsGo()
    {
        QFETCH(bool, wholeGroup);
        QFETCH(bool, guardianKilledFirst);
        QProcess process;
        process.setChildProcessModifier([] { ::setpgid(0, 0); });
        start(process, {"--simulate", "--adapter-log", "a.log", "--count", "1", "--exposure", "30"});
        QByteArray out;
        QVERIFY(waitForOutput(process, out, QStringLiteral("déclenchement")));
        // The log's own thread writes the line a moment after the press.
        QTRY_COMPARE_WITH_TIMEOUT(writes(QStringLiteral("a.log")).last().byte, 1, 5000);
        QByteArray err;
        if (guardianKilledFirst) {
            // The program's own guardian, found as its living child: a
            // guardian on its way out may linger as a zombie for a while.
            const QList<int> first = guardiansOf(process.processId());
            QCOMPARE(first.size(), 1);
            ::kill(first.first(), SIGKILL);
            // Found by its name, which the new guardian takes only once the
            // program's libraries are loaded: seconds on a loaded machine.
            const auto replaced = [&] {
                const QList<int> now = guardiansOf(process.processId());
                return now.size() == 1 && now != first;
            };
            QElapsedTimer waited;
            waited.start();
            while (!replaced() && waited.elapsed() < 30000)
                QTest::qWait(50);
            QVERIFY(replaced());
            QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains("un nouveau gardien"), 5000);
        }
        QElapsedTimer sinceDeath;
        ::kill(wholeGroup ? -pid_t(process.processId()) : pid_t(process.processId()), SIGKILL);
        sinceDeath.start();
        QVERIFY(process.waitForFinished(5000));
        // Polled, not slept: the bound is checked against the moment seen.
        while (writes(QStringLiteral("a.log")).last().byte != 0 && sinceDeath.elapsed() < 5000)
            QTest::qWait(10);
        QVERIFY2(sinceDeath.elapsed() < 1000, qPrintable(QString::number(sinceDeath.elapsed())));
        const QStringList log = logLines(QStringLiteral("a.log"));
        QVERIFY2(log.last().contains(QStringLiteral("FT_Close(")), qPrintable(log.join(QLatin1Char('\n'))));
        QTRY_VERIFY_WITH_TIMEOUT(guardians().isEmpty(), 5000);
        QVERIFY(journalLines().last().endsWith(QStringLiteral(",1,,programme interrompu,sans")));
        err += process.readAllStandardError();
        QCOMPARE(QString::fromUtf8(err).count(QStringLiteral("un nouveau gardien prend sa place")),
                 guardianKilledFirst ? 1 : 0);
    }

    // A guardian that learns of the program's death late: the program died
    // before it started (its parent is then another process), or the chip
    // cannot be opened again. It lets go at once, and journals only what
    // reached the line.
    void lateGuardian_data()
    {
        QTest::addColumn<QByteArray>("serial");
        QTest::addColumn<bool>("released");
        QTest::addColumn<QByteArray>("guiding"); // as the program told it; none from an older one
        QTest::newRow("chip there") << QByteArray() << true << QByteArray();
        QTest::newRow("chip not found") << QByteArray("ABSENT") << false << QByteArray();
        QTest::newRow("star lost meanwhile") << QByteArray() << true << QByteArray("perdu");
    }
    void lateGuardian()
    {
        QFETCH(QByteArray, serial);
        QFETCH(bool, released);
        QFETCH(QByteArray, guiding);
        const pid_t program = ::fork(); // the program, dead and gone
        if (program == 0)
            ::_exit(0);
        QVERIFY(program > 0 && ::waitpid(program, nullptr, 0) == program);
        int ends[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
        QProcess guardian;
        const int theirs = ends[1];
        guardian.setChildProcessModifier([theirs] { ::dup2(theirs, 3); });
        guardian.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        start(guardian, {"--guardian"});
        ::close(ends[1]);
        QTRY_VERIFY_WITH_TIMEOUT(guardians().contains(int(guardian.processId())), 5000);
        const QByteArray orders =
            "setup\t1\t1\t" + QFile::encodeName(path(QStringLiteral("a.log"))).toPercentEncoding() + "\t"
            + QFile::encodeName(path(QStringLiteral("data/Tavrel/journal.csv"))).toPercentEncoding() + "\t0\t"
            + QByteArray::number(program) + "\nuse\t" + serial + "\t0\t255\t1\npress\t0\t"
            + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + "\ts%C3%A9quence\t30\t1\t"
            + (guiding.isEmpty() ? QByteArray() : "\t" + guiding) + "\n";
        QCOMPARE(::write(ends[0], orders.constData(), size_t(orders.size())), ssize_t(orders.size()));
        ::close(ends[0]);
        // Its parent, this test, lives on: only the program's own end counts.
        QVERIFY(guardian.waitForFinished(500));
        QCOMPARE(writes(QStringLiteral("a.log")).size(), released ? 1 : 0);
        const QString entry = journalLines().value(0);
        const QString mark = guiding.isEmpty() ? QStringLiteral("sans") : QString::fromUtf8(guiding);
        QVERIFY2(entry.endsWith((released ? QStringLiteral(",1,,programme interrompu,")
                                          : QStringLiteral(",1,,déclencheur non relâché (programme interrompu),"))
                                + mark),
                 qPrintable(entry));
        // Without a release, no end and no measured time.
        QCOMPARE(entry.section(QLatin1Char(','), 2, 2).isEmpty(), !released);
        QCOMPARE(entry.section(QLatin1Char(','), 4, 4).isEmpty(), !released);
    }

    // Ctrl-Z lets go before the program stops, and the run goes on when it
    // is continued; a stop that cannot be caught (SIGSTOP) holds the release,
    // and the progress line then says what the journal says.
    void stoppedMidExposure_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("journalled");
        QTest::newRow("SIGTSTP") << int(SIGTSTP) << QStringLiteral("Pose 1/2 : relâché, pose coupée")
                                 << QStringLiteral("coupée (programme suspendu)");
        QTest::newRow("SIGSTOP") << int(SIGSTOP) << QStringLiteral("Pose 1/2 : relâché, pose prolongée")
                                 << QStringLiteral("prolongée");
    }
    void stoppedMidExposure()
    {
        QFETCH(int, signalNumber);
        QFETCH(QString, said);
        QFETCH(QString, journalled);
        QProcess process;
        start(process, {"--simulate", "--adapter-log", "a.log", "--count", "2", "--exposure", "2", "--delay", "1"});
        QByteArray out;
        QVERIFY(waitForOutput(process, out, QStringLiteral("Pose 1/2 : déclenchement")));
        ::kill(pid_t(process.processId()), signalNumber);
        QTRY_COMPARE_WITH_TIMEOUT(processState(process.processId()), 'T', 5000);
        // Stopped for longer than the exposure: held, or let go before.
        QCOMPARE(writes(QStringLiteral("a.log")).last().byte, signalNumber == SIGTSTP ? 0 : 1);
        QTest::qWait(3500);
        ::kill(pid_t(process.processId()), SIGCONT);
        const Result r = finish(process, out);
        QCOMPARE(r.status, 0);
        verifyInOrder(r.out, {said, QStringLiteral("Pose 2/2 : déclenchement"),
                              QStringLiteral("Pose 2/2 : relâché, pose terminée")});
        const QStringList journal = journalLines();
        QCOMPARE(journal.size(), 2);
        QVERIFY2(journal.at(0).endsWith(journalled + QStringLiteral(",sans")), qPrintable(journal.at(0)));
        QVERIFY2(journal.at(1).endsWith(QStringLiteral("complète,sans")), qPrintable(journal.at(1)));
    }

    // A run in the background of a terminal set to `stty tostop` gets
    // SIGTTOU at its first progress line: it goes on, it does not stop with
    // the release held.
    void terminalStopsPassBy()
    {
        QProcess process;
        start(process, {"--simulate", "--adapter-log", "a.log", "--count", "1", "--exposure", "2"});
        QByteArray out;
        QVERIFY(waitForOutput(process, out, QStringLiteral("déclenchement")));
        ::kill(pid_t(process.processId()), SIGTTOU);
        ::kill(pid_t(process.processId()), SIGTTIN);
        const Result r = finish(process, out, 10000);
        QCOMPARE(r.status, 0);
        QVERIFY2(journalLines().value(0).endsWith(QStringLiteral("complète,sans")), qPrintable(journalLines().value(0)));
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
        QTest::addColumn<int>("status");
        QTest::newRow("21:40:12") << QStringLiteral("21:40:12")
                                  << QStringList{
                                         "21:40:12.000 Scénario",
                                         "21:40:12.010 Étape 1/4 (nuit.txt, ligne 1, horaire 21:45:00) « Test frame » : pose 30 s, pause 5 s",
                                         "21:40:12.010 Étape 1/4 : attente jusqu'à 21:45:00 (4 min 48 s)",
                                         "21:45:00.020 Étape 1/4 : déclenchement, pose de 30 s",
                                         "21:45:30.030 Étape 1/4 : relâché, pose terminée",
                                         "21:45:30.030 Étape 1/4 : pause de 5 s",
                                         "21:45:35.230 Étape 1/4 : fin de la pause",
                                         "21:45:35.230 Étape 2/4 (nuit.txt, ligne 2) « M42, frame 1 » : pose 90 s, miroir 2 s, pause 10 s",
                                         "21:45:35.240 Étape 2/4 : miroir relevé, pose dans 2 s",
                                         "21:45:37.240 Étape 2/4 : déclenchement, pose de 90 s",
                                         "21:47:07.250 Étape 2/4 : relâché, pose terminée",
                                         "21:47:07.250 Étape 2/4 : pause de 10 s",
                                         "21:47:17.450 Étape 2/4 : fin de la pause",
                                         "21:47:17.450 Étape 3/4 (nuit.txt, ligne 3) « M42, frame 2 »",
                                         "21:47:17.460 Étape 3/4 : miroir relevé",
                                         "21:47:19.460 Étape 3/4 : déclenchement, pose de 90 s",
                                         "21:48:49.470 Étape 3/4 : relâché, pose terminée",
                                         "21:48:49.470 Étape 3/4 : pause de 10 s",
                                         "21:48:59.670 Étape 3/4 : fin de la pause",
                                         "21:48:59.670 Étape 4/4 (nuit.txt, ligne 4, horaire 22:30:00) « Dark frame »",
                                         "21:48:59.670 Étape 4/4 : attente jusqu'à 22:30:00 (41 min 1 s)",
                                         "22:30:00.020 Étape 4/4 : déclenchement, pose de 300 s",
                                         "22:35:00.030 Étape 4/4 : relâché, pose terminée",
                                         "22:35:00.030 Étape 4/4 : pause de 0 s",
                                         "22:35:00.230 Étape 4/4 : fin de la pause",
                                         "22:35:00.230 Étape de fin atteinte (nuit.txt, ligne 5)",
                                         "22:35:00.240 Fin du scénario : 4 poses prises."}
                                  << QStringLiteral("à 22:35:00.240 ; durée totale 54 min 48,240 s.") << 0;
        // Step 1 is past, which deserves a warning: step 2 starts at once.
        QTest::newRow("22:00:00") << QStringLiteral("22:00:00")
                                  << QStringList{
                                         "22:00:00.000 Scénario",
                                         "22:00:00.010 Étape 1/4 (nuit.txt, ligne 1, horaire 21:45:00)",
                                         "22:00:00.010 Étape 1/4 sautée : son horaire 21:45:00 était déjà passé au départ du scénario (22:00:00)",
                                         "22:00:00.010 Attention : nuit.txt, ligne 1 : son horaire 21:45:00 était déjà passé",
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
                                         "22:30:00.020 Étape 4/4 : déclenchement, pose de 300 s",
                                         "22:35:00.030 Étape 4/4 : relâché",
                                         "22:35:00.030 Étape 4/4 : pause de 0 s",
                                         "22:35:00.230 Étape 4/4 : fin de la pause",
                                         "22:35:00.230 Étape de fin atteinte (nuit.txt, ligne 5)",
                                         "22:35:00.240 Fin du scénario : 3 poses prises, 1 étape sautée."}
                                  << QStringLiteral("à 22:35:00.240 ; durée totale 35 min 0,240 s.") << 3;
    }
    void checkWorkedExample()
    {
        QFETCH(QString, at);
        QFETCH(QStringList, plan);
        QFETCH(QString, end);
        write(QStringLiteral("nuit.txt"), kWorkedExample);
        const Result r = run({QStringLiteral("--check"), QStringLiteral("nuit.txt"), QStringLiteral("--at"), at});
        QTEST(r.status, "status");
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        const QStringList lines = planLines(r.out);
        QCOMPARE(lines.size(), plan.size());
        for (int i = 0; i < plan.size(); ++i)
            QVERIFY2(lines.at(i).startsWith(plan.at(i)), qPrintable(lines.at(i) + QStringLiteral("\nexpected: ") + plan.at(i)));
        QCOMPARE(r.out.filter(QStringLiteral("Fin le %1 ").arg(QDate::currentDate().toString(QStringLiteral("dd/MM/yyyy")))).size(), 1);
        QVERIFY2(r.out.filter(end).size() == 1, qPrintable(r.out.join(QLatin1Char('\n'))));
        QVERIFY(r.out.last().startsWith(QStringLiteral("Bilan :")));
        QVERIFY(r.out.last().contains(QStringLiteral("%1 avertissement, 0 erreur").arg(r.status == 3 ? 1 : 0)));
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
        // The set-up lets go first, then the run's own writes.
        QCOMPARE(got, (QList<QPair<qint64, int>>{
                          {0, 0}, {288020, 1}, {318030, 0}, {323240, 1}, {323740, 0}, {325240, 1}, {385240, 1},
                          {415250, 0}, {425460, 1}, {425960, 0}, {427460, 1}, {487460, 1}, {517470, 0},
                          {2988020, 1}, {3048020, 1}, {3108020, 1}, {3168020, 1}, {3228020, 1}, {3288030, 0}}));
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
        QTest::newRow("timed step past at the start")
            << QStringList{"s.txt", "20:00:00,0,5,0,a\n*,0,5,0,b\n*,0,0,0,fin\n"} << "21:00:00" << 3
            << QStringList{"Étape 1/2 sautée : son horaire 20:00:00 était déjà passé au départ du scénario (21:00:00)",
                           "Attention : s.txt, ligne 1 : son horaire 20:00:00 était déjà passé", "1 avertissement"}
            << QString();
        QTest::newRow("timed step before the one above")
            << QStringList{"s.txt", "21:30:00,0,5,0,a\n21:10:00,0,5,0,b\n*,0,0,0,fin\n"} << "21:00:00" << 3
            << QStringList{"21:30:05.230 Étape 2/2 sautée : son horaire 21:10:00 vient avant",
                           "Attention : s.txt, ligne 2 : son horaire 21:10:00 vient avant", "1 avertissement"}
            << QString();
        QTest::newRow("across midnight")
            << QStringList{"s.txt", "23:55:00,0,10,0,a\n00:10:00,0,10,0,b\n*,0,0,0,fin\n"} << "23:50:00" << 0
            << QStringList{"23:55:00.020 Étape 1/2 : déclenchement",
                           "23:55:10.230 Étape 2/2 : attente jusqu'à 00:10:00 le lendemain (14 min 50 s)",
                           "00:10:00.020 (J+1) Étape 2/2 : déclenchement, pose de 10 s",
                           "00:10:10.240 (J+1) Fin du scénario : 2 poses prises.", "durée totale 20 min 10,240 s.",
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
    // Any night can be rehearsed (--date): its place, every moment of it,
    // dated when not on the start's day, and presses on the moments
    // themselves. The Pic du Midi has an astronomical night all year round;
    // Oslo at midsummer has none, and the step waiting for it is skipped.
    void checkSkyBound_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<QDate>("night");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("out");
        const QDate night(2026, 12, 7);
        const QTimeZone paris("Europe/Paris");
        const auto at = [&](tavrel::SkyEvent e) {
            return tavrel::skyEventTime(e, night, {42.94, 0.14}, paris)->toString("HH:mm:ss");
        };
        const QString dusk = at(tavrel::SkyEvent::Dusk), dawn = at(tavrel::SkyEvent::Dawn);
        QTest::newRow("Pic du Midi")
            << "42.94,0.14" << night << 0
            << QStringList{"Lieu 42,94° N, 0,14° E, nuit du 07/12/2026 au 08/12/2026 :",
                           "  @crepuscule → " + dusk, "  @aube → " + dawn + " le 08/12/2026",
                           "Étape 1/2 (nuit.txt, ligne 1, horaire @crepuscule → " + dusk + ")",
                           dusk + ".020 Étape 1/2 : déclenchement",
                           "Étape 2/2 (nuit.txt, ligne 2, horaire @aube → " + dawn + " le 08/12/2026)",
                           dawn + ".020 (J+1) Étape 2/2 : déclenchement", "0 avertissement"};
        QTest::newRow("Oslo at midsummer")
            << "59.91,10.75" << QDate(2026, 6, 21) << 3
            << QStringList{"  @crepuscule : aucun cette nuit (le Soleil ne descend pas à 18°",
                           "Étape 1/2 sautée : l'horaire « @crepuscule » n'existe pas la nuit du 21/06/2026",
                           "Attention : nuit.txt, ligne 1 : l'horaire « @crepuscule » n'existe pas",
                           "pas de nuit astronomique) ; elle sera sautée.", "2 avertissements, 0 erreur"};
    }
    void checkSkyBound()
    {
        QFETCH(QString, place);
        QFETCH(QDate, night);
        m_zone = "Europe/Paris";
        write(QStringLiteral("nuit.txt"), "@crepuscule,0,60,0,M42\n@aube,0,60,0,M42\n*,0,0,0,fin\n");
        const Result r = run({"--check", "nuit.txt", "--date", night.toString(Qt::ISODate), "--at", "17:00:00",
                              "--lieu", place});
        QFETCH(QStringList, out);
        verifyInOrder(r.out, out);
        QTEST(r.status, "status");
    }

    // On the night the clocks go back, 02:30 comes twice: the first is
    // taken, and said; the waits count the hours that pass, not the clock's.
    void checkClockChangeNight()
    {
        m_zone = "Europe/Paris";
        write(QStringLiteral("s.txt"), "02:30:00,0,5,0,a\n05:00:00,0,5,0,b\n*,0,0,0,fin\n");
        const Result r = run({"--check", "s.txt", "--date", "2026-10-24", "--at", "21:00:00"});
        verifyInOrder(r.out, {"Étape 1/2 : attente jusqu'à 02:30:00 le lendemain (5 h 30 min 0 s)",
                              "Attention : s.txt, ligne 1 : l'heure 02:30:00 passe deux fois",
                              "02:30:00.020 (J+1) Étape 1/2 : déclenchement",
                              "Étape 2/2 : attente jusqu'à 05:00:00 (3 h 29 min 55 s)",
                              "05:00:00.020 (J+1) Étape 2/2 : déclenchement", "2 poses, 0 étape sautée, 1 avertissement"});
        QCOMPARE(r.status, 3);
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
        QTest::newRow("--date without --check") << QStringList{"s.txt", "--date", "2026-12-24"} << QStringLiteral("--date ne sert");
        QTest::newRow("--date not a date") << QStringList{"--check", "s.txt", "--date", "2026-13-01"}
                                           << QStringLiteral("--date « 2026-13-01 » ne convient pas");
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
