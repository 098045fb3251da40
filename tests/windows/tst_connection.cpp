// The connection indicator on a rig with several FTDI chips: the adapter found
// by its serial, green only while it is open and set up, red with the reason
// in the tooltip otherwise, in virtual time on the simulated chips.

#include "link/connection.h"
#include "link/shared_values.h"
#include "support/rig.h"
#include "windows/controls.h"
#include "windows/tavrel_manu.h"

#include <QFile>
#include <QPushButton>
#include <QtTest>

using namespace tavrel;
using tavrel::test::Rig;

namespace {

Shape *indicator(QWidget *w) { return w->findChild<Shape *>(QStringLiteral("Indicateur_Connexion")); }
bool green(QWidget *w) { return indicator(w)->fillBgr() == 65280; }

void writeSettings(const Rig &rig, const QByteArray &fdti)
{
    QFile f(rig.settingsPath());
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[FDTI]\n" + fdti + "[Defaut]\nDEF_DRIVE=c:\nDEF_DIR=\\\n");
}

// The chip the release-line writes went to.
int chipWritten(const Rig &rig)
{
    const auto writes = rig.sim.callsOf(QStringLiteral("FT_Write"));
    return writes.isEmpty() ? -1 : rig.sim.chipOf(FT_HANDLE(writes.last().handle));
}

} // namespace

class TestConnection : public QObject {
    Q_OBJECT
private slots:
    void init() { resetConnectionNotice(); }

