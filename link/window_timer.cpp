#include "link/window_timer.h"

#include "link/timebase.h"

#include <QPointer>

namespace tavrel {

WindowTimer::WindowTimer(QObject *parent)
    : QObject(parent), m_shot(timeBase().createOneShot([this] { fire(); }))
{
}

WindowTimer::~WindowTimer() = default;

void WindowTimer::arm()
{
    m_tickPending = false;
    if (m_enabled && m_interval > 0)
        m_shot->start(m_interval);
    else
        m_shot->stop();
}

void WindowTimer::setInterval(int ms)
{
    m_interval = std::max(ms, 0);
    arm();
}

void WindowTimer::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    arm();
}

bool WindowTimer::isTicking() const { return m_shot->isActive() || m_tickPending; }

void WindowTimer::fire()
{
    if (!m_enabled || m_interval <= 0)
        return;
    // Periodic until a handler says otherwise.
    m_shot->start(m_interval);
    if (m_inHandler) {
        // A tick that comes due while the handler is still running (it lets
        // pending events run at its end) waits until that handler returns.
        m_tickPending = true;
        return;
    }
    QPointer<WindowTimer> alive(this);
    do {
        m_tickPending = false;
        m_inHandler = true;
        emit Timer();
        if (!alive)
            return; // the window and its timers went away inside the handler
        m_inHandler = false;
    } while (m_tickPending && m_enabled && m_interval > 0);
}

} // namespace tavrel
