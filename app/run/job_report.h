#pragma once
// Progress lines of a sequence job: mirror, press, release and delay of each
// exposure, with its number and the job's size, then the end. Only exposures
// whose press reached the adapter count as taken.

#include "app/run/press_tally.h"

#include <QObject>

namespace tavrel {
class SequenceJob;
}

namespace tavrel::run {

class ProgressLog;

class JobReport final : public QObject {
    Q_OBJECT
public:
    JobReport(SequenceJob *job, ProgressLog *log, QObject *parent = nullptr);
    // The job has started.
    void begin();
    void mute() { m_muted = true; }

private:
    void say(const QString &text);

    SequenceJob *m_job;
    ProgressLog *m_log;
    PressTally m_presses;
    bool m_muted = false;
};

} // namespace tavrel::run
