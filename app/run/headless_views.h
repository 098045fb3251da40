#pragma once
// What the job and the scenario runner read from, and show on, when there is
// no window: the figures come from the command line or the file, the mirror
// indicator and the progress bar go nowhere (the progress lines say it all).

#include "modes/scenario_runner.h"
#include "modes/sequence_job.h"

namespace tavrel::run {

class HeadlessSequenceView final : public SequenceView {
public:
    HeadlessSequenceView(QString count, QString exposure, QString mirror, QString interval)
        : m_count(std::move(count)), m_exposure(std::move(exposure)), m_mirror(std::move(mirror)),
          m_interval(std::move(interval))
    {
    }
    QString countText() const override { return m_count; }
    QString exposureText() const override { return m_exposure; }
    QString mirrorText() const override { return m_mirror; }
    QString intervalText() const override { return m_interval; }
    void setMirrorStyle(int) override {}
    void setProgress(double) override {}
    void setProgressVisible(bool) override {}
    void setStartEnabled(bool) override {}

private:
    QString m_count, m_exposure, m_mirror, m_interval;
};

// Keeps the step's figures as the window's boxes would: the runner reads the
// exposure and pause back when the shot starts.
class HeadlessScenarioView final : public ScenarioView {
public:
    void showStep(int, const QString &exposure, const QString &pause, const QString &, const QString &) override
    {
        m_exposure = exposure;
        m_pause = pause;
    }
    QString exposureText() const override { return m_exposure; }
    QString pauseText() const override { return m_pause; }
    void showEnd() override { m_exposure = m_pause = QStringLiteral("*-*"); }
    void setMirrorStyle(int) override {}
    void setProgress(double) override {}
    void setProgressVisible(bool) override {}
    void setRunning(bool) override {}

private:
    QString m_exposure, m_pause;
};

} // namespace tavrel::run
