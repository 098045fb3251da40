// The scenario window: drive, folder and file lists linked to each other and
// to the settings file, the start and stop buttons, and runs through the window.

#include "link/settings.h"
#include "link/shared_values.h"
#include "modes/sky_times.h"
#include "support/rig.h"
#include "windows/controls.h"
#include "windows/director.h"
#include "windows/tavrel_sync.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrel;
using tavrel::test::Rig;

namespace {

struct Window {
    explicit Window(Rig &r) : rig(r), w(static_cast<Tavrel_sync *>(r.open(Mode::Scenario))) {}
    DriveListBox *drive() const { return w->findChild<DriveListBox *>("Drive1"); }
    DirListBox *dir() const { return w->findChild<DirListBox *>("Dir1"); }
    FileListBox *files() const { return w->findChild<FileListBox *>("File1"); }
    bool startOn() const { return w->findChild<QPushButton *>("Buble")->isEnabled(); }
    bool stopOn() const { return w->findChild<QPushButton *>("Stop_Capture")->isEnabled(); }
    QString box(const char *name) const { return w->findChild<QLineEdit *>(name)->text(); }
    QString comment() const { return w->findChild<QLabel *>("Commentbox")->text(); }
    bool start(const QString &folder, const QString &file)
    {
        return rig.startScenario(w, QDir(folder).filePath(file));
    }
    Rig &rig;
    Tavrel_sync *w;
};

void writeFile(const QString &path, const QByteArray &text)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
}

QString setting(const char *key)
{
    return ReadSetting("Defaut", QString::fromLatin1(key), QString::fromLatin1(kSettingsFile));
}

} // namespace

class TestScenarioWindow : public QObject {
    Q_OBJECT
private slots:
    void listsFollowTheDisk();
    void opensOnTheHomeFolderWithButtonsOff();
    void opensOnTheStoredFolder();
    void aMissingStoredFolderIsSaidOnceAndFollowed();
    void folderChangeDisablesAndIsStored();
    void driveChangeStoresFolderThenDrive();
    void onlyTextFilesAreListed();
    void buttonsFollowARun();
    void startRunsOnlyTheHighlightedFile();
    void countdownWhileWaitingForATimedStep();
    void skyStepTimeInTheCommentWhileWaiting();
    void closingMidRunLetsGoAndTheFileOpensAgain();
    void badFileIsReportedAndNothingIsPressed();

private:
    QTemporaryDir m_dir;
};

void TestScenarioWindow::listsFollowTheDisk()
{
    Rig rig;
    QTemporaryDir dir;
    auto *w = static_cast<Tavrel_sync *>(rig.open(Mode::Scenario));
    auto *files = w->findChild<FileListBox *>("File1");
    auto *folders = w->findChild<DirListBox *>("Dir1");
    QVERIFY(folders->setPath(dir.path()));
    const auto names = [files] {
        QStringList out;
        for (int i = 0; i < files->count(); ++i)
            out << files->item(i)->text();
        return out;
    };
    QFile kept(dir.filePath("a.txt"));
    QVERIFY(kept.open(QIODevice::WriteOnly));
    kept.close();
    QTRY_COMPARE(names(), QStringList{"a.txt"});
    files->pickFile("a.txt");
    // Saved from an editor: the new name comes in, the pick stays.
    QFile saved(dir.filePath("b.txt"));
    QVERIFY(saved.open(QIODevice::WriteOnly));
    saved.close();
    QTRY_COMPARE(names(), (QStringList{"a.txt", "b.txt"}));
    QCOMPARE(files->fileName(), QStringLiteral("a.txt"));
    QVERIFY(QDir(dir.path()).mkdir("nuit"));
    QTRY_COMPARE(folders->folderAt(folders->count() - 1), dir.filePath("nuit"));
    // The picked file deleted: gone from the list, nothing left to start.
    QVERIFY(kept.remove());
    QTRY_COMPARE(names(), QStringList{"b.txt"});
    QVERIFY(files->fileName().isEmpty());
    QVERIFY(!w->findChild<QPushButton *>("Buble")->isEnabled());
}

void TestScenarioWindow::opensOnTheHomeFolderWithButtonsOff()
{
    Rig rig;
    Window win(rig);
    QCOMPARE(win.dir()->path(), QDir::cleanPath(QDir::homePath()));
    QCOMPARE(win.files()->path(), QDir::cleanPath(QDir::homePath()));
    QVERIFY(!win.startOn());
    QVERIFY(!win.stopOn());
    QCOMPARE(setting("DEF_DRIVE"), QStringLiteral("c:"));
    QCOMPARE(setting("DEF_DIR"), QStringLiteral("\\"));
    QCOMPARE(win.box("Pose"), QStringLiteral("1"));
    QCOMPARE(win.box("Relevage"), QStringLiteral("0"));
    QVERIFY(!win.w->findChild<QLineEdit *>("Pose")->isEnabled());
    QCOMPARE(win.comment(), QStringLiteral("horaire, delai_miroir, temps_expo, delai_entre_poses, Comment"));
}

