#include "windows/tavrel_async.h"

#include "link/window_timer.h"
#include "ui_Tavrel_async.h"
#include "windows/controls.h"

#include <QLabel>
#include <cmath>

namespace tavrel {

Tavrel_async::Tavrel_async(QWidget *parent) : ModeWindow(parent), ui(new Ui::Tavrel_async)
{
    ui->setupUi(this);
    Enchainement = new WindowTimer(this);
    Enchainement->setObjectName(QStringLiteral("Enchainement"));
    m_job = new SequenceJob(Enchainement, this, this);
    bindFrame();

    connect(Enchainement, &WindowTimer::Timer, this, &Tavrel_async::Enchainement_Timer);
    connect(ui->Buble, &QPushButton::clicked, this, &Tavrel_async::Buble_Click);
    connect(ui->Stop_Capture, &QPushButton::clicked, this, &Tavrel_async::Stop_Capture_Click);
    connect(ui->Stop_Shot, &QPushButton::clicked, this, &Tavrel_async::Stop_Shot_Click);
    connect(ui->B30, &QPushButton::clicked, this, [this] { SetExposurePreset(30); });
    connect(ui->B60, &QPushButton::clicked, this, [this] { SetExposurePreset(60); });
    connect(ui->B120, &QPushButton::clicked, this, [this] { SetExposurePreset(120); });
    connect(ui->B180, &QPushButton::clicked, this, [this] { SetExposurePreset(180); });
    connect(ui->B300, &QPushButton::clicked, this, [this] { SetExposurePreset(300); });
    ui->Buble->setFocus();

    // The stop notice stands below the countdown until the job ends; the
    // countdown goes on above it while the last exposure runs.
    m_stopNotice = new QLabel(ui->Restant->parentWidget());
    m_stopNotice->setObjectName(QStringLiteral("Arret_Demande"));
    const QRect countdown = ui->Restant->geometry();
    m_stopNotice->setGeometry(countdown.right() - 170, countdown.bottom() + 4, 171, 60);
    m_stopNotice->setWordWrap(true);
    m_stopNotice->setAlignment(Qt::AlignRight | Qt::AlignTop);
    QFont bold = ui->Label2->font();
    bold.setBold(true);
    m_stopNotice->setFont(bold);
    m_stopNotice->setPalette(ui->Restant->palette());
    m_stopNotice->hide();
    connect(m_job, &SequenceJob::jobEnded, this, [this] { clearStopRequested(); });
}

Tavrel_async::~Tavrel_async() { Form_Unload(); }

void Tavrel_async::Buble_Click() { m_job->start(); }

void Tavrel_async::Stop_Capture_Click()
{
    const bool running = m_job->isRunning();
    m_job->finish();
    if (running && m_job->isRunning())
        showStopRequested(m_stopNotice, ui->Stop_Capture);
}

bool Tavrel_async::runUnderWay() const { return m_job->isRunning() || ModeWindow::runUnderWay(); }
bool Tavrel_async::shotUnderWay() const { return m_job->shotUnderWay(); }

QString Tavrel_async::runUnderWayText() const
{
    if (!m_job->isRunning())
        return ModeWindow::runUnderWayText();
    const int number = m_job->exposureNumber();
    const int total = m_job->exposureTotal();
    if (m_job->shotUnderWay())
        return QStringLiteral("La pose %1 sur %2 de la série est en cours.").arg(number).arg(total);
    return QStringLiteral("La série est dans le délai avant la prochaine pose (%1 sur %2 faites).")
        .arg(number)
        .arg(total);
}

void Tavrel_async::Stop_Shot_Click() { m_job->stopShot(); }

void Tavrel_async::Enchainement_Timer() { m_job->tick(); }

void Tavrel_async::SetExposurePreset(std::int16_t seconds) { ui->Pose->setText(QString::number(seconds)); }

void Tavrel_async::stopJobs() { Enchainement->setEnabled(false); }

QString Tavrel_async::countText() const { return ui->Nb_Poses->text(); }
QString Tavrel_async::exposureText() const { return ui->Pose->text(); }
QString Tavrel_async::mirrorText() const { return ui->Relevage->text(); }
QString Tavrel_async::intervalText() const { return ui->Text1->text(); }

void Tavrel_async::setMirrorStyle(int fillStyle) { ui->Mirorup->setFillStyle(fillStyle); }

void Tavrel_async::setProgress(double share)
{
    // A count edited below the exposures left must not draw past the frame.
    share = std::clamp(share, 0.0, 1.0);
    ui->Col1->setShapeWidth(int(std::lround(ui->cadre1->width() * share)));
}

void Tavrel_async::setProgressVisible(bool visible) { ui->Col1->setVisible(visible); }

void Tavrel_async::setStartEnabled(bool enabled) { ui->Buble->setEnabled(enabled); }

} // namespace tavrel
