// The release line driver and the adapter backends it stands on, checked
// against the simulated adapter's record of calls.

#include "link/adapter_log.h"
#include "link/release_line.h"
#include "link/settings.h"
#include "link/shared_values.h"
#include "link/window_timer.h"
#include "support/engine_rig.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrel;
using tavrel::test::EngineRig;

class TestReleaseLine : public QObject {
    Q_OBJECT
private slots:
    void openMakesFourCallsWhateverTheStatus_data();
    void openMakesFourCallsWhateverTheStatus();
    void defaultsReachTheChip();
    void pressAndReleaseWriteOneByteEach_data();
    void pressAndReleaseWriteOneByteEach();
    void writeAfterCloseUsesTheOldHandle();
    void secondOpenOfAHeldDeviceFails();
    void unplugKillsTheHandleAndDropsTheLine();
    void injectedFaultsComeBackAsStatuses();
    void logLinesHaveTheirFixedShape();
    void aPlanIsMadeOnItsInstantsOrNotAtAll_data();
    void aPlanIsMadeOnItsInstantsOrNotAtAll();
};

void TestReleaseLine::openMakesFourCallsWhateverTheStatus_data()
{
    QTest::addColumn<bool>("attached");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("after"); // calls after the four
    QTest::addColumn<QString>("failedCall");
    // Set up, the release is let go before anything else.
    QTest::newRow("adapter attached") << true << QString() << QStringList{"FT_Write(0)"} << QString();
    // With nothing plugged in, the open fails and every later call on the
    // never-given handle fails too.
    QTest::newRow("no adapter") << false << QString() << QStringList() << "FT_Open";
    // Half set up is not set up: the handle is given back for the next try.
    QTest::newRow("reset fails") << true << "FT_ResetDevice" << QStringList{"FT_Close"} << "FT_ResetDevice";
    QTest::newRow("bit mode fails") << true << "FT_SetBitMode" << QStringList{"FT_Close"} << "FT_SetBitMode";
    QTest::newRow("line does not answer") << true << "FT_Write" << QStringList{"FT_Write(0)", "FT_Close"}
                                          << "FT_Write";
}

void TestReleaseLine::openMakesFourCallsWhateverTheStatus()
{
    QFETCH(bool, attached);
    QFETCH(QString, fault);
    QFETCH(QStringList, after);
    QFETCH(QString, failedCall);
    EngineRig rig;
    rig.sim.setAttached(attached);
    if (!fault.isEmpty())
        rig.sim.injectFault(fault, FT_IO_ERROR);
    OpenDevice();
    QCOMPARE(rig.callWords(), QStringList({"FT_Open", "FT_ResetDevice", "FT_SetBaudRate", "FT_SetBitMode"}) + after);
    QCOMPARE(shared().SetupFailedCall, failedCall);
    QCOMPARE(shared().DeviceOpen, failedCall.isEmpty() ? -1 : 0);
    QCOMPARE(rig.sim.openHandleCount(), failedCall.isEmpty() ? 1 : 0);
}

void TestReleaseLine::defaultsReachTheChip()
{
    EngineRig rig;
    LoadSettings();
    OpenDevice();
    const auto calls = rig.sim.calls();
    QCOMPARE(calls.at(0).arg, 0);      // device index
    QCOMPARE(calls.at(2).arg, 9600);   // baud rate
    QCOMPARE(calls.at(3).arg, 255);    // mask: all eight lines outputs
    QCOMPARE(calls.at(3).arg2, 1);     // asynchronous bit-bang
    QCOMPARE(calls.at(1).handle, calls.at(0).out);
    QCOMPARE(std::int64_t(shared().DeviceHandle), calls.at(0).out);
}

void TestReleaseLine::pressAndReleaseWriteOneByteEach_data()
{
    QTest::addColumn<QList<int>>("sequence"); // 1 press, 0 release
    QTest::addColumn<bool>("pressedAfter");
    QTest::newRow("press then release") << QList<int>{1, 0} << false;
    // The driver keeps no pressed state: a second press is written again.
    QTest::newRow("press twice") << QList<int>{1, 1} << true;
}

