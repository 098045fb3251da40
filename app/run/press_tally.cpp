#include "app/run/press_tally.h"

#include "app/run/progress_log.h"
#include "link/d2xx.h"
#include "link/shared_values.h"
#include "link/journal.h"

namespace tavrel::run {

QString PressTally::started(const QString &label, int seconds)
{
    const SharedValues &v = shared();
    m_reached = v.LastStatus == FT_OK && v.BytesWritten == 1;
    if (m_reached)
        return QStringLiteral("%1 : déclenchement, pose de %2").arg(label, secondsText(seconds));
    ++m_failed;
    return QStringLiteral("%1 : échec du déclenchement, l'adaptateur n'a pas reçu l'appui (statut %2) : la pose de "
                          "%3 n'est pas prise")
        .arg(label)
        .arg(v.LastStatus)
        .arg(secondsText(seconds));
}

QString PressTally::ended(const QString &label, bool completed)
{
    if (!m_reached)
        return QStringLiteral("%1 : relâché, pose non prise (déclenchement non reçu par l'adaptateur)").arg(label);
    // The journal's word for it: a pose held well past its time (the
    // program stopped, the machine asleep) or cut by a suspension is not
    // said to have ended as planned.
    const auto ending = ExposureJournal::instance().lastEnding();
    // Rounded as the journal rounds it.
    const QString held = ending ? durationText((ending->measuredUs + 500) / 1000, true) : QString();
    if (ending && ending->outcome == JournalOutcome::Suspended)
        return QStringLiteral("%1 : relâché, pose coupée après %2 : le programme a été suspendu").arg(label, held);
    if (completed)
        ++m_taken;
    if (completed && ending && ending->outcome == JournalOutcome::Prolonged)
        return QStringLiteral("%1 : relâché, pose prolongée : tenue %2 (programme arrêté ou machine en veille)")
            .arg(label, held);
    return QStringLiteral("%1 : relâché, %2")
        .arg(label, completed ? QStringLiteral("pose terminée") : QStringLiteral("pose interrompue"));
}

QString PressTally::failures() const
{
    if (m_failed == 0)
        return QString();
    const QString s = m_failed > 1 ? QStringLiteral("s") : QString();
    return QStringLiteral(" ; %1 déclenchement%2 non reçu%2 par l'adaptateur").arg(m_failed).arg(s);
}

} // namespace tavrel::run