void TestScenarioWindow::opensOnTheStoredFolder()
{
    Rig rig;
    WriteSetting("Defaut", "DEF_DIR", m_dir.path(), kSettingsFile);
    Window win(rig);
    QCOMPARE(win.dir()->path(), m_dir.path());
    QCOMPARE(win.files()->path(), m_dir.path());
}

void TestScenarioWindow::aMissingStoredFolderIsSaidOnceAndFollowed()
{
    Rig rig;
    const QString stick = m_dir.filePath("cle/scenarios");
    WriteSetting("Defaut", "DEF_DIR", stick, kSettingsFile);
    Window(rig).w->close();
    rig.flushDeletes();
    Window win(rig);
    QCOMPARE(win.dir()->path(), QDir::cleanPath(QDir::homePath()));
    QCOMPARE(rig.messages.shown.size(), 1);
    QVERIFY2(rig.messages.shown.first().text.contains(stick), qPrintable(rig.messages.shown.first().text));
    QVERIFY(QDir().mkpath(stick));
    win.w->volumesMayHaveChanged();
    QCOMPARE(win.dir()->path(), stick);
    QCOMPARE(setting("DEF_DIR"), stick); // nothing the user stored is lost
}

void TestScenarioWindow::folderChangeDisablesAndIsStored()
{
    Rig rig;
    writeFile(m_dir.filePath("a.txt"), "*,0,1,0,x\n*,0,0,0,fin\n");
    Window win(rig);
    QVERIFY(win.dir()->setPath(m_dir.path()));
    win.files()->pickFile("a.txt");
    QVERIFY(win.startOn());
    QDir(m_dir.path()).mkpath("sub");
    QVERIFY(win.dir()->setPath(m_dir.filePath("sub")));
    QVERIFY(!win.startOn());
    QVERIFY(!win.stopOn());
    QCOMPARE(setting("DEF_DIR"), m_dir.filePath("sub"));
}

void TestScenarioWindow::driveChangeStoresFolderThenDrive()
{
    Rig rig;
    Window win(rig);
    win.drive()->setDriveRoots({"/", m_dir.path()});
    win.drive()->setDrive(m_dir.path());
    QCOMPARE(setting("DEF_DIR"), m_dir.path());
    QCOMPARE(setting("DEF_DRIVE"), m_dir.path());
    QCOMPARE(win.dir()->path(), m_dir.path());
    // Reopened, the window comes back to that drive and folder.
    win.w->close();
    rig.flushDeletes();
    Window again(rig);
    QCOMPARE(again.dir()->path(), m_dir.path());
}

void TestScenarioWindow::onlyTextFilesAreListed()
{
    Rig rig;
    QTemporaryDir dir;
    for (const char *name : {"a.txt", "B.TXT", "c.csv", "d.txt.bak"})
        writeFile(dir.filePath(name), "x");
    Window win(rig);
    QVERIFY(win.dir()->setPath(dir.path()));
    QStringList names;
    for (int i = 0; i < win.files()->count(); ++i)
        names << win.files()->item(i)->text();
    QCOMPARE(names, QStringList({"a.txt", "B.TXT"}));
}

void TestScenarioWindow::buttonsFollowARun()
{
    Rig rig;
    QTemporaryDir dir;
    writeFile(dir.filePath("n.txt"), "*,0,2,0,un\n*,0,2,0,deux\n*,0,0,0,fin\n");
    Window win(rig);
    QVERIFY(win.start(dir.path(), "n.txt"));
    QVERIFY(!win.startOn());
    QVERIFY(win.stopOn());
    QVERIFY(!win.files()->isEnabled() && !win.dir()->isEnabled() && !win.drive()->isEnabled());
    rig.advance(1000);
    QCOMPARE(win.box("Nb_Poses"), QStringLiteral("1"));
    QCOMPARE(win.comment(), QStringLiteral("un"));
    rig.advance(10000);
    QCOMPARE(win.comment(), QStringLiteral("** Fin de scénario **"));
    QCOMPARE(win.box("Pose"), QStringLiteral("*-*"));
    QCOMPARE(win.box("Nb_Poses"), QStringLiteral("2"));
    // The file still highlighted starts again; there is nothing to stop.
    QVERIFY(win.startOn());
    QVERIFY(!win.stopOn());
    QVERIFY(win.files()->isEnabled() && win.dir()->isEnabled() && win.drive()->isEnabled());
    QCOMPARE(rig.sim.pressCount(), 2);
    QCOMPARE(win.files()->fileName(), QStringLiteral("n.txt"));
}

