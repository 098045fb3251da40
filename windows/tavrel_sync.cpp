#include "windows/tavrel_sync.h"

#include "link/messages.h"
#include "link/settings.h"
#include "link/shared_values.h"
#include "link/window_timer.h"
#include "modes/sky_times.h"
#include "ui_Tavrel_sync.h"
#include "windows/controls.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QScopedValueRollback>
#include <QSet>
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
    connect(ui->File1, &FileListBox::pickCleared, this, [this] { showButtons(m_runner->isRunning()); });
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
        showComment(comment.isEmpty() ? sky : QStringLiteral("%1  (%2)").arg(comment, sky));
    });
    const auto commentAlone = [this] { showComment(shared().StepComment); };
    connect(m_runner, &ScenarioRunner::mirrorRaised, this, commentAlone);
    connect(m_runner, &ScenarioRunner::exposureStarted, this, commentAlone);
    connect(m_runner, &ScenarioRunner::runEnded, this, [this] {
        clearStopRequested();
        showButtons(false);
    });

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
    // Bringing back what is stored writes nothing: a folder on a stick not
    // plugged in yet stays the one to come back to.
    const QScopedValueRollback quiet(m_followingTheDisk, true);
    const QString stored = shared().DefaultDir;
    // The stored default ("\", the root of a Windows drive) means nothing
    // was chosen yet: the user's own folder, where scenarios get saved.
    if (DirListBox::namesADriveRoot(stored)) {
        showFolder(QDir::homePath());
        return;
    }
    ui->Drive1->setDrive(shared().DefaultDrive);
    if (ui->Dir1->setPath(stored))
        return;
    m_awaitedFolder = ui->Dir1->resolve(stored);
    // Said once a session, not at every return to this window.
    static QSet<QString> told;
    if (!told.contains(m_awaitedFolder)) {
        told.insert(m_awaitedFolder);
        showMessage(MessageKind::Warning,
                    QStringLiteral("Le dossier des scénarios %1 est introuvable (support débranché ?). "
                                   "La liste montre le dossier personnel et passera à ce dossier dès qu'il "
                                   "sera là.")
                        .arg(QDir::toNativeSeparators(m_awaitedFolder)));
    }
    showFolder(QDir::homePath());
}

void Tavrel_sync::showFolder(const QString &folder)
{
    ui->Drive1->setDrive(folder);
    ui->Dir1->setPath(folder);
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
        m_awaitedFolder.clear(); // the user's own choice outranks the one awaited
    if (!m_followingTheDisk)
        WriteSetting(QStringLiteral("Defaut"), QStringLiteral("DEF_DIR"), ui->File1->path(),
                     QString::fromLatin1(kSettingsFile));
}

void Tavrel_sync::File1_Click() { showButtons(m_runner->isRunning()); }

void Tavrel_sync::File1_PathChange() { showButtons(m_runner->isRunning()); }

void Tavrel_sync::showButtons(bool running)
{
    // Start runs the highlighted file, and only between runs; Stop has
    // something to stop only while a run goes.
    ui->Buble->setEnabled(!running && !ui->File1->fileName().isEmpty());
    ui->Stop_Capture->setEnabled(running && !stopRequested());
}

void Tavrel_sync::Buble_Click()
{
    if (m_runner->isRunning() || ui->File1->fileName().isEmpty())
        return;
    m_runner->start(QDir(ui->File1->path()).filePath(ui->File1->fileName()));
}

void Tavrel_sync::Stop_Capture_Click()
{
    // Between runs there is nothing to stop: a request left set would end
    // the next run at its first step.
    if (!m_runner->isRunning())
        return;
    m_runner->requestStop();
    showStopRequested(ui->Commentbox, ui->Stop_Capture);
}

bool Tavrel_sync::runUnderWay() const { return m_runner->isRunning() || ModeWindow::runUnderWay(); }
bool Tavrel_sync::shotUnderWay() const { return m_runner->shotUnderWay(); }

QString Tavrel_sync::runUnderWayText() const
{
    if (!m_runner->isRunning())
        return ModeWindow::runUnderWayText();
    const QString step = QStringLiteral("l'étape %1 du scénario").arg(m_runner->stepNumber());
    if (m_runner->shotUnderWay())
        return QStringLiteral("Une pose est en cours (%1).").arg(step);
    if (m_runner->countdownSeconds()) {
        const auto at = m_runner->stepTimeOfDay();
        return QStringLiteral("Le scénario attend l'heure de %1 (%2).")
            .arg(at ? at->toString(QStringLiteral("HH:mm:ss")) : QStringLiteral("?"), step);
    }
    return QStringLiteral("Le scénario est dans le délai avant la prochaine pose.");
}

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
    if (!picked.isEmpty() && ui->File1->fileName().isEmpty())
        showButtons(m_runner->isRunning()); // the file picked is gone: nothing left to start
    // A folder deleted and made again needs watching anew.
    watchFolder();
}

void Tavrel_sync::volumesMayHaveChanged()
{
    // A run keeps the lists as they are (they are greyed); the look after
    // it catches up with whatever came or went meanwhile.
    if (m_runner->isRunning())
        return;
    if (!m_awaitedFolder.isEmpty() && QFileInfo(m_awaitedFolder).isDir()) {
        const QScopedValueRollback quiet(m_followingTheDisk, true);
        showFolder(std::exchange(m_awaitedFolder, QString()));
    }
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
    showButtons(running);
}

} // namespace tavrel
