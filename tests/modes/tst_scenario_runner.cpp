#include "link/messages.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/simulated_adapter.h"
#include "link/timebase.h"
#include "link/window_timer.h"
#include "link/journal.h"
#include "modes/scenario_runner.h"
#include "modes/sky_times.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace tavrel;

namespace {

// What the scenario window would show.
class FakeView final : public ScenarioView {
public:
    struct Step {
        int number;
        QString exposure, pause, mirror, comment;
    };
    void showStep(int stepNumber, const QString &e, const QString &p, const QString &m,
                  const QString &c) override
    {
        steps.append({stepNumber, e, p, m, c});
        number = stepNumber;
        exposure = e;
        pause = p;
        mirror = m;
        comment = c;
    }
    QString exposureText() const override { return exposure; }
    QString pauseText() const override { return pause; }
    void showEnd() override
    {
        ++ends;
        comment = QStringLiteral("** Fin de scénario **");
        exposure = pause = mirror = QStringLiteral("*-*");
    }
    void setMirrorStyle(int fillStyle) override { mirrorStyle = fillStyle; }
    void setProgress(double share) override
    {
        progress.append(share);
        clocks.append(shared().ExposureClockMs);
    }
    void setProgressVisible(bool visible) override { progressVisible = visible; }
    void setRunning(bool r) override { running.append(r); }

    QList<Step> steps;
    int number = 0;
    QString exposure, pause, mirror, comment;
    int ends = 0;
    int mirrorStyle = 3;
    QList<double> progress;
    QList<int> clocks; // ExposureClockMs at each slice
    bool progressVisible = false;
    QList<bool> running;
};

using Writes = QList<QPair<qint64, int>>; // (ms since start, byte on the line)
using Ticks = QList<QPair<qint64, QString>>; // (ms since start, state handled)

const QByteArray kWorkedExample = "21:45:00,0,30,5,Test frame\n"
                                  "*,2,90,10,\"M42, frame 1\"\n"
                                  "*,2,90,10,\"M42, frame 2\"\n"
                                  "22:30:00,0,300,0,Dark frame\n"
                                  "*,0,0,0,fin\n";

const QDateTime kEvening(QDate(2026, 12, 7), QTime(21, 40, 12));

} // namespace

class TstScenarioRunner : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_savedCwd;
    std::unique_ptr<VirtualTimeBase> m_vt;
    std::unique_ptr<SimulatedAdapter> m_sim;
    std::unique_ptr<WindowTimer> m_timer;
    std::unique_ptr<FakeView> m_view;
    std::unique_ptr<ScenarioRunner> m_runner;
    RecordingMessageSink m_sink;
    Ticks m_ticks;
    qint64 m_lateMs = 0; // every tick wakes this late

    // A fresh evening at `start`: adapter open, nothing written yet.
    void setUpAt(const QDateTime &start)
    {
        m_runner.reset();
        m_timer.reset();
        m_vt = std::make_unique<VirtualTimeBase>(start);
        setTimeBase(m_vt.get());
        resetSharedValues();
        shared().BitMask = 255;
        shared().BitMode = 1;
        m_sim = std::make_unique<SimulatedAdapter>();
        setAdapter(m_sim.get());
        OpenDevice();
        m_sim->clearCalls();
        m_view = std::make_unique<FakeView>();
        m_timer = std::make_unique<WindowTimer>();
        m_runner = std::make_unique<ScenarioRunner>(m_timer.get(), m_view.get());
        m_ticks.clear();
        m_lateMs = 0;
        // Connected first: records the state each tick is about to handle.
        connect(m_timer.get(), &WindowTimer::Timer, this,
                [this] {
                    m_ticks.append({m_vt->monotonicMs(), m_timer->Tag()});
                    m_vt->spend(m_lateMs * 1000);
                });
        connect(m_timer.get(), &WindowTimer::Timer, m_runner.get(), &ScenarioRunner::tick);
    }

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = QDir::current().absoluteFilePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    Writes writes() const
    {
        Writes out;
        for (const AdapterCall &c : m_sim->callsOf(QStringLiteral("FT_Write")))
            out.append({c.us / 1000, int(c.arg)});
        return out;
    }

    bool runToEnd(qint64 limitMs = 24LL * 3600 * 1000)
    {
        return m_vt->advanceUntil([this] { return !m_runner->isRunning(); }, limitMs);
    }

    // The run is over and nothing is left pressed or pending.
    void verifyEndedCleanly()
    {
        QVERIFY(!m_runner->isRunning());
        QVERIFY(!m_sim->isPressed());
        QVERIFY(!m_timer->isTicking());
        QCOMPARE(shared().ShutterHeld, std::int16_t(0));
        QCOMPARE(shared().StopRequested, 0);
        QVERIFY(!m_view->running.isEmpty());
        QCOMPARE(m_view->running.last(), false);
        QCOMPARE(m_view->comment, QStringLiteral("** Fin de scénario **"));
        QCOMPARE(m_view->exposure, QStringLiteral("*-*"));
        QCOMPARE(m_view->pause, QStringLiteral("*-*"));
        QCOMPARE(m_view->mirror, QStringLiteral("*-*"));
        QCOMPARE(m_view->mirrorStyle, 3);
        QVERIFY(!m_view->progressVisible);
    }

