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

void TestRunGuard::stopNoticeUntilTheRunEnds_data()
{
    QTest::addColumn<int>("clickAtMs");
    QTest::addColumn<QString>("notice");
    QTest::newRow("during the exposure") << 1000 << "fin après la pose en cours";
    QTest::newRow("during the delay") << 3500 << "avant la prochaine pose";
}

void TestRunGuard::stopNoticeUntilTheRunEnds()
{
    QFETCH(int, clickAtMs);
    QFETCH(QString, notice);
    Rig rig;
    Tavrel_async *w = startJob(rig, "3", "2", "20");
    auto *stop = w->findChild<QPushButton *>("Stop_Capture");
    auto *label = w->findChild<QLabel *>("Arret_Demande");
    rig.advance(clickAtMs);
    stop->click();
    QVERIFY(label->isVisible());
    QVERIFY2(label->text().contains(notice), qPrintable(label->text()));
    QVERIFY(!stop->isEnabled());
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
    QVERIFY(stop->isEnabled());
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
