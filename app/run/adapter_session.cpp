#include "app/run/adapter_session.h"

#include "app/run/progress_log.h"
#include "link/adapter_log.h"
#include "link/connection.h"
#include "link/libftdi_adapter.h"
#include "link/messages.h"
#include "link/release_line.h"
#include "link/settings.h"
#include "link/shared_values.h"
#include "link/simulated_adapter.h"
#include "link/window_timer.h"


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

int AdapterSession::open(bool simulate, const QString &logPath)
{
    if (simulate) {
        auto sim = std::make_unique<SimulatedAdapter>(1);
        m_simulated = sim.get();
        m_backend = std::move(sim);
    } else {
        m_backend = std::make_unique<LibFtdiAdapter>();
    }
    if (!logPath.isEmpty()) {
        QString error;
        m_logged = LoggingAdapter::open(*m_backend, logPath, &error);
        if (!m_logged) {
            showMessage(MessageKind::Error,
                        QStringLiteral("impossible d'ouvrir le journal de l'adaptateur %1 : %2.").arg(logPath, error));
            return 2;
        }
    }
    setAdapter(m_logged ? static_cast<Adapter *>(m_logged.get()) : m_backend.get());
    installExitSafetyNet();

    // As a window loads: settings, then the connection check.
    LoadSettings();
    SharedValues &v = shared();
    if (!checkConnection()) {
        showMessage(MessageKind::Error,
                    QStringLiteral("aucun adaptateur de déclenchement n'est branché%1. Branchez-le, "
                                   "vérifiez le câble et les droits d'accès USB, puis relancez ; pour une "
                                   "répétition sans adaptateur, ajoutez --simulate.")
                        .arg(v.LastStatus != FT_OK ? QStringLiteral(" (statut %1)").arg(v.LastStatus) : QString()));
        return 2;
    }
    m_open = true;
    if (v.LastStatus != FT_OK) {
        showMessage(MessageKind::Error,
                    QStringLiteral("l'adaptateur n° %1 est détecté (%2 branché%3) mais ne peut pas être ouvert "
                                   "et réglé (statut %4). Vérifiez les droits d'accès USB (règle udev) et le "
                                   "réglage FDTINo de %5.")
                        .arg(v.DeviceIndex)
                        .arg(v.DeviceCount)
                        .arg(v.DeviceCount > 1 ? QStringLiteral("s") : QString())
                        .arg(v.LastStatus)
                        .arg(resolveSettingsPath(QString::fromLatin1(kSettingsFile))));
        close();
        return 2;
    }
    // Whatever the chip was left holding (a run killed outright, another
    // program), the night starts with the release let go; the write also
    // proves the line answers before anything depends on it.
    ReleaseShutter();
    if (v.LastStatus != FT_OK || v.BytesWritten != 1) {
        showMessage(MessageKind::Error,
                    QStringLiteral("l'adaptateur ne répond pas : l'écriture sur la ligne de déclenchement a "
                                   "échoué (statut %1).")
                        .arg(v.LastStatus));
        close();
        return 2;
    }
    m_attached = true;
    m_log->line(QStringLiteral("Adaptateur n° %1 prêt%2, déclencheur relâché")
                    .arg(v.DeviceIndex)
                    .arg(simulate ? QStringLiteral(" (simulé)") : QString()));
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
    const bool attached = checkConnection();
    SharedValues &v = shared();
    if (attached != m_attached) {
        m_attached = attached;
        if (!attached) {
            ++m_losses;
            m_log->line(QStringLiteral("Adaptateur perdu (débranché ou sans courant)%1 ; il sera réglé à nouveau "
                                       "dès son retour.")
                            .arg(v.ShutterHeld != 0 ? QStringLiteral(" pendant une pose") : QString()));
        } else if (v.LastStatus == FT_OK) {
            m_log->line(QStringLiteral("Adaptateur de retour, ouvert et réglé à nouveau."));
        } else {
            m_log->line(QStringLiteral("Adaptateur de retour, mais son réglage a échoué (statut %1).")
                            .arg(v.LastStatus));
        }
    }
    // Moved as the windows move it, though no label shows it here.
    v.ExposureClockMs = movedExposureClock(v.ExposureClockMs, -std::int64_t(v.PollIntervalMs));
    m_watch->setInterval(v.PollIntervalMs);
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
