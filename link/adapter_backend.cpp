#include "link/adapter_backend.h"

#include "link/adapter_log.h"
#include "link/libftdi_adapter.h"
#include "link/release_line.h"
#include "link/simulated_adapter.h"

namespace tavrel {

AdapterBackend::AdapterBackend(bool simulate, int simulatedChips, const QString &logPath)
{
    if (simulate) {
        auto sim = std::make_unique<SimulatedAdapter>(simulatedChips);
        m_simulated = sim.get();
        m_backend = std::move(sim);
    } else {
        m_backend = std::make_unique<LibFtdiAdapter>();
    }
    if (!logPath.isEmpty())
        m_logged = LoggingAdapter::open(*m_backend, logPath, &m_logError);
    if (m_logged)
        setAdapterLogFlush([log = m_logged.get()] { log->flush(); });
}

// The log goes first: its last lines are written before the backend goes.
AdapterBackend::~AdapterBackend()
{
    if (m_logged)
        setAdapterLogFlush(nullptr);
    m_logged.reset();
}

Adapter &AdapterBackend::adapter() const { return m_logged ? *m_logged : *m_backend; }

} // namespace tavrel
