// What the three mode windows share: load, connection watch, unload and the
// mode switch, checked against the simulated adapter's record in virtual time.

#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/window_timer.h"
#include "link/journal.h"
#include "modes/suspension.h"
#include "support/rig.h"
#include "windows/controls.h"
#include "windows/director.h"
#include "windows/tavrel_async.h"
#include "windows/tavrel_manu.h"
#include "windows/tavrel_sync.h"
#include "windows/toolkit.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

using namespace tavrel;
using tavrel::test::Rig;

namespace {
// The set-up ends by letting the release go, whatever the chip held.
const QStringList kOpen{"FT_Open", "FT_ResetDevice", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write(0)"};
const QStringList kCheckAndOpen = QStringList{"FT_ListDevices"} + kOpen;
// The same when a handle is still held: it is given back before the open.
const QStringList kCheckAndReopen = QStringList({"FT_ListDevices", "FT_Close"}) + kOpen;

template <typename T> T *child(QWidget *w, const char *name)
{
    T *c = w->findChild<T *>(QString::fromLatin1(name));
    if (!c)
        qFatal("no control %s", name);
    return c;
}

QAction *action(QWidget *w, const char *name) { return child<QAction>(w, name); }

int indicator(QWidget *w) { return child<Shape>(w, "Indicateur_Connexion")->fillBgr(); }

// Starts `count` exposures of `seconds` in a row (a sequence, or a scenario of
// that many steps), or a Pose T in the manual window.
void startExposures(Rig &rig, ModeWindow *w, int seconds, int count = 1)
{
    if (w->mode() == Mode::Sequence) {
        child<QLineEdit>(w, "Pose")->setText(QString::number(seconds));
        child<QLineEdit>(w, "Nb_Poses")->setText(QString::number(count));
        static_cast<Tavrel_async *>(w)->Buble_Click();
    } else if (w->mode() == Mode::Scenario) {
        const QByteArray step = "*,0," + QByteArray::number(seconds) + ",0,pose\n";
        rig.startScenario(static_cast<Tavrel_sync *>(w), "n.txt", step.repeated(count) + "*,0,0,0,fin\n");
    } else {
        child<QPushButton>(w, "PressT")->click();
    }
}
} // namespace

class TestFrame : public QObject {
    Q_OBJECT
private slots:
    void loadChecksAndOpens_data();
    void loadChecksAndOpens();
    void plugInLaterOpensOnceThenOnlyLists();
    void unplugTurnsRedAndReplugOpensAgain();
    void switchMakesTheCallsInOrder();
    void switchDuringAJobLetsGoAndStartsAfresh();
    void closingManualDuringPoseTReleasesFirst_data();
    void closingManualDuringPoseTReleasesFirst();
    void switchAwayDuringPoseTReleases();
    void leavingDuringAnExposureLetsGoOnce_data();
    void leavingDuringAnExposureLetsGoOnce();
    void suspendedMidExposureLetsGoAndGoesOn_data();
    void suspendedMidExposureLetsGoAndGoesOn();
    void journalWarningLeavesTheJobOnTime();
    void restantCountsDownByTicks();
    void showtimeClickTogglesVisibility();
    void clockShowsTheTimeOfDay();
    void focusStartsOnTheFirstControl_data();
    void focusStartsOnTheFirstControl();
    void runAndCurrentModeDoNothing_data();
    void runAndCurrentModeDoNothing();
    void aboutOpensWithoutStoppingTheWatch();
    void closingTheLastWindowEndsTheProgram();
    void exposureClockNeverOverflows_data();
    void exposureClockNeverOverflows();
    void aMonthIdleKeepsTheDisplayRight();
    void qtOwnWordsInFrench();
};

void TestFrame::loadChecksAndOpens_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("leftPressed"); // by a program killed elsewhere
    for (const bool pressed : {false, true}) {
        const char *chip = pressed ? ", chip left pressed" : "";
        QTest::addRow("sequence%s", chip) << int(Mode::Sequence) << pressed;
        QTest::addRow("scenario%s", chip) << int(Mode::Scenario) << pressed;
        QTest::addRow("manual%s", chip) << int(Mode::Manual) << pressed;
    }
}

