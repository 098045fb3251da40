#include "modes/sky_times.h"

#include "link/settings.h"

#include <QRegularExpression>

#include <libnova/julian_day.h>
#include <libnova/precession.h>
#include <libnova/sidereal_time.h>
#include <libnova/solar.h>
#include <libnova/transform.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

namespace tavrel {

namespace {

constexpr double kUnixEpochJd = 2440587.5;
constexpr double kMsPerDay = 86400000.0;
constexpr int kMaxOffsetSeconds = 12 * 3600;

struct EventInfo {
    SkyEvent event;
    const char *symbol; // as written after '@', without accents
    double horizon; // height of the Sun's centre, degrees
    bool evening;   // the Sun going down
};

const EventInfo kEvents[] = {
    {SkyEvent::Sunset, "coucher", LN_SOLAR_STANDART_HORIZON, true},
    {SkyEvent::NauticalDusk, "crepuscule-nautique", LN_SOLAR_NAUTIC_HORIZON, true},
    {SkyEvent::Dusk, "crepuscule", LN_SOLAR_ASTRONOMICAL_HORIZON, true},
    {SkyEvent::Dawn, "aube", LN_SOLAR_ASTRONOMICAL_HORIZON, false},
    {SkyEvent::NauticalDawn, "aube-nautique", LN_SOLAR_NAUTIC_HORIZON, false},
    {SkyEvent::Sunrise, "lever", LN_SOLAR_STANDART_HORIZON, false},
};

const EventInfo &info(SkyEvent event)
{
    for (const EventInfo &e : kEvents)
        if (e.event == event)
            return e;
    return kEvents[0];
}

// libnova gives the Sun's place referred to the J2000 equinox, while its
// sidereal time is that of the date: left as they are, the two put every
// event a minute or more early in the 2020s, and more as the years go by.
// Precessing the place to the date removes that.
void sunOfDate(double jd, ln_equ_posn *position)
{
    ln_equ_posn j2000;
    ln_get_solar_equ_coords(jd, &j2000);
    ln_get_equ_prec(&j2000, jd, position);
}

double sunAltitude(double jd, const Place &place)
{
    ln_lnlat_posn observer{place.longitude, place.latitude};
    ln_equ_posn sun;
    sunOfDate(jd, &sun);
    ln_hrz_posn sky;
    ln_get_hrz_from_equ(&sun, &observer, jd, &sky);
    return sky.alt;
}

double julianDayOf(const QDateTime &instant) { return kUnixEpochJd + double(instant.toMSecsSinceEpoch()) / kMsPerDay; }

QDateTime instantOf(double jd, const QTimeZone &zone)
{
    const qint64 ms = qint64(std::llround((jd - kUnixEpochJd) * kMsPerDay / 1000.0)) * 1000;
    return QDateTime::fromMSecsSinceEpoch(ms, zone);
}

// The instant nearest `jd` when the Sun's hour angle is `hourAngle` degrees:
// 0 at its upper transit (the highest of the day), 180 at its lower one.
double solarHourAngleNear(double jd, const Place &place, double hourAngle)
{
    constexpr double kSiderealDegreesPerDay = 360.985647;
    for (int i = 0; i < 4; ++i) {
        ln_equ_posn sun;
        sunOfDate(jd, &sun);
        const double lst = ln_get_mean_sidereal_time(jd) * 15.0 + place.longitude;
        jd -= std::remainder(lst - sun.ra - hourAngle, 360.0) / kSiderealDegreesPerDay;
    }
    return jd;
}

// Every sample of the Sun's height over a night, from one upper transit to
// the next: the Sun goes down to the lower transit, then up again. Evening
// moments are crossings on the way down, morning ones on the way up.
struct NightScan {
    double from = 0, low = 0, to = 0; // upper transit, lower transit, next upper transit
    std::vector<double> jd, altitude;
};

// Steps of ten minutes, with both transits among the samples: the lowest
// point of a night that only just reaches a height is never stepped over.
NightScan scanNight(const QDate &night, const Place &place, const QTimeZone &zone)
{
    constexpr int kSteps = 72; // per half-night
    NightScan scan;
    scan.from = solarHourAngleNear(julianDayOf(QDateTime(night, QTime(12, 0), zone)), place, 0);
    scan.to = solarHourAngleNear(scan.from + 1.0, place, 0);
    scan.low = solarHourAngleNear((scan.from + scan.to) / 2, place, 180);
    for (int half = 0; half < 2; ++half) {
        const double a = half == 0 ? scan.from : scan.low;
        const double b = half == 0 ? scan.low : scan.to;
        for (int i = half; i <= kSteps; ++i) {
            const double jd = a + (b - a) * i / kSteps;
            scan.jd.push_back(jd);
            scan.altitude.push_back(sunAltitude(jd, place));
        }
    }
    return scan;
}

// The last night scanned: a run asks for the same night again and again.
const NightScan &cachedScan(const QDate &night, const Place &place, const QTimeZone &zone)
{
    using Key = std::tuple<QDate, double, double, QByteArray>;
    thread_local std::pair<Key, NightScan> memo;
    const Key key{night, place.latitude, place.longitude, zone.id()};
    if (memo.first != key)
        memo = {key, scanNight(night, place, zone)};
    return memo.second;
}

// Halves the step until the crossing is known to a few milliseconds.
double refineCrossing(double a, double b, const Place &place, double horizon)
{
    const bool aboveAtA = sunAltitude(a, place) > horizon;
    for (int i = 0; i < 24; ++i) {
        const double mid = (a + b) / 2;
        if ((sunAltitude(mid, place) > horizon) == aboveAtA)
            a = mid;
        else
            b = mid;
    }
    return (a + b) / 2;
}

// The evening's first crossing of `horizon` going down, or the morning's
// last going up.
std::optional<double> crossing(const NightScan &scan, const Place &place, double horizon, bool evening)
{
    const int n = int(scan.jd.size());
    for (int k = 0; k + 1 < n; ++k) {
        const int i = evening ? k : n - 2 - k;
        const bool above = scan.altitude[i] > horizon;
        const bool aboveNext = scan.altitude[i + 1] > horizon;
        if (above != aboveNext && above == evening)
            return refineCrossing(scan.jd[i], scan.jd[i + 1], place, horizon);
    }
    return std::nullopt;
}

QString degrees(double value, char positive, char negative)
{
    return QStringLiteral("%1° %2")
        .arg(QString::number(std::abs(value), 'f', 2).replace(QLatin1Char('.'), QLatin1Char(',')))
        .arg(QLatin1Char(value < 0 ? negative : positive));
}

std::optional<double> degreesValue(QString text, double limit)
{
    bool ok = false;
    const double v = text.trimmed().replace(QLatin1Char(','), QLatin1Char('.')).toDouble(&ok);
    if (!ok || !std::isfinite(v) || std::abs(v) > limit)
        return std::nullopt;
    return v;
}

} // namespace

bool looksLikeSkyTime(const QString &field) { return field.trimmed().startsWith(QLatin1Char('@')); }

std::optional<SkyTime> parseSkyTime(const QString &field)
{
    if (!looksLikeSkyTime(field))
        return std::nullopt;
    // Written with or without the accent, in any case.
    const QString body = field.trimmed().mid(1).toLower().replace(QChar(0xE9), QLatin1Char('e'));
    static const QRegularExpression re(QStringLiteral(
        "^(crepuscule-nautique|aube-nautique|crepuscule|aube|coucher|lever)\\s*(?:([+-])\\s*(\\d{1,2}):(\\d{2}))?$"));
    const auto m = re.match(body);
    if (!m.hasMatch())
        return std::nullopt;
    SkyTime t;
    for (const EventInfo &e : kEvents)
        if (m.captured(1) == QLatin1String(e.symbol))
            t.event = e.event;
    if (m.hasCaptured(2)) {
        const int minutes = m.captured(4).toInt();
        const int seconds = m.captured(3).toInt() * 3600 + minutes * 60;
        if (minutes > 59 || seconds > kMaxOffsetSeconds)
            return std::nullopt;
        t.offsetSeconds = m.captured(2) == QLatin1String("-") ? -seconds : seconds;
    }
    return t;
}

QString skyEventSymbol(SkyEvent event) { return QLatin1Char('@') + QLatin1String(info(event).symbol); }

QString instantText(const QDateTime &instant, const QDate &day)
{
    QString text = instant.toString(QStringLiteral("HH:mm:ss"));
    if (instant.date() != day)
        text += QStringLiteral(" le ") + instant.toString(QStringLiteral("dd/MM/yyyy"));
    return text;
}

QString resolvedText(const QString &field, const QDateTime &instant, const QDate &day)
{
    return QStringLiteral("%1 → %2").arg(field.trimmed(), instantText(instant, day));
}

QString skyTimeFormProblem(const QString &field)
{
    return QStringLiteral("l'horaire « %1 » ne convient pas ; après « @ » il faut crepuscule, aube, "
                          "crepuscule-nautique, aube-nautique, coucher ou lever, suivi si besoin d'un décalage "
                          "d'au plus 12 heures comme +00:20 ou -01:00.")
        .arg(field.trimmed());
}

QDate nightOf(const QDateTime &moment, const std::optional<Place> &place, const QTimeZone &zone)
{
    const QDate day = moment.toTimeZone(zone).date();
    if (!place)
        return moment < QDateTime(day, QTime(12, 0), zone) ? day.addDays(-1) : day;
    // Last night is over at its last morning moment: the sunrise, or where
    // the Sun does not rise the last twilight it gives, or failing any, at
    // the Sun's highest.
    const QDate last = day.addDays(-1);
    const NightScan &scan = cachedScan(last, *place, zone);
    std::optional<QDateTime> end;
    for (const SkyEvent morning : {SkyEvent::Sunrise, SkyEvent::NauticalDawn, SkyEvent::Dawn}) {
        end = skyEventTime(morning, last, *place, zone);
        if (end)
            break;
    }
    return moment < end.value_or(instantOf(scan.to, zone)) ? last : day;
}

std::optional<QDateTime> skyEventTime(SkyEvent event, const QDate &night, const Place &place, const QTimeZone &zone)
{
    const EventInfo &e = info(event);
    const auto jd = crossing(cachedScan(night, place, zone), place, e.horizon, e.evening);
    if (!jd)
        return std::nullopt;
    return instantOf(*jd, zone);
}

// Why the Sun gives no such moment that night: it stays above the event's
// height all night long, or else never comes up to it.
QString noSkyEventReason(SkyEvent event, const QDate &night, const Place &place, const QTimeZone &zone)
{
    const NightScan &scan = cachedScan(night, place, zone);
    const bool staysAbove = *std::min_element(scan.altitude.begin(), scan.altitude.end()) > info(event).horizon;
    switch (event) {
    case SkyEvent::Sunset:
    case SkyEvent::Sunrise:
        return staysAbove ? QStringLiteral("le Soleil ne se couche pas") : QStringLiteral("le Soleil ne se lève pas");
    case SkyEvent::NauticalDusk:
    case SkyEvent::NauticalDawn:
        return staysAbove ? QStringLiteral("le Soleil ne descend pas à 12° sous l'horizon (pas de nuit nautique)")
                          : QStringLiteral("le Soleil reste à plus de 12° sous l'horizon");
    case SkyEvent::Dusk:
    case SkyEvent::Dawn:
        break;
    }
    return staysAbove ? QStringLiteral("le Soleil ne descend pas à 18° sous l'horizon (pas de nuit astronomique)")
                      : QStringLiteral("le Soleil reste à plus de 18° sous l'horizon");
}

std::optional<Place> parsePlace(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 2)
        return std::nullopt;
    const auto latitude = degreesValue(parts.at(0), 90);
    const auto longitude = degreesValue(parts.at(1), 180);
    if (!latitude || !longitude)
        return std::nullopt;
    return Place{*latitude, *longitude};
}

