// Sequence jobs run from the sequence window in virtual time; every press and
// release is checked at its instant against the simulated adapter's record.

#include "link/shared_values.h"
#include "link/timebase.h"
#include "modes/suspension.h"
#include "link/window_timer.h"
#include "support/rig.h"
#include "windows/controls.h"
#include "windows/tavrel_async.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace tavrel;
using tavrel::test::Rig;

namespace {

struct Job {
    explicit Job(Rig &r) : rig(r), w(static_cast<Tavrel_async *>(r.open(Mode::Sequence)))
    {
        r.sim.clearCalls();
        t0 = r.nowMs();
    }
    void set(const char *box, const QString &text) { w->findChild<QLineEdit *>(box)->setText(text); }
    void figures(const QString &count, const QString &exposure, const QString &mirror, const QString &interval)
    {
        set("Nb_Poses", count);
        set("Pose", exposure);
        set("Relevage", mirror);
        set("Text1", interval);
    }
    QString text(const char *box) const { return w->findChild<QLineEdit *>(box)->text(); }
    bool startEnabled() const { return w->findChild<QPushButton *>("Buble")->isEnabled(); }
    Shape *shape(const char *name) const { return w->findChild<Shape *>(name); }
    // Writes as (ms after the click, byte).
    QList<QPair<std::int64_t, int>> writes() const
    {
        QList<QPair<std::int64_t, int>> out;
        for (auto [ms, b] : rig.writes())
            out << qMakePair(ms - t0, b);
        return out;
    }
    QList<std::int64_t> pressDurations() const
    {
        QList<std::int64_t> out;
        std::int64_t since = -1;
        for (auto [ms, b] : rig.writes()) {
            if (b == 1 && since < 0)
                since = ms;
            else if (b == 0 && since >= 0) {
                out << ms - since;
                since = -1;
            }
        }
        return out;
    }
    Rig &rig;
    Tavrel_async *w;
    std::int64_t t0 = 0;
};

using Writes = QList<QPair<std::int64_t, int>>;

// On to the n-th write of a press (a slice's included), and what it brings
// on screen.
void untilPress(Rig &rig, int n)
{
    const auto presses = [&rig] {
        const QList<AdapterCall> writes = rig.sim.callsOf("FT_Write");
        return std::count_if(writes.begin(), writes.end(), [](const AdapterCall &c) { return c.arg == 1; });
    };
    QVERIFY(rig.time.advanceUntil([&] { return presses() >= n; }, 600000));
    rig.advance(0);
}

} // namespace

class TestSequence : public QObject {
    Q_OBJECT
private slots:
    void timeline_data();
    void timeline();
    void longExposuresAreSliced_data();
    void longExposuresAreSliced();
    void finishLetsTheExposureComplete();
    void finishDuringTheLastDelayTakesNoMore_data();
    void finishDuringTheLastDelayTakesNoMore();
    void stopShotCutsASliceAtOnce();
    void stopShotWhenIdleLetsGo();
    void presetAppliesFromTheNextExposure();
    void progressBarShrinksByOneNth();
    void refusedStarts_data();
    void refusedStarts();
    void boxesEditedIntoNonsenseKeepTheLastGoodValue();
    void twoHourExposureIsOrdinary();
    void slowHandlersDoNotPushTheDeadlines_data();
    void slowHandlersDoNotPushTheDeadlines();
    void busyMainThreadDoesNotDelayTheLine_data();
    void busyMainThreadDoesNotDelayTheLine();
    void stopAroundAPressMadeAhead_data();
    void stopAroundAPressMadeAhead();
    void failedWriteReanchorsTheNextWait_data();
    void failedWriteReanchorsTheNextWait();
    void suspendedOutsideAnExposure_data();
    void suspendedOutsideAnExposure();
};