void TestReleaseLine::pressAndReleaseWriteOneByteEach()
{
    QFETCH(QList<int>, sequence);
    QFETCH(bool, pressedAfter);
    EngineRig rig;
    LoadSettings();
    OpenDevice();
    rig.sim.clearCalls();
    for (int b : sequence) {
        b ? PressShutter() : ReleaseShutter();
        QCOMPARE(shared().BytesWritten, 1u);
        QCOMPARE(shared().LastStatus, int(FT_OK));
    }
    QStringList expected;
    for (int b : sequence)
        expected << QStringLiteral("FT_Write(%1)").arg(b);
    QCOMPARE(rig.callWords(), expected);
    QCOMPARE(rig.sim.isPressed(), pressedAfter);
}

void TestReleaseLine::writeAfterCloseUsesTheOldHandle()
{
    EngineRig rig;
    LoadSettings();
    OpenDevice();
    const auto handle = shared().DeviceHandle;
    CloseDevice();
    QCOMPARE(shared().DeviceOpen, 0);
    QCOMPARE(shared().DeviceHandle, handle);
    rig.sim.clearCalls();
    PressShutter();
    QCOMPARE(rig.sim.calls().size(), 1);
    QCOMPARE(rig.sim.calls().at(0).handle, std::int64_t(handle));
    QCOMPARE(shared().LastStatus, int(FT_INVALID_HANDLE));
    QCOMPARE(shared().BytesWritten, 0u);
    QVERIFY(!rig.sim.isPressed());
}

void TestReleaseLine::secondOpenOfAHeldDeviceFails()
{
    // A mode switch opens the adapter again while the old window still holds
    // it (its load cleared DeviceOpen): the held handle is given back first,
    // or the chip would refuse the second open.
    EngineRig rig;
    LoadSettings();
    OpenDevice();
    LoadSettings();
    rig.sim.clearCalls();
    OpenDevice();
    QCOMPARE(rig.callWords(),
             QStringList({"FT_Close", "FT_Open", "FT_ResetDevice", "FT_SetBaudRate", "FT_SetBitMode", "FT_Write(0)"}));
    QCOMPARE(shared().DeviceOpen, -1);
    QCOMPARE(rig.sim.openHandleCount(), 1);
    PressShutter();
    QVERIFY(rig.sim.isPressed());
}

void TestReleaseLine::unplugKillsTheHandleAndDropsTheLine()
{
    EngineRig rig;
    LoadSettings();
    OpenDevice();
    PressShutter();
    QVERIFY(rig.sim.isPressed());
    rig.sim.setAttached(false);
    QVERIFY(!rig.sim.isPressed());
    ReleaseShutter();
    QCOMPARE(shared().LastStatus, int(FT_IO_ERROR));
    QCOMPARE(shared().BytesWritten, 0u);
    CloseDevice(); // frees the dead handle
    QCOMPARE(rig.sim.openHandleCount(), 0);
    rig.sim.setAttached(true);
    OpenDevice();
    QCOMPARE(shared().LastStatus, int(FT_OK));
    QVERIFY(shared().DeviceHandle != 1u); // a fresh handle
}

void TestReleaseLine::injectedFaultsComeBackAsStatuses()
{
    EngineRig rig;
    LoadSettings();
    rig.sim.injectFault("FT_SetBaudRate", FT_IO_ERROR);
    OpenDevice();
    QCOMPARE(rig.sim.callsOf("FT_SetBaudRate").at(0).status, int(FT_IO_ERROR));
    QCOMPARE(rig.sim.callsOf("FT_SetBitMode").at(0).status, int(FT_OK)); // the sequence went on to the end
    QCOMPARE(shared().SetupFailedStatus, int(FT_IO_ERROR));
    OpenDevice();
    rig.sim.injectFault("FT_Write", FT_OTHER_ERROR, 2);
    PressShutter();
    QCOMPARE(shared().LastStatus, int(FT_OTHER_ERROR));
    PressShutter();
    QCOMPARE(shared().LastStatus, int(FT_OTHER_ERROR));
    QVERIFY(!rig.sim.isPressed());
    PressShutter();
    QCOMPARE(shared().LastStatus, int(FT_OK));
    QVERIFY(rig.sim.isPressed());
}

