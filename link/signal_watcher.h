#pragma once
// Turns Unix signals into ordinary events of the event loop. The handler only
// writes the signal number into a pipe; everything else (letting the release
// go, closing the adapter) runs later on the event loop, where USB calls are
// safe.

#include <QObject>
#include <vector>

class QSocketNotifier;

namespace tavrel {

class SignalWatcher final : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(const std::vector<int> &numbers, QObject *parent = nullptr);
    // Whether `number` was set to be ignored when the program started (nohup).
    static bool ignoredAtStart(int number);

signals:
    void received(int signalNumber);

private:
    void drain();
    QSocketNotifier *m_notifier = nullptr;
};

// A program in the background of a terminal set to `stty tostop` is stopped
// by SIGTTOU at its first line of output, and by SIGTTIN at a read: the night
// would stand still with the release held. Ignored, the line is written.
void ignoreTerminalStops();

} // namespace tavrel