    // Whatever sits before it on the bus, the chip with the serial is the one
    // opened and written to.
    void serialPicksTheChip_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<int>("chips");
        QTest::addColumn<int>("unpluggedFirst"); // -1: none
        QTest::addColumn<int>("rank");
        QTest::addColumn<int>("chip");
        QTest::newRow("second of two") << QByteArray("FDTISerial=SIMFT002\n") << 2 << -1 << 1 << 1;
        QTest::newRow("first of two") << QByteArray("FDTISerial= SIMFT001 \n") << 2 << -1 << 0 << 0;
        QTest::newRow("the one before it gone") << QByteArray("FDTISerial=SIMFT002\n") << 2 << 0 << 0 << 1;
        QTest::newRow("third of three, FDTINo ignored")
            << QByteArray("FDTINo=0\nFDTISerial=SIMFT003\n") << 3 << -1 << 2 << 2;
        QTest::newRow("by rank without a serial") << QByteArray("FDTINo=1\n") << 3 << -1 << 1 << 1;
    }
    void serialPicksTheChip()
    {
        QFETCH(QByteArray, settings);
        QFETCH(int, chips);
        QFETCH(int, unpluggedFirst);
        QFETCH(int, rank);
        QFETCH(int, chip);
        Rig rig(QDateTime(QDate(2026, 12, 7), QTime(21, 40, 12)), chips);
        writeSettings(rig, settings);
        rig.sim.setChipAttached(unpluggedFirst, false);
        auto *w = static_cast<Tavrel_manu *>(rig.open(Mode::Manual));
        QVERIFY(green(w));
        QCOMPARE(rig.sim.callsOf(QStringLiteral("FT_Open")).last().arg, rank);
        w->findChild<QPushButton *>(QStringLiteral("PressT"))->click();
        QCOMPARE(chipWritten(rig), chip);
    }

    // The watch follows our chip, not "any chip".
    void unplugOursOrAnother()
    {
        Rig rig(QDateTime(QDate(2026, 12, 7), QTime(21, 40, 12)), 3);
        writeSettings(rig, "FDTISerial=SIMFT002\n");
        ModeWindow *w = rig.open(Mode::Manual);
        w->findChild<QPushButton *>(QStringLiteral("PressT"))->click();

        rig.sim.setChipAttached(0, false); // the rank of ours moves down
        rig.advance(500);
        QVERIFY(green(w));
        QCOMPARE(rig.sim.callsOf(QStringLiteral("FT_Open")).size(), 1);

        rig.sim.setChipAttached(1, false);
        rig.advance(500);
        QVERIFY(!green(w));
        QVERIFY2(indicator(w)->toolTip().contains(QStringLiteral("SIMFT002")), qPrintable(indicator(w)->toolTip()));
        w->findChild<QPushButton *>(QStringLiteral("PressT"))->click(); // the exposure ends
        QVERIFY(rig.journalLines().last().endsWith(QStringLiteral("adaptateur perdu pendant la pose,sans")));

        rig.sim.setChipAttached(1, true);
        rig.advance(500);
        QVERIFY(green(w));
        QCOMPARE(rig.sim.chipOf(shared().DeviceHandle), 1);
        QVERIFY(rig.messages.shown.isEmpty());
    }

    // Red until the set-up goes through, tried again at each tick, the reason
    // in the tooltip and nowhere else.
    void failedSetUpIsRed_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("fault"); // a call failing for the first ticks
        QTest::addColumn<bool>("permission");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("opens");
        QTest::newRow("bit mode fails") << QByteArray() << "FT_SetBitMode" << false << "FT_SetBitMode" << true;
        QTest::newRow("chip held elsewhere") << QByteArray() << "FT_Open" << false << "autre programme" << true;
        QTest::newRow("no udev rule") << QByteArray() << QString() << true << "udev" << true;
        QTest::newRow("rank past the last") << QByteArray("FDTINo=1\n") << QString() << false << "une seule" << false;
        QTest::newRow("rank not a number") << QByteArray("FDTINo=un\n") << QString() << false << "FDTINo=un" << false;
        QTest::newRow("serial absent") << QByteArray("FDTISerial=A10KZP3Q\n") << QString() << false << "A10KZP3Q"
                                       << false;
    }
    void failedSetUpIsRed()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QString, fault);
        QFETCH(bool, permission);
        QFETCH(QString, reason);
        QFETCH(bool, opens);
        Rig rig;
        writeSettings(rig, settings);
        if (!fault.isEmpty())
            rig.sim.injectFault(fault, fault == QLatin1String("FT_Open") ? FT_DEVICE_NOT_OPENED : FT_IO_ERROR, 3);
        rig.sim.setChipAccessible(0, !permission);
        ModeWindow *w = rig.open(Mode::Sequence);
        const int warnings = int(rig.messages.shown.size());
        rig.advance(1000);
        QVERIFY(!green(w));
        QCOMPARE(shared().DeviceOpen, 0);
        QVERIFY2(indicator(w)->toolTip().contains(reason), qPrintable(indicator(w)->toolTip()));
        QCOMPARE(rig.sim.callsOf(QStringLiteral("FT_Open")).size(), opens ? 3 : 0);
        QCOMPARE(rig.sim.openHandleCount(), 0); // nothing half set up is kept
        QCOMPARE(rig.messages.shown.size(), warnings); // the tooltip says it all
        if (fault.isEmpty())
            return;
        rig.advance(500);
        QVERIFY(green(w));
        QVERIFY(indicator(w)->toolTip().contains(QStringLiteral("ouvert et réglé")));
    }

    // Several chips and no serial: which one was opened is said once.
    void choiceOfChipSaidOnce()
    {
        Rig rig(QDateTime(QDate(2026, 12, 7), QTime(21, 40, 12)), 2);
        ModeWindow *w = rig.open(Mode::Sequence);
        rig.sim.setAttached(false);
        rig.advance(500);
        rig.sim.setAttached(true);
        rig.advance(500);
        QVERIFY(green(w));
        QCOMPARE(rig.messages.shown.size(), 1);
        const QString text = rig.messages.shown.first().text;
        for (const char *part : {"rang 0", "SIMFT001", "FT232R USB UART", "FDTISerial="})
            QVERIFY2(text.contains(QString::fromUtf8(part)), qPrintable(text));
    }
};

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
