// Dithers between exposures against a stand-in guider: the exposures run in
// virtual time; the guider's bytes cross a real loopback socket, delivered
// between two virtual steps.

#include "app/run/headless_views.h"
#include "link/release_line.h"
#include "link/settings.h"
#include "link/shared_values.h"
#include "link/window_timer.h"
#include "modes/dither_gate.h"
#include "link/journal.h"
#include "modes/scenario_runner.h"
#include "modes/sequence_job.h"
#include "support/engine_rig.h"
#include "support/stand_in_guider.h"

#include <QFile>
#include <algorithm>
#include <QtTest>

using namespace tavrel;
using namespace tavrel::test;

namespace {

// The mode under test, run against the rig's virtual clock.
struct Night {
    EngineRig rig;
    StandInGuider guider;
    WindowTimer timer;
    DitherGate gate;

    Night()
    {
        shared().BitMask = 255;
        shared().BitMode = 1;
        OpenDevice();
    }
    ~Night() { gate.end(); }

    GuiderSettings settings(int every = 1, bool listening = true)
    {
        GuiderSettings s;
        s.host = QStringLiteral("127.0.0.1");
        s.port = guider.port();
        s.every = every;
        s.watch = true;
        if (!listening)
            guider.stopListening();
        return s;
    }
    // A sequence job wired to the gate, as the window and tavrel-run wire it.
    std::unique_ptr<SequenceJob> job(const char *count, const char *delay)
    {
        view = std::make_unique<run::HeadlessSequenceView>(QString::fromLatin1(count), QStringLiteral("5"),
                                                           QStringLiteral("0"), QString::fromLatin1(delay));
        auto j = std::make_unique<SequenceJob>(&timer, view.get());
        QObject::connect(&timer, &WindowTimer::Timer, j.get(), &SequenceJob::tick);
        j->setBetweenExposures(&gate);
        return j;
    }
    std::unique_ptr<run::HeadlessSequenceView> view;
    // Opens the gate and lets the connection be made (or refused) for real.
    void open(const GuiderSettings &s)
    {
        gate.begin(s);
        QVERIFY(QTest::qWaitFor([&] { return gate.client()->isConnected() || !rig.messages.shown.isEmpty(); }, 5000));
        pump();
    }
    void pump() { guider.deliver(gate.client()); }
    // Virtual time on, 10 ms at a time, the socket read between steps.
    void run(std::int64_t ms, const std::function<bool()> &until = {})
    {
        for (std::int64_t t = 0; t < ms && !(until && until()); t += 10) {
            rig.advance(10);
            pump();
        }
    }
    QStringList guidingColumn() const
    {
        QStringList out;
        const QStringList lines = rig.journalLines();
        for (const QString &l : lines.mid(1))
            out << l.section(QLatin1Char(','), -1);
        return out;
    }
};

} // namespace

class TstGuider : public QObject {
    Q_OBJECT
private slots:
    void sequenceWaitsForTheSettle_data();
    void sequenceWaitsForTheSettle();
    void stopDuringSettleEndsTheRun();
    void scenarioStepsAndTheSettle_data();
    void scenarioStepsAndTheSettle();
    void guidingTroubleMarksTheExposure_data();
    void guidingTroubleMarksTheExposure();
    void hostileGuiderIsReadSafely();
    void badSettingsGetDefaults();
    void oldJournalKeepsItsColumns();
};

void TstGuider::sequenceWaitsForTheSettle_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<int>("minGapMs"); // from the first release to the second press
    QTest::addColumn<int>("maxGapMs");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QString>("guiding");
    using A = StandInGuider::Answer;
    QTest::newRow("settles") << int(A::Settle) << true << 4000 << 4400 << QString() << "ok,ok,ok";
    QTest::newRow("settle fails") << int(A::FailSettle) << true << 4000 << 4400 << "a échoué" << "ok,perdu,perdu";
    QTest::newRow("refused") << int(A::Refuse) << true << 100 << 500 << "refusé" << "ok,ok,ok";
    QTest::newRow("no answer") << int(A::Silent) << true << 10000 << 10400 << "pas répondu" << "ok,ok,ok";
    QTest::newRow("nobody listening") << int(A::Settle) << false << 100 << 300 << "injoignable" << "sans,sans,sans";
}