void TestFrame::loadChecksAndOpens()
{
    QFETCH(int, mode);
    QFETCH(bool, leftPressed);
    Rig rig;
    if (leftPressed) {
        FT_HANDLE other = 0;
        const std::uint8_t one = 1;
        std::uint32_t written = 0;
        QCOMPARE(rig.sim.FT_Open(0, &other), FT_OK);
        rig.sim.FT_SetBitMode(other, 0xff, 1);
        rig.sim.FT_Write(other, &one, 1, &written);
        rig.sim.FT_Close(other);
        QVERIFY(rig.sim.isPressed());
        rig.sim.clearCalls();
    }
    ModeWindow *w = rig.open(Mode(mode));
    QCOMPARE(rig.callWords(), kCheckAndOpen);
    QVERIFY(!rig.sim.isPressed());
    QCOMPARE(indicator(w), 65280);
    QCOMPARE(shared().DeviceOpen, -1);
    QCOMPARE(child<Shape>(w, "Mirorup")->fillStyle(), 3);
    QCOMPARE(w->windowTitle(), QStringLiteral("Tavrel"));
    QCOMPARE(w->Connected->Interval(), 500);
    // The settings file now exists with its defaults.
    QVERIFY(QFile::exists(rig.settingsPath()));
}

void TestFrame::plugInLaterOpensOnceThenOnlyLists()
{
    Rig rig;
    rig.sim.setAttached(false);
    ModeWindow *w = rig.open(Mode::Sequence);
    QCOMPARE(rig.callWords(), QStringList{"FT_ListDevices"});
    QCOMPARE(indicator(w), 255);
    QCOMPARE(shared().DeviceOpen, 0);
    rig.advance(1000);
    QCOMPARE(rig.callWords(), QStringList({"FT_ListDevices", "FT_ListDevices", "FT_ListDevices"}));

    rig.sim.setAttached(true);
    rig.sim.clearCalls();
    rig.advance(500);
    QCOMPARE(rig.callWords(), kCheckAndOpen);
    QCOMPARE(indicator(w), 65280);
    rig.sim.clearCalls();
    rig.advance(1500);
    QCOMPARE(rig.callWords(), QStringList({"FT_ListDevices", "FT_ListDevices", "FT_ListDevices"}));
}

void TestFrame::unplugTurnsRedAndReplugOpensAgain()
{
    Rig rig;
    ModeWindow *w = rig.open(Mode::Manual);
    rig.advance(500);
    rig.sim.setAttached(false);
    rig.advance(500);
    QCOMPARE(indicator(w), 255);
    QCOMPARE(shared().DeviceOpen, 0);
    rig.sim.setAttached(true);
    rig.sim.clearCalls();
    rig.advance(500);
    QCOMPARE(indicator(w), 65280);
    // The handle of the chip that went is given back before the new open.
    QCOMPARE(rig.callWords(), kCheckAndReopen);
    QCOMPARE(rig.sim.callsOf("FT_Open").at(0).status, int(FT_OK));
    QCOMPARE(rig.sim.openHandleCount(), 1);
}

void TestFrame::switchMakesTheCallsInOrder()
{
    Rig rig;
    ModeWindow *async = rig.open(Mode::Sequence);
    rig.advance(700);
    rig.sim.clearCalls();
    action(async, "Manuel")->trigger();
    ModeWindow *manu = Director::instance().current();
    QCOMPARE(manu->mode(), Mode::Manual);
    QVERIFY(async->isUnloaded());
    // The sequence window's unload on its own handle, then the manual
    // window's load, which finds nothing held.
    QCOMPARE(rig.callWords(), QStringList({"FT_Write(0)", "FT_Close"}) + kCheckAndOpen);
    QCOMPARE(rig.sim.callsOf("FT_Write").at(0).status, int(FT_OK));
    QCOMPARE(indicator(manu), 65280);
    QCOMPARE(shared().DeviceOpen, -1);
    rig.flushDeletes();
    rig.sim.clearCalls();
    rig.advance(500); // the new window's first tick finds it set up
    QCOMPARE(rig.callWords(), QStringList{"FT_ListDevices"});
    QCOMPARE(rig.sim.openHandleCount(), 1);
    QCOMPARE(manu->pos(), QPoint(11, 30));
}