void TestSequence::timeline_data()
{
    QTest::addColumn<QString>("count");
    QTest::addColumn<QString>("exposure");
    QTest::addColumn<QString>("mirror");
    QTest::addColumn<QString>("interval");
    QTest::addColumn<Writes>("expected");
    // Three exposures of 2 s, delay 1 s: each press 2010 ms, 1.21 s from a
    // release to the next press.
    QTest::newRow("3 x 2 s, delay 1") << "3" << "2" << "0" << "1"
                                      << Writes{{110, 1}, {2120, 0}, {3330, 1}, {5340, 0}, {6550, 1}, {8560, 0}};
    // Lock-up: 500 ms mirror press, release, exposure press 1500 ms later.
    QTest::newRow("mirror 2 s") << "2" << "1" << "2" << "0"
                                << Writes{{100, 1}, {600, 0}, {2100, 1}, {3110, 0}, {3310, 1}, {3810, 0}, {5310, 1}, {6320, 0}};
    // Delay 25 s: 100 ms, two 10 s steps, then 5.1 s.
    QTest::newRow("delay 25") << "2" << "1" << "0" << "25"
                              << Writes{{110, 1}, {1120, 0}, {1120 + 100 + 20000 + 5100 + 10, 1}, {27340, 0}};
    QTest::newRow("delay 0") << "2" << "1" << "0" << "0"
                             << Writes{{110, 1}, {1120, 0}, {1330, 1}, {2340, 0}};
    QTest::newRow("one exposure") << "1" << "3" << "0" << "1" << Writes{{110, 1}, {3120, 0}};
}

void TestSequence::timeline()
{
    QFETCH(QString, count);
    QFETCH(QString, exposure);
    QFETCH(QString, mirror);
    QFETCH(QString, interval);
    QFETCH(Writes, expected);
    Rig rig;
    Job job(rig);
    job.set("Nb_Poses", count);
    job.set("Pose", exposure);
    job.set("Relevage", mirror);
    job.set("Text1", interval);
    job.w->Buble_Click();
    QVERIFY(!job.startEnabled());
    rig.advance(expected.last().first - 1);
    QVERIFY(rig.sim.isPressed());
    rig.advance(60000);
    QCOMPARE(job.writes(), expected);
    QVERIFY(job.startEnabled());
    QCOMPARE(shared().ShotCount, 0);
    QCOMPARE(shared().StopRequested, 0);
    QCOMPARE(job.shape("Mirorup")->fillStyle(), 3);
    QVERIFY(!job.w->Enchainement->isTicking());
}

void TestSequence::longExposuresAreSliced_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QList<int>>("clocks"); // ExposureClockMs at each slice
    QTest::newRow("60 s: one slice") << 60 << QList<int>{60000};
    QTest::newRow("61 s: 60 + 1") << 61 << QList<int>{61000, 1000};
    QTest::newRow("150 s: 60 + 60 + 30") << 150 << QList<int>{150000, 90000, 30000};
}

void TestSequence::longExposuresAreSliced()
{
    QFETCH(int, seconds);
    QFETCH(QList<int>, clocks);
    Rig rig;
    Job job(rig);
    job.set("Pose", QString::number(seconds));
    QList<int> seen;
    job.w->Buble_Click();
    // Right after each press: the clock the press set.
    for (int i = 0; i < clocks.size(); ++i) {
        untilPress(rig, i + 1);
        seen << shared().ExposureClockMs;
    }
    rig.advance(seconds * 1000 + 1000);
    QCOMPARE(seen, clocks);
    // One press per slice, the line held throughout, one release 10 ms after.
    Writes expected;
    for (int i = 0; i < clocks.size(); ++i)
        expected << qMakePair(std::int64_t(110 + i * 60000), 1);
    expected << qMakePair(std::int64_t(110 + seconds * 1000 + 10), 0);
    QCOMPARE(job.writes(), expected);
    QCOMPARE(job.pressDurations(), QList<std::int64_t>{seconds * 1000 + 10});
}

void TestSequence::finishLetsTheExposureComplete()
{
    Rig rig;
    Job job(rig);
    job.set("Nb_Poses", "5");
    job.set("Pose", "10");
    job.w->Buble_Click();
    rig.advance(3000);
    job.w->Stop_Capture_Click();
    rig.advance(600000);
    QCOMPARE(job.writes(), (Writes{{110, 1}, {10120, 0}}));
    QVERIFY(job.startEnabled());
    QCOMPARE(shared().ShotCount, 0);
}

