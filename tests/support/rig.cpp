#include "support/rig.h"

#include "link/release_line.h"
#include "link/settings.h"
#include "link/shared_values.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>

#include "windows/director.h"

namespace tavrel::test {

Rig::Rig(const QDateTime &start, int devices) : time(start), sim(devices)
{
    m_oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    setTimeBase(&time);
    setAdapter(&sim);
    setMessageSink(&messages);
    resetSharedValues();
    resetSettingsWarnings();
}

Rig::~Rig()
{
    // Windows go first: their timers live on this rig's virtual time.
    Director::instance().shutdown();
    if (QWidget *about = Director::instance().about())
        about->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    setAdapter(nullptr);
    setMessageSink(nullptr);
    setTimeBase(nullptr);
    if (m_oldConfig.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_oldConfig);
}

ModeWindow *Rig::open(Mode mode) { return Director::instance().open(mode); }

void Rig::flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

QString Rig::settingsPath() const { return QDir(m_config.path()).filePath(QStringLiteral("Tavrel.ini")); }

QStringList Rig::callWords() const
{
    QStringList out;
    for (const AdapterCall &c : sim.calls()) {
        if (c.function == QLatin1String("FT_Write"))
            out << QStringLiteral("FT_Write(%1)").arg(c.arg);
        else
            out << c.function;
    }
    return out;
}

QList<std::int64_t> Rig::writeTimes(int byte) const
{
    QList<std::int64_t> out;
    for (const AdapterCall &c : sim.calls())
        if (c.function == QLatin1String("FT_Write") && c.arg == byte)
            out << c.us / 1000;
    return out;
}

QList<QPair<std::int64_t, int>> Rig::writes() const
{
    QList<QPair<std::int64_t, int>> out;
    for (const AdapterCall &c : sim.calls())
        if (c.function == QLatin1String("FT_Write"))
            out << qMakePair(c.us / 1000, int(c.arg));
    return out;
}

} // namespace tavrel::test