void TstGuider::sequenceWaitsForTheSettle()
{
    QFETCH(int, answer);
    QFETCH(bool, listening);
    QFETCH(int, minGapMs);
    QFETCH(int, maxGapMs);
    QFETCH(QString, warning);
    QFETCH(QString, guiding);
    Night n;
    n.guider.answer = StandInGuider::Answer(answer);
    n.guider.settleMs = 4000;
    const auto job = n.job("3", "0");
    n.open(n.settings(1, listening));
    QVERIFY(job->start());
    n.run(60000, [&] { return !job->isRunning(); });
    QVERIFY(!job->isRunning());

    const auto presses = n.rig.writeTimes(1);
    const auto releases = n.rig.writeTimes(0);
    QCOMPARE(presses.size(), 3);
    QCOMPARE(n.guider.dithers.size(), listening ? 2 : 0); // none after the last exposure
    // The first release after the first press (the set-up lets go too).
    const auto release = std::find_if(releases.begin(), releases.end(), [&](auto t) { return t > presses[0]; });
    QVERIFY(release != releases.end());
    const qint64 gap = presses[1] - *release;
    QVERIFY2(gap >= minGapMs && gap <= maxGapMs, qPrintable(QString::number(gap)));
    if (answer == int(StandInGuider::Answer::Settle) && listening)
        QVERIFY(presses[1] * 1000 >= n.guider.settleDoneUs[0]);
    const QStringList texts = n.rig.messages.texts();
    QCOMPARE(texts.filter(QStringLiteral("Décalage")).size() + texts.filter(QStringLiteral("injoignable")).size(),
             warning.isEmpty() ? 0 : listening ? 2 : 1);
    if (!warning.isEmpty())
        QVERIFY2(texts.join(QLatin1Char('\n')).contains(warning), qPrintable(texts.join(QLatin1Char('\n'))));
    QCOMPARE(n.guidingColumn().join(QLatin1Char(',')), guiding);
}

void TstGuider::stopDuringSettleEndsTheRun()
{
    Night n;
    n.guider.settleMs = 30000;
    const auto job = n.job("3", "0");
    n.open(n.settings());
    QVERIFY(job->start());
    n.run(8000);
    QCOMPARE(n.guider.dithers.size(), 1);
    job->finish();
    n.run(2000);
    QVERIFY(!job->isRunning());
    QCOMPARE(n.rig.writeTimes(1).size(), 1);
    QCOMPARE(shared().ShutterHeld, 0);
}

void TstGuider::scenarioStepsAndTheSettle_data()
{
    QTest::addColumn<QByteArray>("secondStep");
    QTest::addColumn<int>("pressAtMs"); // the second press, from the start
    // The first exposure ends about 5.1 s in; the guider settles 8 s later.
    QTest::newRow("at once: after the settle") << QByteArray("*,0,5,0,b\n") << 13100;
    QTest::newRow("timed: at its time") << QByteArray("21:40:20,0,5,0,b\n") << 8020;
}

void TstGuider::scenarioStepsAndTheSettle()
{
    QFETCH(QByteArray, secondStep);
    QFETCH(int, pressAtMs);
    Night n;
    n.guider.settleMs = 8000;
    const QString path = n.rig.configDir() + QStringLiteral("/nuit.txt");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("*,0,5,0,a\n" + secondStep + "*,0,0,0,fin\n");
    f.close();
    run::HeadlessScenarioView view;
    ScenarioRunner runner(&n.timer, &view);
    QObject::connect(&n.timer, &WindowTimer::Timer, &runner, &ScenarioRunner::tick);
    runner.setBetweenExposures(&n.gate);
    n.open(n.settings());
    const qint64 startMs = n.rig.nowMs();
    QVERIFY(runner.start(path));
    n.run(60000, [&] { return !runner.isRunning(); });
    const auto presses = n.rig.writeTimes(1);
    QCOMPARE(presses.size(), 2);
    QCOMPARE(n.guider.dithers.size(), 1); // none before the end step
    QVERIFY2(qAbs(presses[1] - startMs - pressAtMs) <= 250, qPrintable(QString::number(presses[1] - startMs)));
}