void TestSequence::finishDuringTheLastDelayTakesNoMore_data()
{
    QTest::addColumn<QString>("mirror");
    QTest::newRow("no mirror") << "0";
    QTest::newRow("mirror") << "2";
}

void TestSequence::finishDuringTheLastDelayTakesNoMore()
{
    // The click lands after state 31 armed the next exposure: none starts.
    QFETCH(QString, mirror);
    Rig rig;
    Job job(rig);
    job.set("Nb_Poses", "5");
    job.set("Text1", "5");
    job.set("Relevage", mirror);
    job.w->Buble_Click();
    rig.advance(5000); // past the first exposure's release, in the last slice of the delay
    job.w->Stop_Capture_Click();
    rig.advance(60000);
    QCOMPARE(rig.sim.pressCount(), mirror == "0" ? 1 : 2);
    QVERIFY(!rig.sim.isPressed());
    QVERIFY(job.startEnabled());
}

void TestSequence::stopShotCutsASliceAtOnce()
{
    Rig rig;
    Job job(rig);
    job.set("Pose", "300");
    job.set("Nb_Poses", "3");
    job.w->Buble_Click();
    rig.advance(30000);
    QVERIFY(rig.sim.isPressed());
    job.w->Stop_Shot_Click();
    QVERIFY(!rig.sim.isPressed());
    QCOMPARE(job.writes().last(), qMakePair(std::int64_t(30000), 0));
    QCOMPARE(shared().ShutterHeld, 0);
    QCOMPARE(shared().StopRequested, -1);
    QCOMPARE(shared().ShotCount, 3);
    QVERIFY(job.startEnabled());
    QVERIFY(!job.shape("Col1")->isVisible());
    const int writes = job.writes().size();
    rig.advance(600000);
    QCOMPARE(job.writes().size(), writes);
    QVERIFY(!job.w->findChild<QLabel *>("Restant")->isVisible());
}

void TestSequence::stopShotWhenIdleLetsGo()
{
    Rig rig;
    Job job(rig);
    job.w->Stop_Shot_Click();
    QCOMPARE(job.writes(), (Writes{{0, 0}}));
    QVERIFY(job.startEnabled());
}

void TestSequence::presetAppliesFromTheNextExposure()
{
    Rig rig;
    Job job(rig);
    job.set("Nb_Poses", "2");
    job.set("Pose", "2");
    job.set("Text1", "0");
    job.w->Buble_Click();
    rig.advance(500);
    job.w->findChild<QPushButton *>("B30")->click();
    QCOMPARE(job.text("Pose"), QStringLiteral("30"));
    rig.advance(60000);
    QCOMPARE(job.pressDurations(), (QList<std::int64_t>{2010, 30010}));
}

void TestSequence::progressBarShrinksByOneNth()
{
    Rig rig;
    Job job(rig);
    job.set("Nb_Poses", "4");
    job.set("Text1", "0");
    const int frame = job.shape("cadre1")->width();
    const int left = job.shape("Col1")->x();
    QList<int> widths;
    job.w->Buble_Click();
    for (int i = 0; i < 4; ++i) {
        untilPress(rig, i + 1);
        if (job.shape("Col1")->isVisible())
            widths << job.shape("Col1")->width();
    }
    rig.advance(20000);
    QCOMPARE(widths, (QList<int>{frame, qRound(frame * 0.75), qRound(frame * 0.5), qRound(frame * 0.25)}));
    QCOMPARE(job.shape("Col1")->x(), left);
    QVERIFY(!job.shape("Col1")->isVisible());
}

void TestSequence::refusedStarts_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("named");
    QTest::newRow("count 0") << "Nb_Poses" << "0" << "Nombre de poses";
    QTest::newRow("count text") << "Nb_Poses" << "trois" << "Nombre de poses";
    QTest::newRow("exposure 0") << "Pose" << "0" << "Temps de pose";
    QTest::newRow("exposure decimal") << "Pose" << "1.5" << "Temps de pose";
    QTest::newRow("exposure empty") << "Pose" << "" << "Temps de pose";
    QTest::newRow("exposure overflowing") << "Pose" << "3000000" << "Temps de pose";
    QTest::newRow("mirror negative") << "Relevage" << "-2" << "relevage miroir";
    QTest::newRow("delay negative") << "Text1" << "-1" << "Délai entre poses";
    QTest::newRow("delay huge") << "Text1" << "99999999999" << "Délai entre poses";
}