void TestReleaseLine::logLinesHaveTheirFixedShape()
{
    EngineRig rig;
    QTemporaryDir dir;
    const QString path = dir.filePath("adapter.log");
    QString error;
    auto logged = LoggingAdapter::open(rig.sim, path, &error);
    QVERIFY2(logged, qPrintable(error));
    setAdapter(logged.get());
    LoadSettings();
    rig.advance(3);
    std::uint32_t count = 0;
    logged->FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    OpenDevice();
    rig.advance(2122);
    PressShutter();
    CloseDevice();
    rig.sim.setAttached(false);
    OpenDevice(); // a failed open shows no handle
    setAdapter(&rig.sim);
    logged.reset();

    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    const QStringList expected{
        "0.003000 FT_ListDevices(flags=0x80000000) = 0 count=1",
        "0.003000 FT_Open(index=0) = 0 handle=1",
        "0.003000 FT_ResetDevice(handle=1) = 0",
        "0.003000 FT_SetBaudRate(handle=1, baud=9600) = 0",
        "0.003000 FT_SetBitMode(handle=1, mask=255, mode=1) = 0",
        "0.003000 FT_Write(handle=1, byte=0x00) = 0 written=1",
        "2.125000 FT_Write(handle=1, byte=0x01) = 0 written=1",
        "2.125000 FT_Close(handle=1) = 0",
        "2.125000 FT_Open(index=0) = 2",
        "2.125000 FT_ResetDevice(handle=1) = 1",
        "2.125000 FT_SetBaudRate(handle=1, baud=9600) = 1",
        "2.125000 FT_SetBitMode(handle=1, mask=255, mode=1) = 1",
    };
    QCOMPARE(lines, expected);
}

QTEST_GUILESS_MAIN(TestReleaseLine)
#include "tst_release_line.moc"

void TestReleaseLine::aPlanIsMadeOnItsInstantsOrNotAtAll_data()
{
    // A press at 1000 ms and its release 500 ms after it, handed over at
    // once; something happens at 500, 990 or 1200 ms.
    using Writes = QList<QPair<std::int64_t, int>>;
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<Writes>("expected");
    QTest::addColumn<QList<int>>("heard"); // indices the owner hears of; -2: withdrawn
    QTest::newRow("nothing") << "" << Writes{{1000, 1}, {1500, 0}} << QList<int>{0, 1};
    QTest::newRow("main thread busy over the instant") << "busy" << Writes{{1000, 1}, {1500, 0}} << QList<int>{0, 1};
    QTest::newRow("cancelled by its owner") << "cancel" << Writes{} << QList<int>{};
    // Set up again: the set-up lets go, the plan goes on.
    QTest::newRow("adapter set up again") << "reopen" << Writes{{500, 0}, {1000, 1}, {1500, 0}} << QList<int>{0, 1};
    // The thread is busy with a set-up whose reset takes 50 ms: the press
    // comes once the set-up is over, never in the middle of it.
    QTest::newRow("slow set-up over the instant") << "slow reopen" << Writes{{1040, 0}, {1040, 1}, {1540, 0}}
                                                  << QList<int>{0, 1};
    // A stop's release: nothing of the plan comes after it.
    QTest::newRow("immediate write") << "release" << Writes{{1000, 1}, {1200, 0}} << QList<int>{0, -2};
}

void TestReleaseLine::aPlanIsMadeOnItsInstantsOrNotAtAll()
{
    using Writes = QList<QPair<std::int64_t, int>>;
    QFETCH(QString, meanwhile);
    QFETCH(Writes, expected);
    QFETCH(QList<int>, heard);
    EngineRig rig;
    LoadSettings();
    OpenDevice();
    rig.sim.clearCalls();
    int owner = 0;
    QList<int> told;
    submitLinePlan(&owner, 1000000, {{1, -1, 0}, {0, 0, 500000}}, [&](const LineEvent &e) {
        told << (e.kind == LineEvent::Withdrawn ? -2 : e.index);
    });
    auto other = rig.time.createOneShot([&] {
        if (meanwhile == "busy")
            rig.time.spend(50000);
        else if (meanwhile == "cancel")
            QCOMPARE(cancelLinePlan(&owner), std::nullopt);
        else if (meanwhile.endsWith("reopen"))
            OpenDevice();
        else if (meanwhile == "release")
            ReleaseShutter();
    });
    const QMetaObject::Connection slowReset = connect(&rig.sim, &SimulatedAdapter::changed, this, [&] {
        if (meanwhile == "slow reopen" && rig.sim.calls().last().function == "FT_ResetDevice")
            rig.time.spend(50000);
    });
    const auto slow = qScopeGuard([&] { QObject::disconnect(slowReset); });
    other->start(meanwhile == "busy" || meanwhile == "slow reopen" ? 990 : meanwhile == "release" ? 1200 : 500);
    rig.advance(3000);
    QCOMPARE(rig.writes(), expected);
    QCOMPARE(told, heard);
    QVERIFY(!rig.sim.isPressed());
    cancelLinePlan(&owner);
}
