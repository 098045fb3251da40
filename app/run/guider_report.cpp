#include "app/run/guider_report.h"

#include "app/run/progress_log.h"
#include "modes/dither_gate.h"

#include <QLocale>

namespace tavrel::run {

namespace {
QString pixels(double px) { return QLocale(QLocale::French).toString(px, 'g', 4) + QStringLiteral(" px"); }
} // namespace

GuiderReport::GuiderReport(DitherGate *gate, ProgressLog *log, bool plan, QObject *parent)
    : QObject(parent), m_gate(gate), m_log(log), m_plan(plan)
{
    connect(gate, &DitherGate::stateChanged, this, [this] {
        // A line per change of state; the settle's distance changes at every
        // guide frame and is left to the status displays.
        const int state = int(m_gate->client()->state());
        if (m_plan || !m_begun || !m_gate->inUse() || state == m_lastState)
            return;
        m_lastState = state;
        m_log->line(QStringLiteral("Guideur : %1").arg(m_gate->stateText()));
    });
    connect(gate, &DitherGate::ditherStarted, this, [this](int number) {
        const GuiderSettings &s = m_gate->settings();
        m_log->line(m_plan ? QStringLiteral("Décalage %1 du guideur : compté comme %2 de stabilisation")
                                 .arg(number)
                                 .arg(secondsText(s.settleSeconds))
                           : QStringLiteral("Décalage %1 demandé au guideur (%2%3)")
                                 .arg(number)
                                 .arg(pixels(s.pixels), s.raOnly ? QStringLiteral(", AD seule") : QString()));
    });
    connect(gate, &DitherGate::ditherEnded, this, [this](bool settled, const QString &why) {
        if (m_plan)
            return;
        m_log->line(settled ? QStringLiteral("Guideur stabilisé après le décalage %1").arg(m_gate->dithers())
                            : QStringLiteral("Décalage %1 : %2 ; la pose suivante part quand même")
                                  .arg(m_gate->dithers())
                                  .arg(why));
    });
}

void GuiderReport::begin()
{
    if (!m_gate->inUse())
        return;
    // Absent at first: the connection is being made, and a failure is
    // warned about on its own.
    m_begun = true;
    m_lastState = int(m_gate->client()->state());
    const GuiderSettings &s = m_gate->settings();
    if (!s.dithers()) {
        m_log->line(QStringLiteral("Guideur %1:%2 suivi pendant les poses, sans décalage").arg(s.host).arg(s.port));
        return;
    }
    const QString every = s.every == 1 ? QStringLiteral("après chaque pose")
                                       : QStringLiteral("toutes les %1 poses").arg(s.every);
    if (m_plan) {
        m_log->plain(QStringLiteral("Décalages du guideur %1 : chacun compte pour Stabilite=%2 dans la durée "
                                    "(stabilisation réelle jusqu'à DelaiMax=%3)")
                         .arg(every, secondsText(s.settleSeconds), secondsText(s.timeoutSeconds)));
        return;
    }
    m_log->line(QStringLiteral("Guideur %1:%2 : décalage de %3 %4, stabilisé à %5 pendant %6 (au plus %7)")
                    .arg(s.host)
                    .arg(s.port)
                    .arg(pixels(s.pixels), every, pixels(s.tolerance), secondsText(s.settleSeconds),
                         secondsText(s.timeoutSeconds)));
}

} // namespace tavrel::run
