#pragma once
// Steps tied to the sky. The first field of a scenario step may name a moment
// of the night instead of a clock time: "@crepuscule" (end of astronomical
// twilight, the Sun 18° below the horizon), "@aube" (its start in the
// morning), "@crepuscule-nautique" / "@aube-nautique" (12°), "@coucher" /
// "@lever" (upper limb on the horizon, refraction included), each optionally
// followed by an offset "+HH:MM" or "-HH:MM". Such a step is resolved into a
// time of day once, and from then on is a timed step like any other.
//
// A night's moments are looked for from noon to noon, local time: evening
// events fall on the date the night begins, morning events on the next
// morning. A night lasts until sunrise, so a scenario started after midnight
// still finds the right dawn, and one started in the morning tonight's dusk.
// The times come from libnova; nothing here knows about windows or files.

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
// "crépuscule astronomique", for messages.
QString skyEventName(SkyEvent event);
// "@crepuscule → 18:47:12": a sky field with the time it came to.
QString resolvedText(const QString &field, const QTime &time);
// Why a field starting with '@' is not a sky moment, in French.
QString skyTimeFormProblem(const QString &field);

// The date of the evening that began the night `moment` is in, or else of
// the evening to come: before the morning's sunrise at `place` it is the day
// before (before noon where the Sun does not rise, or with no place).
QDate nightOf(const QDateTime &moment, const std::optional<Place> &place = std::nullopt,
              const QTimeZone &zone = QTimeZone::systemTimeZone());

// The instant of `event` in the night that begins on the evening of `night`,
// at `place`, the night running from noon to noon in `zone`; nullopt when the
// Sun does not reach that height that night.
std::optional<QDateTime> skyEventTime(SkyEvent event, const QDate &night, const Place &place,
                                      const QTimeZone &zone = QTimeZone::systemTimeZone());

// "48.85,2.35" (blanks allowed around the comma).
std::optional<Place> parsePlace(const QString &text);
// "48,85° N, 2,35° E"
QString placeText(const Place &place);

// The place in the settings file: section [Lieu], keys Latitude and
// Longitude. Absent by default and never written: a file without the
// section has no place. A section that cannot be read gives a problem.
struct PlaceSetting {
    std::optional<Place> place;
    QString problem; // French, names the file; empty when fine or absent
};
PlaceSetting placeFromSettings();

// What the sky steps of one run are resolved against: one night, one place.
struct SkyContext {
    QDate night;
    std::optional<Place> place;
    QString placeProblem; // why the settings' place could not be used
    QTimeZone zone = QTimeZone::systemTimeZone();

    // The night `now` belongs to, at `place`, or else at the settings' place.
    // The sky steps of a run are those of the night it starts in.
    static SkyContext at(const QDateTime &now, const std::optional<Place> &place);
};

struct SkyResolution {
    std::optional<QTime> time; // the time of day, offset included
    QDateTime instant;         // the same on the night's timeline
    QString problem;           // French, when there is no time
};

// Resolves a sky field. A field that is no sky moment gives its form problem.
SkyResolution resolveSkyTime(const QString &field, const SkyContext &sky);

} // namespace tavrel
