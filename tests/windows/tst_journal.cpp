// The exposure journal: one line per exposure whatever started it, measured
// exactly as the adapter saw it, and never in the way of an exposure.

#include "link/regular_file.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/journal.h"
#include "support/rig.h"
#include "windows/director.h"
#include "windows/tavrel_async.h"
#include "windows/tavrel_sync.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavrel;
using tavrel::test::Rig;

namespace {

QStringList fields(const QString &line) { return line.split(QLatin1Char(',')); }

// Press-to-release durations of the adapter record, in ms.
QList<std::int64_t> pressDurations(const Rig &rig)
{
    QList<std::int64_t> out;
    std::int64_t since = -1;
    for (auto [ms, b] : rig.writes()) {
        if (b == 1 && since < 0)
            since = ms;
        else if (b == 0 && since >= 0)
            out << ms - since, since = -1;
    }
    return out;
}

Tavrel_async *sequence(Rig &rig, const QString &count, const QString &pose)
{
    auto *w = static_cast<Tavrel_async *>(rig.open(Mode::Sequence));
    w->findChild<QLineEdit *>("Nb_Poses")->setText(count);
    w->findChild<QLineEdit *>("Pose")->setText(pose);
    w->findChild<QLineEdit *>("Text1")->setText("1");
    return w;
}

// One exposure of `askedSeconds` straight on the line, lasting `ms`.
void expose(Rig &rig, int askedSeconds, std::int64_t ms)
{
    PressShutter();
    ExposureJournal::instance().exposureStarted(JournalExposure{"séquence", askedSeconds, 1, QString()});
    rig.advance(ms);
    ReleaseShutter();
}

// The disk fills up while it lives: writes past `room` more bytes than the
// journal holds now come out short, then fail.
class DiskFullPast {
public:
    DiskFullPast(const QString &file, qint64 room) : m_onOverflow(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &m_before);
        const rlimit full{rlim_t(QFileInfo(file).size() + room), m_before.rlim_max};
        setrlimit(RLIMIT_FSIZE, &full);
    }
    ~DiskFullPast()
    {
        setrlimit(RLIMIT_FSIZE, &m_before);
        std::signal(SIGXFSZ, m_onOverflow);
    }

private:
    rlimit m_before{};
    void (*m_onOverflow)(int);
};

} // namespace

class TestJournal : public QObject {
    Q_OBJECT
private slots:
    void sequenceExposuresMatchTheAdapter();
    void scenarioExposuresNameTheirLine();
    void manualExposureHasNoRequestedTime();
    void outcomes_data();
    void outcomes();
    void unwritableJournalNeverDelaysAnExposure();
    void fullDiskLeavesNoHalfLine();
    void takeBackSparesAnotherProgramsLine();
    void specialJournalNeverHoldsTheNight_data();
    void specialJournalNeverHoldsTheNight();
    void runRefusedWhileAdapterNotReady_data();
    void runRefusedWhileAdapterNotReady();
    void pressThatFailsIsNotTaken();
    void exposureFarLongerThanAsked();
    void fieldsWithCommasAreQuoted();
};

void TestJournal::sequenceExposuresMatchTheAdapter()
{
    Rig rig(QDateTime(QDate(2026, 12, 7), QTime(23, 59, 58)));
    Tavrel_async *w = sequence(rig, "2", "2");
    rig.advance(250);
    w->Buble_Click();
    rig.advance(10000);
    const QStringList lines = rig.journalLines();
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0), ExposureJournal::header());
    const auto durations = pressDurations(rig);
    QCOMPARE(durations, (QList<std::int64_t>{2010, 2010}));
    // The first press is at 250 + 110 ms after 23:59:58; the second after midnight.
    QCOMPARE(fields(lines.at(1)), QStringList({"2026-12-07", "23:59:58.360", "00:00:00.370", "2", "2.010",
                                              "séquence", "1", "", "complète", "sans"}));
    QCOMPARE(fields(lines.at(2)).mid(0, 5), QStringList({"2026-12-08", "00:00:01.580", "00:00:03.590", "2", "2.010"}));
    QCOMPARE(fields(lines.at(2)).at(6), QStringLiteral("2"));
}

