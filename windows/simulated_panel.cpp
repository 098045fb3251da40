#include "windows/simulated_panel.h"

#include "link/simulated_adapter.h"
#include "link/timebase.h"
#include "link/window_timer.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tavrel {

SimulatedPanel::SimulatedPanel(SimulatedAdapter *adapter, QWidget *parent)
    : QWidget(parent, Qt::Tool), m_adapter(adapter)
{
    setObjectName(QStringLiteral("SimulatedPanel"));
    setWindowTitle(QStringLiteral("Adaptateur simulé"));
    auto *layout = new QVBoxLayout(this);
    m_plug = new QLabel(this);
    m_line = new QLabel(this);
    QFont big = m_line->font();
    big.setPointSize(big.pointSize() + 4);
    big.setBold(true);
    m_line->setFont(big);
    // Wide enough for a night-long press, so the panel never jumps or cuts.
    m_line->setMinimumWidth(QFontMetrics(big).horizontalAdvance(QStringLiteral("Déclencheur PRESSÉ depuis 99999,9 s")) + 8);
    m_presses = new QLabel(this);
    m_toggle = new QPushButton(this);
    m_toggle->setObjectName(QStringLiteral("plugToggle"));
    layout->addWidget(m_plug);
    layout->addWidget(m_line);
    layout->addWidget(m_presses);
    layout->addWidget(m_toggle);

    connect(m_toggle, &QPushButton::clicked, this,
            [this] { m_adapter->setAttached(!m_adapter->isAttached()); });
    connect(m_adapter, &SimulatedAdapter::changed, this, &SimulatedPanel::refresh);
    // The running press time moves on its own while the line is held.
    m_tick = new WindowTimer(this);
    connect(m_tick, &WindowTimer::Timer, this, &SimulatedPanel::refresh);
    m_tick->setInterval(100);
    refresh();
}

QString SimulatedPanel::lineText() const
{
    if (!m_adapter->isPressed())
        return QStringLiteral("Déclencheur relâché");
    const double held = double(timeBase().monotonicUs() - m_adapter->pressedSinceUs()) / 1e6;
    return QStringLiteral("Déclencheur PRESSÉ depuis %1 s").arg(QLocale::system().toString(held, 'f', 1));
}

void SimulatedPanel::refresh()
{
    m_plug->setText(m_adapter->isAttached() ? QStringLiteral("Adaptateur branché")
                                            : QStringLiteral("Adaptateur débranché"));
    m_line->setText(lineText());
    m_line->setStyleSheet(m_adapter->isPressed() ? QStringLiteral("color: rgb(192,0,0)") : QString());
    m_presses->setText(QStringLiteral("Pressions : %1").arg(m_adapter->pressCount()));
    m_toggle->setText(m_adapter->isAttached() ? QStringLiteral("Débrancher")
                                              : QStringLiteral("Rebrancher"));
}

void SimulatedPanel::placeBeside(QWidget *window)
{
    if (!window)
        return;
    const QRect frame = window->frameGeometry();
    move(frame.right() + 12, frame.top());
}

} // namespace tavrel
