#include "windows/mode_window.h"

#include "modes/dither_gate.h"

#include "link/connection.h"
#include "link/fill_style.h"
#include "link/release_line.h"
#include "link/settings.h"
#include "link/shared_values.h"
#include "link/timebase.h"
#include "link/window_timer.h"
#include "link/journal.h"
#include "windows/controls.h"
#include "windows/director.h"
#include "windows/night.h"
#include "windows/toolkit.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>

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

    addNightEntry(this);

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
        if (a->isCheckable() && name != QLatin1String(kNightActionName)) {
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
    m_linkReady = check.ready();
    if (Indicateur_Connexion) {
        // Green only for an adapter open and set up; the reason stays in the
        // tooltip, where it tells without holding anything up.
        showLinkState();
        Indicateur_Connexion->setToolTip(check.reason);
    }
    if (!check.notice.isEmpty())
        showMessage(MessageKind::Warning, check.notice);
}

void ModeWindow::showLinkState()
{
    if (!Indicateur_Connexion)
        return;
    if (!nightVision()) {
        Indicateur_Connexion->setFillStyle(Shape::Solid);
        Indicateur_Connexion->setFillBgr(m_linkReady ? kGreen : kRed);
        return;
    }
    // At night both states are red: a dim square when attached, a bright
    // cross-hatched one when missing, so they differ by more than a shade,
    // and the missing adapter is not taken for the lines of an exposure.
    Indicateur_Connexion->setFillColor(m_linkReady ? kNightDim : kNightBright);
    Indicateur_Connexion->setFillStyle(m_linkReady ? Shape::Solid : Shape::CrossHatch);
}

DitherGate *ModeWindow::addGuider(const QRect &where)
{
    m_guider = new DitherGate(this);
    auto *line = new QLabel(centralWidget());
    line->setObjectName(QStringLiteral("Guidage"));
    line->setGeometry(where);
    line->setWordWrap(true);
    line->hide();
    // The application's palette colours it, by day and in night vision alike.
    connect(m_guider, &DitherGate::stateChanged, line, [this, line] {
        line->setText(QStringLiteral("Guideur : %1").arg(m_guider->stateText()));
        line->setVisible(m_guider->inUse());
    });
    return m_guider;
}

bool ModeWindow::startWithGuider(const std::function<bool()> &start)
{
    m_guider->begin(readGuiderSettings());
    if (start())
        return true;
    m_guider->end();
    return false;
}

void ModeWindow::applyNight()
{
    showLinkState();
    if (showtime)
        showtime->setStyleSheet(QString());
    for (Shape *s : findChildren<Shape *>())
        s->update();
    for (DirListBox *folders : findChildren<DirListBox *>())
        folders->refresh();
}

void ModeWindow::showExposure()
{
    if (!Restant)
        return;
    // The countdown stays beside a stop notice: the exposure it counts
    // still runs to its end.
    if (shared().ShutterHeld != 0 && m_stopLabel != Restant) {
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
    if (m_stopLabel)
        m_stopLabel->setText(stopText(shotUnderWay()));
    followQuestion();
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
    if (nightVision()) {
        // At night the style sheet outranks the palette: the clock hides
        // through a sheet of its own, dropped when the night ends.
        showtime->setStyleSheet(showtime->styleSheet().isEmpty() ? QStringLiteral("color: black") : QString());
        return;
    }
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

bool ModeWindow::runUnderWay() const { return shared().ShutterHeld != 0; }

QString ModeWindow::runUnderWayText() const { return QStringLiteral("Une pose est en cours."); }

void ModeWindow::askBeforeEnding(const QString &ending, std::function<void()> yes)
{
    if (m_question) {
        m_question->raise();
        return;
    }
    m_questionEnding = ending;
    // open(), not exec(): no loop of its own, so the run's timers keep their
    // instants while the question waits, and the release goes on time.
    auto *box = new QMessageBox(QMessageBox::Question, applicationTitle(),
                                runUnderWayText() + QLatin1Char('\n') + ending,
                                QMessageBox::Yes | QMessageBox::No, this);
    box->button(QMessageBox::Yes)->setText(QStringLiteral("Oui"));
    box->button(QMessageBox::No)->setText(QStringLiteral("Non"));
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    nightIcon(box);
    m_question = box;
    connect(box, &QMessageBox::finished, this, [this, box, yes = std::move(yes)](int) {
        const bool agreed = box->clickedButton() == box->button(QMessageBox::Yes);
        m_question = nullptr;
        if (agreed && !m_unloaded)
            yes();
    });
    box->open();
}

void ModeWindow::followQuestion()
{
    if (!m_question)
        return;
    // A run that ended by itself leaves nothing to ask about: the question
    // goes as if answered "Non", and the window stays.
    if (!runUnderWay()) {
        m_question->reject();
        return;
    }
    const QString text = runUnderWayText() + QLatin1Char('\n') + m_questionEnding;
    if (m_question->text() != text)
        m_question->setText(text);
}

void ModeWindow::switchTo(Mode target)
{
    if (!runUnderWay()) {
        Director::instance().switchMode(this, target);
        return;
    }
    askBeforeEnding(QStringLiteral("Tout arrêter et changer de mode ?"),
                    [this, target] { Director::instance().switchMode(this, target); });
}

void ModeWindow::prepareForSwitch() { Connected->setEnabled(false); }

void ModeWindow::closeWithoutAsking()
{
    m_closeAgreed = true;
    close();
}

QString stopText(bool shotUnderWay)
{
    return shotUnderWay ? QStringLiteral("Arrêt demandé : fin après la pose en cours")
                        : QStringLiteral("Arrêt demandé : arrêt avant la prochaine pose");
}

void ModeWindow::showStopRequested(QLabel *label, QWidget *button)
{
    if (!m_stopLabel) {
        m_labelTextBeforeStop = label->text();
        m_labelVisibleBeforeStop = label->isVisible();
        m_buttonEnabledBeforeStop = button->isEnabled();
    }
    m_stopLabel = label;
    m_stopButton = button;
    button->setEnabled(false);
    label->setToolTip(QString());
    label->setText(stopText(shotUnderWay()));
    label->setVisible(true);
    showExposure();
}

void ModeWindow::clearStopRequested()
{
    if (!m_stopLabel)
        return;
    QPointer<QLabel> label = m_stopLabel;
    m_stopLabel = nullptr;
    // What the run's end wrote there (the end of a scenario) stays.
    if (label && label->text().startsWith(QStringLiteral("Arrêt demandé"))) {
        label->setText(m_labelTextBeforeStop);
        label->setVisible(m_labelVisibleBeforeStop);
    }
    if (m_stopButton)
        m_stopButton->setEnabled(m_buttonEnabledBeforeStop);
    m_stopButton = nullptr;
    showExposure();
}

void setCommentText(QLabel *label, const QString &text)
{
    label->setText(text);
    const bool cut = label->fontMetrics().horizontalAdvance(text) > label->contentsRect().width();
    label->setToolTip(cut ? text : QString());
}

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
    // The close box asks while a run is under way; a session ending does not.
    if (!m_closeAgreed && !m_unloaded && runUnderWay() && !qApp->isSavingSession()) {
        event->ignore();
        askBeforeEnding(QStringLiteral("Tout arrêter et fermer la fenêtre ?"),
                        [this] { closeWithoutAsking(); });
        return;
    }
    Form_Unload();
    event->accept();
}

} // namespace tavrel
