#include "windows/tavrel_manu.h"

#include "link/shared_values.h"
#include "ui_Tavrel_manu.h"

#include <QMouseEvent>

namespace tavrel {

Tavrel_manu::Tavrel_manu(QWidget *parent) : ModeWindow(parent), ui(new Ui::Tavrel_manu)
{
    ui->setupUi(this);
    m_mode = new ManualMode(this, this);
    bindFrame();
    connect(ui->PressT, &QPushButton::clicked, m_mode, &ManualMode::PressT_Click);
    connect(ui->Command2, &QPushButton::clicked, m_mode, &ManualMode::Command2_Click);
    // Pose B acts on the mouse button going down and up, for every button;
    // it has no click, so a key press on the focused button does nothing.
    ui->PressB->installEventFilter(this);
    ui->PressB->setFocus();
}

Tavrel_manu::~Tavrel_manu() { Form_Unload(); }

bool Tavrel_manu::eventFilter(QObject *watched, QEvent *event)
{
    // The filter sees the mouse before the button does, greyed or not: a
    // greyed Pose B (during a Pose T) must not touch the release.
    if (watched == ui->PressB && ui->PressB->isEnabled()) {
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
            m_mode->PressB_MouseDown();
        } else if (event->type() == QEvent::MouseButtonRelease) {
            m_mode->PressB_MouseUp();
        }
    }
    return ModeWindow::eventFilter(watched, event);
}

void Tavrel_manu::showExposure()
{
    if (shared().ShutterHeld != 0) {
        showtime->setVisible(true);
        showtime->setText(wholeSeconds(shared().ExposureClockMs));
    } else {
        showtime->setVisible(false);
    }
}

void Tavrel_manu::beforeSwitch()
{
    // The target window's settings load clears ShutterHeld before this
    // window unloads; remember that a Pose T was running so the unload still
    // lets the release go.
    m_heldAtSwitch = shared().ShutterHeld != 0;
}

bool Tavrel_manu::runUnderWay() const { return m_mode->poseTRunning() || ModeWindow::runUnderWay(); }

QString Tavrel_manu::runUnderWayText() const
{
    return m_mode->poseTRunning() ? QStringLiteral("Une pose T est en cours.") : ModeWindow::runUnderWayText();
}

bool Tavrel_manu::releasesOnUnload() const { return shared().ShutterHeld != 0 || m_heldAtSwitch; }

void Tavrel_manu::setPoseBEnabled(bool enabled) { ui->PressB->setEnabled(enabled); }

} // namespace tavrel
