#pragma once
// The adapter for a real run, found, opened and watched as the windows do:
// settings from the same Tavrel.ini, the connection check at start, the
// 500 ms watch that sets the adapter up again after an unplug, and at the end
// the release let go and the adapter closed.

#include "link/connection.h"

#include <QObject>
#include <memory>

#include "link/adapter_backend.h"

namespace tavrel {
class WindowTimer;
} // namespace tavrel

namespace tavrel::run {

class ProgressLog;

class AdapterSession final : public QObject {
    Q_OBJECT
public:
    explicit AdapterSession(ProgressLog *log, QObject *parent = nullptr);
    ~AdapterSession() override;

    // Chooses the backend (the simulated adapter with `simulatedChips` chips
    // when `simulate`), opens the adapter log when `logPath` is not empty,
    // loads the settings and makes sure the adapter is there, set up and
    // idle. Returns 0, or the exit status 2 once the reason is shown: a
    // night is never started blind.
    int open(bool simulate, const QString &logPath, int simulatedChips = 1);
    void startWatch();
    // Watch off, release let go, adapter closed; harmless when repeated.
    void close();

    SimulatedAdapter *simulated() const { return m_backend ? m_backend->simulated() : nullptr; }
    int losses() const { return m_losses; }

signals:
    // The adapter's state changed: in French, and whether it is ready.
    void linkChanged(const QString &text, bool ready);

private:
    void watchTick();

    ProgressLog *m_log;
    std::unique_ptr<AdapterBackend> m_backend;
    WindowTimer *m_watch = nullptr;
    LinkState m_state = LinkState::Missing;
    QString m_reason;
    bool m_open = false;
    int m_losses = 0;
};

} // namespace tavrel::run
