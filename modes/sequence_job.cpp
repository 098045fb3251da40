#include "modes/sequence_job.h"

#include "link/connection.h"
#include "link/fill_style.h"
#include "link/messages.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/timebase.h"
#include "modes/journal.h"
#include "modes/numbers.h"

namespace tavrel {

namespace {

std::optional<QString> checkField(const QString &label, const QString &text, std::int32_t min,
                                  std::int32_t max, const QString &expected)
{
    const auto v = parseWholeNumber(text);
    if (!v || *v < min || *v > max)
        return QStringLiteral("%1 : « %2 » ne convient pas. %3")
            .arg(label, text.trimmed(), expected);
    return std::nullopt;
}
} // namespace

SequenceJob::SequenceJob(WindowTimer *enchainement, SequenceView *view, QObject *parent)
    : QObject(parent), m_timer(enchainement), m_view(view)
{
    ExposureJournal::instance();
}

std::optional<QString> SequenceJob::checkFigures(const QString &count, const QString &exposure,
                                                 const QString &mirror, const QString &interval)
{
    const QString max = QString::number(kMaxSeconds);
    if (auto e = checkField(QStringLiteral("Nombre de poses"), count, 1, INT32_MAX,
                            QStringLiteral("Entrez un nombre entier de poses, au moins 1.")))
        return e;
    if (auto e = checkField(QStringLiteral("Temps de pose (s)"), exposure, 1, kMaxSeconds,
                            QStringLiteral("Entrez un nombre entier de secondes, de 1 à %1.").arg(max)))
        return e;
    const auto m = parseWholeNumber(mirror);
    if (!m || *m < 0 || *m > kMaxSeconds)
        return QStringLiteral("Délai relevage miroir (s) : « %1 » ne convient pas. Entrez 0 (pas de "
                              "relevage) ou un nombre entier de secondes, de 1 à %2.")
            .arg(mirror.trimmed(), max);
    if (auto e = checkField(QStringLiteral("Délai entre poses (s)"), interval, 0, kMaxSeconds,
                            QStringLiteral("Entrez un nombre entier de secondes, de 0 à %1.").arg(max)))
        return e;
    return std::nullopt;
}

std::int32_t SequenceJob::readOr(const QString &text, std::int32_t last, std::int32_t min) const
{
    // A box edited into nonsense during a job keeps the last good value: the
    // job goes on, and no modal box may hold up a running exposure.
    const auto v = parseWholeNumber(text);
    if (!v || *v < min || *v > kMaxSeconds)
        return last;
    return *v;
}

bool SequenceJob::start()
{
    const QString count = m_view->countText();
    const QString exposure = m_view->exposureText();
    const QString mirror = m_view->mirrorText();
    const QString interval = m_view->intervalText();
    if (const auto problem = checkFigures(count, exposure, mirror, interval)) {
        showMessage(MessageKind::Error, *problem);
        return false;
    }
    if (const QString refusal = runRefusal(); !refusal.isEmpty()) {
        showMessage(MessageKind::Error, refusal);
        return false;
    }
    SharedValues &v = shared();
    v.ShotCount = *parseWholeNumber(count);
    v.MirrorDelaySeconds = *parseWholeNumber(mirror);
    v.ExposureSeconds = *parseWholeNumber(exposure);
    v.ShotIntervalSeconds = *parseWholeNumber(interval);
    m_lastCount = v.ShotCount;
    m_lastExposure = v.ExposureSeconds;
    m_lastInterval = v.ShotIntervalSeconds;
    m_total = v.ShotCount;
    m_exposureNumber = 0;

    m_timer->setEnabled(false);
    m_view->setStartEnabled(false);
    v.StopRequested = 0;
    m_running = true;
    m_timer->setTag(QStringLiteral("10"));
    m_timer->setInterval(100);
    m_timer->setEnabled(true);
    askNextPress();
    return true;
}

void SequenceJob::askNextPress()
{
    // Tag "10" has just been armed. Its own tick presses for the mirror; with
    // no mirror the press is "20"'s, 10 ms on, and asked for now all the
    // same, so that a busy spell over "10" cannot delay it.
    m_timer->writeLineAt(m_timer->dueUs() + (shared().MirrorDelaySeconds != 0 ? 0 : 10000), 1);
}

bool SequenceJob::stopsBeforeThePress()
{
    // Withdrawn, the press is not made; already made by the timing thread
    // while this thread was busy, the shot has begun and goes ahead.
    return shared().StopRequested != 0 && m_timer->cancelLineWrite();
}

void SequenceJob::finish()
{
    shared().StopRequested = -1;
    // The press that would start the next shot is not made ahead any more;
    // if the timing thread made it already, that shot goes ahead.
    if (!m_shotUnderWay)
        m_timer->cancelLineWrite();
}

void SequenceJob::stopShot()
{
    SharedValues &v = shared();
    const bool exposing = v.ShutterHeld != 0;
    v.StopRequested = -1;
    ExposureJournal::instance().setEndReason(JournalOutcome::StoppedByUser);
    ReleaseShutter();
    m_shotUnderWay = false;
    m_view->setProgressVisible(false);
    v.ShutterHeld = 0;
    m_view->setMirrorStyle(kVerticalLines);
    m_timer->setEnabled(false);
    m_view->setStartEnabled(true);
    if (exposing)
        emit exposureEnded(m_exposureNumber, false);
    if (m_running) {
        m_running = false;
        emit jobEnded(true);
    }
}

void SequenceJob::endJob()
{
    SharedValues &v = shared();
    m_timer->cancelLineWrite();
    const bool stopped = v.StopRequested != 0 && v.ShotCount > 0;
    m_view->setStartEnabled(true);
    v.ShotCount = 0;
    v.StopRequested = 0;
    m_view->setMirrorStyle(kVerticalLines);
    m_running = false;
    m_shotUnderWay = false;
    emit jobEnded(stopped);
}

void SequenceJob::tick()
{
    SharedValues &v = shared();
    m_timer->setEnabled(false);
    const QString tag = m_timer->Tag();
    // Every wait counts from the deadline of this tick, or from the write
    // that starts a shot or ends an exposure: what a handler or a late wake
    // costs never adds up.
    std::int64_t anchorUs = m_timer->tickDueUs();

    if (tag == QLatin1String("10")) {
        // "Finish Capture Job" clicked during the delay: nothing more is
        // pressed, however near the next exposure was.
        if (stopsBeforeThePress()) {
            endJob();
            return;
        }
        v.ExposureSeconds = m_lastExposure = readOr(m_view->exposureText(), m_lastExposure, 1);
        v.ShotIntervalSeconds = m_lastInterval = readOr(m_view->intervalText(), m_lastInterval, 0);
        ++m_exposureNumber;
        if (v.MirrorDelaySeconds != 0) {
            m_shotUnderWay = true;
            PressShutter();
            anchorUs = lastLineWriteUs(); // the mirror's press
            m_timer->setIntervalFrom(anchorUs, 500);
            m_timer->setTag(QStringLiteral("11"));
            m_timer->writeLineAtDue(0);
            m_view->setMirrorStyle(kHorizontalLines);
            emit mirrorRaised(m_exposureNumber);
        } else {
            m_timer->setIntervalFrom(anchorUs, 10); // its press is asked for already
            m_timer->setTag(QStringLiteral("20"));
        }
    } else if (tag == QLatin1String("11")) {
        ReleaseShutter();
        m_timer->setIntervalFrom(anchorUs, v.MirrorDelaySeconds * 1000 - 500);
        m_timer->setTag(QStringLiteral("20"));
        m_timer->writeLineAtDue(1);
    } else if (tag == QLatin1String("20")) {
        const bool firstSlice = v.ShutterHeld == 0;
        // Once the mirror is up the exposure follows, or the camera would be
        // left with its mirror locked up; without a mirror, the stop is
        // looked at once more, right before the press.
        if (!m_shotUnderWay && stopsBeforeThePress()) {
            endJob();
            return;
        }
        m_shotUnderWay = true;
        const std::int32_t seconds = v.ExposureSeconds;
        const bool lastSlice = v.ExposureSeconds <= 60;
        const int sliceMs = lastSlice ? v.ExposureSeconds * 1000 : 60000;
        v.ExposureSeconds = lastSlice ? 0 : v.ExposureSeconds - 60;
        v.ExposureClockMs = v.ExposureSeconds * 1000 + sliceMs;
        v.ShutterHeld = -1;
        PressShutter();
        if (firstSlice)
            anchorUs = lastLineWriteUs(); // the exposure's first press
        m_timer->setIntervalFrom(anchorUs, sliceMs);
        if (lastSlice) {
            m_timer->setTag(QStringLiteral("21"));
            // The release, two ticks on ("21" then "30", 10 ms later), is
            // asked for now: a busy spell over "21" cannot delay it.
            m_timer->writeLineAt(m_timer->dueUs() + 10000, 0);
        } else {
            m_timer->writeLineAtDue(1);
        }
        m_view->setMirrorStyle(kHorizontalLines);
        m_lastCount = readOr(m_view->countText(), m_lastCount, 1);
        m_view->setProgress(double(v.ShotCount) / double(m_lastCount));
        m_view->setProgressVisible(true);
        if (firstSlice) {
            ExposureJournal::instance().exposureStarted(
                JournalExposure{QStringLiteral("séquence"), seconds, m_exposureNumber, QString()});
            emit exposureStarted(m_exposureNumber, m_total, seconds);
        }
    } else if (tag == QLatin1String("21")) {
        m_timer->setTag(QStringLiteral("30"));
        m_timer->setIntervalFrom(anchorUs, 10);
    } else if (tag == QLatin1String("30")) {
        m_timer->setTag(QStringLiteral("31"));
        ReleaseShutter();
        anchorUs = lastLineWriteUs(); // the release
        m_timer->setIntervalFrom(anchorUs, 100);
        m_shotUnderWay = false;
        m_view->setProgressVisible(false);
        v.ShutterHeld = 0;
        m_view->setMirrorStyle(kVerticalLines);
        v.ShotCount -= 1;
        emit exposureEnded(m_exposureNumber, true);
        if (v.ShotCount > 0 && v.StopRequested == 0)
            emit delayStarted(v.ShotIntervalSeconds);
    } else if (tag == QLatin1String("31")) {
        if (v.ShotCount <= 0 || v.StopRequested != 0) {
            endJob();
            return;
        }
        if (v.ShotIntervalSeconds > 10) {
            m_timer->setIntervalFrom(anchorUs, 10000);
            v.ShotIntervalSeconds -= 10;
        } else {
            m_timer->setTag(QStringLiteral("10"));
            m_timer->setIntervalFrom(anchorUs, v.ShotIntervalSeconds * 1000 + 100);
            askNextPress();
        }
    } else {
        return; // an unknown state leaves the timer off
    }
    m_timer->setEnabled(true);
    yieldEvents();
}

} // namespace tavrel
