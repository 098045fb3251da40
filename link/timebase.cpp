#include "link/timebase.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <time.h>

namespace tavrel {

namespace {

std::int64_t steadyNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

class QtOneShot final : public OneShot {
public:
    explicit QtOneShot(std::function<void()> onFire)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [fn = std::move(onFire)] { fn(); });
    }
    void start(std::int64_t ms) override
    {
        // QTimer takes an int; the program never arms more than a day.
        m_timer.start(int(std::clamp<std::int64_t>(ms, 0, 86400000)));
    }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }

private:
    QTimer m_timer;
};

TimeBase *g_timeBase = nullptr;

} // namespace

QtTimeBase::QtTimeBase() : m_startNs(steadyNs()) {}

QtTimeBase::QtTimeBase(std::int64_t originNs) : m_startNs(originNs) {}

std::int64_t QtTimeBase::monotonicUs() const { return (steadyNs() - m_startNs) / 1000; }

QDateTime QtTimeBase::now() const
{
    QDateTime t = QDateTime::currentDateTime();
    t.setTime(QTime(t.time().hour(), t.time().minute(), t.time().second()));
    return t;
}

QDateTime QtTimeBase::nowPrecise() const { return QDateTime::currentDateTime(); }

std::unique_ptr<OneShot> QtTimeBase::createOneShot(std::function<void()> onFire)
{
    return std::make_unique<QtOneShot>(std::move(onFire));
}

void QtTimeBase::yield() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

// ---------------------------------------------------------------------------

class VirtualOneShot final : public OneShot {
public:
    VirtualOneShot(VirtualTimeBase *base, std::function<void()> onFire)
        : m_base(base), m_fire(std::move(onFire))
    {
    }
    ~VirtualOneShot() override { stop(); }
    void start(std::int64_t ms) override
    {
        stop();
        m_key = m_base->arm(this, m_base->m_nowUs + std::max<std::int64_t>(ms, 0) * 1000);
        m_active = true;
    }
    void stop() override
    {
        if (m_active) {
            m_base->disarm(m_key);
            m_active = false;
        }
    }
    bool isActive() const override { return m_active; }

    void fire()
    {
        m_active = false;
        m_fire();
    }

private:
    VirtualTimeBase *m_base;
    std::function<void()> m_fire;
    VirtualTimeBase::Key m_key{};
    bool m_active = false;
};

VirtualTimeBase::VirtualTimeBase(const QDateTime &startOfDay) : m_wallAtZero(startOfDay) {}

VirtualTimeBase::~VirtualTimeBase() = default;

QDateTime VirtualTimeBase::now() const
{
    const QDateTime t = m_wallAtZero.addMSecs(m_nowUs / 1000);
    return t.addMSecs(-t.time().msec());
}

std::unique_ptr<OneShot> VirtualTimeBase::createOneShot(std::function<void()> onFire)
{
    return std::make_unique<VirtualOneShot>(this, std::move(onFire));
}

void VirtualTimeBase::yield()
{
    // Posted events (deferred deletes, queued signals) run; time stands still.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

VirtualTimeBase::Key VirtualTimeBase::arm(VirtualOneShot *owner, std::int64_t dueUs)
{
    Key key{dueUs, m_seq++};
    m_queue.emplace(key, owner);
    return key;
}

void VirtualTimeBase::disarm(const Key &key) { m_queue.erase(key); }

bool VirtualTimeBase::fireNext(std::int64_t untilUs)
{
    if (m_queue.empty())
        return false;
    auto it = m_queue.begin();
    if (it->first.first > untilUs)
        return false;
    m_nowUs = std::max(m_nowUs, it->first.first);
    VirtualOneShot *owner = it->second;
    m_queue.erase(it);
    owner->fire();
    return true;
}

void VirtualTimeBase::advanceUs(std::int64_t us)
{
    const std::int64_t until = m_nowUs + us;
    while (fireNext(until)) {
    }
    m_nowUs = std::max(m_nowUs, until);
}

void VirtualTimeBase::advance(std::int64_t ms) { advanceUs(ms * 1000); }

bool VirtualTimeBase::advanceUntil(const std::function<bool()> &done, std::int64_t limitMs)
{
    const std::int64_t until = m_nowUs + limitMs * 1000;
    while (!done()) {
        if (!fireNext(until)) {
            m_nowUs = until;
            return done();
        }
    }
    return true;
}

std::int64_t VirtualTimeBase::nextDueUs() const
{
    return m_queue.empty() ? -1 : m_queue.begin()->first.first;
}

void VirtualTimeBase::setWallClock(const QDateTime &wall)
{
    m_wallAtZero = wall.addMSecs(-(m_nowUs / 1000));
}

TimeBase &timeBase()
{
    if (!g_timeBase) {
        static QtTimeBase fallback;
        g_timeBase = &fallback;
    }
    return *g_timeBase;
}

void setTimeBase(TimeBase *base) { g_timeBase = base; }

void yieldEvents() { timeBase().yield(); }

QDateTime timeOfDay() { return timeBase().now(); }

} // namespace tavrel