void TestFrame::switchDuringAJobLetsGoAndStartsAfresh()
{
    Rig rig;
    auto *async = static_cast<Tavrel_async *>(rig.open(Mode::Sequence));
    child<QLineEdit>(async, "Pose")->setText("30");
    child<QLineEdit>(async, "Nb_Poses")->setText("5");
    async->Buble_Click();
    rig.advance(5000);
    QVERIFY(rig.sim.isPressed());
    action(async, "Synch")->trigger();
    QVERIFY(Rig::answer(async, true));
    QVERIFY(!rig.sim.isPressed());
    rig.flushDeletes();
    const int pressesBefore = rig.sim.pressCount();
    rig.advance(120000);
    QCOMPARE(rig.sim.pressCount(), pressesBefore); // the job ended with its window
    action(Director::instance().current(), "Async")->trigger();
    rig.flushDeletes();
    ModeWindow *back = Director::instance().current();
    QCOMPARE(child<QLineEdit>(back, "Pose")->text(), QStringLiteral("1"));
    QCOMPARE(child<QLineEdit>(back, "Nb_Poses")->text(), QStringLiteral("1"));
    QVERIFY(child<QPushButton>(back, "Buble")->isEnabled());
    QCOMPARE(shared().ShutterHeld, 0);
}

void TestFrame::closingManualDuringPoseTReleasesFirst_data()
{
    QTest::addColumn<bool>("poseT");
    QTest::newRow("during Pose T") << true;
    QTest::newRow("idle") << false;
}

void TestFrame::closingManualDuringPoseTReleasesFirst()
{
    QFETCH(bool, poseT);
    Rig rig;
    ModeWindow *manu = rig.open(Mode::Manual);
    if (poseT)
        child<QPushButton>(manu, "PressT")->click();
    rig.advance(2000);
    rig.sim.clearCalls();
    manu->close();
    QCOMPARE(Rig::answer(manu, true), poseT);
    QCOMPARE(rig.callWords(), poseT ? QStringList({"FT_Write(0)", "FT_Close"}) : QStringList{"FT_Close"});
    QVERIFY(!rig.sim.isPressed());
}

void TestFrame::switchAwayDuringPoseTReleases()
{
    Rig rig;
    ModeWindow *manu = rig.open(Mode::Manual);
    child<QPushButton>(manu, "PressT")->click();
    rig.advance(3000);
    QVERIFY(rig.sim.isPressed());
    rig.sim.clearCalls();
    action(manu, "Async")->trigger();
    QVERIFY(Rig::answer(manu, true));
    QVERIFY(!rig.sim.isPressed());
    // The release went out before the manual window closed the adapter.
    QCOMPARE(rig.callWords().mid(0, 2), QStringList({"FT_Write(0)", "FT_Close"}));
}

void TestFrame::leavingDuringAnExposureLetsGoOnce_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("way");
    QTest::addColumn<QString>("outcome");
    for (Mode mode : {Mode::Sequence, Mode::Scenario, Mode::Manual}) {
        const QString name = mode == Mode::Sequence ? "sequence" : mode == Mode::Scenario ? "scenario" : "Pose T";
        QTest::addRow("%s, close box", qPrintable(name)) << int(mode) << "close" << "fenêtre fermée";
        QTest::addRow("%s, switch", qPrintable(name)) << int(mode) << "switch" << "fenêtre fermée";
        QTest::addRow("%s, signal", qPrintable(name)) << int(mode) << "signal" << "fin du programme";
    }
}