void TestJournal::scenarioExposuresNameTheirLine()
{
    Rig rig;
    auto *w = static_cast<Tavrel_sync *>(rig.open(Mode::Scenario));
    QVERIFY(rig.startScenario(w, "nuit.txt", "*,0,3,0,premier\r\n*,1,2,0,second\r\n*,0,0,0,fin\r\n"));
    rig.advance(20000);
    const QStringList lines = rig.journalLines();
    QCOMPARE(lines.size(), 3);
    QCOMPARE(fields(lines.at(1)).mid(3), QStringList({"3", "3.010", "scénario", "1", "nuit.txt:1", "complète", "sans"}));
    QCOMPARE(fields(lines.at(2)).mid(3), QStringList({"2", "2.010", "scénario", "2", "nuit.txt:2", "complète", "sans"}));
    QCOMPARE(pressDurations(rig), (QList<std::int64_t>{3010, 500, 2010}));
}

void TestJournal::manualExposureHasNoRequestedTime()
{
    Rig rig;
    ModeWindow *w = rig.open(Mode::Manual);
    auto *t = w->findChild<QPushButton *>("PressT");
    t->click();
    rig.advance(4321);
    t->click();
    const QStringList lines = rig.journalLines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(fields(lines.at(1)).mid(3), QStringList({"", "4.321", "manuel", "", "", "complète", "sans"}));
}

void TestJournal::outcomes_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("stop shot") << "stop" << "arrêtée par l'utilisateur";
    QTest::newRow("window closed") << "close" << "fenêtre fermée";
    QTest::newRow("mode switch") << "switch" << "fenêtre fermée";
    QTest::newRow("unplugged") << "unplug" << "adaptateur perdu pendant la pose";
    QTest::newRow("program ended") << "end" << "fin du programme";
}

void TestJournal::outcomes()
{
    QFETCH(QString, how);
    QFETCH(QString, outcome);
    Rig rig;
    Tavrel_async *w = sequence(rig, "1", "60");
    w->Buble_Click();
    rig.advance(5000);
    if (how == "stop")
        w->Stop_Shot_Click();
    else if (how == "close") {
        w->close();
        Rig::answer(w, true);
    } else if (how == "switch")
        Director::instance().switchMode(w, Mode::Manual);
    else if (how == "unplug") {
        rig.sim.setAttached(false);
        rig.advance(1000);
        rig.sim.setAttached(true);
        rig.advance(60000);
    } else if (how == "end")
        Director::instance().shutdown();
    const QStringList lines = rig.journalLines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(fields(lines.at(1)).at(8), outcome);
    QVERIFY(!rig.sim.isPressed());
}

void TestJournal::unwritableJournalNeverDelaysAnExposure()
{
    Rig rig;
    QTemporaryDir dir;
    QFile blocker(dir.filePath("not-a-folder"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ExposureJournal::instance().setPath(dir.filePath("not-a-folder/journal.csv"));
    Tavrel_async *w = sequence(rig, "3", "2");
    w->Buble_Click();
    rig.advance(20000);
    QCOMPARE(pressDurations(rig), (QList<std::int64_t>{2010, 2010, 2010}));
    const auto presses = rig.writeTimes(1);
    QCOMPARE(presses.at(1) - rig.writeTimes(0).at(1), 1210); // the first 0 is the set-up's
    QCOMPARE(rig.messages.shown.size(), 1); // said once, not at every exposure
    QVERIFY(rig.messages.shown.first().text.contains("journal"));
}

void TestJournal::fullDiskLeavesNoHalfLine()
{
    Rig rig;
    OpenDevice();
    expose(rig, 1, 1000);
    const qint64 size = QFileInfo(rig.journalPath()).size();
    {
        const DiskFullPast full(rig.journalPath(), 20);
        expose(rig, 1, 1000);
        expose(rig, 1, 1000);
    }
    QCOMPARE(QFileInfo(rig.journalPath()).size(), size);
    expose(rig, 1, 1000);
    QCOMPARE(rig.journalLines().size(), 3);
    QCOMPARE(fields(rig.journalLines().last()).size(), 10);
    QCOMPARE(rig.messages.shown.size(), 1);
}

void TestJournal::takeBackSparesAnotherProgramsLine()
{
    Rig rig;
    QVERIFY(QDir().mkpath(QFileInfo(rig.journalPath()).absolutePath()));
    const AppendFile mine = openRegularForAppend(rig.journalPath());
    QVERIFY(mine.fd >= 0);
    // Another program's line lands after this one opened the journal...
    QFile other(rig.journalPath());
    QVERIFY(other.open(QIODevice::Append));
    other.write(ExposureJournal::header().toUtf8() + "\nautre,ligne\n");
    other.close();
    const qint64 size = QFileInfo(rig.journalPath()).size();
    {
        // ... and this one's own write is cut short.
        const DiskFullPast full(rig.journalPath(), 10);
        QVERIFY(!appendJournalLine(mine.fd, QByteArray(60, 'x')).isEmpty());
    }
    ::close(mine.fd);
    QCOMPARE(QFileInfo(rig.journalPath()).size(), size);
    QCOMPARE(rig.journalLines().last(), QStringLiteral("autre,ligne"));
}

void TestJournal::specialJournalNeverHoldsTheNight_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("reason");
    QTest::newRow("FIFO") << QString() << "tube nommé";
    QTest::newRow("link to /dev/full") << "/dev/full" << "périphérique";
}

void TestJournal::specialJournalNeverHoldsTheNight()
{
    // Opening a FIFO for writing waits for a reader that never comes.
    QFETCH(QString, target);
    QFETCH(QString, reason);
    Rig rig;
    QTemporaryDir dir;
    const QString journal = dir.filePath("journal.csv");
    QVERIFY(target.isEmpty() ? ::mkfifo(QFile::encodeName(journal).constData(), 0600) == 0
                             : QFile::link(target, journal));
    ExposureJournal::instance().setPath(journal);
    OpenDevice();
    expose(rig, 1, 1000);
    expose(rig, 1, 1000);
    QCOMPARE(pressDurations(rig), (QList<std::int64_t>{1000, 1000}));
    QCOMPARE(rig.messages.shown.size(), 1);
    QVERIFY2(rig.messages.shown.first().text.contains(reason), qPrintable(rig.messages.shown.first().text));
}

void TestJournal::runRefusedWhileAdapterNotReady_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("sequence") << int(Mode::Sequence);
    QTest::newRow("scenario") << int(Mode::Scenario);
}

