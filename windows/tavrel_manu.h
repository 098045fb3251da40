#pragma once
// The manual window: Pose B, Pose T and "Cnx".

#include "windows/manual_mode.h"
#include "windows/mode_window.h"

#include <memory>

namespace Ui {
class Tavrel_manu;
}

namespace tavrel {

class Tavrel_manu final : public ModeWindow, private ManualView {
    Q_OBJECT
public:
    explicit Tavrel_manu(QWidget *parent = nullptr);
    ~Tavrel_manu() override;

    Mode mode() const override { return Mode::Manual; }
    ManualMode *manual() const { return m_mode; }
    void endExposureNow() override;

protected:
    void showExposure() override;
    bool showsClock() const override { return false; }
    bool countsExposureUp() const override { return true; }
    bool releasesOnUnload() const override;
    bool runUnderWay() const override;
    QString runUnderWayText() const override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setPoseBEnabled(bool enabled) override;

    std::unique_ptr<Ui::Tavrel_manu> ui;
    ManualMode *m_mode = nullptr;
};

} // namespace tavrel