void TestFrame::leavingDuringAnExposureLetsGoOnce()
{
    QFETCH(int, mode);
    QFETCH(QString, way);
    QFETCH(QString, outcome);
    Rig rig;
    ModeWindow *w = rig.open(Mode(mode));
    startExposures(rig, w, 120);
    rig.advance(5000);
    QVERIFY(rig.sim.isPressed());
    rig.sim.clearCalls();
    if (way == "switch") {
        Director::instance().switchMode(w, mode == int(Mode::Sequence) ? Mode::Manual : Mode::Sequence);
        // The old window lets go, once, on its own handle and closes it;
        // only then does the new window's load open the adapter again.
        QCOMPARE(rig.callWords(), QStringList({"FT_Write(0)", "FT_Close"}) + kCheckAndOpen);
        const QList<AdapterCall> calls = rig.sim.calls();
        QCOMPARE(calls.at(0).status, int(FT_OK));
        QCOMPARE(calls.at(0).handle, calls.at(1).handle);
    } else {
        if (way == "close") {
            w->close();
            QVERIFY(Rig::answer(w, true));
        } else
            Director::instance().shutdown();
        letGoAndClose(); // the program's last word on its way out
        QCOMPARE(rig.callWords(), QStringList({"FT_Write(0)", "FT_Close"}));
    }
    QVERIFY(!rig.sim.isPressed());
    QVERIFY2(rig.journalLines().last().endsWith(outcome + QStringLiteral(",sans")), qPrintable(rig.journalLines().last()));
}

void TestFrame::suspendedMidExposureLetsGoAndGoesOn_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("entries"); // journal lines once the run is over
    QTest::newRow("sequence") << int(Mode::Sequence) << 2;
    QTest::newRow("scenario") << int(Mode::Scenario) << 2;
    QTest::newRow("Pose T") << int(Mode::Manual) << 1;
}

// Ctrl-Z a minute and more before the end of a two-minute exposure: the
// release goes now, the exposure's later slices press nothing, and the run
// goes on with its next exposure.
void TestFrame::suspendedMidExposureLetsGoAndGoesOn()
{
    QFETCH(int, mode);
    QFETCH(int, entries);
    Rig rig;
    ModeWindow *w = rig.open(Mode(mode));
    startExposures(rig, w, 120, 2);
    rig.advance(5000);
    QVERIFY(rig.sim.isPressed());
    QVERIFY(letGoBeforeStopping([w] { w->endExposureNow(); }));
    QVERIFY(!rig.sim.isPressed());
    QVERIFY2(rig.journalLines().last().endsWith("coupée (programme suspendu),sans"), qPrintable(rig.journalLines().last()));
    rig.advance(300000);
    QVERIFY(!rig.sim.isPressed());
    const QStringList lines = rig.journalLines();
    QCOMPARE(lines.size(), 1 + entries);
    if (entries > 1)
        QVERIFY2(lines.last().endsWith(",complète,sans"), qPrintable(lines.last()));
    QCOMPARE(rig.sim.pressCount(), entries);
    QCOMPARE(shared().ShutterHeld, 0);
}

void TestFrame::journalWarningLeavesTheJobOnTime()
{
    // The same job twice, through the windows' own message boxes: the second
    // time the journal cannot be written and its warning stays on screen.
    QList<QPair<std::int64_t, int>> writes[2];
    bool heldUp = false;
    for (const bool writable : {true, false}) {
        QtMessageBoxSink boxes;
        Rig rig;
        setMessageSink(&boxes);
        QTemporaryDir dir;
        QFile notAFolder(dir.filePath("fichier"));
        QVERIFY(notAFolder.open(QIODevice::WriteOnly));
        if (!writable)
            ExposureJournal::instance().setPath(dir.filePath("fichier/journal.csv"));
        auto *async = static_cast<Tavrel_async *>(rig.open(Mode::Sequence));
        child<QLineEdit>(async, "Pose")->setText("2");
        child<QLineEdit>(async, "Nb_Poses")->setText("3");
        // A box waiting for its click would stop the clock here: one still up
        // after a real second is noted and closed.
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, [&heldUp] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                heldUp = true;
                modal->close();
            }
        });
        watchdog.start(1000);
        async->Buble_Click();
        rig.advance(20000);
        writes[writable] = rig.writes();
        const QWidgetList tops = QApplication::topLevelWidgets();
        QCOMPARE(std::count_if(tops.cbegin(), tops.cend(), [](QWidget *top) {
                     auto *box = qobject_cast<QMessageBox *>(top);
                     return box && box->isVisible() && box->text().contains("fichier/journal.csv");
                 }), writable ? 0 : 1);
    }
    QVERIFY(!heldUp);
    QCOMPARE(writes[false].size(), 7); // the set-up's release, then three exposures
    QCOMPARE(writes[false], writes[true]);
}