QString placeText(const Place &place)
{
    return degrees(place.latitude, 'N', 'S') + QStringLiteral(", ") + degrees(place.longitude, 'E', 'O');
}

SkyContext SkyContext::at(const QDateTime &now, const std::optional<Place> &place)
{
    SkyContext c;
    c.place = place;
    // Else the place in the settings file: section [Lieu], keys Latitude and
    // Longitude. Absent by default and never written: a file without the
    // section has no place.
    const QString file = QString::fromLatin1(kSettingsFile);
    const QString latitude = place ? QString() : ReadSetting(QStringLiteral("Lieu"), QStringLiteral("Latitude"), file);
    const QString longitude = place ? QString() : ReadSetting(QStringLiteral("Lieu"), QStringLiteral("Longitude"), file);
    if (!latitude.trimmed().isEmpty() || !longitude.trimmed().isEmpty()) {
        const auto lat = degreesValue(latitude, 90);
        const auto lon = degreesValue(longitude, 180);
        if (lat && lon)
            c.place = Place{*lat, *lon};
        else
            c.placeProblem = QStringLiteral("la section [Lieu] du fichier %1 ne convient pas (Latitude « %2 », "
                                            "Longitude « %3 ») ; il faut des degrés décimaux, nord et est positifs, "
                                            "par exemple Latitude=48.85 et Longitude=2.35")
                                 .arg(settingsFilePath(), latitude, longitude);
    }
    c.night = nightOf(now, c.place, c.zone);
    return c;
}

