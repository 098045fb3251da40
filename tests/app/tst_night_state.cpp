// What the night page shows, fed by a scenario in virtual time: each phase at
// its instant, the step count, the exposure's span and the next press.

#include "app/run/headless_views.h"
#include "app/web/night_state.h"
#include "link/release_line.h"
#include "link/settings.h"
#include "link/window_timer.h"
#include "modes/scenario_runner.h"
#include "support/engine_rig.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrel;

class TstNightState : public QObject {
    Q_OBJECT

private slots:
    void followsAScenario()
    {
        // 21:40:12 now: wait for 21:45:00, mirror 2 s, 30 s exposure, pause 5 s.
        test::EngineRig rig;
        LoadSettings();
        OpenDevice();
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.txt"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("21:45:00,2,30,5,a\n*,0,0,0,fin\n") > 0);
        f.close();
        WindowTimer timer;
        run::HeadlessScenarioView view;
        ScenarioRunner runner(&timer, &view);
        connect(&timer, &WindowTimer::Timer, &runner, &ScenarioRunner::tick);
        web::NightState state;
        state.watch(&runner);
        QVERIFY(runner.start(path));

        const qint64 at2145 = QDateTime(QDate(2026, 12, 7), QTime(21, 45, 0)).toMSecsSinceEpoch();
        const auto seen = [&] { return state.toJson(); };
        const auto phaseAfter = [&](qint64 ms) {
            rig.advance(ms);
            return seen().value(QLatin1String("etat")).toString();
        };
        QCOMPARE(phaseAfter(200), QStringLiteral("attente"));
        QCOMPARE(seen().value(QLatin1String("numero")).toInt(), 1);
        QCOMPARE(seen().value(QLatin1String("total")).toInt(), 1);
        QVERIFY(qAbs(seen().value(QLatin1String("prochaine_pression")).toInteger() - at2145) <= 1000);
        QCOMPARE(phaseAfter(at2145 - rig.time.nowPrecise().toMSecsSinceEpoch() + 100), QStringLiteral("miroir"));
        QCOMPARE(phaseAfter(2500), QStringLiteral("pose"));
        QCOMPARE(seen().value(QLatin1String("fin_pose")).toInteger() - seen().value(QLatin1String("debut_pose")).toInteger(),
                 30000);
        QCOMPARE(phaseAfter(30500), QStringLiteral("pause"));
        QCOMPARE(phaseAfter(6000), QStringLiteral("fin"));
        QVERIFY(seen().value(QLatin1String("prochaine_pression")).isNull());
    }
};

QTEST_GUILESS_MAIN(TstNightState)
#include "tst_night_state.moc"