void TestSequence::refusedStarts()
{
    QFETCH(QString, box);
    QFETCH(QString, text);
    QFETCH(QString, named);
    Rig rig;
    Job job(rig);
    job.set(box.toLatin1().constData(), text);
    job.w->Buble_Click();
    QCOMPARE(rig.messages.shown.size(), 1);
    QCOMPARE(rig.messages.shown.first().kind, MessageKind::Error);
    QVERIFY2(rig.messages.shown.first().text.contains(named), qPrintable(rig.messages.shown.first().text));
    QVERIFY(job.startEnabled());
    rig.advance(10000);
    QVERIFY(job.writes().isEmpty());
    QCOMPARE(job.text(box.toLatin1().constData()), text); // nothing the user typed is lost
}

void TestSequence::boxesEditedIntoNonsenseKeepTheLastGoodValue()
{
    Rig rig;
    Job job(rig);
    job.figures("3", "2", "0", "1");
    job.w->Buble_Click();
    rig.advance(500);
    job.set("Pose", "-5");
    job.set("Text1", "abc");
    job.set("Nb_Poses", "0");
    rig.advance(60000);
    QCOMPARE(job.pressDurations(), (QList<std::int64_t>{2010, 2010, 2010}));
    QCOMPARE(job.writes().at(2).first - job.writes().at(1).first, 1210);
    QVERIFY(!rig.sim.isPressed());
    QVERIFY(job.startEnabled());
    QVERIFY(rig.messages.shown.isEmpty()); // no box holds up a running job
}

void TestSequence::twoHourExposureIsOrdinary()
{
    Rig rig;
    Job job(rig);
    job.set("Pose", "7200");
    job.w->Buble_Click();
    rig.advance(3 * 3600 * 1000);
    QCOMPARE(job.pressDurations(), QList<std::int64_t>{7200010});
    QCOMPARE(rig.sim.callsOf("FT_Write").size(), 121); // 120 slices and the release
}

QTEST_MAIN(TestSequence)
#include "tst_sequence.moc"

void TestSequence::slowHandlersDoNotPushTheDeadlines_data()
{
    QTest::addColumn<QString>("exposure");
    QTest::addColumn<QString>("mirror");
    QTest::addColumn<QString>("interval");
    QTest::addColumn<std::int64_t>("gap"); // nominal release to next first press
    QTest::newRow("2 h, 120 slices") << "7200" << "0" << "0" << std::int64_t(100 + 100 + 10);
    QTest::newRow("20 min, delay 25 s") << "1200" << "0" << "25" << std::int64_t(100 + 25000 + 100 + 10);
    QTest::newRow("61 s, mirror 2 s") << "61" << "2" << "12" << std::int64_t(100 + 12000 + 100);
}

void TestSequence::slowHandlersDoNotPushTheDeadlines()
{
    // Every handler takes 3 ms, and every write 2 ms more: the exposures last
    // E s + 10 ms and the gaps their nominal sum all the same.
    QFETCH(QString, exposure);
    QFETCH(QString, mirror);
    QFETCH(QString, interval);
    QFETCH(std::int64_t, gap);
    Rig rig;
    Job job(rig);
    job.figures("2", exposure, mirror, interval);
    connect(job.w->Enchainement, &WindowTimer::Timer, this, [&] { rig.time.spend(3000); });
    const QMetaObject::Connection timeOut = connect(&rig.sim, &SimulatedAdapter::changed, this, [&] { rig.time.spend(2000); });
    job.w->Buble_Click();
    rig.advance(2LL * (exposure.toInt() + interval.toInt() + 5) * 1000);
    const std::int64_t e = exposure.toLongLong() * 1000 + 10;
    QCOMPARE(job.pressDurations(), mirror == "0" ? (QList<std::int64_t>{e, e})
                                                  : (QList<std::int64_t>{500, e, 500, e}));
    // From the first exposure's release to the next write, the next shot's press.
    const auto w = job.writes();
    int release = 0;
    while (release < w.size() && !(w[release].second == 0 && release > (mirror == "0" ? 0 : 1)))
        ++release;
    QVERIFY(release + 1 < w.size());
    QCOMPARE(w[release + 1].first - w[release].first, gap);
}