private slots:
    void initTestCase() { m_savedCwd = QDir::currentPath(); }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        // Chained names are relative to the working directory.
        QVERIFY(QDir::setCurrent(m_dir->path()));
        // No settings file: no observer's place unless a test gives one.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir->path()));
        m_sink.shown.clear();
        setMessageSink(&m_sink);
        // The runs' exposures are journalled: not in the user's own journal.
        ExposureJournal::instance().setPath(m_dir->filePath(QStringLiteral("journal.csv")));
        setUpAt(kEvening);
    }

    void cleanup()
    {
        m_runner.reset();
        m_timer.reset();
        setAdapter(nullptr);
        m_sim.reset();
        setTimeBase(nullptr);
        m_vt.reset();
        setMessageSink(nullptr);
        ExposureJournal::instance().reset();
        QDir::setCurrent(m_savedCwd);
        m_dir.reset();
    }

    // --- waiting for a step's time ----------------------------------------

    void stepAhead()
    {
        QVERIFY(m_runner->start(write("s.txt", "21:40:24,0,5,0,a\n*,0,0,0,fin\n")));
        QVERIFY(!m_runner->countdownSeconds());
        m_vt->advance(20);
        QCOMPARE(m_runner->countdownSeconds(), std::optional<int>(12));
        m_vt->advance(5000);
        QCOMPARE(m_runner->countdownSeconds(), std::optional<int>(7));
        QVERIFY(runToEnd());
        QCOMPARE(m_ticks.mid(0, 6),
                 (Ticks{{10, "0"}, {20, "5"}, {5020, "5"}, {10020, "5"}, {12010, "10"}, {17130, "31"}}));
        // The step's time is 12 000 ms after the start.
        QCOMPARE(writes(), (Writes{{12020, 1}, {17030, 0}}));
        QVERIFY(!m_runner->countdownSeconds());
    }

    // Started part way into a second, as a real run always is: the press
    // still comes on the step's instant (plus the 20 ms of the two ticks,
    // 10 ms for a mirror), not on the whole seconds of the time of day.
    void pressOnItsInstant_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<Writes>("expected");
        // 21:40:24 is 11 300 ms after 21:40:12.700.
        QTest::newRow("exposure") << QByteArray("21:40:24,0,5,0,a\n*,0,0,0,fin\n") << Writes{{11320, 1}, {16330, 0}};
        QTest::newRow("mirror first")
            << QByteArray("21:40:24,1,5,0,a\n*,0,0,0,fin\n") << Writes{{11310, 1}, {11810, 0}, {12310, 1}, {17320, 0}};
    }
    void pressOnItsInstant()
    {
        QFETCH(QByteArray, file);
        setUpAt(kEvening.addMSecs(700));
        QVERIFY(m_runner->start(write("s.txt", file)));
        QVERIFY(runToEnd());
        QTEST(writes(), "expected");
    }

    void stepAtNow()
    {
        QVERIFY(m_runner->start(write("s.txt", "21:40:12,0,5,0,a\n*,0,0,0,fin\n")));
        QVERIFY(runToEnd());
        QCOMPARE(m_ticks.mid(0, 4), (Ticks{{10, "0"}, {20, "5"}, {30, "10"}, {5150, "31"}}));
        QCOMPARE(writes().first(), (QPair<qint64, int>{40, 1}));
    }

    // A poll that ends a little past the second still shoots, at once.
    void waitOverShootsAtOnce()
    {
        QVERIFY(m_runner->start(write("s.txt", "21:40:13,0,5,0,a\n*,0,0,0,fin\n")));
        QSignalSpy waiting(m_runner.get(), &ScenarioRunner::waitingUntil);
        m_vt->advance(15);
        QCOMPARE(waiting.count(), 1);
        QCOMPARE(waiting.at(0).at(0).toDateTime(), kEvening.addSecs(1));
        // Someone sets the clock 10 s ahead while the step is awaited.
        m_vt->setWallClock(kEvening.addSecs(10));
        QVERIFY(runToEnd());
        QCOMPARE(m_ticks.mid(0, 4), (Ticks{{10, "0"}, {20, "5"}, {30, "10"}, {5150, "31"}}));
    }

    void pastStepsSkipped()
    {
        QSignalSpy skipped(m_runner.get(), &ScenarioRunner::stepSkipped);
        const QString path = write("s.txt", "20:00,0,5,0,a\n20:10:00,0,5,0,b\n#21:00:00#,0,5,0,c\n"
                                            "*,0,5,0,d\n*,0,0,0,fin\n");
        QVERIFY(m_runner->start(path));
        QVERIFY(runToEnd());
        QCOMPARE(m_ticks.mid(0, 6),
                 (Ticks{{10, "0"}, {20, "0"}, {30, "0"}, {40, "0"}, {50, "10"}, {5170, "31"}}));
        QCOMPARE(skipped.count(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(skipped.at(i).at(0).toInt(), i + 1);
            QCOMPARE(skipped.at(i).at(1).toString(), path);
            QCOMPARE(skipped.at(i).at(2).toInt(), i + 1);
        }
        QCOMPARE(m_view->steps.size(), 4);
        QCOMPARE(m_view->steps.last().number, 4);
        QCOMPARE(writes(), (Writes{{60, 1}, {5070, 0}}));
    }

    // Started at 23:50, steps at 23:55 and 00:10: the second is tomorrow's.
    void acrossMidnight()
    {
        setUpAt(QDateTime(QDate(2026, 12, 7), QTime(23, 50, 0)));
        QVERIFY(m_runner->start(write("s.txt", "23:55:00,0,10,0,a\n00:10:00,0,10,0,b\n*,0,0,0,fin\n")));
        QVERIFY(runToEnd());
        QCOMPARE(writes(), (Writes{{300020, 1}, {310030, 0}, {1200020, 1}, {1210030, 0}}));
        QCOMPARE(m_view->steps.size(), 2);
        QCOMPARE(m_vt->now().date(), QDate(2026, 12, 8));
    }

    // A step's time is the instant nearest to now, within 12 hours either
    // side: at or after now it is waited for, before now it is past.
    void twelveHoursEitherSide_data()
    {
        QTest::addColumn<QTime>("start");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("skipped");
        QTest::newRow("after an exposure past midnight")
            << QTime(23, 40) << QByteArray("23:45:00,0,1200,0,a\n23:59:00,0,60,0,b\n*,0,0,0,fin\n") << 1;
        QTest::newRow("14:00 read at 01:00") << QTime(1, 0) << QByteArray("14:00:00,0,5,0,a\n*,0,0,0,fin\n") << 1;
        QTest::newRow("12 hours before") << QTime(21, 0) << QByteArray("09:00:00,0,5,0,a\n*,0,0,0,fin\n") << 0;
    }
    void twelveHoursEitherSide()
    {
        QFETCH(QTime, start);
        QFETCH(QByteArray, file);
        QFETCH(int, skipped);
        setUpAt(QDateTime(QDate(2026, 12, 7), start));
        QSignalSpy skips(m_runner.get(), &ScenarioRunner::stepSkipped);
        QVERIFY(m_runner->start(write("s.txt", file)));
        m_vt->advance(20);
        if (skipped == 0) // the countdown the window shows
            QCOMPARE(m_runner->countdownSeconds(), std::optional<int>(43200));
        QVERIFY(runToEnd(13LL * 3600 * 1000));
        QCOMPARE(skips.count(), skipped);
    }

    // --- steps tied to the sky ----------------------------------------------

    // A sky step is an instant of the run's night, offset included, pressed
    // 20 ms after it (a 10 ms step into the shot, 10 ms to the press) however
    // far it lies: never a time of day put back within 12 hours of now.
    void skySteps_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QDateTime>("start"); // local time in `zone`
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QList<int>>("moments"); // SkyEvent of each press, offsets below
        QTest::addColumn<QList<int>>("offsets"); // seconds
        const QDate winter(2026, 12, 7);
        const auto dusk = int(SkyEvent::Dusk), dawn = int(SkyEvent::Dawn);
        QTest::newRow("afternoon start, dawn step")
            << QByteArray("Europe/Paris") << QDateTime(winter, QTime(15, 0, 0, 700)) << 48.85 << 2.35
            << QByteArray("@aube,0,10,0,a\n") << QList<int>{dawn} << QList<int>{0};
        QTest::newRow("winter night longer than 12 h")
            << QByteArray("Europe/Oslo") << QDateTime(winter, QTime(15, 0)) << 59.91 << 10.75
            << QByteArray("@crepuscule,0,10,0,a\n@aube-00:30,0,10,0,b\n") << QList<int>{dusk, dawn}
            << QList<int>{0, -1800};
        QTest::newRow("dawn +12:00 is the next day's evening")
            << QByteArray("Europe/Paris") << QDateTime(winter, QTime(15, 0)) << 48.85 << 2.35
            << QByteArray("@aube+12:00,0,10,0,a\n") << QList<int>{dawn} << QList<int>{43200};
        QTest::newRow("dusk +12:00 is the next morning")
            << QByteArray("Europe/Paris") << QDateTime(winter, QTime(15, 0)) << 48.85 << 2.35
            << QByteArray("@crepuscule+12:00,0,10,0,a\n") << QList<int>{dusk} << QList<int>{43200};
        QTest::newRow("10:00 start in summer, dusk after 22:00")
            << QByteArray("Europe/Paris") << QDateTime(QDate(2026, 6, 10), QTime(10, 0)) << 48.85 << 2.35
            << QByteArray("@crepuscule-nautique,0,10,0,a\n") << QList<int>{int(SkyEvent::NauticalDusk)}
            << QList<int>{0};
        QTest::newRow("morning start far north, before a sunrise near noon")
            << QByteArray("Europe/Moscow") << QDateTime(QDate(2027, 1, 14), QTime(9, 0)) << 68.97 << 33.08
            << QByteArray("@lever,0,10,0,a\n") << QList<int>{int(SkyEvent::Sunrise)} << QList<int>{0};
        QTest::newRow("started after midnight")
            << QByteArray("Europe/Paris") << QDateTime(winter.addDays(1), QTime(0, 30)) << 48.85 << 2.35
            << QByteArray("@crepuscule,0,10,0,a\n@aube,0,10,0,b\n") << QList<int>{dawn} << QList<int>{0};
    }
    void skySteps()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QDateTime, start);
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QByteArray, file);
        QFETCH(QList<int>, moments);
        QFETCH(QList<int>, offsets);
        const QByteArray savedZone = qgetenv("TZ");
        qputenv("TZ", zone);
        const auto restore = qScopeGuard([&] {
            savedZone.isNull() ? qunsetenv("TZ") : qputenv("TZ", savedZone);
        });
        const QTimeZone tz(zone);
        const QDateTime begin(start.date(), start.time(), tz);
        setUpAt(begin.toLocalTime());
        const Place place{latitude, longitude};
        m_runner->setPlace(place);
        QVERIFY(m_runner->start(write("s.txt", file + "*,0,0,0,fin\n")));
        const QDate night = nightOf(m_vt->now(), place, tz);
        QVERIFY(runToEnd(3LL * 24 * 3600 * 1000));
        QList<qint64> presses;
        for (const auto &w : writes())
            if (w.second == 1)
                presses << w.first;
        QList<qint64> expected;
        for (int i = 0; i < moments.size(); ++i)
            expected << begin.msecsTo(skyEventTime(SkyEvent(moments.at(i)), night, place, tz)->addSecs(offsets.at(i)))
                            + 20;
        QCOMPARE(presses, expected);
    }

    // A night without the moment skips the step with the reason; the file
    // itself is sound and the rest of the night runs.
    void skyStepWithoutMoment()
    {
        setUpAt(QDateTime(QDate(2023, 6, 21), QTime(20, 0)));
        m_runner->setPlace(Place{59.9167, 10.7333}); // Oslo at midsummer: no astronomical night
        QSignalSpy skips(m_runner.get(), &ScenarioRunner::stepSkipped);
        QVERIFY(m_runner->start(write("s.txt", "@crepuscule,0,5,0,a\n*,0,5,0,b\n*,0,0,0,fin\n")));
        m_vt->advance(15);
        QCOMPARE(skips.count(), 1);
        QVERIFY2(m_runner->stepInstant()->noMoment.contains(QStringLiteral("pas de nuit astronomique")),
                 qPrintable(m_runner->stepInstant()->noMoment));
        QVERIFY(runToEnd());
        QCOMPARE(writes().size(), 2);
    }

    // --- the shot ------------------------------------------------------------

    void slices_data()
    {
        QTest::addColumn<int>("exposure");
        QTest::addColumn<QList<qint64>>("presses");
        QTest::addColumn<qint64>("released");
        QTest::addColumn<QList<int>>("clocks");
        QTest::newRow("1 s") << 1 << QList<qint64>{30} << qint64(1040) << QList<int>{1000};
        QTest::newRow("60 s") << 60 << QList<qint64>{30} << qint64(60040) << QList<int>{60000};
        QTest::newRow("61 s") << 61 << QList<qint64>{30, 60030} << qint64(61040) << QList<int>{61000, 1000};
        QTest::newRow("120 s") << 120 << QList<qint64>{30, 60030} << qint64(120040) << QList<int>{120000, 60000};
        QTest::newRow("130 s") << 130 << QList<qint64>{30, 60030, 120030} << qint64(130040)
                               << QList<int>{130000, 70000, 10000};
    }
    void slices()
    {
        QFETCH(int, exposure);
        QFETCH(QList<qint64>, presses);
        QFETCH(qint64, released);
        QFETCH(QList<int>, clocks);
        QSignalSpy started(m_runner.get(), &ScenarioRunner::exposureStarted);
        QVERIFY(m_runner->start(write("s.txt", QStringLiteral("*,0,%1,0,x\n*,0,0,0,fin\n").arg(exposure).toLatin1())));
        QVERIFY(runToEnd());
        Writes expected;
        for (qint64 t : presses)
            expected.append({t, 1});
        expected.append({released, 0});
        QCOMPARE(writes(), expected);
        QCOMPARE(m_view->clocks, clocks);
        QCOMPARE(started.count(), 1);
        QCOMPARE(started.at(0).at(0).toInt(), exposure);
        // Held from the first press to the release without a gap.
        QCOMPARE(m_sim->pressCount(), 1);
    }

    // Every tick wakes 4 ms late: the timing thread still puts each press
    // and release on the line at its very instant, and nothing adds up.
    void lateTicksDoNotPushTheDeadlines()
    {
        m_lateMs = 4;
        QVERIFY(m_runner->start(write("s.txt", "*,0,7200,25,a\n*,2,61,0,b\n*,0,0,0,fin\n")));
        QVERIFY(runToEnd());
        const Writes w = writes();
        QCOMPARE(w.size(), 120 + 1 + 2 + 3); // 120 slices, release; mirror; 2 slices, release
        const qint64 release = w[120].first;
        QCOMPARE(release - w[0].first, qint64(7200010));
        QCOMPARE(w[121].first - release, qint64(100 + 20000 + 5100 + 10));
        QCOMPARE(w[123].first - w[121].first, qint64(2000));
        QCOMPARE(w[125].first - w[123].first, qint64(61010));
    }

    void failedWriteReanchorsTheNextWait_data()
    {
        QTest::addColumn<int>("failing");       // the byte whose first write fails
        QTest::addColumn<qint64>("firstExposure"); // from the press to the release that reached the chip
        QTest::newRow("press fails") << 1 << qint64(5010);
        // The release reaches the chip 30 ms late: the exposure is longer.
        QTest::newRow("release fails") << 0 << qint64(5040);
    }
    void failedWriteReanchorsTheNextWait()
    {
        // The timing thread's write fails after 30 ms (a USB time-out) and
        // is made again at once, while the ticks come 40 ms late. The camera
        // saw only the second write: the exposure and the pause count from it.
        QFETCH(int, failing);
        QFETCH(qint64, firstExposure);
        m_lateMs = 40;
        qsizetype seen = 0;
        const QMetaObject::Connection timeOut = connect(m_sim.get(), &SimulatedAdapter::changed, this, [&] {
            const QList<AdapterCall> &calls = m_sim->calls();
            if (calls.size() > seen && calls.last().function == QLatin1String("FT_Write") && calls.last().status != FT_OK)
                m_vt->spend(30000);
            seen = calls.size();
        });
        const auto slow = qScopeGuard([&] { QObject::disconnect(timeOut); });
        QVERIFY(m_runner->start(write("s.txt", "*,0,5,1,a\n*,0,5,0,b\n*,0,0,0,fin\n")));
        if (failing == 0)
            m_vt->advance(1000); // pressed
        m_sim->injectFault(QStringLiteral("FT_Write"), FT_IO_ERROR);
        QVERIFY(runToEnd());
        QList<qint64> reached; // instants of the writes that reached the chip
        for (const AdapterCall &c : m_sim->callsOf(QStringLiteral("FT_Write")))
            if (c.status == FT_OK)
                reached << c.us / 1000;
        QCOMPARE(reached.size(), 4);
        QCOMPARE(reached[1] - reached[0], firstExposure);
        // 100 ms, the pause of 1 s + 100 ms, then the take-up, which asks
        // for the press 20 ms on only once it runs, 40 ms late.
        QCOMPARE(reached[2] - reached[1], qint64(100 + 1100 + 40));
        QCOMPARE(reached[3] - reached[2], qint64(5010));
    }

    void mirror_data()
    {
        QTest::addColumn<int>("mirror");
        QTest::addColumn<Writes>("expected");
        QTest::newRow("none") << 0 << Writes{{30, 1}, {5040, 0}};
        QTest::newRow("1 s") << 1 << Writes{{20, 1}, {520, 0}, {1020, 1}, {6030, 0}};
        QTest::newRow("3 s") << 3 << Writes{{20, 1}, {520, 0}, {3020, 1}, {8030, 0}};
    }
    void mirror()
    {
        QFETCH(int, mirror);
        QFETCH(Writes, expected);
        QSignalSpy raised(m_runner.get(), &ScenarioRunner::mirrorRaised);
        QVERIFY(m_runner->start(write("s.txt", QStringLiteral("*,%1,5,0,x\n*,0,0,0,fin\n").arg(mirror).toLatin1())));
        if (mirror) {
            m_vt->advance(100);
            QCOMPARE(m_view->mirrorStyle, 2);
        }
        QVERIFY(runToEnd());
        QCOMPARE(writes(), expected);
        QCOMPARE(raised.count(), mirror ? 1 : 0);
    }

    // Pause P after a 1 s exposure released at 1040: "31" every 10 s, the last
    // slice 100 ms longer, then the next step 10 ms later.
    void pause_data()
    {
        QTest::addColumn<int>("pause");
        QTest::addColumn<Ticks>("ticks");
        QTest::newRow("25 s") << 25 << Ticks{{1140, "31"}, {11140, "31"}, {21140, "31"}, {26240, "0"}, {26250, "10"}};
        QTest::newRow("10 s") << 10 << Ticks{{1140, "31"}, {11240, "0"}, {11250, "10"}};
        QTest::newRow("11 s") << 11 << Ticks{{1140, "31"}, {11140, "31"}, {12240, "0"}, {12250, "10"}};
        QTest::newRow("0 s") << 0 << Ticks{{1140, "31"}, {1240, "0"}, {1250, "10"}};
    }
    void pause()
    {
        QFETCH(int, pause);
        QFETCH(Ticks, ticks);
        QSignalSpy pauses(m_runner.get(), &ScenarioRunner::pauseStarted);
        QVERIFY(m_runner->start(write("s.txt", QStringLiteral("*,0,1,%1,x\n*,0,1,0,y\n*,0,0,0,fin\n").arg(pause).toLatin1())));
        QVERIFY(runToEnd());
        const int from = m_ticks.indexOf(QPair<qint64, QString>{1140, "31"});
        QVERIFY(from > 0);
        QCOMPARE(m_ticks.mid(from, ticks.size()), ticks);
        const qint64 next = ticks.last().first + 10;
        QCOMPARE(writes(), (Writes{{30, 1}, {1040, 0}, {next, 1}, {next + 1010, 0}}));
        QCOMPARE(pauses.count(), 2);
        QCOMPARE(pauses.at(0).at(0).toInt(), pause);
    }

    // Figures typed into the boxes before the shot starts are the ones taken;
    // nonsense there leaves the step's own.
    void boxesReadAtShot()
    {
        QVERIFY(m_runner->start(write("s.txt", "*,0,5,0,x\n*,0,5,0,y\n*,0,0,0,fin\n")));
        m_vt->advance(15);
        QCOMPARE(m_view->exposure, QStringLiteral("5"));
        m_view->exposure = QStringLiteral("2");
        m_vt->advance(2230); // step 2 shown at 2240, its shot starts at 2250
        QCOMPARE(m_view->number, 2);
        m_view->exposure = QStringLiteral("zéro");
        QVERIFY(runToEnd());
        QCOMPARE(writes(), (Writes{{30, 1}, {2040, 0}, {2260, 1}, {7270, 0}}));
    }

    // --- whole nights -----------------------------------------------------------

    void workedExampleEvening()
    {
        QSignalSpy taken(m_runner.get(), &ScenarioRunner::stepTaken);
        QSignalSpy started(m_runner.get(), &ScenarioRunner::exposureStarted);
        QSignalSpy ended(m_runner.get(), &ScenarioRunner::exposureEnded);
        QSignalSpy waiting(m_runner.get(), &ScenarioRunner::waitingUntil);
        QSignalSpy pauses(m_runner.get(), &ScenarioRunner::pauseStarted);
        QSignalSpy runEnded(m_runner.get(), &ScenarioRunner::runEnded);
        const QString path = write("nuit.txt", kWorkedExample);
        QVERIFY(m_runner->start(path));
        QCOMPARE(m_runner->stepCount(), 5);
        QCOMPARE(shared().ScenarioPath, path);
        QCOMPARE(m_view->running, QList<bool>{true});
        QVERIFY(runToEnd());

        // 21:45:00 is 288 000 ms after 21:40:12, 22:30:00 is 2 988 000 ms.
        QCOMPARE(writes(), (Writes{{288020, 1}, {318030, 0},
                                   {323240, 1}, {323740, 0}, {325240, 1}, {385240, 1}, {415250, 0},
                                   {425460, 1}, {425960, 0}, {427460, 1}, {487460, 1}, {517470, 0},
                                   {2988020, 1}, {3048020, 1}, {3108020, 1}, {3168020, 1}, {3228020, 1},
                                   {3288030, 0}}));
        QCOMPARE(m_ticks.last(), (QPair<qint64, QString>{3288240, "31"}));
        verifyEndedCleanly();
        QCOMPARE(m_view->number, 4);
        QCOMPARE(m_view->ends, 1);
        QCOMPARE(m_runner->stepNumber(), 4);
        QCOMPARE(m_view->steps.at(1).comment, QStringLiteral("M42, frame 1"));
        QCOMPARE(m_view->steps.at(1).mirror, QStringLiteral("2"));
        QCOMPARE(m_view->steps.at(3).exposure, QStringLiteral("300"));
        // Share of the night left, at each slice of the four steps.
        QCOMPARE(m_view->progress, (QList<double>{1.0, 0.75, 0.75, 0.5, 0.5, 0.25, 0.25, 0.25, 0.25, 0.25}));

        QCOMPARE(taken.count(), 4);
        QCOMPARE(taken.at(3).at(0).toInt(), 4);
        QCOMPARE(taken.at(3).at(1).toInt(), 5);
        QCOMPARE(taken.at(3).at(2).toString(), path);
        QCOMPARE(taken.at(3).at(3).toInt(), 4);
        QCOMPARE(taken.at(3).at(4).toString(), QStringLiteral("Dark frame"));
        QCOMPARE(started.count(), 4);
        QCOMPARE(started.at(3).at(0).toInt(), 300);
        QCOMPARE(ended.count(), 4);
        QCOMPARE(waiting.count(), 2);
        QCOMPARE(waiting.at(0).at(0).toDateTime(), kEvening.addSecs(288));
        QCOMPARE(waiting.at(1).at(0).toDateTime(), QDateTime(kEvening.date(), QTime(22, 30, 0)));
        QCOMPARE(pauses.count(), 4);
        QCOMPARE(runEnded.count(), 1);
        QCOMPARE(runEnded.at(0).at(0).toBool(), false);
        QCOMPARE(runEnded.at(0).at(1).toString(), QString());
        QVERIFY(m_sink.shown.isEmpty());
    }

    void workedExampleLate()
    {
        setUpAt(QDateTime(QDate(2026, 12, 7), QTime(22, 0, 0)));
        QSignalSpy skipped(m_runner.get(), &ScenarioRunner::stepSkipped);
        QVERIFY(m_runner->start(write("nuit.txt", kWorkedExample)));
        QVERIFY(runToEnd());
        QCOMPARE(skipped.count(), 1);
        QCOMPARE(writes(), (Writes{{30, 1}, {530, 0}, {2030, 1}, {62030, 1}, {92040, 0},
                                   {102250, 1}, {102750, 0}, {104250, 1}, {164250, 1}, {194260, 0},
                                   {1800020, 1}, {1860020, 1}, {1920020, 1}, {1980020, 1}, {2040020, 1},
                                   {2100030, 0}}));
        QCOMPARE(m_view->steps.first().number, 1);
        QCOMPARE(m_view->number, 4);
        verifyEndedCleanly();
    }

    void endStepOnly()
    {
        QSignalSpy taken(m_runner.get(), &ScenarioRunner::stepTaken);
        QVERIFY(m_runner->start(write("s.txt", "*,0,30,0,never\n")));
        QCOMPARE(m_runner->stepCount(), 1);
        m_vt->advance(19);
        QVERIFY(m_runner->isRunning());
        m_vt->advance(1);
        QVERIFY(!m_runner->isRunning());
        QCOMPARE(m_ticks, (Ticks{{10, "0"}, {20, "31"}}));
        QVERIFY(writes().isEmpty());
        QCOMPARE(taken.count(), 0);
        QVERIFY(m_view->steps.isEmpty());
        verifyEndedCleanly();
    }

    // --- stop requests -----------------------------------------------------------

    void stopDuringExposure()
    {
        QSignalSpy runEnded(m_runner.get(), &ScenarioRunner::runEnded);
        QVERIFY(m_runner->start(write("s.txt", "*,0,90,30,a\n*,0,90,0,b\n*,0,0,0,fin\n")));
        m_vt->advance(40000);
        m_runner->requestStop();
        QVERIFY(m_sim->isPressed());
        QVERIFY(runToEnd());
        QCOMPARE(writes(), (Writes{{30, 1}, {60030, 1}, {90040, 0}}));
        QCOMPARE(m_ticks.last(), (QPair<qint64, QString>{90140, "31"}));
        verifyEndedCleanly();
        QCOMPARE(m_view->number, 1);
        QCOMPARE(runEnded.count(), 1);
        QCOMPARE(runEnded.at(0).at(0).toBool(), true);
    }

    void stopDuringMirrorWait()
    {
        QVERIFY(m_runner->start(write("s.txt", "*,5,10,0,a\n*,0,10,0,b\n*,0,0,0,fin\n")));
        m_vt->advance(1000);
        m_runner->requestStop();
        QVERIFY(runToEnd());
        // The mirror wait and the exposure both run to their end.
        QCOMPARE(writes(), (Writes{{20, 1}, {520, 0}, {5020, 1}, {15030, 0}}));
        verifyEndedCleanly();
    }

    void stopWhileWaiting()
    {
        QSignalSpy runEnded(m_runner.get(), &ScenarioRunner::runEnded);
        QVERIFY(m_runner->start(write("s.txt", "22:00:00,0,30,0,a\n*,0,0,0,fin\n")));
        m_vt->advance(10000);
        m_runner->requestStop();
        QVERIFY(runToEnd());
        QCOMPARE(m_ticks.last(), (QPair<qint64, QString>{10030, "31"}));
        QVERIFY(writes().isEmpty());
        verifyEndedCleanly();
        QCOMPARE(runEnded.at(0).at(0).toBool(), true);
    }

    // No exposure starts once a stop is asked, however near its press.
    void stopJustBeforeAPress_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<qint64>("stopAtMs");
        QTest::addColumn<int>("writes");
        // The last slice of a 15 s pause runs from 12 140 to 17 240 ms.
        QTest::newRow("pause, then a * step") << QByteArray("*,0,2,15,a\n*,0,2,0,b\n*,0,0,0,fin\n") << qint64(15000) << 2;
        QTest::newRow("pause, then a mirror step") << QByteArray("*,0,2,15,a\n*,3,2,0,b\n*,0,0,0,fin\n") << qint64(15000) << 2;
        // The last poll arms the shot at about 8 s.
        QTest::newRow("wait before a timed step") << QByteArray("21:40:20,0,2,0,a\n*,0,0,0,fin\n") << qint64(6000) << 0;
    }
    void stopJustBeforeAPress()
    {
        QFETCH(QByteArray, file);
        QFETCH(qint64, stopAtMs);
        QFETCH(int, writes);
        QSignalSpy runEnded(m_runner.get(), &ScenarioRunner::runEnded);
        QVERIFY(m_runner->start(write("s.txt", file)));
        m_vt->advance(stopAtMs);
        m_runner->requestStop();
        QVERIFY(runToEnd());
        QCOMPARE(this->writes().size(), writes);
        verifyEndedCleanly();
        QCOMPARE(runEnded.at(0).at(0).toBool(), true);
    }

    void stopWhileIdleForgotten()
    {
        m_runner->requestStop();
        QSignalSpy runEnded(m_runner.get(), &ScenarioRunner::runEnded);
        const QString path = write("s.txt", "21:40:20,0,2,0,a\n*,0,0,0,fin\n");
        QVERIFY(m_runner->start(path));
        QVERIFY(runToEnd());
        QCOMPARE(writes().size(), 2);
        QCOMPARE(runEnded.at(0).at(0).toBool(), false);

        // Nor does a stop that ended a run carry over into the next one.
        m_runner->requestStop();
        m_sim->clearCalls();
        QVERIFY(m_runner->start(write("t.txt", "*,0,2,0,a\n*,0,0,0,fin\n")));
        QCOMPARE(m_runner->stepNumber(), 0);
        QVERIFY(runToEnd());
        QCOMPARE(writes().size(), 2);
        QCOMPARE(runEnded.at(1).at(0).toBool(), false);
    }

    void abandonMidExposure()
    {
        const QString path = write("s.txt", "*,0,90,0,a\n*,0,0,0,fin\n");
        QVERIFY(m_runner->start(path));
        m_vt->advance(1000);
        QVERIFY(m_sim->isPressed());
        m_runner->abandon();
        QVERIFY(!m_sim->isPressed());
        QVERIFY(!m_runner->isRunning());
        QVERIFY(!m_timer->isTicking());
        m_vt->advance(200000);
        QCOMPARE(writes().size(), 2);
        // A later run reads its file from the start again.
        QVERIFY(m_runner->start(path));
        QVERIFY(runToEnd());
        QCOMPARE(m_runner->stepNumber(), 1);
        QCOMPARE(writes().size(), 5);
    }

    // The window goes while the main thread was busy over the first press,
    // which the timing thread made: it is let go at once, and only once.
    void abandonLetsGoOfAPressMadeAhead()
    {
        QVERIFY(m_runner->start(write("s.txt", "*,0,5,0,x\n*,0,0,0,fin\n")));
        auto busy = m_vt->createOneShot([this] {
            m_vt->spend(20000);
            QVERIFY(m_runner->abandon());
        });
        busy->start(25);
        m_vt->advance(10000);
        QCOMPARE(writes(), (Writes{{30, 1}, {45, 0}}));
        QVERIFY(!m_sim->isPressed());
    }

    void abandonDuringMirrorLift()
    {
        QVERIFY(m_runner->start(write("s.txt", "*,2,5,0,a\n*,0,0,0,fin\n")));
        m_vt->advance(100);
        QVERIFY(m_sim->isPressed());
        m_runner->abandon();
        QVERIFY(!m_sim->isPressed());
        m_vt->advance(10000);
        QCOMPARE(writes(), (Writes{{20, 1}, {100, 0}}));
    }

    // --- chains ----------------------------------------------------------------

    void chain()
    {
        QSignalSpy chained(m_runner.get(), &ScenarioRunner::chained);
        QSignalSpy taken(m_runner.get(), &ScenarioRunner::stepTaken);
        // The name is looked for from the working directory: the copy beside
        // the scenario is not the one that runs.
        const QString main = write("nights/main.txt", "*,0,5,0,a\npart2.txt,0,0,0,go on with part2.txt\n*,0,0,0,fin\n");
        write("nights/part2.txt", "*,0,99,0,wrong\n*,0,0,0,fin\n");
        const QString part2 = write("part2.txt", "*,0,7,0,b\n*,0,0,0,fin2\n");
        QVERIFY(m_runner->start(main));
        QCOMPARE(m_runner->stepCount(), 3);
        QVERIFY(runToEnd());
        QCOMPARE(writes(), (Writes{{30, 1}, {5040, 0}, {5270, 1}, {12280, 0}}));
        QCOMPARE(chained.count(), 1);
        QCOMPARE(chained.at(0).at(0).toString(), main);
        QCOMPARE(chained.at(0).at(1).toInt(), 2);
        QCOMPARE(chained.at(0).at(2).toString(), part2);
        QCOMPARE(m_view->steps.size(), 3);
        QCOMPARE(m_view->steps.at(1).comment, QStringLiteral("go on with part2.txt"));
        QCOMPARE(m_view->steps.at(1).exposure, QStringLiteral("0"));
        QCOMPARE(m_view->steps.at(2).comment, QStringLiteral("b"));
        QCOMPARE(taken.at(2).at(2).toString(), part2);
        QCOMPARE(m_runner->stepNumber(), 3);
        QCOMPARE(m_runner->stepCount(), 3);
        QCOMPARE(m_runner->currentFile(), part2);
        // Past the first file's count the bar keeps a sliver, never below.
        QCOMPARE(m_view->progress.size(), 2);
        QCOMPARE(m_view->progress.at(0), 1.0);
        QVERIFY(m_view->progress.at(1) > 0.0 && m_view->progress.at(1) < 0.05);
        verifyEndedCleanly();
    }

    void chainCycles_data()
    {
        QTest::addColumn<QStringList>("files"); // name, content, name, content...
        QTest::addColumn<int>("exposuresBeforeError"); // -1: no error, runs on
        QTest::addColumn<QString>("errorWhere");

        QTest::newRow("a file naming itself first")
            << QStringList{"a.txt", "a.txt,0,0,0,me\n*,0,0,0,fin\n"} << 0 << QStringLiteral("a.txt, ligne 1");
        QTest::newRow("two files naming each other")
            << QStringList{"a.txt", "b.txt,0,0,0,to b\n*,0,0,0,fin\n", "b.txt", "a.txt,0,0,0,to a\n*,0,0,0,fin\n"}
            << 0 << QStringLiteral("b.txt, ligne 1");
        QTest::newRow("only past steps between")
            << QStringList{"a.txt", "20:00,0,5,0,old\nb.txt,0,0,0,to b\n*,0,0,0,fin\n", "b.txt",
                           "20:30,0,5,0,old\na.txt,0,0,0,to a\n*,0,0,0,fin\n"}
            << 0 << QStringLiteral("b.txt, ligne 2");
        QTest::newRow("exposures come back to a file without one")
            << QStringList{"a.txt", "*,0,1,0,x\nb.txt,0,0,0,to b\n*,0,0,0,fin\n", "b.txt",
                           "c.txt,0,0,0,to c\n*,0,0,0,fin\n", "c.txt", "b.txt,0,0,0,to b\n*,0,0,0,fin\n"}
            << 1 << QStringLiteral("c.txt, ligne 1");
        QTest::newRow("a repeat after an exposure goes on")
            << QStringList{"a.txt", "*,0,1,0,x\na.txt,0,0,0,again\n*,0,0,0,fin\n"} << -1 << QString();
        QTest::newRow("two files taking turns with exposures")
            << QStringList{"a.txt", "b.txt,0,0,0,to b\n*,0,0,0,fin\n", "b.txt",
                           "*,0,1,0,y\na.txt,0,0,0,to a\n*,0,0,0,fin\n"}
            << -1 << QString();
    }
    void chainCycles()
    {
        QFETCH(QStringList, files);
        QFETCH(int, exposuresBeforeError);
        QFETCH(QString, errorWhere);
        for (int i = 0; i + 1 < files.size(); i += 2)
            write(files.at(i), files.at(i + 1).toLatin1());
        QSignalSpy runEnded(m_runner.get(), &ScenarioRunner::runEnded);
        QVERIFY(m_runner->start(QStringLiteral("a.txt")));
        if (exposuresBeforeError < 0) {
            m_vt->advance(30000);
            QVERIFY(m_runner->isRunning());
            QVERIFY(m_sim->pressCount() >= 10);
            QVERIFY(m_sink.shown.isEmpty());
            m_runner->requestStop();
            QVERIFY(runToEnd(5000));
            QCOMPARE(runEnded.at(0).at(0).toBool(), true);
            return;
        }
        QVERIFY(runToEnd(60000));
        QCOMPARE(m_sim->pressCount(), exposuresBeforeError);
        QCOMPARE(m_sink.shown.size(), 1);
        const QString text = m_sink.shown.first().text;
        QCOMPARE(m_sink.shown.first().kind, MessageKind::Error);
        QVERIFY2(text.startsWith(QStringLiteral("Scénario %1/%2").arg(QDir::current().absolutePath(), errorWhere)), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("en rond")), qPrintable(text));
        QCOMPARE(runEnded.count(), 1);
        QCOMPARE(runEnded.at(0).at(0).toBool(), false);
        QCOMPARE(runEnded.at(0).at(1).toString(), text);
        verifyEndedCleanly();
    }

    // --- errors ------------------------------------------------------------------

    // Found by the counting pass: refused before anything is pressed.
    void refusedAtStart_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("where"); // ", ligne n : " or " : "
        QTest::addColumn<QString>("fragment");
        const QByteArray ok = "*,0,30,0,a\n";
        QTest::newRow("bad time late in the file")
            << ok + ok + ok + "2145,0,30,0,d\n*,0,0,0,fin\n" << QStringLiteral(", ligne 4 : ") << QStringLiteral("l'horaire « 2145 »");
        QTest::newRow("exposure 0") << ok + "*,0,0,0,b\n*,0,0,0,fin\n" << QStringLiteral(", ligne 2 : ") << QStringLiteral("le temps de pose « 0 »");
        QTest::newRow("exposure not whole") << QByteArray("*,0,2.5,0,a\n*,0,0,0,fin\n") << QStringLiteral(", ligne 1 : ") << QStringLiteral("« 2.5 »");
        QTest::newRow("exposure too long") << QByteArray("*,0,2000001,0,a\n*,0,0,0,fin\n") << QStringLiteral(", ligne 1 : ") << QStringLiteral("au plus 2000000");
        QTest::newRow("negative mirror") << QByteArray("*,-2,30,0,a\n*,0,0,0,fin\n") << QStringLiteral(", ligne 1 : ") << QStringLiteral("le délai miroir « -2 »");
        QTest::newRow("negative pause") << QByteArray("*,0,30,-1,a\n*,0,0,0,fin\n") << QStringLiteral(", ligne 1 : ") << QStringLiteral("le délai entre poses « -1 »");
        QTest::newRow("pause too long") << QByteArray("*,0,30,9999999,a\n*,0,0,0,fin\n") << QStringLiteral(", ligne 1 : ") << QStringLiteral("au plus 2000000");
        QTest::newRow("short last step") << ok + "*,0,0,0\n" << QStringLiteral(", ligne 2 : ") << QStringLiteral("n'a que 4 champs");
        QTest::newRow("blank lines at the end") << ok + "*,0,0,0,fin\n  \n" << QStringLiteral(", ligne 3 : ") << QStringLiteral("lignes blanches");
        QTest::newRow("chain to a missing file") << QByteArray("part9.txt,0,0,0,a\n*,0,0,0,fin\n") << QStringLiteral(", ligne 1 : ") << QStringLiteral("l'horaire « part9.txt »");
        QTest::newRow("empty file") << QByteArray() << QStringLiteral(" : ") << QStringLiteral("aucune étape");
        QTest::newRow("sky step, no place") << ok + "@aube,0,30,0,b\n*,0,0,0,fin\n" << QStringLiteral(", ligne 2 : ") << QStringLiteral("[Lieu]");
    }
    void refusedAtStart()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, where);
        QFETCH(QString, fragment);
        const QString path = write("nuit.txt", content);
        QSignalSpy runEnded(m_runner.get(), &ScenarioRunner::runEnded);
        QVERIFY(!m_runner->start(path));
        QVERIFY(!m_runner->isRunning());
        QVERIFY(!m_timer->isTicking());
        QVERIFY(m_view->running.isEmpty());
        m_vt->advance(100000);
        QVERIFY(m_sim->calls().isEmpty());
        QCOMPARE(m_sink.shown.size(), 1);
        QCOMPARE(m_sink.shown.first().kind, MessageKind::Error);
        const QString text = m_sink.shown.first().text;
        QVERIFY2(text.startsWith(QStringLiteral("Scénario ") + path + where), qPrintable(text));
        QVERIFY2(text.contains(fragment), qPrintable(text));
        QCOMPARE(runEnded.count(), 0);
    }

    void refusedMissingFile()
    {
        const QString path = QDir::current().absoluteFilePath("absent.txt");
        QVERIFY(!m_runner->start(path));
        QCOMPARE(m_sink.texts(), QStringList{QStringLiteral("Scénario %1 : le fichier est introuvable.").arg(path)});
        QVERIFY(m_sim->calls().isEmpty());
    }

    void refusedBadChainedFile()
    {
        write("part2.txt", "*,0,30,0,b\n*,0,30,x,c\n*,0,0,0,fin\n");
        QVERIFY(!m_runner->start(write("main.txt", "*,0,30,0,a\npart2.txt,0,0,0,go\n*,0,0,0,fin\n")));
        QCOMPARE(m_sink.shown.size(), 1);
        QVERIFY2(m_sink.shown.first().text.startsWith(
                     QStringLiteral("Scénario %1, ligne 2 : le délai entre poses « x »")
                         .arg(QDir::current().absoluteFilePath("part2.txt"))),
                 qPrintable(m_sink.shown.first().text));
        QVERIFY(m_sim->calls().isEmpty());
    }

    // Files changed on disk during the night: found at the hand-over, before
    // the chained file's first exposure, with the run ended cleanly.
    void chainedFileChangedDuringTheNight_data()
    {
        QTest::addColumn<QByteArray>("part2"); // empty: removed
        QTest::addColumn<QString>("where");
        QTest::addColumn<QString>("fragment");
        QTest::newRow("bad line") << QByteArray("*,0,30,0,b\n*,0,0,0,c\n*,0,0,0,fin\n") << QStringLiteral("part2.txt, ligne 2 : ")
                                  << QStringLiteral("enchaîné depuis");
        QTest::newRow("short last step") << QByteArray("*,0,30,0,b\n*,0\n") << QStringLiteral("part2.txt, ligne 2 : ") << QStringLiteral("n'a que 2 champs");
        QTest::newRow("removed") << QByteArray() << QStringLiteral("main.txt, ligne 2 : ") << QStringLiteral("l'horaire « part2.txt »");
    }
    void chainedFileChangedDuringTheNight()
    {
        QFETCH(QByteArray, part2);
        QFETCH(QString, where);
        QFETCH(QString, fragment);
        write("part2.txt", "*,0,30,0,b\n*,0,0,0,fin\n");
        QSignalSpy runEnded(m_runner.get(), &ScenarioRunner::runEnded);
        QVERIFY(m_runner->start(write("main.txt", "*,0,5,0,a\npart2.txt,0,0,0,go\n*,0,0,0,fin\n")));
        m_vt->advance(1000);
        if (part2.isEmpty())
            QVERIFY(QFile::remove("part2.txt"));
        else
            write("part2.txt", part2);
        QVERIFY(runToEnd());
        QCOMPARE(writes(), (Writes{{30, 1}, {5040, 0}}));
        QCOMPARE(m_sink.shown.size(), 1);
        const QString text = m_sink.shown.first().text;
        QVERIFY2(text.startsWith(QStringLiteral("Scénario %1/%2").arg(QDir::current().absolutePath(), where)), qPrintable(text));
        QVERIFY2(text.contains(fragment), qPrintable(text));
        QCOMPARE(runEnded.at(0).at(1).toString(), text);
        verifyEndedCleanly();
    }

    // The chained file is there but cannot be read: the name now leads to a
    // file every read of which fails.
    void chainedFileUnreadable()
    {
#ifdef Q_OS_LINUX
        const QString good = write("good.txt", "*,0,30,0,b\n*,0,0,0,fin\n");
        QVERIFY(QFile::link(good, "part2.txt"));
        QVERIFY(m_runner->start(write("main.txt", "part2.txt,0,0,0,go\n*,0,0,0,fin\n")));
        QVERIFY(QFile::remove("part2.txt"));
        QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), "part2.txt"));
        QVERIFY(runToEnd());
        QVERIFY(m_sim->calls().isEmpty());
        QCOMPARE(m_sink.shown.size(), 1);
        const QString text = m_sink.shown.first().text;
        QVERIFY2(text.startsWith(QStringLiteral("Scénario %1/main.txt, ligne 1 : le fichier enchaîné %1/part2.txt est inutilisable")
                                     .arg(QDir::current().absolutePath())),
                 qPrintable(text));
        verifyEndedCleanly();
