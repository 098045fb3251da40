#pragma once
// Progress lines of the guider: how it is used, each change of its state,
// each dither and how its settle ended. A dry run prints where the dithers
// fall, each counted as its Stabilite seconds.

#include <QObject>

namespace tavrel {
class DitherGate;
enum class GuiderState;
} // namespace tavrel

namespace tavrel::run {

class ProgressLog;

class GuiderReport final : public QObject {
    Q_OBJECT
public:
    GuiderReport(DitherGate *gate, ProgressLog *log, bool plan, QObject *parent = nullptr);
    // The run has started with the gate's settings.
    void begin();

private:
    DitherGate *m_gate;
    ProgressLog *m_log;
    bool m_plan;
    bool m_begun = false;
    int m_lastState = -1;
};

} // namespace tavrel::run