void TestJournal::runRefusedWhileAdapterNotReady()
{
    QFETCH(int, mode);
    Rig rig;
    rig.sim.setAttached(false);
    ModeWindow *w = mode == int(Mode::Sequence) ? sequence(rig, "1", "3") : rig.open(Mode::Scenario);
    rig.advance(1000);
    if (mode == int(Mode::Sequence))
        static_cast<Tavrel_async *>(w)->Buble_Click();
    else
        QVERIFY(rig.startScenario(static_cast<Tavrel_sync *>(w), "nuit.txt", "*,0,3,0,premier\r\n*,0,0,0,fin\r\n"));
    rig.advance(10000);
    QVERIFY(rig.writeTimes(1).isEmpty());
    QVERIFY(rig.journalLines().isEmpty());
    QCOMPARE(rig.messages.texts().filter("l'adaptateur n'est pas prêt").size(), 1);
}

void TestJournal::pressThatFailsIsNotTaken()
{
    // Pulled out between the start and the press: no exposure was made,
    // and none is measured.
    Rig rig;
    Tavrel_async *w = sequence(rig, "1", "3");
    w->Buble_Click();
    rig.advance(50);
    rig.sim.setAttached(false);
    rig.advance(10000);
    const QStringList lines = rig.journalLines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(fields(lines.at(1)).mid(2, 3), QStringList({"", "3", ""}));
    QVERIFY2(fields(lines.at(1)).at(8).contains("non prise"), qPrintable(lines.at(1)));
}

void TestJournal::exposureFarLongerThanAsked()
{
    // The process stopped, or the machine suspended, mid-exposure: more than
    // a second over what was asked is no complete exposure.
    Rig rig;
    OpenDevice();
    for (const std::int64_t ms : {3000, 3001, 3900000})
        expose(rig, 2, ms);
    const QStringList lines = rig.journalLines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(fields(lines.at(1)).at(8), QStringLiteral("complète"));
    QCOMPARE(fields(lines.at(2)).at(8), QStringLiteral("prolongée"));
    QCOMPARE(fields(lines.at(3)).at(8), QStringLiteral("prolongée"));
}

void TestJournal::fieldsWithCommasAreQuoted()
{
    const QString line = ExposureJournal::csvLine(QDateTime(QDate(2026, 12, 7), QTime(22, 0, 0)), 30010000,
                                                  JournalExposure{"scénario", 30, 4, "M42, \"nuit\".txt:7"},
                                                  JournalOutcome::Complete);
    QCOMPARE(line, QStringLiteral("2026-12-07,22:00:00.000,22:00:30.010,30,30.010,scénario,4,"
                                  "\"M42, \"\"nuit\"\".txt:7\",complète,sans"));
}

QTEST_MAIN(TestJournal)
#include "tst_journal.moc"