#else
        QSKIP("needs a file whose reads fail");
#endif
    }

    // The run channel holds what was checked: an editor saving over the file
    // mid-run changes nothing.
    void fileEditedDuringTheNight()
    {
        const QString path = write("s.txt", "*,0,5,0,a\n*,0,5,0,b\n*,0,0,0,fin\n");
        QVERIFY(m_runner->start(path));
        m_vt->advance(1000);
        write("s.txt", "*,0,5,0,a\n*,0,0,0,bad\n");
        QVERIFY(runToEnd());
        QVERIFY(m_sink.shown.isEmpty());
        QCOMPARE(m_runner->stepNumber(), 2);
    }

    void refusedWhileRunning()
    {
        const QString path = write("s.txt", "*,0,5,0,a\n*,0,0,0,fin\n");
        QVERIFY(m_runner->start(path));
        m_vt->advance(100);
        QVERIFY(!m_runner->start(path));
        QVERIFY(runToEnd());
        QCOMPARE(writes().size(), 2);
    }

    void unknownStateLeavesTimerOff()
    {
        QVERIFY(m_runner->start(write("s.txt", "*,0,5,0,a\n*,0,0,0,fin\n")));
        m_timer->setTag(QStringLiteral("99"));
        m_vt->advance(100);
        QVERIFY(!m_timer->isTicking());
        QVERIFY(writes().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstScenarioRunner)
#include "tst_scenario_runner.moc"
