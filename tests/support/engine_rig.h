#pragma once
// One place that puts an engine test on a clean program: virtual time, a
// simulated adapter with its record, recorded messages, a settings file of
// its own and the shared values at their starting state. Tests that open
// windows use Rig (support/rig.h), which adds them.

#include "link/messages.h"
#include "link/simulated_adapter.h"
#include "link/timebase.h"

#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace tavrel::test {

class EngineRig {
public:
    explicit EngineRig(const QDateTime &start = QDateTime(QDate(2026, 12, 7), QTime(21, 40, 12)),
                 int devices = 1);
    virtual ~EngineRig();

    VirtualTimeBase time;
    SimulatedAdapter sim;
    RecordingMessageSink messages;

    QString configDir() const { return m_config.path(); }
    QString settingsPath() const;
    QString journalPath() const;
    QStringList journalLines() const;

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
