#pragma once
// Progress lines of a sequence job: mirror, press, release and delay of each
// exposure, with its number and the job's size, then the end.

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
    int m_taken = 0;
    bool m_muted = false;
};

} // namespace tavrel::run
