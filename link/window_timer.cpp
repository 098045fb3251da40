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
    if (!m_enabled || m_interval <= 0) {
        m_shot->stop();
        return;
    }
    if (!m_anchored)
        m_dueUs = timeBase().monotonicUs() + std::int64_t(m_interval) * 1000;
    m_shot->startAt(m_dueUs);
}

void WindowTimer::setInterval(int ms)
{
    m_interval = std::max(ms, 0);
    m_anchored = false;
    arm();
}

void WindowTimer::setIntervalFrom(std::int64_t anchorUs, int ms)
{
    m_interval = std::max(ms, 0);
    m_dueUs = anchorUs + std::int64_t(m_interval) * 1000;
    m_anchored = true;
    arm();
}

void WindowTimer::setIntervalFromTick(int ms)
{
    const std::int64_t now = timeBase().monotonicUs();
    const std::int64_t due = m_tickDueUs + std::int64_t(std::max(ms, 0)) * 1000;
    if (due <= now)
        setInterval(ms);
    else
        setIntervalFrom(m_tickDueUs, ms);
}

void WindowTimer::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    if (!enabled)
        m_anchored = false;
    arm();
}

bool WindowTimer::isTicking() const { return m_shot->isActive() || m_tickPending; }

void WindowTimer::fire()
{
    if (!m_enabled || m_interval <= 0)
        return;
    m_tickDueUs = m_dueUs;
    // Periodic until a handler says otherwise; an anchored timer keeps its
    // rhythm from deadline to deadline.
    m_dueUs = m_anchored ? m_dueUs + std::int64_t(m_interval) * 1000
                         : timeBase().monotonicUs() + std::int64_t(m_interval) * 1000;
    m_shot->startAt(m_dueUs);
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
