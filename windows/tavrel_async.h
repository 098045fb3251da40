#pragma once
// The sequence window: the window the program opens with.

#include "modes/sequence_job.h"
#include "windows/mode_window.h"

#include <memory>

namespace Ui {
class Tavrel_async;
}

namespace tavrel {

class Tavrel_async final : public ModeWindow, private SequenceView {
    Q_OBJECT
public:
    explicit Tavrel_async(QWidget *parent = nullptr);
    ~Tavrel_async() override;

    Mode mode() const override { return Mode::Sequence; }

    void Buble_Click();
    void Stop_Capture_Click();
    void Stop_Shot_Click();
    void Enchainement_Timer();
    void SetExposurePreset(std::int16_t seconds);

    WindowTimer *Enchainement = nullptr;
    SequenceJob *job() const { return m_job; }

protected:
    void stopJobs() override;
    bool runUnderWay() const override;
    bool shotUnderWay() const override;
    QString runUnderWayText() const override;

private:
    QString countText() const override;
    QString exposureText() const override;
    QString mirrorText() const override;
    QString intervalText() const override;
    void setMirrorStyle(int fillStyle) override;
    void setProgress(double share) override;
    void setProgressVisible(bool visible) override;
    void setStartEnabled(bool enabled) override;

    std::unique_ptr<Ui::Tavrel_async> ui;
    SequenceJob *m_job = nullptr;
    QLabel *m_stopNotice = nullptr;
};

} // namespace tavrel
