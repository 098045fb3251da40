#include "support/engine_rig.h"

#include "link/release_line.h"
#include "link/settings.h"
#include "link/shared_values.h"
#include "link/journal.h"

#include <QCoreApplication>
#include <QDir>

namespace tavrel::test {

EngineRig::EngineRig(const QDateTime &start, int devices) : time(start), sim(devices)
{
    m_oldConfig = qgetenv("XDG_CONFIG_HOME");
    m_oldData = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data.path()));
    ExposureJournal::instance().reset();
    setTimeBase(&time);
    setAdapter(&sim);
    setMessageSink(&messages);
    resetSharedValues();
    resetSettingsWarnings();
}

EngineRig::~EngineRig()
{
    setAdapter(nullptr);
    setMessageSink(nullptr);
    setTimeBase(nullptr);
    ExposureJournal::instance().reset();
    if (m_oldData.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", m_oldData);
    if (m_oldConfig.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_oldConfig);
}

QString EngineRig::journalPath() const { return ExposureJournal::instance().path(); }

QStringList EngineRig::journalLines() const
{
    QFile f(journalPath());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString EngineRig::settingsPath() const { return QDir(m_config.path()).filePath(QStringLiteral("Tavrel.ini")); }

QStringList EngineRig::callWords() const
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

QList<std::int64_t> EngineRig::writeTimes(int byte) const
{
    QList<std::int64_t> out;
    for (const AdapterCall &c : sim.calls())
        if (c.function == QLatin1String("FT_Write") && c.arg == byte)
            out << c.us / 1000;
    return out;
}

QList<QPair<std::int64_t, int>> EngineRig::writes() const
{
    QList<QPair<std::int64_t, int>> out;
    for (const AdapterCall &c : sim.calls())
        if (c.function == QLatin1String("FT_Write"))
            out << qMakePair(c.us / 1000, int(c.arg));
    return out;
}

} // namespace tavrel::test
