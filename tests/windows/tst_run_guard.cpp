// What keeps a night from being lost by a slip of the mouse: the question
// before a switch or a close ends a run, and the notice a stop request shows
// until the run is over. All in virtual time.

#include "link/window_timer.h"
#include "support/rig.h"
#include "windows/director.h"
#include "windows/tavrel_async.h"
#include "windows/tavrel_sync.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace tavrel;
using tavrel::test::Rig;

namespace {

Tavrel_async *startJob(Rig &rig, const char *count, const char *seconds, const char *delay = "0")
{
    auto *w = static_cast<Tavrel_async *>(rig.open(Mode::Sequence));
    w->findChild<QLineEdit *>("Nb_Poses")->setText(count);
    w->findChild<QLineEdit *>("Pose")->setText(seconds);
    w->findChild<QLineEdit *>("Text1")->setText(delay);
    rig.sim.clearCalls();
    w->Buble_Click();
    return w;
}

} // namespace

class TestRunGuard : public QObject {
    Q_OBJECT
private slots:
    void questionLeavesTheRunOnTime_data();
    void questionLeavesTheRunOnTime();
    void questionNamesTheRunAndGoesWithIt_data();
    void questionNamesTheRunAndGoesWithIt();
    void stopNoticeUntilTheRunEnds_data();
    void stopNoticeUntilTheRunEnds();
    void scenarioStopNoticeStandsInTheComment();
    void cutCommentsShowWholeInTheTooltip();
};

void TestRunGuard::questionLeavesTheRunOnTime_data()
{
    QTest::addColumn<bool>("viaSwitch");
    QTest::addColumn<bool>("yes");
    QTest::newRow("close, Non") << false << false;
    QTest::newRow("close, Oui") << false << true;
    QTest::newRow("switch, Non") << true << false;
    QTest::newRow("switch, Oui") << true << true;
}

void TestRunGuard::questionLeavesTheRunOnTime()
{
    QFETCH(bool, viaSwitch);
    QFETCH(bool, yes);
    Rig rig;
    Tavrel_async *w = startJob(rig, "2", "3");
    const std::int64_t t0 = rig.nowMs();
    rig.advance(1000);
    if (viaSwitch)
        w->findChild<QAction *>("Synch")->trigger();
    else
        w->close();
    QVERIFY(w->pendingQuestion());
    QVERIFY(w->pendingQuestion()->text().contains(viaSwitch ? "changer de mode" : "fermer"));
    QCOMPARE(w->pendingQuestion()->defaultButton(), w->pendingQuestion()->button(QMessageBox::No));
    QCOMPARE(Director::instance().current(), w);

    // The first exposure ends while the question waits: let go on time.
    rig.advance(3000);
    const QList<std::int64_t> letGo = rig.writeTimes(0);
    QCOMPARE(letGo.size(), 1);
    QVERIFY(letGo.first() - t0 <= 3200);
    QVERIFY(w->job()->isRunning());

    QVERIFY(Rig::answer(w, yes));
    QCOMPARE(w->isUnloaded(), yes);
    QCOMPARE(!rig.sim.isPressed(), yes);
    if (viaSwitch && yes)
        QCOMPARE(Director::instance().current()->mode(), Mode::Scenario);
    if (!yes) {
        // "Non": the job goes on to its end as if nothing had been asked.
        QVERIFY(!w->pendingQuestion());
        rig.advance(10000);
        QCOMPARE(rig.writeTimes(1).size(), 2);
        QVERIFY(!w->job()->isRunning());
        QVERIFY(!w->isUnloaded());
    }
}

void TestRunGuard::questionNamesTheRunAndGoesWithIt_data()
{
    QTest::addColumn<QByteArray>("scenario"); // empty: a sequence job of 2 x 3 s, 5 s apart
    QTest::addColumn<int>("askAtMs");
    QTest::addColumn<QString>("named");
    QTest::newRow("exposure") << QByteArray() << 1000 << "pose 1 sur 2";
    QTest::newRow("delay") << QByteArray() << 4500 << "délai avant la prochaine pose";
    QTest::newRow("timed step") << QByteArray("22:00:00,0,2,0,M42\n*,0,0,0,fin\n") << 1000
                                << "attend l'heure de 22:00:00";
}