void TstGuider::guidingTroubleMarksTheExposure_data()
{
    QTest::addColumn<QString>("event"); // empty: the guider drops the connection
    QTest::addColumn<QString>("mark");
    QTest::newRow("star lost") << "StarLost" << "perdu";
    QTest::newRow("lock lost") << "LockPositionLost" << "perdu";
    QTest::newRow("guiding stopped") << "GuidingStopped" << "arrêté";
    QTest::newRow("guider gone") << QString() << "arrêté";
}

void TstGuider::guidingTroubleMarksTheExposure()
{
    QFETCH(QString, event);
    QFETCH(QString, mark);
    Night n;
    const auto job = n.job("1", "0");
    n.open(n.settings(0));
    QVERIFY(job->start());
    n.run(2000);
    if (event.isEmpty())
        n.guider.dropClients();
    else
        n.guider.sendEvent(event);
    n.run(10000, [&] { return !job->isRunning(); });
    QCOMPARE(n.guidingColumn().value(0), mark);
}

void TstGuider::hostileGuiderIsReadSafely()
{
    Night n;
    n.open(n.settings());
    QSignalSpy done(n.gate.client(), &GuiderClient::settleDone);
    // Garbage, a line of a megabyte, a flood, then a line in two halves: the
    // last one is still read, once.
    n.guider.sendRaw("}{ not json at all\r\n\x01\x02\xff\r\n");
    n.guider.sendRaw(QByteArray(1024 * 1024, 'x'));
    n.guider.sendRaw(QByteArray(1024 * 1024, '{') + "\r\n");
    for (int i = 0; i < 2000; ++i)
        n.guider.sendEvent(QStringLiteral("GuideStep"), {{QStringLiteral("Frame"), i}});
    n.guider.sendRaw("{\"Event\":\"Settle");
    n.pump();
    QCOMPARE(n.gate.client()->state(), GuiderState::Guiding);
    n.guider.sendRaw("Done\",\"Status\":0}\r\n");
    QVERIFY(QTest::qWaitFor([&] { return done.size() == 1; }, 5000));
    QVERIFY(done.first().at(0).toBool());
    QVERIFY(n.gate.client()->isConnected());
}

void TstGuider::badSettingsGetDefaults()
{
    EngineRig rig;
    LoadSettings();
    QFile f(rig.settingsPath());
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray before = f.readAll();
    f.close();
    QVERIFY(!before.contains("Guidage")); // never written by the program
    QVERIFY(f.open(QIODevice::Append));
    f.write("[Guidage]\nPort=99999\nDecalage=2\nPixels=abc\nRASeul=1\nTolerance=0,8\nDelaiMax=0\n");
    f.close();
    const GuiderSettings s = readGuiderSettings();
    QCOMPARE(s.port, 4400);
    QCOMPARE(s.every, 2);
    QCOMPARE(s.pixels, 3.0);
    QVERIFY(s.raOnly);
    QCOMPARE(s.tolerance, 0.8);
    QCOMPARE(s.timeoutSeconds, 60);
    const QStringList warned = rig.messages.texts();
    QCOMPARE(warned.size(), 3);
    for (const char *key : {"Port=99999", "Pixels=abc", "DelaiMax=0"})
        QVERIFY(!warned.filter(QLatin1String(key)).isEmpty());
}

void TstGuider::oldJournalKeepsItsColumns()
{
    EngineRig rig;
    ExposureJournal &journal = ExposureJournal::instance();
    const JournalExposure what{QStringLiteral("séquence"), 5, 1, QString(), QStringLiteral("ok")};
    const QDateTime start(QDate(2026, 12, 7), QTime(22, 0));
    journal.appendEntry(start, 5000000, what, JournalOutcome::Complete);
    QVERIFY(rig.journalLines().value(0).endsWith(QLatin1String(",issue,guidage")));
    QVERIFY(rig.journalLines().value(1).endsWith(QStringLiteral(",complète,ok")));

    QFile::remove(rig.journalPath());
    QFile old(rig.journalPath());
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("date,debut,fin,pose_demandee_s,pose_mesuree_s,mode,etape,fichier_ligne,issue\n");
    old.close();
    journal.appendEntry(start, 5000000, what, JournalOutcome::Complete);
    QVERIFY(rig.journalLines().value(1).endsWith(QStringLiteral(",complète")));
}

QTEST_MAIN(TstGuider)
#include "tst_guider.moc"
