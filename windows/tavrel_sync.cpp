#include "windows/tavrel_sync.h"

#include "link/settings.h"
#include "link/shared_values.h"
#include "link/window_timer.h"
#include "modes/sky_times.h"
#include "ui_Tavrel_sync.h"
#include "windows/controls.h"

#include <QDir>
#include <cmath>

namespace tavrel {

Tavrel_sync::Tavrel_sync(QWidget *parent) : ModeWindow(parent), ui(new Ui::Tavrel_sync)
{
    ui->setupUi(this);
    Enchainement = new WindowTimer(this);
    Enchainement->setObjectName(QStringLiteral("Enchainement"));
    m_runner = new ScenarioRunner(Enchainement, this, this);
    bindFrame();
    // At creation the lists open on the root of the first drive, linked, and
    // nothing is written: only the user's (or the load's) changes are stored.
    ui->Dir1->setDriveRoot(ui->Drive1->drive());
    ui->Dir1->setPath(ui->Drive1->drive());
    ui->File1->setPath(ui->Dir1->path());

    connect(Enchainement, &WindowTimer::Timer, this, &Tavrel_sync::Enchainement_Timer);
    connect(ui->Drive1, &DriveListBox::change, this, &Tavrel_sync::Drive1_Change);
    connect(ui->Dir1, &DirListBox::change, this, &Tavrel_sync::Dir1_Change);
    connect(ui->File1, &FileListBox::click, this, &Tavrel_sync::File1_Click);
    connect(ui->File1, &FileListBox::pathChange, this, &Tavrel_sync::File1_PathChange);
    connect(ui->Buble, &QPushButton::clicked, this, &Tavrel_sync::Buble_Click);
    connect(ui->Stop_Capture, &QPushButton::clicked, this, &Tavrel_sync::Stop_Capture_Click);
    // While a step tied to the sky is awaited, its comment line also says
    // what the moment came to tonight; the shot puts the comment back alone.
    connect(m_runner, &ScenarioRunner::waitingUntil, this, [this](const QTime &time, int) {
        const QString field = shared().StepTime.trimmed();
        if (!looksLikeSkyTime(field))
            return;
        const QString sky = resolvedText(field, time);
        const QString comment = shared().StepComment;
        ui->Commentbox->setText(comment.isEmpty() ? sky : QStringLiteral("%1  (%2)").arg(comment, sky));
    });
    const auto commentAlone = [this] { ui->Commentbox->setText(shared().StepComment); };
    connect(m_runner, &ScenarioRunner::mirrorRaised, this, commentAlone);
    connect(m_runner, &ScenarioRunner::exposureStarted, this, commentAlone);
}

Tavrel_sync::~Tavrel_sync() { Form_Unload(); }

void Tavrel_sync::afterConnectionCheck()
{
    raise();
    activateWindow();
}

void Tavrel_sync::afterWatchStarted()
{
    ui->Drive1->setDrive(shared().DefaultDrive);
    // A stored folder that no longer exists leaves the list where it is.
    ui->Dir1->setPath(shared().DefaultDir);
}

void Tavrel_sync::Drive1_Change()
{
    ui->Dir1->setDriveRoot(ui->Drive1->drive());
    ui->Dir1->setPath(ui->Drive1->drive());
    WriteSetting(QStringLiteral("Defaut"), QStringLiteral("DEF_DRIVE"), ui->Dir1->path(),
                 QString::fromLatin1(kSettingsFile));
}

void Tavrel_sync::Dir1_Change()
{
    ui->File1->setPath(ui->Dir1->path());
    WriteSetting(QStringLiteral("Defaut"), QStringLiteral("DEF_DIR"), ui->File1->path(),
                 QString::fromLatin1(kSettingsFile));
}

void Tavrel_sync::File1_Click()
{
    ui->Buble->setEnabled(true);
    ui->Stop_Capture->setEnabled(true);
}

void Tavrel_sync::File1_PathChange()
{
    ui->Buble->setEnabled(false);
    ui->Stop_Capture->setEnabled(false);
}

void Tavrel_sync::Buble_Click()
{
    if (ui->File1->fileName().isEmpty())
        return;
    m_runner->start(QDir(ui->File1->path()).filePath(ui->File1->fileName()));
}

void Tavrel_sync::Stop_Capture_Click() { m_runner->requestStop(); }

void Tavrel_sync::Enchainement_Timer() { m_runner->tick(); }

void Tavrel_sync::showCountdown()
{
    const auto seconds = m_runner->countdownSeconds();
    ui->restant2->setVisible(seconds.has_value());
    if (seconds)
        ui->restant2->setText(QString::number(*seconds));
}

void Tavrel_sync::stopJobs()
{
    Enchainement->setEnabled(false);
    m_runLetGo = m_runner->abandon();
}

void Tavrel_sync::showStep(int stepNumber, const QString &exposure, const QString &pause,
                           const QString &mirror, const QString &comment)
{
    ui->Nb_Poses->setText(QString::number(stepNumber));
    ui->Pose->setText(exposure);
    ui->Text1->setText(pause);
    ui->Relevage->setText(mirror);
    ui->Commentbox->setText(comment);
}

QString Tavrel_sync::exposureText() const { return ui->Pose->text(); }
QString Tavrel_sync::pauseText() const { return ui->Text1->text(); }

void Tavrel_sync::showEnd()
{
    ui->Commentbox->setText(QStringLiteral("** Fin de scénario **"));
    ui->Pose->setText(QStringLiteral("*-*"));
    ui->Text1->setText(QStringLiteral("*-*"));
    ui->Relevage->setText(QStringLiteral("*-*"));
}

void Tavrel_sync::setMirrorStyle(int fillStyle) { ui->Mirorup->setFillStyle(fillStyle); }

void Tavrel_sync::setProgress(double share)
{
    share = std::clamp(share, 0.0, 1.0);
    ui->Col1->setShapeWidth(int(std::lround(ui->cadre1->width() * share)));
}

void Tavrel_sync::setProgressVisible(bool visible) { ui->Col1->setVisible(visible); }

void Tavrel_sync::setRunning(bool running)
{
    ui->Drive1->setEnabled(!running);
    ui->Dir1->setEnabled(!running);
    ui->File1->setEnabled(!running);
    ui->Buble->setEnabled(false);
}

} // namespace tavrel
