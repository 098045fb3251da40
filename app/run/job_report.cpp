#include "app/run/job_report.h"

#include "app/run/progress_log.h"
#include "link/shared_values.h"
#include "modes/sequence_job.h"

namespace tavrel::run {

namespace {
QString label(int number, int total) { return QStringLiteral("Pose %1/%2").arg(number).arg(total); }

QString plural(int n) { return n > 1 ? QStringLiteral("s") : QString(); }
} // namespace

JobReport::JobReport(SequenceJob *job, ProgressLog *log, QObject *parent)
    : QObject(parent), m_job(job), m_log(log)
{
    connect(job, &SequenceJob::mirrorRaised, this, [this](int number) {
        say(QStringLiteral("%1 : miroir relevé, pose dans %2")
                .arg(label(number, m_job->exposureTotal()), secondsText(shared().MirrorDelaySeconds)));
    });
    connect(job, &SequenceJob::exposureStarted, this, [this](int number, int total, int seconds) {
        say(m_presses.started(label(number, total), seconds));
    });
    connect(job, &SequenceJob::exposureEnded, this, [this](int number, bool completed) {
        say(m_presses.ended(label(number, m_job->exposureTotal()), completed));
    });
    connect(job, &SequenceJob::delayStarted, this, [this](int seconds) {
        say(QStringLiteral("Pause de %1 avant la pose %2/%3")
                .arg(secondsText(seconds))
                .arg(m_job->exposureNumber() + 1)
                .arg(m_job->exposureTotal()));
    });
    connect(job, &SequenceJob::jobEnded, this, [this](bool stoppedByUser) {
        const int taken = m_presses.taken();
        if (stoppedByUser)
            say(QStringLiteral("Série arrêtée à la demande : %1 pose%2 prise%2 sur %3%4.")
                    .arg(taken).arg(plural(taken)).arg(m_job->exposureTotal()).arg(m_presses.failures()));
        else
            say(QStringLiteral("Fin de la série : %1 pose%2 prise%2%3.").arg(taken).arg(plural(taken)).arg(m_presses.failures()));
    });
}

void JobReport::begin()
{
    const SharedValues &v = shared();
    QString text = QStringLiteral("Série de %1 pose%2 de %3").arg(v.ShotCount).arg(plural(v.ShotCount))
                       .arg(secondsText(v.ExposureSeconds));
    if (v.MirrorDelaySeconds != 0)
        text += QStringLiteral(", miroir %1").arg(secondsText(v.MirrorDelaySeconds));
    text += QStringLiteral(", pause %1 entre les poses").arg(secondsText(v.ShotIntervalSeconds));
    say(text);
}

void JobReport::say(const QString &text)
{
    if (!m_muted)
        m_log->line(text);
}

} // namespace tavrel::run
