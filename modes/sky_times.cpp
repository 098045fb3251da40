#include "modes/sky_times.h"

#include "link/settings.h"

#include <QDir>
#include <QRegularExpression>

#include <libnova/julian_day.h>
#include <libnova/precession.h>
#include <libnova/rise_set.h>
#include <libnova/solar.h>
#include <libnova/transform.h>

#include <algorithm>
#include <cmath>

namespace tavrel {

namespace {

constexpr double kUnixEpochJd = 2440587.5;
constexpr double kMsPerDay = 86400000.0;
constexpr int kMaxOffsetSeconds = 12 * 3600;

struct EventInfo {
    SkyEvent event;
    const char *symbol; // as written after '@', without accents
    const char *name;
    double horizon; // height of the Sun's centre, degrees
    bool evening;   // the Sun going down
};

const EventInfo kEvents[] = {
    {SkyEvent::Sunset, "coucher", "coucher du Soleil", LN_SOLAR_STANDART_HORIZON, true},
    {SkyEvent::NauticalDusk, "crepuscule-nautique", "fin du crépuscule nautique", LN_SOLAR_NAUTIC_HORIZON, true},
    {SkyEvent::Dusk, "crepuscule", "fin du crépuscule astronomique", LN_SOLAR_ASTRONOMICAL_HORIZON, true},
    {SkyEvent::Dawn, "aube", "début de l'aube astronomique", LN_SOLAR_ASTRONOMICAL_HORIZON, false},
    {SkyEvent::NauticalDawn, "aube-nautique", "début de l'aube nautique", LN_SOLAR_NAUTIC_HORIZON, false},
    {SkyEvent::Sunrise, "lever", "lever du Soleil", LN_SOLAR_STANDART_HORIZON, false},
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

// libnova's rise and set times come from one correction step, which leaves
// twilight up to a few minutes off; a few Newton steps on the Sun's height
// bring them to the second. Nothing when the crossing does not go the way
// asked (the Sun only grazing the height, say).
std::optional<double> refinedCrossing(double jd, const Place &place, double horizon, bool goingDown)
{
    constexpr double kHalfStep = 30.0 / 86400.0;
    constexpr double kMaxMove = 0.05;
    double slope = 0;
    for (int i = 0; i < 12; ++i) {
        const double height = sunAltitude(jd, place) - horizon;
        slope = (sunAltitude(jd + kHalfStep, place) - sunAltitude(jd - kHalfStep, place)) / (2 * kHalfStep);
        if (slope == 0)
            return std::nullopt;
        const double move = std::clamp(-height / slope, -kMaxMove, kMaxMove);
        jd += move;
        if (std::abs(move) < 0.5 / 86400.0)
            break;
    }
    if (std::abs(sunAltitude(jd, place) - horizon) > 0.01 || (slope < 0) != goingDown)
        return std::nullopt;
    return jd;
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

QString settingsPath() { return QDir::toNativeSeparators(resolveSettingsPath(QString::fromLatin1(kSettingsFile))); }

// Why the Sun gives no such moment that night, from its height at local
// midnight: it stays either above the event's height or below it.
QString missingReason(const EventInfo &e, const QDate &night, const Place &place, const QTimeZone &zone)
{
    const bool staysAbove =
        sunAltitude(julianDayOf(QDateTime(night.addDays(1), QTime(0, 0), zone)), place) > e.horizon;
    switch (e.event) {
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

QString skyEventName(SkyEvent event) { return QString::fromUtf8(info(event).name); }

QString resolvedText(const QString &field, const QTime &time)
{
    return QStringLiteral("%1 → %2").arg(field.trimmed(), time.toString(QStringLiteral("HH:mm:ss")));
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
    QDateTime morning(day, QTime(12, 0), zone);
    if (place)
        morning = skyEventTime(SkyEvent::Sunrise, day.addDays(-1), *place, zone).value_or(morning);
    return moment < morning ? day.addDays(-1) : day;
}

std::optional<QDateTime> skyEventTime(SkyEvent event, const QDate &night, const Place &place, const QTimeZone &zone)
{
    const EventInfo &e = info(event);
    const double from = julianDayOf(QDateTime(night, QTime(12, 0), zone));
    const double to = julianDayOf(QDateTime(night.addDays(1), QTime(12, 0), zone));
    ln_lnlat_posn observer{place.longitude, place.latitude};
    std::optional<double> found;
    // libnova answers for one day of Universal Time; the night, in whatever
    // zone, lies within the days around it.
    for (int d = -2; d <= 2; ++d) {
        const QDate day = night.addDays(d);
        ln_date midnight{day.year(), day.month(), day.day(), 0, 0, 0.0};
        ln_rst_time rst;
        if (ln_get_body_rst_horizon(ln_get_julian_day(&midnight), &observer, sunOfDate, e.horizon, &rst) != 0)
            continue;
        const auto jd = refinedCrossing(e.evening ? rst.set : rst.rise, place, e.horizon, e.evening);
        if (!jd || *jd < from || *jd >= to)
            continue;
        // The evening's first crossing, the morning's last.
        if (!found || (e.evening ? *jd < *found : *jd > *found))
            found = jd;
    }
    if (!found)
        return std::nullopt;
    const qint64 ms = qint64(std::llround((*found - kUnixEpochJd) * kMsPerDay / 1000.0)) * 1000;
    return QDateTime::fromMSecsSinceEpoch(ms, zone);
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

PlaceSetting placeFromSettings()
{
    const QString file = QString::fromLatin1(kSettingsFile);
    const QString latitude = ReadSetting(QStringLiteral("Lieu"), QStringLiteral("Latitude"), file);
    const QString longitude = ReadSetting(QStringLiteral("Lieu"), QStringLiteral("Longitude"), file);
    PlaceSetting s;
    if (latitude.trimmed().isEmpty() && longitude.trimmed().isEmpty())
        return s;
    const auto lat = degreesValue(latitude, 90);
    const auto lon = degreesValue(longitude, 180);
    if (lat && lon) {
        s.place = Place{*lat, *lon};
        return s;
    }
    s.problem = QStringLiteral("la section [Lieu] du fichier %1 ne convient pas (Latitude « %2 », Longitude « %3 ») ; "
                               "il faut des degrés décimaux, nord et est positifs, par exemple Latitude=48.85 et "
                               "Longitude=2.35")
                    .arg(settingsPath(), latitude, longitude);
    return s;
}

SkyContext SkyContext::at(const QDateTime &now, const std::optional<Place> &place)
{
    SkyContext c;
    if (place) {
        c.place = place;
    } else {
        const PlaceSetting s = placeFromSettings();
        c.place = s.place;
        c.placeProblem = s.problem;
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
                              .arg(shown, settingsPath())
                        : QStringLiteral("l'horaire « %1 » dépend du lieu d'observation, mais %2.")
                              .arg(shown, sky.placeProblem);
        return r;
    }
    const auto instant = skyEventTime(t->event, sky.night, *sky.place, sky.zone);
    if (!instant) {
        r.problem = QStringLiteral("l'horaire « %1 » n'existe pas la nuit du %2 à %3 : %4.")
                        .arg(shown, sky.night.toString(QStringLiteral("dd/MM/yyyy")), placeText(*sky.place),
                             missingReason(info(t->event), sky.night, *sky.place, sky.zone));
        return r;
    }
    r.instant = instant->addSecs(t->offsetSeconds);
    r.time = r.instant.time();
    return r;
}

} // namespace tavrel