void TestScenarioWindow::startRunsOnlyTheHighlightedFile()
{
    Rig rig;
    QTemporaryDir dir;
    writeFile(dir.filePath("n.txt"), "*,0,2,0,un\n*,0,0,0,fin\n");
    Window win(rig);
    QVERIFY(win.dir()->setPath(dir.path()));
    win.files()->pickFile("n.txt");
    QVERIFY(win.startOn());
    QVERIFY(!win.stopOn());
    // A click below the last name takes the highlight away.
    QWidget *area = win.files()->viewport();
    QTest::mouseClick(area, Qt::LeftButton, {}, QPoint(5, area->height() - 3));
    QVERIFY(win.files()->selectedItems().isEmpty());
    QVERIFY(!win.startOn());
    win.w->Buble_Click();
    rig.advance(5000);
    QCOMPARE(rig.sim.pressCount(), 0);
    QVERIFY(!win.w->runner()->isRunning());
}

void TestScenarioWindow::countdownWhileWaitingForATimedStep()
{
    Rig rig(QDateTime(QDate(2026, 12, 7), QTime(23, 59, 0)));
    QTemporaryDir dir;
    writeFile(dir.filePath("m.txt"), "00:01:00,0,1,0,apres minuit\n*,0,0,0,fin\n");
    Window win(rig);
    auto *restant2 = win.w->findChild<QLabel *>("restant2");
    QVERIFY(win.start(dir.path(), "m.txt"));
    rig.advance(500);
    QVERIFY(restant2->isVisible());
    QCOMPARE(restant2->text(), QStringLiteral("120"));
    rig.advance(119000);
    QVERIFY(!rig.sim.isPressed());
    rig.advance(1000);
    QVERIFY(rig.sim.isPressed());
    QVERIFY(!restant2->isVisible());
}

void TestScenarioWindow::skyStepTimeInTheCommentWhileWaiting()
{
    Rig rig(QDateTime(QDate(2026, 12, 7), QTime(15, 0, 0)));
    WriteSetting("Lieu", "Latitude", "48.85", QString::fromLatin1(kSettingsFile));
    WriteSetting("Lieu", "Longitude", "2.35", QString::fromLatin1(kSettingsFile));
    QTemporaryDir dir;
    writeFile(dir.filePath("m.txt"), "@crepuscule,0,1,0,M42\n*,0,0,0,fin\n");
    Window win(rig);
    QVERIFY(win.start(dir.path(), "m.txt"));
    rig.advance(500);
    const QDateTime dusk = *skyEventTime(SkyEvent::Dusk, QDate(2026, 12, 7), Place{48.85, 2.35});
    QCOMPARE(win.comment(), QStringLiteral("M42  (@crepuscule → %1)").arg(dusk.toString("HH:mm:ss")));
    rig.advance(QDateTime(QDate(2026, 12, 7), QTime(15, 0, 0)).msecsTo(dusk));
    QVERIFY(rig.sim.isPressed());
    QCOMPARE(win.comment(), QStringLiteral("M42"));
}

void TestScenarioWindow::closingMidRunLetsGoAndTheFileOpensAgain()
{
    Rig rig;
    QTemporaryDir dir;
    writeFile(dir.filePath("n.txt"), "*,0,120,0,long\n*,0,0,0,fin\n");
    {
        Window win(rig);
        QVERIFY(win.start(dir.path(), "n.txt"));
        rig.advance(30000);
        QVERIFY(rig.sim.isPressed());
        Director::instance().switchMode(win.w, Mode::Sequence);
        QVERIFY(!rig.sim.isPressed());
        rig.flushDeletes();
    }
    Director::instance().switchMode(Director::instance().current(), Mode::Scenario);
    rig.flushDeletes();
    Window win(rig);
    QVERIFY(win.start(dir.path(), "n.txt"));
    rig.advance(1000);
    QVERIFY(rig.sim.isPressed());
}

void TestScenarioWindow::badFileIsReportedAndNothingIsPressed()
{
    Rig rig;
    QTemporaryDir dir;
    writeFile(dir.filePath("bad.txt"), "*,0,30,0,ok\n25:61:00,0,30,0,heure impossible\n*,0,0,0,fin\n");
    Window win(rig);
    QVERIFY(win.start(dir.path(), "bad.txt"));
    rig.advance(60000);
    QCOMPARE(rig.sim.pressCount(), 0);
    QCOMPARE(rig.messages.shown.size(), 1);
    QVERIFY2(rig.messages.shown.first().text.contains("ligne 2"), qPrintable(rig.messages.shown.first().text));
    QVERIFY(rig.messages.shown.first().text.contains("bad.txt"));
    QVERIFY(win.files()->isEnabled());
}

QTEST_MAIN(TestScenarioWindow)
#include "tst_scenario_window.moc"
