#include "support/rig.h"

#include "link/release_line.h"
#include "link/settings.h"
#include "link/shared_values.h"
#include "modes/journal.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>

#include "windows/controls.h"
#include "windows/director.h"
#include "windows/tavrel_sync.h"

namespace tavrel::test {

Rig::Rig(const QDateTime &start, int devices) : time(start), sim(devices)
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

ModeWindow *Rig::open(Mode mode) { return Director::instance().open(mode); }

bool Rig::startScenario(Tavrel_sync *window, const QString &path)
{
    const QFileInfo file(path);
    if (!window->findChild<DirListBox *>(QStringLiteral("Dir1"))->setPath(file.absolutePath()))
        return false;
    window->findChild<FileListBox *>(QStringLiteral("File1"))->pickFile(file.fileName());
    window->Buble_Click();
    return true;
}

void Rig::flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

QString Rig::journalPath() const { return ExposureJournal::instance().path(); }

QStringList Rig::journalLines() const
{
    QFile f(journalPath());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

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
