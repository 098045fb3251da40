#include "link/timebase.h"

#include <QCoreApplication>
#include <algorithm>
#include <utility>

namespace tavrel {

class VirtualOneShot final : public OneShot {
public:
    VirtualOneShot(VirtualTimeBase *base, std::function<void()> onFire, int lane)
        : m_base(base), m_fire(std::move(onFire)), m_lane(lane)
    {
    }
    ~VirtualOneShot() override { stop(); }
    void start(std::int64_t ms) override
    {
        stop();
        m_key = m_base->arm(this, m_base->m_nowUs + std::max<std::int64_t>(ms, 0) * 1000, m_lane);
        m_active = true;
    }
    void startAt(std::int64_t dueUs) override
    {
        stop();
        m_key = m_base->arm(this, std::max(dueUs, m_base->m_nowUs), m_lane);
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
    int m_lane; // 0: timing thread, 1: posted to the main thread, 2: timers
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
    return std::make_unique<VirtualOneShot>(this, std::move(onFire), 2);
}

std::unique_ptr<OneShot> VirtualTimeBase::createTimingShot(std::function<void()> onFire)
{
    return std::make_unique<VirtualOneShot>(this, std::move(onFire), 0);
}

void VirtualTimeBase::post(std::function<void()> job)
{
    m_posted.push_back(std::move(job));
    // Ahead of the timers of the same instant, as Qt's event loop takes
    // posted events before it looks at its timers.
    if (!m_postShot)
        m_postShot = std::make_unique<VirtualOneShot>(this, [this] {
            // Posted while these run: taken on the next round, as Qt would.
            const std::vector<std::function<void()>> jobs = std::exchange(m_posted, {});
            for (const auto &j : jobs)
                j();
        }, 1);
    if (!m_postShot->isActive())
        m_postShot->start(0);
}

void VirtualTimeBase::spend(std::int64_t us)
{
    const std::int64_t end = m_nowUs + std::max<std::int64_t>(us, 0);
    // The timing thread does not wait for the busy handler.
    for (;;) {
        auto it = m_queue.begin();
        while (it != m_queue.end() && std::get<0>(it->first) <= end && std::get<1>(it->first) != 0)
            ++it;
        if (it == m_queue.end() || std::get<0>(it->first) > end)
            break;
        m_nowUs = std::max(m_nowUs, std::get<0>(it->first));
        VirtualOneShot *owner = it->second;
        m_queue.erase(it);
        owner->fire();
    }
    m_nowUs = std::max(m_nowUs, end);
}

void VirtualTimeBase::yield()
{
    // Posted events (deferred deletes, queued signals) run; time stands still.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

VirtualTimeBase::Key VirtualTimeBase::arm(VirtualOneShot *owner, std::int64_t dueUs, int lane)
{
    Key key{dueUs, lane, m_seq++};
    m_queue.emplace(key, owner);
    return key;
}

void VirtualTimeBase::disarm(const Key &key) { m_queue.erase(key); }

bool VirtualTimeBase::fireNext(std::int64_t untilUs)
{
    if (m_queue.empty())
        return false;
    auto it = m_queue.begin();
    if (std::get<0>(it->first) > untilUs)
        return false;
    m_nowUs = std::max(m_nowUs, std::get<0>(it->first));
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
    return m_queue.empty() ? -1 : std::get<0>(m_queue.begin()->first);
}

void VirtualTimeBase::setWallClock(const QDateTime &wall)
{
    m_wallAtZero = wall.addMSecs(-(m_nowUs / 1000));
}

} // namespace tavrel