void TestFrame::restantCountsDownByTicks()
{
    Rig rig;
    auto *async = static_cast<Tavrel_async *>(rig.open(Mode::Sequence));
    auto *restant = child<QLabel>(async, "Restant");
    child<QLineEdit>(async, "Pose")->setText("30");
    rig.advance(1389);
    async->Buble_Click(); // the slice starts at 1499, just before the tick at 1500
    QStringList shown;
    for (int i = 0; i < 6; ++i) {
        rig.advance(500);
        shown << (restant->isVisible() ? restant->text() : QStringLiteral("-"));
    }
    // Ticks at 1500, 2000, ... show the clock before counting it down.
    QCOMPARE(shown.first(), QStringLiteral("30"));
    QCOMPARE(shown, QStringList({"30", "29", "29", "28", "28", "27"}));
    async->Stop_Shot_Click();
    rig.advance(500);
    QVERIFY(!restant->isVisible());
}

void TestFrame::showtimeClickTogglesVisibility()
{
    Rig rig;
    ModeWindow *w = rig.open(Mode::Sequence);
    auto *showtime = child<QLabel>(w, "showtime");
    const QColor back = showtime->palette().color(QPalette::Window);
    QCOMPARE(showtime->palette().color(QPalette::WindowText), QColor(192, 0, 0));
    QTest::mouseClick(showtime, Qt::LeftButton);
    QCOMPARE(showtime->palette().color(QPalette::WindowText), back);
    rig.advance(1000); // ticks change the text only
    QCOMPARE(showtime->palette().color(QPalette::WindowText), back);
    QTest::mouseClick(showtime, Qt::LeftButton);
    QCOMPARE(showtime->palette().color(QPalette::WindowText), QColor(192, 0, 0));
}

void TestFrame::clockShowsTheTimeOfDay()
{
    Rig rig(QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59)));
    ModeWindow *w = rig.open(Mode::Sequence);
    auto *showtime = child<QLabel>(w, "showtime");
    QCOMPARE(showtime->text(), QStringLiteral("Time"));
    rig.advance(500);
    QCOMPARE(showtime->text(), QStringLiteral("23:59:59"));
    rig.advance(1000);
    QCOMPARE(showtime->text(), QStringLiteral("00:00:00"));
}

void TestFrame::focusStartsOnTheFirstControl_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("control");
    QTest::newRow("sequence") << int(Mode::Sequence) << "Buble";
    QTest::newRow("manual") << int(Mode::Manual) << "PressB";
}

void TestFrame::focusStartsOnTheFirstControl()
{
    QFETCH(int, mode);
    QFETCH(QString, control);
    Rig rig;
    ModeWindow *w = rig.open(Mode(mode));
    QVERIFY(w->focusWidget());
    QCOMPARE(w->focusWidget()->objectName(), control);
}

void TestFrame::runAndCurrentModeDoNothing_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("entry");
    QTest::newRow("Run in sequence") << int(Mode::Sequence) << "Run";
    QTest::newRow("Asynch in sequence") << int(Mode::Sequence) << "Asynch";
    QTest::newRow("Synch in scenario") << int(Mode::Scenario) << "Synch";
    QTest::newRow("Run in manual") << int(Mode::Manual) << "Run";
    QTest::newRow("Manuel in manual") << int(Mode::Manual) << "Manuel";
}

