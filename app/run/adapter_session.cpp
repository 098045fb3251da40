#include "app/run/adapter_session.h"

#include "app/run/progress_log.h"
#include "link/adapter_backend.h"
#include "link/connection.h"
#include "link/messages.h"
#include "link/release_line.h"
#include "link/settings.h"
#include "link/shared_values.h"
#include "link/window_timer.h"
#include "link/journal.h"


namespace tavrel::run {

AdapterSession::AdapterSession(ProgressLog *log, QObject *parent) : QObject(parent), m_log(log)
{
    m_watch = new WindowTimer(this);
    m_watch->setObjectName(QStringLiteral("Connected"));
    connect(m_watch, &WindowTimer::Timer, this, &AdapterSession::watchTick);
}

AdapterSession::~AdapterSession()
{
    close();
    // The backend goes with this object: nothing may reach it afterwards,
    // the exit safety net included.
    setAdapter(nullptr);
}

int AdapterSession::open(bool simulate, const QString &logPath, int simulatedChips)
{
    m_backend = std::make_unique<AdapterBackend>(simulate, simulatedChips, logPath);
    if (!m_backend->logError().isEmpty()) {
        showMessage(MessageKind::Error, QStringLiteral("impossible d'ouvrir le journal de l'adaptateur %1 : %2.")
                                            .arg(logPath, m_backend->logError()));
        return 2;
    }
    setAdapter(&m_backend->adapter());
    installExitSafetyNet();

    // As a window loads: settings, then the connection check.
    LoadSettings();
    SharedValues &v = shared();
    const LinkCheck check = checkConnection();
    if (!check.ready()) {
        // Nothing to give back: a set-up that failed closed what it opened.
        showMessage(MessageKind::Error,
                    QStringLiteral("l'adaptateur de déclenchement ne peut pas être utilisé : %1 Aucune pose n'est "
                                   "prise : corrigez, puis relancez%2.")
                        .arg(check.reason,
                             simulate ? QString()
                                      : QStringLiteral(" (pour une répétition sans adaptateur, ajoutez --simulate)")));
        return 2;
    }
    // The set-up has let the release go, whatever the chip was left holding
    // (a run killed outright, another program), and proved the line answers.
    m_open = true;
    m_state = LinkState::Ready;
    m_reason = check.reason;
    m_log->line(QStringLiteral("Adaptateur n° %1%2 prêt%3, déclencheur relâché")
                    .arg(v.DeviceIndex)
                    .arg(v.DeviceSerialText.isEmpty() ? QString()
                                                      : QStringLiteral(" (série %1)").arg(v.DeviceSerialText))
                    .arg(simulate ? QStringLiteral(" (simulé)") : QString()));
    if (!check.notice.isEmpty())
        m_log->line(check.notice);
    emit linkChanged(QStringLiteral("prêt"), true);
    return 0;
}

void AdapterSession::startWatch()
{
    m_watch->setInterval(shared().PollIntervalMs);
    m_watch->setEnabled(true);
}

void AdapterSession::watchTick()
{
    m_watch->setEnabled(false);
    const LinkCheck check = checkConnection();
    SharedValues &v = shared();
    if (!check.ready())
        ExposureJournal::instance().adapterLost();
    // One line per change of state, none while it stays as it is.
    if (check.state != m_state || (!check.ready() && check.reason != m_reason)) {
        if (m_state == LinkState::Ready)
            ++m_losses;
        if (check.ready())
            m_log->line(QStringLiteral("Adaptateur de retour, ouvert et réglé à nouveau."));
        else if (m_state == LinkState::Ready && check.state == LinkState::Missing)
            m_log->line(QStringLiteral("Adaptateur perdu (débranché ou sans courant)%1 : %2 Il sera réglé à "
                                       "nouveau dès son retour.")
                            .arg(v.ShutterHeld != 0 ? QStringLiteral(" pendant une pose") : QString(), check.reason));
        else
            m_log->line(QStringLiteral("Adaptateur inutilisable%1 : %2 Nouvel essai toutes les %3 ms.")
                            .arg(m_state == LinkState::Ready && v.ShutterHeld != 0 ? QStringLiteral(" pendant une pose")
                                                                                   : QString(),
                                 check.reason)
                            .arg(v.PollIntervalMs));
        m_state = check.state;
        m_reason = check.reason;
        if (!check.notice.isEmpty())
            m_log->line(check.notice);
        emit linkChanged(check.ready()                         ? QStringLiteral("prêt")
                         : check.state == LinkState::Missing ? QStringLiteral("absent")
                                                             : QStringLiteral("inutilisable"),
                         check.ready());
    }
    // Moved as the windows move it, though no label shows it here.
    v.ExposureClockMs = movedExposureClock(v.ExposureClockMs, -std::int64_t(v.PollIntervalMs));
    // On the beat: the count moves by one interval per interval gone by.
    m_watch->setIntervalFromTick(v.PollIntervalMs);
    m_watch->setEnabled(true);
}

void AdapterSession::close()
{
    m_watch->setEnabled(false);
    if (!m_open)
        return;
    m_open = false;
    ReleaseShutter();
    shared().ShutterHeld = 0;
    if (shared().DeviceOpen != 0)
        CloseDevice();
}

} // namespace tavrel::run
