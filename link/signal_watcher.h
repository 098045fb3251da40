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

} // namespace tavrel
