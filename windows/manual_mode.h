#pragma once
// Manual exposures: Pose T presses on one click and lets go on the next;
// Pose B holds the release for as long as a mouse button is down. The user
// ends every exposure; the mode keeps no timing of its own beyond the count
// the connection watch shows.

#include <QObject>

namespace tavrel {

class ManualView {
public:
    virtual ~ManualView() = default;
    virtual void setPoseBEnabled(bool enabled) = 0;
};

class ManualMode final : public QObject {
    Q_OBJECT
public:
    explicit ManualMode(ManualView *view, QObject *parent = nullptr);

    void PressT_Click();
    void PressB_MouseDown();
    void PressB_MouseUp();
    void Command2_Click();

    bool poseTRunning() const { return m_poseT; }

signals:
    void exposureStarted(bool poseT);
    void exposureEnded(bool poseT);

private:
    ManualView *m_view;
    bool m_poseT = false;
};

} // namespace tavrel