void TestSequence::busyMainThreadDoesNotDelayTheLine_data()
{
    QTest::addColumn<QString>("mirror");
    QTest::addColumn<QList<std::int64_t>>("gaps"); // between successive writes, first 3
    QTest::newRow("no mirror") << "0" << QList<std::int64_t>{5010, 100 + 1000 + 100 + 10, 5010};
    QTest::newRow("mirror 2 s") << "2" << QList<std::int64_t>{500, 1500, 5010};
}

void TestSequence::busyMainThreadDoesNotDelayTheLine()
{
    // The main thread is busy 60 ms out of every 97 (painting, a journal
    // line on a slow disk): its ticks come up to 60 ms late, but the timing
    // thread puts every press and release on the line at its instant.
    QFETCH(QString, mirror);
    QFETCH(QList<std::int64_t>, gaps);
    Rig rig;
    Job job(rig);
    job.figures("3", "5", mirror, "1");
    std::unique_ptr<OneShot> busy;
    busy = rig.time.createOneShot([&] {
        rig.time.spend(60000);
        busy->start(37);
    });
    busy->start(3);
    job.w->Buble_Click();
    rig.advance(40000);
    busy.reset();
    const std::int64_t e = 5010;
    QCOMPARE(job.pressDurations(), mirror == "0" ? (QList<std::int64_t>{e, e, e})
                                                  : (QList<std::int64_t>{500, e, 500, e, 500, e}));
    const auto w = job.writes();
    QVERIFY(w.size() > 3);
    for (int i = 0; i < gaps.size(); ++i)
        QCOMPARE(w[i + 1].first - w[i].first, gaps[i]);
    QVERIFY(!rig.sim.isPressed());
    QVERIFY(job.startEnabled());
}

void TestSequence::stopAroundAPressMadeAhead_data()
{
    // 3 x 2 s, delay 1 s: the second press is due 3330 ms after the click.
    QTest::addColumn<int>("busyMs");  // the main thread busy from 3325 ms
    QTest::addColumn<bool>("finish"); // then "Finish Capture Job", else "Stop Shot"
    QTest::addColumn<QList<std::int64_t>>("presses");
    QTest::addColumn<QString>("notice"); // what the stop notice says at the click
    QTest::newRow("finish before the press") << 0 << true << QList<std::int64_t>{2010} << "avant la prochaine pose";
    QTest::newRow("finish after the thread pressed")
        << 50 << true << QList<std::int64_t>{2010, 2010} << "fin après la pose en cours";
    QTest::newRow("stop shot after the thread pressed") << 50 << false << QList<std::int64_t>{2010, 45} << "";
}

void TestSequence::stopAroundAPressMadeAhead()
{
    // A press the timing thread made while the click waited is either taken
    // to its end or let go by the stop: never left held, never made after it.
    QFETCH(int, busyMs);
    QFETCH(bool, finish);
    QFETCH(QList<std::int64_t>, presses);
    QFETCH(QString, notice);
    Rig rig;
    Job job(rig);
    job.figures("3", "2", "0", "1");
    QString shown;
    auto click = rig.time.createOneShot([&] {
        rig.time.spend(busyMs * 1000);
        finish ? job.w->Stop_Capture_Click() : job.w->Stop_Shot_Click();
        shown = job.w->findChild<QLabel *>("Arret_Demande")->text();
    });
    click->start(3325);
    job.w->Buble_Click();
    rig.advance(30000);
    QCOMPARE(job.pressDurations(), presses);
    QVERIFY2(shown.contains(notice), qPrintable(shown));
    // Every press that reached the camera has its line, the cut one too.
    const QStringList journal = rig.journalLines().mid(1);
    QCOMPARE(journal.size(), presses.size());
    if (!finish)
        QVERIFY(journal.last().contains(QStringLiteral("arrêtée")));
    // Dated when the thread pressed, not when the busy thread heard of it.
    const QTime start = rig.time.nowPrecise().addMSecs(-rig.nowMs()).time();
    QCOMPARE(journal.last().section(',', 1, 1), start.addMSecs(presses.size() > 1 ? 3330 : 110).toString("HH:mm:ss.zzz"));
    QVERIFY(!rig.sim.isPressed());
    QVERIFY(job.startEnabled());
    QCOMPARE(shared().ShutterHeld, 0);
}

