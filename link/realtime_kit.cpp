#include "link/realtime_kit.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <algorithm>
#include <sys/resource.h>
#include <unistd.h>

namespace tavrel {

namespace {

const QString kService = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString kPath = QStringLiteral("/org/freedesktop/RealtimeKit1");
// Short: the answer comes at once when the service is there, and the
// program's start waits for it.
constexpr int kTimeoutMs = 1500;

// One property of the service, or -1.
qint64 property(QDBusConnection &bus, const QString &name)
{
    QDBusMessage get = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kService << name;
    const QDBusMessage reply = bus.call(get, QDBus::Block, kTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return -1;
    bool ok = false;
    const qint64 value = reply.arguments().first().value<QDBusVariant>().variant().toLongLong(&ok);
    return ok ? value : -1;
}

} // namespace

QString raiseThroughRealtimeKit(int priority)
{
    // The bus needs the application object; tests and helpers may have none.
    if (!QCoreApplication::instance())
        return QString();
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return QString();
    const qint64 maxPriority = property(bus, QStringLiteral("MaxRealtimePriority"));
    const qint64 maxRtTimeUs = property(bus, QStringLiteral("RTTimeUSecMax"));
    if (maxPriority < 1 || maxRtTimeUs < 1)
        return QString();
    // The service only raises a process that cannot keep a core to itself:
    // a real-time thread that runs this long without sleeping is stopped.
    // The timing thread sleeps between writes of a byte, far below it.
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0)
        return QString();
    const rlim_t allowed = rlim_t(maxRtTimeUs);
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > allowed) {
        limit.rlim_cur = limit.rlim_max = allowed;
        if (setrlimit(RLIMIT_RTTIME, &limit) != 0)
            return QString();
    }
    const int wanted = int(std::min<qint64>(priority, maxPriority));
    QDBusMessage raise = QDBusMessage::createMethodCall(kService, kPath, kService,
                                                        QStringLiteral("MakeThreadRealtime"));
    raise << quint64(gettid()) << quint32(wanted);
    const QDBusMessage reply = bus.call(raise, QDBus::Block, kTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return QString();
    return QStringLiteral("priorité temps réel (RealtimeKit, SCHED_RR %1)").arg(wanted);
}

} // namespace tavrel
