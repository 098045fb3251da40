#pragma once
// The scenario window: drive, folder and file lists to pick a scenario, and
// the values of the step being run.

#include "modes/scenario_runner.h"
#include "windows/mode_window.h"

#include <memory>

class QFileSystemWatcher;
class QTimer;

namespace Ui {
class Tavrel_sync;
}

namespace tavrel {

class Tavrel_sync final : public ModeWindow, private ScenarioView {
    Q_OBJECT
public:
    explicit Tavrel_sync(QWidget *parent = nullptr);
    ~Tavrel_sync() override;

    Mode mode() const override { return Mode::Scenario; }

    void Drive1_Change();
    void Dir1_Change();
    void File1_Click();
    void File1_PathChange();
    void Buble_Click();
    void Stop_Capture_Click();
    void Enchainement_Timer();

    WindowTimer *Enchainement = nullptr;
    ScenarioRunner *runner() const { return m_runner; }

    // The lists follow the disk: the folder's content as it changes, the
    // drives as volumes come and go, the stored folder once it shows up.
    // Neither touches a run under way.
    void folderChanged();
    void volumesMayHaveChanged();

protected:
    void afterConnectionCheck() override;
    void afterWatchStarted() override;
    void showCountdown() override;
    void stopJobs() override;
    bool releasesOnUnload() const override { return !m_runLetGo; }
    bool runUnderWay() const override;
    bool shotUnderWay() const override;
    QString runUnderWayText() const override;

private:
    void showStep(int stepNumber, const QString &exposure, const QString &pause,
                  const QString &mirror, const QString &comment) override;
    QString exposureText() const override;
    QString pauseText() const override;
    void showEnd() override;
    void setMirrorStyle(int fillStyle) override;
    void setProgress(double share) override;
    void setProgressVisible(bool visible) override;
    void setRunning(bool running) override;
    void showComment(const QString &text);
    void showButtons(bool running);
    void showFolder(const QString &folder);
    void watchFolder();

    std::unique_ptr<Ui::Tavrel_sync> ui;
    ScenarioRunner *m_runner = nullptr;
    QFileSystemWatcher *m_watcher = nullptr;
    QTimer *m_volumePoll = nullptr;
    QStringList m_volumes;
    bool m_followingTheDisk = false;
    QString m_awaitedFolder; // the stored folder, missing when the window opened
    bool m_runLetGo = false; // the run, stopped by the unload, let the release go itself
};

} // namespace tavrel