void TestRunGuard::questionNamesTheRunAndGoesWithIt()
{
    QFETCH(QByteArray, scenario);
    QFETCH(int, askAtMs);
    QFETCH(QString, named);
    Rig rig;
    ModeWindow *w = nullptr;
    if (scenario.isEmpty()) {
        w = startJob(rig, "2", "3", "5");
    } else {
        w = rig.open(Mode::Scenario);
        QVERIFY(rig.startScenario(static_cast<Tavrel_sync *>(w), "m.txt", scenario));
    }
    rig.advance(askAtMs);
    w->close();
    QVERIFY(w->pendingQuestion());
    QVERIFY2(w->pendingQuestion()->text().contains(named), qPrintable(w->pendingQuestion()->text()));
    // The run ends by itself: nothing is left to ask, the window stays.
    rig.advance(30 * 60 * 1000);
    QVERIFY(!w->pendingQuestion());
    QVERIFY(!w->isUnloaded());
    QVERIFY(!rig.sim.isPressed());
}

void TestRunGuard::stopNoticeUntilTheRunEnds_data()
{
    QTest::addColumn<int>("clickAtMs");
    QTest::addColumn<QString>("notice");
    QTest::addColumn<bool>("countdown");
    QTest::newRow("during the exposure") << 1000 << "fin après la pose en cours" << true;
    QTest::newRow("during the delay") << 3500 << "avant la prochaine pose" << false;
}

void TestRunGuard::stopNoticeUntilTheRunEnds()
{
    QFETCH(int, clickAtMs);
    QFETCH(QString, notice);
    QFETCH(bool, countdown);
    Rig rig;
    Tavrel_async *w = startJob(rig, "3", "2", "20");
    auto *stop = w->findChild<QPushButton *>("Stop_Capture");
    auto *label = w->findChild<QLabel *>("Arret_Demande");
    auto *restant = w->findChild<QLabel *>("Restant");
    rig.advance(clickAtMs);
    stop->click();
    QVERIFY(label->isVisible());
    QVERIFY2(label->text().contains(notice), qPrintable(label->text()));
    QVERIFY(!stop->isEnabled());
    // The exposure that still runs keeps its countdown, beside the notice.
    rig.advance(400);
    QCOMPARE(restant->isVisible(), countdown);
    QVERIFY(!label->geometry().intersects(restant->geometry()));
    rig.advance(60000);
    QVERIFY(!w->job()->isRunning());
    QVERIFY(!label->isVisible());
    QVERIFY(stop->isEnabled());
}

void TestRunGuard::scenarioStopNoticeStandsInTheComment()
{
    Rig rig;
    auto *w = static_cast<Tavrel_sync *>(rig.open(Mode::Scenario));
    QVERIFY(rig.startScenario(w, "n.txt", "*,0,20,0,longue\n*,0,20,0,jamais prise\n*,0,0,0,fin\n"));
    rig.advance(2000);
    auto *stop = w->findChild<QPushButton *>("Stop_Capture");
    auto *comment = w->findChild<QLabel *>("Commentbox");
    stop->click();
    QVERIFY(comment->text().contains("fin après la pose en cours"));
    QVERIFY(!stop->isEnabled());
    rig.advance(10000);
    QVERIFY(comment->text().contains("Arrêt demandé"));
    rig.advance(30000);
    QVERIFY(!w->runner()->isRunning());
    QVERIFY(!comment->text().contains("Arrêt demandé"));
    QVERIFY(!stop->isEnabled()); // nothing runs, nothing to stop
    QCOMPARE(rig.writeTimes(1).size(), 1);
}

void TestRunGuard::cutCommentsShowWholeInTheTooltip()
{
    Rig rig;
    auto *w = rig.open(Mode::Scenario);
    auto *comment = w->findChild<QLabel *>("Commentbox");
    setCommentText(comment, "M31");
    QVERIFY(comment->toolTip().isEmpty());
    const QString longText = QString("Galaxie d'Andromède, champ large, filtre L ").repeated(4);
    setCommentText(comment, longText);
    QCOMPARE(comment->toolTip(), longText);
}

QTEST_MAIN(TestRunGuard)
#include "tst_run_guard.moc"
