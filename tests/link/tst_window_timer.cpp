// The window timer on virtual time: when ticks come, and that they never nest.

#include "link/timebase.h"
#include "link/window_timer.h"

#include <QtTest>

using namespace tavrel;

class TestWindowTimer : public QObject {
    Q_OBJECT
private slots:
    void init() { setTimeBase(&m_time); }
    void cleanup() { setTimeBase(nullptr); }

    void silentUntilGivenAnInterval();
    void ticksAtEachInterval();
    void reEnabledAtTheEndOfTheHandlerCountsFromThere();
    void rearmedFromTheTick_data();
    void rearmedFromTheTick();
    void disabledNeverTicks();
    void intervalZeroNeverTicks();
    void newIntervalRestartsTheWait();
    void aTickDueDuringTheHandlerWaitsForItsEnd();

private:
    VirtualTimeBase m_time{QDateTime(QDate(2026, 12, 7), QTime(23, 59, 58))};
};

void TestWindowTimer::silentUntilGivenAnInterval()
{
    WindowTimer t;
    int ticks = 0;
    connect(&t, &WindowTimer::Timer, [&] { ++ticks; });
    QVERIFY(t.Enabled());
    m_time.advance(3600 * 1000);
    QCOMPARE(ticks, 0);
}

void TestWindowTimer::ticksAtEachInterval()
{
    WindowTimer t;
    QList<std::int64_t> at;
    connect(&t, &WindowTimer::Timer, [&] { at << m_time.monotonicMs(); });
    const auto start = m_time.monotonicMs();
    t.setInterval(500);
    m_time.advance(1600);
    QCOMPARE(at, (QList<std::int64_t>{start + 500, start + 1000, start + 1500}));
}

void TestWindowTimer::reEnabledAtTheEndOfTheHandlerCountsFromThere()
{
    WindowTimer t;
    QList<std::int64_t> at;
    connect(&t, &WindowTimer::Timer, [&] {
        t.setEnabled(false);
        at << m_time.monotonicMs();
        m_time.advance(7); // the handler's own work takes time
        t.setInterval(100);
        t.setEnabled(true);
    });
    const auto start = m_time.monotonicMs();
    t.setInterval(100);
    m_time.advance(250);
    QCOMPARE(at, (QList<std::int64_t>{start + 100, start + 207}));
}

void TestWindowTimer::rearmedFromTheTick_data()
{
    QTest::addColumn<bool>("watch"); // setIntervalFromTick, else setIntervalFrom(tickDueUs())
    QTest::addColumn<QList<std::int64_t>>("spent"); // ms each handler takes
    QTest::addColumn<QList<std::int64_t>>("expected");
    QTest::newRow("anchored: the handlers' time is not added") << false << QList<std::int64_t>{7, 7, 7, 7}
                                                               << QList<std::int64_t>{100, 200, 300, 400};
    QTest::newRow("anchored: a stall is caught up") << false << QList<std::int64_t>{250, 0, 0, 0}
                                                    << QList<std::int64_t>{100, 350, 350, 400};
    QTest::newRow("watch: on the beat") << true << QList<std::int64_t>{7, 7, 7, 7}
                                        << QList<std::int64_t>{100, 200, 300, 400};
    QTest::newRow("watch: after a stall, from now") << true << QList<std::int64_t>{250, 0, 0, 0}
                                                    << QList<std::int64_t>{100, 450, 550, 650};
}

void TestWindowTimer::rearmedFromTheTick()
{
    QFETCH(bool, watch);
    QFETCH(QList<std::int64_t>, spent);
    QFETCH(QList<std::int64_t>, expected);
    WindowTimer t;
    QList<std::int64_t> at;
    const auto start = m_time.monotonicMs();
    connect(&t, &WindowTimer::Timer, [&] {
        t.setEnabled(false);
        at << m_time.monotonicMs() - start;
        m_time.spend(spent.value(at.size() - 1) * 1000);
        if (at.size() == spent.size())
            return;
        if (watch)
            t.setIntervalFromTick(100);
        else
            t.setIntervalFrom(t.tickDueUs(), 100);
        t.setEnabled(true);
    });
    t.setInterval(100);
    m_time.advance(1000);
    QCOMPARE(at, expected);
}

void TestWindowTimer::disabledNeverTicks()
{
    WindowTimer t;
    int ticks = 0;
    connect(&t, &WindowTimer::Timer, [&] { ++ticks; });
    t.setEnabled(false);
    t.setInterval(10);
    m_time.advance(1000);
    QCOMPARE(ticks, 0);
    t.setEnabled(true);
    m_time.advance(10);
    QCOMPARE(ticks, 1);
}

void TestWindowTimer::intervalZeroNeverTicks()
{
    WindowTimer t;
    int ticks = 0;
    connect(&t, &WindowTimer::Timer, [&] { ++ticks; });
    t.setInterval(10);
    t.setInterval(0);
    t.setEnabled(false);
    t.setEnabled(true);
    m_time.advance(1000);
    QCOMPARE(ticks, 0);
}

void TestWindowTimer::newIntervalRestartsTheWait()
{
    WindowTimer t;
    QList<std::int64_t> at;
    connect(&t, &WindowTimer::Timer, [&] { at << m_time.monotonicMs(); t.setEnabled(false); });
    const auto start = m_time.monotonicMs();
    t.setInterval(1000);
    m_time.advance(900);
    t.setInterval(1000);
    m_time.advance(2000);
    QCOMPARE(at, (QList<std::int64_t>{start + 1900}));
}

void TestWindowTimer::aTickDueDuringTheHandlerWaitsForItsEnd()
{
    WindowTimer t;
    int depth = 0, maxDepth = 0, ticks = 0;
    connect(&t, &WindowTimer::Timer, [&] {
        ++depth;
        ++ticks;
        maxDepth = std::max(maxDepth, depth);
        if (ticks == 1)
            m_time.advance(25); // long handler: two more ticks come due inside
        --depth;
        if (ticks == 3)
            t.setEnabled(false);
    });
    t.setInterval(10);
    m_time.advance(10);
    QCOMPARE(maxDepth, 1);
    QVERIFY(ticks >= 2);
}

QTEST_GUILESS_MAIN(TestWindowTimer)
#include "tst_window_timer.moc"
