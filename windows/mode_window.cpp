#include "windows/mode_window.h"

#include "link/connection.h"
#include "link/fill_style.h"
#include "link/release_line.h"
#include "link/settings.h"
#include "link/shared_values.h"
#include "link/timebase.h"
#include "link/window_timer.h"
#include "modes/journal.h"
#include "windows/controls.h"
#include "windows/director.h"
#include "windows/toolkit.h"

#include <QAction>
#include <QCloseEvent>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMouseEvent>

namespace tavrel {


QString wholeSeconds(std::int64_t ms)
{
    std::int64_t s = ms / 1000;
    if (ms % 1000 != 0 && ms < 0)
        --s;
    return QString::number(s);
}

ModeWindow::ModeWindow(QWidget *parent) : QMainWindow(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    Connected = new WindowTimer(this);
    Connected->setObjectName(QStringLiteral("Connected"));
    connect(Connected, &WindowTimer::Timer, this, &ModeWindow::Connected_Timer);
}

ModeWindow::~ModeWindow()
{
    // Whatever takes the window away, the release is let go and the adapter closed.
    Form_Unload();
}

void ModeWindow::bindFrame()
{
    Indicateur_Connexion = findChild<Shape *>(QStringLiteral("Indicateur_Connexion"));
    Mirorup = findChild<Shape *>(QStringLiteral("Mirorup"));
    showtime = findChild<QLabel *>(QStringLiteral("showtime"));
    Restant = findChild<QLabel *>(QStringLiteral("Restant"));
    if (showtime)
        showtime->installEventFilter(this);

    // The client area is fixed and every mode window sits at the same place,
    // so a switch shows the new window exactly where the old one was.
    if (QWidget *client = centralWidget())
        client->setFixedSize(client->minimumSize().isEmpty() ? client->size() : client->minimumSize());
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    move(11, 30);
    setWindowIcon(QIcon(QStringLiteral(":/icons/tavrel-32.png")));

    const auto actions = findChildren<QAction *>();
    for (QAction *a : actions) {
        const QString name = a->objectName();
        if (name == QLatin1String("help"))
            connect(a, &QAction::triggered, this, [] { Director::instance().showAbout(); });
        else if (name == QLatin1String("Synch") && mode() != Mode::Scenario)
            connect(a, &QAction::triggered, this, [this] { switchTo(Mode::Scenario); });
        else if (name == QLatin1String("Manuel") && mode() != Mode::Manual)
            connect(a, &QAction::triggered, this, [this] { switchTo(Mode::Manual); });
        else if ((name == QLatin1String("Async") || name == QLatin1String("Asynch"))
                 && mode() != Mode::Sequence)
            connect(a, &QAction::triggered, this, [this] { switchTo(Mode::Sequence); });
        // The current mode's entry keeps its check mark whatever is clicked.
        if (a->isCheckable()) {
            const bool checked = a->isChecked();
            connect(a, &QAction::toggled, a, [a, checked](bool on) {
                if (on != checked)
                    a->setChecked(checked);
            });
        }
    }
}

void ModeWindow::Form_Load()
{
    LoadSettings();
    if (Mirorup)
        Mirorup->setFillStyle(kVerticalLines);
    is_usb_connected();
    afterConnectionCheck();
    Connected->setInterval(shared().PollIntervalMs);
    Connected->setEnabled(true);
    afterWatchStarted();
}

void ModeWindow::is_usb_connected()
{
    const LinkCheck check = checkConnection();
    if (!check.ready())
        ExposureJournal::instance().adapterLost();
    if (Indicateur_Connexion) {
        // Green only for an adapter open and set up; the reason stays in the
        // tooltip, where it tells without holding anything up.
        Indicateur_Connexion->setFillBgr(check.ready() ? kGreen : kRed);
        Indicateur_Connexion->setToolTip(check.reason);
    }
    if (!check.notice.isEmpty())
        showMessage(MessageKind::Warning, check.notice);
}

void ModeWindow::showExposure()
{
    if (!Restant)
        return;
    if (shared().ShutterHeld != 0) {
        Restant->setVisible(true);
        Restant->setText(wholeSeconds(shared().ExposureClockMs));
    } else {
        Restant->setVisible(false);
    }
}

void ModeWindow::Connected_Timer()
{
    Connected->setEnabled(false);
    is_usb_connected();
    showExposure();
    showCountdown();
    if (showsClock() && showtime)
        showtime->setText(timeOfDay().time().toString(QStringLiteral("HH:mm:ss")));
    SharedValues &v = shared();
    v.ExposureClockMs = movedExposureClock(v.ExposureClockMs,
                                      countsExposureUp() ? v.PollIntervalMs : -std::int64_t(v.PollIntervalMs));
    // On the beat: the count moves by one interval per interval gone by.
    Connected->setIntervalFromTick(v.PollIntervalMs);
    Connected->setEnabled(true);
}

void ModeWindow::showtime_Click()
{
    if (!showtime)
        return;
    QPalette p = showtime->palette();
    const QColor text = p.color(QPalette::WindowText);
    const QColor back = p.color(QPalette::Window);
    p.setColor(QPalette::WindowText, text != back ? back : colorFromBgr(kDarkRed));
    showtime->setPalette(p);
}

bool ModeWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == showtime && event->type() == QEvent::MouseButtonRelease) {
        auto *me = static_cast<QMouseEvent *>(event);
        if (showtime->rect().contains(me->position().toPoint()))
            showtime_Click();
    }
    return QMainWindow::eventFilter(watched, event);
}

void ModeWindow::switchTo(Mode target) { Director::instance().switchMode(this, target); }

void ModeWindow::prepareForSwitch() { Connected->setEnabled(false); }

void ModeWindow::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    Connected->setEnabled(false);
    // Said before anything is let go: a job may let go as it stops.
    ExposureJournal::instance().setEndReason(JournalOutcome::WindowClosed);
    stopJobs();
    // The timers go with the window: nothing may tick between the unload and
    // the window's deletion.
    for (WindowTimer *t : findChildren<WindowTimer *>())
        t->setEnabled(false);
    if (releasesOnUnload()) {
        ReleaseShutter();
        // Nothing is held any more: the exit safety net has nothing to redo.
        shared().ShutterHeld = 0;
    }
    if (shared().DeviceOpen != 0)
        CloseDevice();
    emit unloaded();
}

void ModeWindow::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
}

} // namespace tavrel
