#pragma once
// "Adaptateur simulé": a small window beside the mode window when the program
// runs on the simulated adapter, so a user can rehearse a whole night without
// the camera: the line level with the running press time, the number of
// presses, and a button to unplug and plug the adapter back.

#include <QWidget>

class QLabel;
class QPushButton;

namespace tavrel {

class SimulatedAdapter;
class WindowTimer;

class SimulatedPanel final : public QWidget {
    Q_OBJECT
public:
    explicit SimulatedPanel(SimulatedAdapter *adapter, QWidget *parent = nullptr);

    // Sits just right of `window`.
    void placeBeside(QWidget *window);
    QString lineText() const;

private:
    void refresh();

    SimulatedAdapter *m_adapter;
    QLabel *m_line;
    QLabel *m_presses;
    QLabel *m_plug;
    QPushButton *m_toggle;
    WindowTimer *m_tick;
};

} // namespace tavrel
