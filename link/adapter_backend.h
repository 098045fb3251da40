#pragma once
// The one way the programs (the windows, tavrel-run, the crash guardian) make
// their adapter: the simulated chips or the USB one through libftdi1, wrapped
// in the adapter log when one is asked for.

#include <QString>
#include <memory>

namespace tavrel {

class Adapter;
class LoggingAdapter;
class SimulatedAdapter;

class AdapterBackend {
public:
    // `simulatedChips` simulated chips when `simulate`, else the USB adapter;
    // every call logged to `logPath` when it is not empty ("-": standard
    // error). A log that cannot be opened leaves the bare backend and says
    // why in logError().
    AdapterBackend(bool simulate, int simulatedChips, const QString &logPath);
    ~AdapterBackend();
    AdapterBackend(const AdapterBackend &) = delete;
    AdapterBackend &operator=(const AdapterBackend &) = delete;

    // What the program talks to: the log when there is one.
    Adapter &adapter() const;
    // The simulated chips, null on the USB adapter.
    SimulatedAdapter *simulated() const { return m_simulated; }
    QString logError() const { return m_logError; }

private:
    std::unique_ptr<Adapter> m_backend;
    SimulatedAdapter *m_simulated = nullptr;
    std::unique_ptr<LoggingAdapter> m_logged;
    QString m_logError;
};

} // namespace tavrel