SkyResolution resolveSkyTime(const QString &field, const SkyContext &sky)
{
    SkyResolution r;
    const auto t = parseSkyTime(field);
    if (!t) {
        r.problem = skyTimeFormProblem(field);
        return r;
    }
    const QString shown = field.trimmed();
    if (!sky.place) {
        r.problem = sky.placeProblem.isEmpty()
                        ? QStringLiteral("l'horaire « %1 » dépend du lieu d'observation, qui n'est pas réglé : "
                                         "ajoutez au fichier %2 une section [Lieu] avec Latitude et Longitude en "
                                         "degrés décimaux (nord et est positifs), ou donnez --lieu LAT,LON à "
                                         "tavrel-run.")
                              .arg(shown, settingsFilePath())
                        : QStringLiteral("l'horaire « %1 » dépend du lieu d'observation, mais %2.")
                              .arg(shown, sky.placeProblem);
        return r;
    }
    const auto instant = skyEventTime(t->event, sky.night, *sky.place, sky.zone);
    if (!instant) {
        r.noMoment = true;
        r.problem = QStringLiteral("l'horaire « %1 » n'existe pas la nuit du %2 à %3 : %4.")
                        .arg(shown, sky.night.toString(QStringLiteral("dd/MM/yyyy")), placeText(*sky.place),
                             noSkyEventReason(t->event, sky.night, *sky.place, sky.zone));
        return r;
    }
    r.instant = instant->addSecs(t->offsetSeconds);
    return r;
}

} // namespace tavrel
