#pragma once
// One place that puts a test on a clean program: virtual time, a simulated
// adapter with its record, recorded messages, a settings file of its own and
// the shared values at their starting state.

#include "link/messages.h"
#include "link/simulated_adapter.h"
#include "link/timebase.h"
#include "windows/mode_window.h"

#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace tavrel {
class Tavrel_sync;
}

namespace tavrel::test {

class Rig {
public:
    explicit Rig(const QDateTime &start = QDateTime(QDate(2026, 12, 7), QTime(21, 40, 12)),
                 int devices = 1);
    ~Rig();

    VirtualTimeBase time;
    SimulatedAdapter sim;
    RecordingMessageSink messages;

    QString configDir() const { return m_config.path(); }
    QString settingsPath() const;
    QString journalPath() const;
    QStringList journalLines() const;

    // Opens a mode window the way the program does (built, loaded, shown).
    ModeWindow *open(Mode mode);
    // What a user does to start a run: open the file's folder, click the
    // file, then "Start scenario".
    bool startScenario(Tavrel_sync *window, const QString &path);
    // Windows closed by a test are deleted once events run; this runs them.
    void flushDeletes();

    void advance(std::int64_t ms) { time.advance(ms); }
    std::int64_t nowMs() const { return time.monotonicMs(); }

    // Calls recorded since the last clearCalls(), as "FT_Write(1)"-like words:
    // the function, and the byte for writes.
    QStringList callWords() const;
    // Times (ms) of the writes of `byte` since the last clearCalls().
    QList<std::int64_t> writeTimes(int byte) const;
    // (ms, byte) of every write.
    QList<QPair<std::int64_t, int>> writes() const;

private:
    QTemporaryDir m_config;
    QTemporaryDir m_data;
    QByteArray m_oldConfig;
    QByteArray m_oldData;
};

} // namespace tavrel::test