void TestFrame::runAndCurrentModeDoNothing()
{
    QFETCH(int, mode);
    QFETCH(QString, entry);
    Rig rig;
    ModeWindow *w = rig.open(Mode(mode));
    rig.sim.clearCalls();
    QAction *a = action(w, entry.toLatin1().constData());
    const bool checked = a->isChecked();
    a->trigger();
    QCOMPARE(Director::instance().current(), w);
    QVERIFY(!w->isUnloaded());
    QVERIFY(rig.sim.calls().isEmpty());
    QCOMPARE(a->isChecked(), checked);
}

void TestFrame::aboutOpensWithoutStoppingTheWatch()
{
    Rig rig;
    ModeWindow *w = rig.open(Mode::Sequence);
    action(w, "help")->trigger();
    QWidget *about = Director::instance().about();
    QVERIFY(about && about->isVisible());
    QVERIFY(!about->isModal());
    rig.sim.clearCalls();
    rig.advance(1000);
    QCOMPARE(rig.sim.callsOf("FT_ListDevices").size(), 2);
    child<QPushButton>(about, "Command1")->click();
    QVERIFY(!about->isVisible());
    QVERIFY(w->isVisible());
    QCOMPARE(Director::instance().current(), w);
}

void TestFrame::closingTheLastWindowEndsTheProgram()
{
    Rig rig;
    QSignalSpy ended(&Director::instance(), &Director::lastWindowClosed);
    ModeWindow *w = rig.open(Mode::Sequence);
    action(w, "Manuel")->trigger();
    QCOMPARE(ended.count(), 0); // a switch is not an end
    Director::instance().current()->close();
    QCOMPARE(ended.count(), 1);
    QCOMPARE(shared().DeviceOpen, 0);
}

void TestFrame::exposureClockNeverOverflows_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("start");
    QTest::newRow("sequence counting down") << int(Mode::Sequence) << int(INT32_MIN + 700);
    QTest::newRow("manual counting up") << int(Mode::Manual) << int(INT32_MAX - 700);
}

void TestFrame::exposureClockNeverOverflows()
{
    QFETCH(int, mode);
    QFETCH(int, start);
    Rig rig;
    rig.open(Mode(mode));
    shared().ExposureClockMs = start;
    rig.advance(5000);
    QCOMPARE(shared().ExposureClockMs, mode == int(Mode::Manual) ? INT32_MAX : INT32_MIN);
}

void TestFrame::aMonthIdleKeepsTheDisplayRight()
{
    // Thirty days of watch ticks in an idle sequence window, then a job:
    // the countdown shows the exposure's own seconds.
    Rig rig;
    auto *async = static_cast<Tavrel_async *>(rig.open(Mode::Sequence));
    shared().ExposureClockMs = INT32_MIN + 100000;
    for (int hour = 0; hour < 30 * 24; ++hour) {
        rig.advance(3600LL * 1000);
        rig.sim.clearCalls();
        QCoreApplication::processEvents();
    }
    QCOMPARE(shared().ExposureClockMs, INT32_MIN);
    child<QLineEdit>(async, "Pose")->setText("20");
    async->Buble_Click();
    rig.advance(700);
    QCOMPARE(child<QLabel>(async, "Restant")->text(), QStringLiteral("20"));
}

void TestFrame::qtOwnWordsInFrench()
{
    QVERIFY(installQtTranslations());
    Rig rig;
    auto *field = child<QLineEdit>(rig.open(Mode::Sequence), "Pose");
    std::unique_ptr<QMenu> menu(field->createStandardContextMenu());
    QStringList words;
    for (const QAction *a : menu->actions())
        words << a->text();
    QVERIFY2(words.join(' ').remove('&').contains("Copier"), qPrintable(words.join(' ')));
    QMessageBox box(QMessageBox::Question, "Tavrel", "?", QMessageBox::Ok | QMessageBox::Cancel);
    QVERIFY(box.button(QMessageBox::Cancel)->text().contains("Annuler"));
}

QTEST_MAIN(TestFrame)
#include "tst_frame.moc"
