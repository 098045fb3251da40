#include "windows/tavrel_sync.h"

#include "link/messages.h"
#include "link/settings.h"
#include "link/timebase.h"
#include "link/shared_values.h"
#include "link/window_timer.h"
#include "modes/sky_times.h"
#include "ui_Tavrel_sync.h"
#include "windows/controls.h"

#include <QDir>
#include <QFileSystemWatcher>
#include <QStorageInfo>
#include <QTimer>
#include <cmath>

namespace tavrel {

namespace {

QStringList mountedRoots()
{
    QStringList roots;
    for (const QStorageInfo &volume : QStorageInfo::mountedVolumes())
        roots << volume.rootPath();
    roots.sort();
    return roots;
}

} // namespace

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
    // what the moment came to, dated when it is not today; the shot puts the
    // comment back alone.
    connect(m_runner, &ScenarioRunner::waitingUntil, this, [this](const QDateTime &instant) {
        const QString field = shared().StepTime.trimmed();
        if (!looksLikeSkyTime(field))
            return;
        const QString sky = resolvedText(field, instant, timeOfDay().date());
        const QString comment = shared().StepComment;
        showComment(comment.isEmpty() ? sky : QStringLiteral("%1  (%2)").arg(comment, sky));
    });
    // A night without the step's moment skips it: said, without holding up the run.
    connect(m_runner, &ScenarioRunner::stepSkipped, this, [this](int, const QString &file, int line) {
        const auto at = m_runner->stepInstant();
        if (!at || at->noMoment.isEmpty())
            return;
        QString why = at->noMoment;
        if (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        showMessage(MessageKind::Warning,
                    scenarioMessage(file, line, why + QStringLiteral(" ; l'étape est sautée.")));
    });
    const auto commentAlone = [this] { showComment(shared().StepComment); };
    connect(m_runner, &ScenarioRunner::mirrorRaised, this, commentAlone);
    connect(m_runner, &ScenarioRunner::exposureStarted, this, commentAlone);
    connect(m_runner, &ScenarioRunner::runEnded, this, [this] { clearStopRequested(); });

    m_watcher = new QFileSystemWatcher(this);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &Tavrel_sync::folderChanged);
    watchFolder();
    // Mounts give no signal a watcher can catch on every system: a slow look
    // at the volumes costs nothing and finds a stick within seconds.
    m_volumes = mountedRoots();
    m_volumePoll = new QTimer(this);
    m_volumePoll->setInterval(3000);
    connect(m_volumePoll, &QTimer::timeout, this, &Tavrel_sync::volumesMayHaveChanged);
    m_volumePoll->start();
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
    if (!m_followingTheDisk)
        WriteSetting(QStringLiteral("Defaut"), QStringLiteral("DEF_DRIVE"), ui->Dir1->path(),
                     QString::fromLatin1(kSettingsFile));
}

void Tavrel_sync::Dir1_Change()
{
    ui->File1->setPath(ui->Dir1->path());
    watchFolder();
    if (!m_followingTheDisk)
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

void Tavrel_sync::Stop_Capture_Click()
{
    m_runner->requestStop();
    if (m_runner->isRunning())
        showStopRequested(ui->Commentbox, ui->Stop_Capture);
}

bool Tavrel_sync::runUnderWay() const { return m_runner->isRunning() || ModeWindow::runUnderWay(); }
bool Tavrel_sync::shotUnderWay() const { return m_runner->shotUnderWay(); }

void Tavrel_sync::showComment(const QString &text)
{
    // The stop notice keeps its place until the run ends.
    if (!stopRequested())
        setCommentText(ui->Commentbox, text);
}

void Tavrel_sync::watchFolder()
{
    if (!m_watcher)
        return;
    const QStringList watched = m_watcher->directories();
    if (!watched.isEmpty())
        m_watcher->removePaths(watched);
    if (!ui->Dir1->path().isEmpty())
        m_watcher->addPath(ui->Dir1->path());
}

void Tavrel_sync::folderChanged()
{
    // The lists only: the run holds its own copy of the file's path.
    const QString picked = ui->File1->fileName();
    ui->Dir1->refresh();
    ui->File1->refresh();
    if (!picked.isEmpty() && ui->File1->fileName().isEmpty() && !m_runner->isRunning()) {
        // The file picked is gone: there is nothing left to start.
        ui->Buble->setEnabled(false);
        ui->Stop_Capture->setEnabled(false);
    }
    // A folder deleted and made again needs watching anew.
    watchFolder();
}

void Tavrel_sync::volumesMayHaveChanged()
{
    // A run keeps the lists as they are (they are greyed); the look after
    // it catches up with whatever came or went meanwhile.
    if (m_runner->isRunning())
        return;
    const QStringList now = mountedRoots();
    if (now == m_volumes)
        return;
    m_volumes = now;
    // The selection stays when its volume is still there; otherwise the
    // list goes back to "/" and the folder list follows. Only the user's
    // choices are stored: a stick pulled out for a moment leaves the stored
    // folder alone.
    m_followingTheDisk = true;
    ui->Drive1->refresh();
    m_followingTheDisk = false;
}

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
    // No drive change may write a setting once the window is going.
    m_volumePoll->stop();
    m_runLetGo = m_runner->abandon();
}

void Tavrel_sync::showStep(int stepNumber, const QString &exposure, const QString &pause,
                           const QString &mirror, const QString &comment)
{
    ui->Nb_Poses->setText(QString::number(stepNumber));
    ui->Pose->setText(exposure);
    ui->Text1->setText(pause);
    ui->Relevage->setText(mirror);
    showComment(comment);
}

QString Tavrel_sync::exposureText() const { return ui->Pose->text(); }
QString Tavrel_sync::pauseText() const { return ui->Text1->text(); }

void Tavrel_sync::showEnd()
{
    setCommentText(ui->Commentbox, QStringLiteral("** Fin de scénario **"));
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
