#include "link/timebase.h"

#include "link/timing_thread.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

namespace tavrel {

namespace {

// The precise one-shot: a timerfd armed for an absolute instant of
// CLOCK_MONOTONIC. Where no timerfd can be had, Qt's precise timer stands in,
// to the millisecond.
class QtOneShot final : public OneShot {
public:
    QtOneShot(std::int64_t originNs, std::function<void()> onFire)
        : m_originNs(originNs), m_fire(std::move(onFire))
    {
        m_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (m_fd >= 0) {
            m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
            QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { expired(); });
        } else {
            m_timer.setSingleShot(true);
            m_timer.setTimerType(Qt::PreciseTimer);
            QObject::connect(&m_timer, &QTimer::timeout, [this] { fallbackFired(); });
        }
    }
    ~QtOneShot() override
    {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    void start(std::int64_t ms) override
    {
        startAt((steadyNs() - m_originNs) / 1000 + std::max<std::int64_t>(ms, 0) * 1000);
    }
    void startAt(std::int64_t dueUs) override
    {
        m_active = true;
        const std::int64_t dueNs = m_originNs + dueUs * 1000;
        if (m_fd < 0) {
            // Rounded up: Qt's timer never fires early, so neither does this.
            const std::int64_t ms = (dueNs - steadyNs() + 999999) / 1000000;
            m_timer.start(int(std::clamp<std::int64_t>(ms, 0, 86400000)));
            return;
        }
        itimerspec when{};
        // An instant of zero would disarm the timer; anything in the past
        // expires at once.
        const std::int64_t ns = std::max<std::int64_t>(dueNs, 1);
        when.it_value.tv_sec = time_t(ns / 1000000000);
        when.it_value.tv_nsec = long(ns % 1000000000);
        timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &when, nullptr);
    }
    void stop() override
    {
        m_active = false;
        if (m_fd < 0) {
            m_timer.stop();
            return;
        }
        const itimerspec disarmed{};
        timerfd_settime(m_fd, 0, &disarmed, nullptr); // also clears an unread expiry
    }
    bool isActive() const override { return m_active; }

private:
    void expired()
    {
        std::uint64_t count = 0;
        if (::read(m_fd, &count, sizeof count) != sizeof count || !m_active)
            return; // re-armed or stopped since the event loop saw it
        m_active = false;
        m_fire();
    }
    void fallbackFired()
    {
        m_active = false;
        m_fire();
    }

    std::int64_t m_originNs;
    std::function<void()> m_fire;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_timer;
    bool m_active = false;
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
    return std::make_unique<QtOneShot>(m_startNs, std::move(onFire));
}

std::unique_ptr<OneShot> QtTimeBase::createTimingShot(std::function<void()> onFire)
{
    return makeTimingShot(m_startNs, std::move(onFire));
}

bool QtTimeBase::runOnTimingThread(const std::function<void()> &job, int timeoutMs)
{
    return runJobOnTimingThread(job, timeoutMs);
}

void QtTimeBase::post(std::function<void()> job)
{
    // Without an event loop (a helper process) nothing is posted; whoever
    // waits for it collects it at its next call.
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(job), Qt::QueuedConnection);
}

void QtTimeBase::yield() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

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
