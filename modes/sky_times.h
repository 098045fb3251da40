#pragma once
// Steps tied to the sky. The first field of a scenario step may name a moment
// of the night instead of a clock time: "@crepuscule" (end of astronomical
// twilight, the Sun 18° below the horizon), "@aube" (its start in the
// morning), "@crepuscule-nautique" / "@aube-nautique" (12°), "@coucher" /
// "@lever" (upper limb on the horizon, refraction included), each optionally
// followed by an offset "+HH:MM" or "-HH:MM". Such a step stands for an
// instant, date and time, in the night the run belongs to; the offset moves
// that instant, across midnight or into the next day if need be.
//
// A night runs from the Sun's highest on the day it begins to its highest on
// the next day: evening moments are where its height crosses the event's on
// the way down, morning ones on the way up. A night is over at its sunrise
// (or its last morning twilight where the Sun does not rise), so a scenario
// started after midnight still finds the right dawn, and one started in the
// morning tonight's dusk. The Sun's place comes from libnova; nothing here
// knows about windows or files.

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTime>
#include <QTimeZone>
#include <optional>

namespace tavrel {

// The observer's place, decimal degrees, north and east positive.
struct Place {
    double latitude = 0;
    double longitude = 0;
};

enum class SkyEvent { Sunset, NauticalDusk, Dusk, Dawn, NauticalDawn, Sunrise };

struct SkyTime {
    SkyEvent event = SkyEvent::Dusk;
    int offsetSeconds = 0;
};

// The field is meant as a sky moment: it starts with '@'.
bool looksLikeSkyTime(const QString &field);
// "@crepuscule", "@Crépuscule+00:20", "@aube - 01:00"; nullopt for anything else.
std::optional<SkyTime> parseSkyTime(const QString &field);
// The name as written in files, "@crepuscule".
QString skyEventSymbol(SkyEvent event);
// "18:47:12", or "06:35:29 le 08/12/2026" when the instant, in its own
// zone, does not fall on `day`.
QString instantText(const QDateTime &instant, const QDate &day);
// "@crepuscule → 18:47:12": a sky field with the instant it came to, dated
// as above.
QString resolvedText(const QString &field, const QDateTime &instant, const QDate &day);
// Why a field starting with '@' is not a sky moment, in French.
QString skyTimeFormProblem(const QString &field);

// The date of the evening that began the night `moment` is in, or else of
// the evening to come: before the morning's sunrise at `place` it is the day
// before (before the last morning twilight where the Sun does not rise,
// before the Sun's highest where the night has no moment at all, before noon
// with no place).
QDate nightOf(const QDateTime &moment, const std::optional<Place> &place = std::nullopt,
              const QTimeZone &zone = QTimeZone::systemTimeZone());

// The instant of `event` in the night that begins on the evening of `night`
// (a date of `zone`), at `place`; nullopt when the Sun does not cross that
// height that night.
std::optional<QDateTime> skyEventTime(SkyEvent event, const QDate &night, const Place &place,
                                      const QTimeZone &zone = QTimeZone::systemTimeZone());
// Why there is no such moment: "le Soleil ne se couche pas"...
QString noSkyEventReason(SkyEvent event, const QDate &night, const Place &place,
                         const QTimeZone &zone = QTimeZone::systemTimeZone());

// "48.85,2.35" (blanks allowed around the comma).
std::optional<Place> parsePlace(const QString &text);
// "48,85° N, 2,35° E"
QString placeText(const Place &place);

// What the sky steps of one run are resolved against: one night, one place.
struct SkyContext {
    QDate night;
    std::optional<Place> place;
    // Why the settings' place could not be used (French, names the file).
    QString placeProblem;
    QTimeZone zone = QTimeZone::systemTimeZone();

    // The night `now` belongs to, at `place`, or else at the settings' place.
    // The sky steps of a run are those of the night it starts in.
    static SkyContext at(const QDateTime &now, const std::optional<Place> &place);
};

struct SkyResolution {
    QDateTime instant; // offset included; invalid when there is none
    QString problem;   // French, when there is no instant
    // The field is sound but the Sun gives no such moment that night: the
    // run skips the step rather than refusing the file.
    bool noMoment = false;
};

// Resolves a sky field. A field that is no sky moment gives its form problem.
SkyResolution resolveSkyTime(const QString &field, const SkyContext &sky);

} // namespace tavrel
