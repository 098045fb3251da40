// The moments of the night against published almanacs, and the ways a
// scenario file may write them.

#include "modes/sky_times.h"

#include <QtTest>

using namespace tavrel;

Q_DECLARE_METATYPE(SkyEvent)

class TstSkyTimes : public QObject {
    Q_OBJECT

private slots:
    // Published tables give whole minutes (timeanddate.com gives seconds);
    // the times must agree to within one minute.
    void almanac_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QDate>("night");
        QTest::addColumn<SkyEvent>("event");
        QTest::addColumn<QDateTime>("expected"); // UTC; invalid: no such moment that night
        const auto utc = [](int y, int mo, int d, int h, int mi, int s = 0) {
            return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
        };
        // USNO, Astronomical and Nautical Twilight tables for Hartford, CT, 2024 (zone 5 h west).
        const QString ny = QStringLiteral("America/New_York");
        QTest::newRow("Hartford dusk") << 41.76 << -72.69 << ny << QDate(2024, 6, 21) << SkyEvent::Dusk << utc(2024, 6, 22, 2, 41);
        QTest::newRow("Hartford dawn") << 41.76 << -72.69 << ny << QDate(2024, 6, 20) << SkyEvent::Dawn << utc(2024, 6, 21, 7, 5);
        QTest::newRow("Hartford nautical dusk") << 41.76 << -72.69 << ny << QDate(2024, 6, 21) << SkyEvent::NauticalDusk << utc(2024, 6, 22, 1, 48);
        // USNO, sun data for Atlanta, 6 September 2009 (EDT), as quoted in the PyEphem documentation.
        QTest::newRow("Atlanta sunset") << 33.8 << -84.4 << ny << QDate(2009, 9, 6) << SkyEvent::Sunset << utc(2009, 9, 6, 23, 56);
        QTest::newRow("Atlanta sunrise") << 33.8 << -84.4 << ny << QDate(2009, 9, 5) << SkyEvent::Sunrise << utc(2009, 9, 6, 11, 15);
        // Southern: timeanddate.com, Lord Howe Island (31°33' S, 159°05' E), 1-2 January 2023 (UTC+11).
        const QString lordHowe = QStringLiteral("Australia/Lord_Howe");
        QTest::newRow("Lord Howe dusk") << -31.55 << 159.0833 << lordHowe << QDate(2023, 1, 1) << SkyEvent::Dusk << utc(2023, 1, 1, 10, 10, 37);
        QTest::newRow("Lord Howe dawn") << -31.55 << 159.0833 << lordHowe << QDate(2023, 1, 1) << SkyEvent::Dawn << utc(2023, 1, 1, 16, 43, 41);
        // Near the date line (UTC+13): Royal Astronomical Society of New Zealand, Wellington, 1 January.
        const QString nz = QStringLiteral("Pacific/Auckland");
        QTest::newRow("Wellington sunset") << -41.29 << 174.78 << nz << QDate(2022, 1, 1) << SkyEvent::Sunset << utc(2022, 1, 1, 7, 57);
        QTest::newRow("Wellington sunrise") << -41.29 << 174.78 << nz << QDate(2021, 12, 31) << SkyEvent::Sunrise << utc(2021, 12, 31, 16, 51);
        // High latitude in summer: timeanddate.com, Oslo (59°55' N, 10°44' E), 21 June 2023: the Sun
        // sets but comes no lower than 12°.
        const QString oslo = QStringLiteral("Europe/Oslo");
        QTest::newRow("Oslo sunset") << 59.9167 << 10.7333 << oslo << QDate(2023, 6, 21) << SkyEvent::Sunset << utc(2023, 6, 21, 20, 43, 47);
        QTest::newRow("Oslo no dusk") << 59.9167 << 10.7333 << oslo << QDate(2023, 6, 21) << SkyEvent::Dusk << QDateTime();
        QTest::newRow("Oslo no nautical dawn") << 59.9167 << 10.7333 << oslo << QDate(2023, 6, 21) << SkyEvent::NauticalDawn << QDateTime();
        // A moment within a minute of 00:00 UT, every American observer's lot some nights of the
        // year: USNO's Atlanta sunset above, 0.8° further west, 3 min 12 s later (4 min a degree;
        // the Sun's declination moves by less than 0.005° meanwhile, a second's worth).
        QTest::newRow("Atlanta sunset 0.8° west, 48 s before 00:00 UT") << 33.8 << -85.2 << ny << QDate(2009, 9, 6) << SkyEvent::Sunset << utc(2009, 9, 6, 23, 59, 12);
    }
    void almanac()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QString, zone);
        QFETCH(QDate, night);
        QFETCH(SkyEvent, event);
        QFETCH(QDateTime, expected);
        const auto got = skyEventTime(event, night, Place{latitude, longitude}, QTimeZone(zone.toLatin1()));
        QCOMPARE(got.has_value(), expected.isValid());
        if (got)
            QVERIFY2(std::abs(got->secsTo(expected)) <= 60, qPrintable(got->toUTC().toString(Qt::ISODate)));
    }

    // A night that only just reaches -18°. At the June 2024 solstice the
    // Sun's declination is +23.44° (Astronomical Almanac), so at its lowest it
    // stands at latitude + 23.44° - 90°: at 48.50° N, 0.06° under -18°, for
    // well under an hour, either side of local midnight (23:52 UT at 2.35° E).
    void shortAstronomicalNight()
    {
        const Place place{48.50, 2.35};
        const QDateTime midnight(QDate(2024, 6, 20), QTime(23, 52), Qt::UTC);
        const auto dusk = skyEventTime(SkyEvent::Dusk, QDate(2024, 6, 20), place, QTimeZone("Europe/Paris"));
        const auto dawn = skyEventTime(SkyEvent::Dawn, QDate(2024, 6, 20), place, QTimeZone("Europe/Paris"));
        QVERIFY(dusk && dawn);
        QVERIFY(*dusk < midnight && midnight < *dawn && dusk->secsTo(*dawn) < 3600);
    }

    void forms_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<SkyEvent>("event");
        QTest::addColumn<int>("offset");
        QTest::newRow("dusk") << "@crepuscule" << true << SkyEvent::Dusk << 0;
        QTest::newRow("accent, capital, offset") << "@Crépuscule+00:20" << true << SkyEvent::Dusk << 1200;
        QTest::newRow("minus is an offset") << "@crepuscule-01:05" << true << SkyEvent::Dusk << -3900;
        QTest::newRow("nautical dawn") << " @aube-nautique - 00:30" << true << SkyEvent::NauticalDawn << -1800;
        QTest::newRow("misspelt") << "@crepuscul" << false << SkyEvent::Dusk << 0;
        QTest::newRow("offset too long") << "@aube+12:01" << false << SkyEvent::Dusk << 0;
    }
    void forms()
    {
        QFETCH(QString, field);
        QFETCH(bool, valid);
        const auto t = parseSkyTime(field);
        QCOMPARE(t.has_value(), valid);
        if (t) {
            QTEST(t->event, "event");
            QTEST(t->offsetSeconds, "offset");
        }
    }

    // A night lasts until sunrise (Paris, 8 December: about 07:35 UTC), or
    // until noon with no place.
    void night()
    {
        const QDate evening(2026, 12, 7), morning(2026, 12, 8);
        const Place paris{48.85, 2.35};
        QCOMPARE(nightOf(QDateTime(morning, QTime(3, 0))), evening);
        QCOMPARE(nightOf(QDateTime(morning, QTime(12, 0))), morning);
        QCOMPARE(nightOf(QDateTime(morning, QTime(7, 0)), paris), evening);
        QCOMPARE(nightOf(QDateTime(morning, QTime(8, 0)), paris), morning);
    }

    void problems_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("placed");
        QTest::addColumn<QString>("fragment");
        QTest::newRow("no place") << "@aube" << false << "[Lieu]";
        QTest::newRow("no astronomical night") << "@crepuscule" << true << "pas de nuit astronomique";
        QTest::newRow("bad form") << "@minuit" << true << "crepuscule, aube";
    }
    void problems()
    {
        QFETCH(QString, field);
        QFETCH(bool, placed);
        QFETCH(QString, fragment);
        const SkyContext sky{QDate(2023, 6, 21), placed ? std::optional(Place{59.9167, 10.7333}) : std::nullopt, {},
                             QTimeZone("Europe/Oslo")};
        const SkyResolution r = resolveSkyTime(field, sky);
        QVERIFY(!r.instant.isValid());
        QVERIFY2(r.problem.contains(QStringLiteral("« %1 »").arg(field)) && r.problem.contains(fragment),
                 qPrintable(r.problem));
    }
};

QTEST_GUILESS_MAIN(TstSkyTimes)
#include "tst_sky_times.moc"
