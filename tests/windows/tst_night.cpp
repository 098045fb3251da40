// Night vision: every window red on black, offscreen, pixel by pixel; the
// choice stored in the settings file and kept across a mode switch.

#include "link/fill_style.h"
#include "link/settings.h"
#include "support/rig.h"
#include "windows/controls.h"
#include "windows/director.h"
#include "windows/night.h"
#include "windows/simulated_panel.h"
#include "windows/tavrel_sync.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

using namespace tavrel;
using tavrel::test::Rig;

namespace {

// Reds and black only: not a trace of green or blue anywhere.
QString firstPixelOutsideTheReds(QWidget *w)
{
    w->show();
    const QImage image = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.green() != 0 || c.blue() != 0)
                return QStringLiteral("%1 at (%2,%3)").arg(c.name()).arg(x).arg(y);
        }
    }
    return {};
}

bool entryChecked(ModeWindow *w)
{
    auto *entry = w->findChild<QAction *>(QString::fromLatin1(kNightActionName));
    return entry && entry->isChecked();
}

} // namespace

class TestNight : public QObject {
    Q_OBJECT
private slots:
    void everyWindowIsRedOnBlack_data();
    void everyWindowIsRedOnBlack();
    void remembered();
    void indicatorStatesStayDistinct();
    void clockClickStillHidesIt();
};

void TestNight::everyWindowIsRedOnBlack_data()
{
    QTest::addColumn<QString>("window");
    for (const char *name : {"sequence", "scenario", "scenario running", "typing", "manual", "about", "message",
                             "question", "panel"})
        QTest::newRow(name) << name;
}

void TestNight::everyWindowIsRedOnBlack()
{
    QFETCH(QString, window);
    Rig rig;
    setNightVision(true);
    QWidget *w = nullptr;
    std::unique_ptr<QWidget> owned;
    if (window == "sequence")
        w = rig.open(Mode::Sequence);
    else if (window == "scenario")
        w = rig.open(Mode::Scenario);
    else if (window == "scenario running") {
        // The lists greyed, their folder icons too.
        auto *scenario = static_cast<Tavrel_sync *>(rig.open(Mode::Scenario));
        QVERIFY(rig.startScenario(scenario, "n.txt", "*,0,60,0,longue\n*,0,0,0,fin\n"));
        w = scenario;
    } else if (window == "typing") {
        // A field with the caret in it.
        w = rig.open(Mode::Sequence);
        QApplication::setActiveWindow(w);
        auto *field = w->findChild<QLineEdit *>("Pose");
        field->setFocus();
        QVERIFY(field->hasFocus());
    }
    else if (window == "manual")
        w = rig.open(Mode::Manual);
    else if (window == "about") {
        Director::instance().showAbout();
        w = Director::instance().about();
    } else if (window == "message") {
        auto *box = new QMessageBox(QMessageBox::Warning, "Tavrel", "Adaptateur introuvable.", QMessageBox::Ok);
        nightIcon(box);
        owned.reset(box);
        w = box;
    } else if (window == "question") {
        ModeWindow *manual = rig.open(Mode::Manual);
        manual->findChild<QPushButton *>("PressT")->click();
        manual->close();
        w = manual->pendingQuestion();
    } else {
        owned = std::make_unique<SimulatedPanel>(&rig.sim);
        w = owned.get();
    }
    QVERIFY(w);
    const QString outside = firstPixelOutsideTheReds(w);
    setNightVision(false);
    QVERIFY2(outside.isEmpty(), qPrintable(outside));
}

void TestNight::remembered()
{
    Rig rig;
    ModeWindow *w = rig.open(Mode::Sequence);
    QVERIFY(!entryChecked(w));
    w->findChild<QAction *>(QString::fromLatin1(kNightActionName))->trigger();
    QVERIFY(nightVision());
    QCOMPARE(ReadSetting("Affichage", "Nuit", QString::fromLatin1(kSettingsFile)), QStringLiteral("1"));
    // A switch opens the next window in the night, its entry ticked.
    ModeWindow *next = Director::instance().switchMode(w, Mode::Manual);
    QVERIFY(entryChecked(next));
    next->findChild<QAction *>(QString::fromLatin1(kNightActionName))->trigger();
    QVERIFY(!nightVision());
    QCOMPARE(ReadSetting("Affichage", "Nuit", QString::fromLatin1(kSettingsFile)), QStringLiteral("0"));
    WriteSetting("Affichage", "Nuit", "1", QString::fromLatin1(kSettingsFile));
    loadNightVision();
    QVERIFY(nightVision() && entryChecked(next));
    setNightVision(false);
}

void TestNight::indicatorStatesStayDistinct()
{
    Rig rig;
    setNightVision(true);
    ModeWindow *w = rig.open(Mode::Sequence);
    auto *indicator = w->findChild<Shape *>("Indicateur_Connexion");
    const auto look = [indicator] { return qMakePair(indicator->fillColor(), indicator->fillStyle()); };
    const auto attached = look();
    rig.sim.setAttached(false);
    w->is_usb_connected();
    const auto missing = look();
    setNightVision(false);
    QVERIFY(attached != missing);
    // Not to be taken for the mirror square's lines of an exposure.
    QVERIFY(missing.second != kHorizontalLines && missing.second != kVerticalLines);
    QVERIFY(missing.first.red() > attached.first.red());
    QCOMPARE(attached.first.green() + missing.first.green(), 0);
}

void TestNight::clockClickStillHidesIt()
{
    Rig rig;
    setNightVision(true);
    auto *clock = rig.open(Mode::Sequence)->findChild<QLabel *>("showtime");
    const auto brightest = [clock] {
        const QImage image = clock->grab().toImage();
        int red = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                red = std::max(red, image.pixelColor(x, y).red());
        return red;
    };
    const int shown = brightest();
    QTest::mouseClick(clock, Qt::LeftButton);
    const int hidden = brightest();
    setNightVision(false);
    QVERIFY(shown > 100);
    QVERIFY(hidden < 40);
}

QTEST_MAIN(TestNight)
#include "tst_night.moc"