void TestSequence::failedWriteReanchorsTheNextWait_data()
{
    QTest::addColumn<int>("failing");               // the byte whose first write fails
    QTest::addColumn<std::int64_t>("firstExposure"); // from the press to the release that reached the chip
    QTest::newRow("press fails") << 1 << std::int64_t(5010);
    // The release reaches the chip 30 ms late: the exposure is longer.
    QTest::newRow("release fails") << 0 << std::int64_t(5040);
}

void TestSequence::failedWriteReanchorsTheNextWait()
{
    // The timing thread's write fails after 30 ms (a USB time-out) and is
    // made again at once. The camera saw only the second write: the exposure
    // and the delay count from it, not from the one that failed.
    QFETCH(int, failing);
    QFETCH(std::int64_t, firstExposure);
    Rig rig;
    Job job(rig);
    job.figures("2", "5", "0", "1");
    qsizetype seen = 0;
    const QMetaObject::Connection timeOut = connect(&rig.sim, &SimulatedAdapter::changed, this, [&] {
        const QList<AdapterCall> &calls = rig.sim.calls();
        if (calls.size() > seen && calls.last().function == "FT_Write" && calls.last().status != FT_OK)
            rig.time.spend(30000);
        seen = calls.size();
    });
    const auto slow = qScopeGuard([&] { QObject::disconnect(timeOut); });
    job.w->Buble_Click();
    if (failing == 0)
        rig.advance(1000); // pressed
    rig.sim.injectFault("FT_Write", FT_IO_ERROR);
    rig.advance(30000);
    QList<std::int64_t> reached; // instants of the writes that reached the chip
    for (const AdapterCall &c : rig.sim.callsOf("FT_Write"))
        if (c.status == FT_OK)
            reached << c.us / 1000;
    QCOMPARE(reached.size(), 4);
    QCOMPARE(reached[1] - reached[0], firstExposure);
    QCOMPARE(reached[2] - reached[1], std::int64_t(100 + 1000 + 100 + 10));
    QCOMPARE(reached[3] - reached[2], std::int64_t(5010));
}

void TestSequence::suspendedOutsideAnExposure_data()
{
    QTest::addColumn<QStringList>("figures"); // count, exposure, mirror, delay
    QTest::addColumn<int>("atMs");            // Ctrl-Z
    QTest::addColumn<Writes>("expected");
    // The next press, planned already, keeps its instant.
    QTest::newRow("in the delay") << QStringList{"2", "2", "0", "5"} << 5000
                                  << Writes{{110, 1}, {2120, 0}, {5000, 0}, {7330, 1}, {9340, 0}};
    // The mirror comes down; the shot starts again 100 ms on, mirror first.
    QTest::newRow("mirror up") << QStringList{"1", "2", "2", "0"} << 300
                               << Writes{{100, 1}, {300, 0}, {400, 1}, {900, 0}, {2400, 1}, {4410, 0}};
}

void TestSequence::suspendedOutsideAnExposure()
{
    // Ctrl-Z when no exposure is under way: the line is let go, and the run
    // goes on as planned once the program is back, with no exposure lost.
    QFETCH(QStringList, figures);
    QFETCH(int, atMs);
    QFETCH(Writes, expected);
    Rig rig;
    Job job(rig);
    job.figures(figures[0], figures[1], figures[2], figures[3]);
    auto suspend = rig.time.createOneShot([&] { QVERIFY(!letGoBeforeStopping([&] { job.w->endExposureNow(); })); });
    suspend->start(atMs);
    job.w->Buble_Click();
    rig.advance(20000);
    QCOMPARE(job.writes(), expected);
    QCOMPARE(rig.journalLines().size(), 1 + figures[0].toInt());
}
