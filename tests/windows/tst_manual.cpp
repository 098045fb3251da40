// Manual exposures from the manual window, in virtual time.

#include "link/shared_values.h"
#include "support/rig.h"
#include "windows/tavrel_manu.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

using namespace tavrel;
using tavrel::test::Rig;

class TestManual : public QObject {
    Q_OBJECT
private slots:
    void poseTPressesThenLetsGo();
    void poseBHoldsWhileTheButtonIsDown_data();
    void poseBHoldsWhileTheButtonIsDown();
    void twoButtonsAtOnce();
    void keyPressOnPoseBDoesNothing();
    void greyedPoseBIgnoresTheMouse();
    void cnxSetsTheAdapterUpAgain_data();
    void cnxSetsTheAdapterUpAgain();
    void poseTWithNoAdapterStillCounts();
};

namespace {
QPushButton *button(QWidget *w, const char *name) { return w->findChild<QPushButton *>(name); }
QString shown(QWidget *w)
{
    auto *l = w->findChild<QLabel *>("showtime");
    return l->isVisible() ? l->text() : QStringLiteral("-");
}
} // namespace

void TestManual::poseTPressesThenLetsGo()
{
    Rig rig;
    ModeWindow *w = rig.open(Mode::Manual);
    rig.sim.clearCalls();
    button(w, "PressT")->click();
    QVERIFY(!button(w, "PressB")->isEnabled());
    QCOMPARE(shared().ShutterHeld, -1);
    rig.advance(5000);
    button(w, "PressT")->click();
    QVERIFY(button(w, "PressB")->isEnabled());
    QCOMPARE(rig.callWords().filter("FT_Write"), QStringList({"FT_Write(1)", "FT_Write(0)"}));
    QCOMPARE(rig.writeTimes(0).first() - rig.writeTimes(1).first(), 5000);
}

void TestManual::poseBHoldsWhileTheButtonIsDown_data()
{
    QTest::addColumn<int>("mouseButton");
    QTest::newRow("left") << int(Qt::LeftButton);
    QTest::newRow("right") << int(Qt::RightButton);
    QTest::newRow("middle") << int(Qt::MiddleButton);
}

void TestManual::poseBHoldsWhileTheButtonIsDown()
{
    QFETCH(int, mouseButton);
    Rig rig;
    ModeWindow *w = rig.open(Mode::Manual);
    rig.advance(100); // ticks come at 500, 1000, ... after the load
    rig.sim.clearCalls();
    QTest::mousePress(button(w, "PressB"), Qt::MouseButton(mouseButton));
    QVERIFY(rig.sim.isPressed());
    QStringList seen;
    for (int i = 0; i < 5; ++i) {
        rig.advance(500);
        seen << shown(w);
    }
    QCOMPARE(seen, QStringList({"0", "0", "1", "1", "2"}));
    QTest::mouseRelease(button(w, "PressB"), Qt::MouseButton(mouseButton));
    QVERIFY(!rig.sim.isPressed());
    rig.advance(500);
    QCOMPARE(shown(w), QStringLiteral("-"));
    QCOMPARE(rig.callWords().filter("FT_Write"), QStringList({"FT_Write(1)", "FT_Write(0)"}));
}

void TestManual::twoButtonsAtOnce()
{
    Rig rig;
    ModeWindow *w = rig.open(Mode::Manual);
    rig.advance(100);
    rig.sim.clearCalls();
    QPushButton *b = button(w, "PressB");
    QTest::mousePress(b, Qt::LeftButton);
    rig.advance(1500);
    QTest::mousePress(b, Qt::RightButton, {}, QPoint(5, 5));
    QCOMPARE(shared().ExposureClockMs, 0); // the count starts again
    rig.advance(500);
    QTest::mouseRelease(b, Qt::LeftButton);
    QVERIFY(!rig.sim.isPressed());
    QCOMPARE(rig.callWords().filter("FT_Write"), QStringList({"FT_Write(1)", "FT_Write(1)", "FT_Write(0)"}));
}

void TestManual::keyPressOnPoseBDoesNothing()
{
    Rig rig;
    ModeWindow *w = rig.open(Mode::Manual);
    rig.sim.clearCalls();
    QTest::keyClick(button(w, "PressB"), Qt::Key_Space);
    QVERIFY(rig.sim.callsOf("FT_Write").isEmpty());
}

void TestManual::greyedPoseBIgnoresTheMouse()
{
    Rig rig;
    ModeWindow *w = rig.open(Mode::Manual);
    button(w, "PressT")->click();
    rig.sim.clearCalls();
    QPushButton *b = button(w, "PressB");
    QTest::mousePress(b, Qt::LeftButton);
    QTest::mouseRelease(b, Qt::LeftButton);
    QTest::mouseDClick(b, Qt::RightButton);
    QVERIFY(rig.sim.callsOf("FT_Write").isEmpty());
    QVERIFY(rig.sim.isPressed()); // the Pose T goes on until its own second click
}

void TestManual::cnxSetsTheAdapterUpAgain_data()
{
    QTest::addColumn<bool>("poseT");
    QTest::newRow("idle") << false;
    // The set-up lets go: the Pose T ends first, as its own click ends it.
    QTest::newRow("during Pose T") << true;
}

void TestManual::cnxSetsTheAdapterUpAgain()
{
    QFETCH(bool, poseT);
    Rig rig;
    ModeWindow *w = rig.open(Mode::Manual);
    if (poseT)
        button(w, "PressT")->click();
    rig.advance(600);
    const QString before = shown(w);
    rig.sim.clearCalls();
    button(w, "Command2")->click();
    QCOMPARE(rig.callWords(),
             QStringList(poseT ? QStringList{"FT_Write(0)"} : QStringList())
                 + QStringList({"FT_Close", "FT_Open", "FT_ResetDevice", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write(0)"}));
    QCOMPARE(shared().DeviceOpen, -1);
    QCOMPARE(shared().ShutterHeld, 0);
    QVERIFY(button(w, "PressB")->isEnabled());
    if (poseT)
        QVERIFY2(rig.journalLines().last().endsWith(",complète,sans"), qPrintable(rig.journalLines().last()));
    else
        QCOMPARE(shown(w), before);
}

void TestManual::poseTWithNoAdapterStillCounts()
{
    Rig rig;
    rig.sim.setAttached(false);
    ModeWindow *w = rig.open(Mode::Manual);
    rig.advance(100);
    button(w, "PressT")->click();
    rig.advance(1500);
    QCOMPARE(shown(w), QStringLiteral("1"));
    button(w, "PressT")->click();
    QVERIFY(button(w, "PressB")->isEnabled());
    QCOMPARE(shared().ShutterHeld, 0);
}

QTEST_MAIN(TestManual)
#include "tst_manual.moc"
