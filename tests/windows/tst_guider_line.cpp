// The sequence and scenario windows dither from [Guidage] and show the
// guider's state in their status area, by day and in night vision.

#include "link/settings.h"
#include "modes/dither_gate.h"
#include "support/rig.h"
#include "support/stand_in_guider.h"
#include "windows/night.h"
#include "windows/tavrel_async.h"
#include "windows/tavrel_sync.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace tavrel;
using tavrel::test::Rig;

class TestGuiderLine : public QObject {
    Q_OBJECT
private slots:
    void windowsDitherAndShowTheGuider_data();
    void windowsDitherAndShowTheGuider();
};

void TestGuiderLine::windowsDitherAndShowTheGuider_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("night");
    QTest::newRow("sequence") << int(Mode::Sequence) << false;
    QTest::newRow("scenario, night vision") << int(Mode::Scenario) << true;
}

void TestGuiderLine::windowsDitherAndShowTheGuider()
{
    QFETCH(int, mode);
    QFETCH(bool, night);
    Rig rig;
    test::StandInGuider guider;
    guider.settleMs = 6000;
    const QString ini = QStringLiteral("Tavrel.ini");
    for (const auto &[key, value] : {std::pair{"Hote", QStringLiteral("127.0.0.1")},
                                     std::pair{"Port", QString::number(guider.port())},
                                     std::pair{"Decalage", QStringLiteral("1")}})
        WriteSetting(QStringLiteral("Guidage"), QLatin1String(key), value, ini);
    ModeWindow *w = rig.open(Mode(mode));
    setNightVision(night);
    auto *line = w->findChild<QLabel *>(QStringLiteral("Guidage"));
    QVERIFY(line && !line->isVisible());
    if (mode == int(Mode::Sequence)) {
        w->findChild<QLineEdit *>("Nb_Poses")->setText(QStringLiteral("2"));
        w->findChild<QLineEdit *>("Pose")->setText(QStringLiteral("5"));
        w->findChild<QLineEdit *>("Text1")->setText(QStringLiteral("0"));
        w->findChild<QPushButton *>("Buble")->click();
    } else {
        QVERIFY(rig.startScenario(static_cast<Tavrel_sync *>(w), "n.txt", "*,0,5,0,a\n*,0,5,0,b\n*,0,0,0,fin\n"));
    }
    DitherGate *gate = w->findChild<DitherGate *>();
    QVERIFY(QTest::qWaitFor([&] { return gate->client()->isConnected(); }, 5000));
    guider.deliver(gate->client());
    QVERIFY(line->isVisible());
    QVERIFY2(line->text().contains(QStringLiteral("guidage en cours")), qPrintable(line->text()));
    for (int t = 0; t < 7000; t += 10) {
        rig.advance(10);
        guider.deliver(gate->client());
    }
    QCOMPARE(guider.dithers.size(), 1);
    QVERIFY2(line->text().contains(QStringLiteral("stabilisation (2,50 px)")), qPrintable(line->text()));
    QCOMPARE(rig.writeTimes(1).size(), 1); // the second press waits for the settle
    for (int t = 0; t < 12000; t += 10) {
        rig.advance(10);
        guider.deliver(gate->client());
    }
    QCOMPARE(rig.writeTimes(1).size(), 2);
    QVERIFY(!line->isVisible()); // the run is over
    setNightVision(false);
}

QTEST_MAIN(TestGuiderLine)
#include "tst_guider_line.moc"
