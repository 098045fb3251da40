#include "modes/dither_gate.h"

#include "link/messages.h"
#include "link/timebase.h"
#include "link/journal.h"

namespace tavrel {

DitherGate::DitherGate(QObject *parent) : QObject(parent)
{
    connect(&m_client, &GuiderClient::stateChanged, this, &DitherGate::stateChanged);
    connect(&m_client, &GuiderClient::connected, this, [this] { m_absentSaid = false; });
    connect(&m_client, &GuiderClient::connectionLost, this, [this](const QString &why) {
        if (m_holding)
            settleOver(false, QStringLiteral("connexion au guideur perdue (%1)").arg(why));
        // Once per absence: a guider that is not there is retried quietly.
        if (!m_absentSaid) {
            m_absentSaid = true;
            showMessage(MessageKind::Warning,
                        QStringLiteral("Guideur injoignable sur %1:%2 (%3). Les poses continuent sans décalage ni "
                                       "suivi du guidage ; la connexion est retentée toutes les %4 s. Vérifiez que "
                                       "le serveur du guideur est activé.")
                            .arg(m_settings.host)
                            .arg(m_settings.port)
                            .arg(why)
                            .arg(GuiderClient::kReconnectMs / 1000));
        }
    });
    connect(&m_client, &GuiderClient::ditherRefused, this, [this](const QString &why) {
        if (m_holding)
            settleOver(false, why, false);
    });
    connect(&m_client, &GuiderClient::settleDone, this, [this](bool settled, const QString &error) {
        if (m_holding)
            settleOver(settled, settled ? QString()
                                        : QStringLiteral("la stabilisation a échoué (%1)")
                                              .arg(error.isEmpty() ? QStringLiteral("sans raison donnée") : error));
    });
    connect(&m_client, &GuiderClient::guidingTrouble, this,
            [](const QString &mark) { ExposureJournal::instance().guidingTrouble(mark); });
}

DitherGate::~DitherGate() { end(); }

void DitherGate::begin(const GuiderSettings &settings, bool rehearsal)
{
    end();
    m_settings = settings;
    m_rehearsal = rehearsal;
    m_inUse = settings.used();
    m_released = 0;
    m_dithers = 0;
    m_lastSettleFailed = false;
    m_absentSaid = false;
    if (!m_inUse)
        return;
    if (!m_deadline)
        m_deadline = timeBase().createOneShot([this] {
            settleOver(m_rehearsal, m_rehearsal ? QString()
                                                : QStringLiteral("le guideur ne s'est pas stabilisé en %1 s (DelaiMax)")
                                                      .arg(m_settings.timeoutSeconds));
        });
    if (!rehearsal) {
        ExposureJournal::instance().setGuidingAtStart([this] { return startMark(); });
        m_client.open(settings.host, settings.port);
    }
    emit stateChanged();
}

void DitherGate::end()
{
    if (m_deadline)
        m_deadline->stop();
    m_holding = false;
    if (!m_inUse)
        return;
    m_inUse = false;
    if (!m_rehearsal)
        ExposureJournal::instance().setGuidingAtStart(nullptr);
    m_client.close();
    emit stateChanged();
}

QString DitherGate::stateText() const
{
    if (!m_inUse)
        return QString();
    if (m_rehearsal)
        return m_holding ? QStringLiteral("stabilisation") : QStringLiteral("guidage en cours");
    return m_client.stateText();
}

QString DitherGate::startMark() const
{
    // A frame that starts after a failed settle may carry the dither's move.
    if (m_lastSettleFailed)
        return QStringLiteral("perdu");
    switch (m_client.state()) {
    case GuiderState::Absent:
        return QStringLiteral("sans");
    case GuiderState::NotGuiding:
        return QStringLiteral("arrêté");
    case GuiderState::Guiding:
        return QStringLiteral("ok");
    case GuiderState::Lost:
    case GuiderState::Settling: // a timed step presses at its time, settled or not
        return QStringLiteral("perdu");
    }
    return QString();
}

void DitherGate::afterRelease()
{
    if (!m_inUse || !m_settings.dithers() || ++m_released % m_settings.every != 0)
        return;
    m_lastSettleFailed = false;
    if (!m_rehearsal && !m_client.dither(m_settings))
        return; // said when the connection failed; the next exposure goes ahead
    m_holding = true;
    ++m_dithers;
    m_deadline->start(std::int64_t(m_rehearsal ? m_settings.settleSeconds : m_settings.timeoutSeconds) * 1000);
    emit ditherStarted(m_dithers);
    emit stateChanged();
}

void DitherGate::settleOver(bool settled, const QString &why, bool moved)
{
    if (!m_holding)
        return;
    m_holding = false;
    m_deadline->stop();
    m_lastSettleFailed = !settled && moved;
    if (!settled)
        showMessage(MessageKind::Warning,
                    QStringLiteral("Décalage %1 : %2. La pose suivante part quand même%3.")
                        .arg(m_dithers)
                        .arg(why, moved ? QStringLiteral(" ; le journal la note « perdu » dans sa colonne guidage")
                                        : QString()));
    emit ditherEnded(settled, why);
    emit stateChanged();
}

} // namespace tavrel
