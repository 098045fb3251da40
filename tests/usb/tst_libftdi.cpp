// The libftdi1 backend against stand-in FT232R chips. umockdev fakes sysfs and
// udev inside this process; each chip's usbfs node is answered by FakeChip
// below, which records the control requests and the bytes sent to the data
// endpoint, and can play a chip that is busy, stuck or pulled out.

#include "link/libftdi_adapter.h"

// GLib before Qt: Qt's "signals" keyword would break GLib's headers.
#include <umockdev.h>

#include "link/connection.h"
#include "link/release_line.h"
#include "link/shared_values.h"
#include "link/guardian.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtTest>

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

using namespace tavrel;

namespace {

constexpr quint8 DataEndpoint = 0x02;

// One stand-in chip: its description and the usbfs node umockdev serves.
struct ChipInfo {
    const char *file;
    const char *syspath;
    const char *devnode;
};

const ChipInfo Chips[] = {
    {"ft232r-first.umockdev", "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1",
     "/dev/bus/usb/001/002"},
    {"ft232r-second.umockdev", "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2",
     "/dev/bus/usb/001/003"},
};

QString dataFile(const char *name)
{
    return QStringLiteral(TAVREL_USB_TEST_DATA "/") + QLatin1String(name);
}

// Answers the usbfs ioctls libusb makes on one device node. It runs on
// umockdev's worker thread while the test thread waits inside libusb, hence
// the lock.
class FakeChip {
public:
    explicit FakeChip(UMockdevTestbed *testbed, const ChipInfo &info)
        : m_testbed(testbed), m_info(info), m_handler(umockdev_ioctl_base_new())
    {
        g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(&FakeChip::onIoctl), this);
    }

    ~FakeChip()
    {
        detach();
        g_signal_handlers_disconnect_by_data(m_handler, this);
        g_object_unref(m_handler);
        for (UMockdevIoctlData *urb : m_pending)
            g_object_unref(urb);
        for (UMockdevIoctlData *urb : m_reapable)
            g_object_unref(urb);
    }

    // Puts the chip on the bus: its sysfs/udev record and its device node,
    // with another serial number when one is given.
    bool plug(const QByteArray &serial = QByteArray())
    {
        QFile file(dataFile(m_info.file));
        if (!file.open(QIODevice::ReadOnly))
            return false;
        QString record = QString::fromLatin1(file.readAll());
        if (!serial.isEmpty())
            record.replace(QRegularExpression(QStringLiteral("^A: serial=.*$"), QRegularExpression::MultilineOption),
                           QStringLiteral("A: serial=") + QString::fromLatin1(serial));
        GError *error = nullptr;
        if (!umockdev_testbed_add_from_string(m_testbed, record.toLatin1().constData(), &error)
            || !umockdev_testbed_attach_ioctl(m_testbed, m_info.devnode, m_handler, &error)) {
            qWarning("cannot plug %s: %s", m_info.devnode, error->message);
            g_error_free(error);
            return false;
        }
        const std::lock_guard lock(m_mutex);
        m_unplugged = false;
        m_attached = true;
        return true;
    }

    // From now on the node answers ENODEV, as usbfs does once a device is
    // disconnected, and the bus no longer lists it.
    void unplug()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_unplugged = true;
        }
        umockdev_testbed_remove_device(m_testbed, m_info.syspath);
        detach();
    }

    // The interface is claimed by someone else.
    void setBusy(bool busy)
    {
        const std::lock_guard lock(m_mutex);
        m_busy = busy;
    }

    // Data sent to the chip is never taken, as with a wedged adapter; its
    // control endpoint still answers.
    void setStuck(bool stuck)
    {
        const std::lock_guard lock(m_mutex);
        m_stuck = stuck;
    }

    // Control requests as "type request value index", in hex like a USB trace.
    QStringList controlRequests()
    {
        const std::lock_guard lock(m_mutex);
        return m_control;
    }

    QByteArray dataSent()
    {
        const std::lock_guard lock(m_mutex);
        return m_data;
    }

    void clearLog()
    {
        const std::lock_guard lock(m_mutex);
        m_control.clear();
        m_data.clear();
    }

private:
    void detach()
    {
        if (!m_attached)
            return;
        m_attached = false;
        umockdev_testbed_detach_ioctl(m_testbed, m_info.devnode, nullptr);
    }

    static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
    {
        static_cast<FakeChip *>(self)->handle(client);
        return TRUE;
    }

    void handle(UMockdevIoctlClient *client)
    {
        const std::lock_guard lock(m_mutex);
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);

        if (m_unplugged)
            return umockdev_ioctl_client_complete(client, -1, ENODEV);

        switch (request) {
        case USBDEVFS_GET_CAPABILITIES:
            if (UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(quint32),
                                                                      nullptr)) {
                // One URB per bulk transfer whatever its size.
                const quint32 value = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
                std::memcpy(caps->data, &value, sizeof value);
                g_object_unref(caps);
                return umockdev_ioctl_client_complete(client, 0, 0);
            }
            return umockdev_ioctl_client_complete(client, -1, EFAULT);
        case USBDEVFS_CLAIMINTERFACE:
            return umockdev_ioctl_client_complete(client, m_busy ? -1 : 0, m_busy ? EBUSY : 0);
        case USBDEVFS_RELEASEINTERFACE:
            return umockdev_ioctl_client_complete(client, 0, 0);
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            // No kernel driver bound to the interface.
            return umockdev_ioctl_client_complete(client, -1, ENODATA);
        case USBDEVFS_SUBMITURB:
            return submit(client, arg);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return reap(client, arg);
        case USBDEVFS_DISCARDURB:
            return discard(client, arg);
        default:
            qWarning("unexpected usbfs ioctl 0x%lx", request);
            return umockdev_ioctl_client_complete(client, -1, ENOTTY);
        }
    }

    void submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        UMockdevIoctlData *urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb),
                                                                 nullptr);
        if (!urbData)
            return umockdev_ioctl_client_complete(client, -1, EFAULT);
        auto *urb = reinterpret_cast<usbdevfs_urb *>(urbData->data);
        UMockdevIoctlData *buffer = nullptr;
        if (urb->buffer_length > 0)
            buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                 gsize(urb->buffer_length), nullptr);
        const int length = buffer ? urb->buffer_length : 0;
        const auto *bytes = buffer ? reinterpret_cast<const quint8 *>(buffer->data) : nullptr;

        bool completes = true;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL && length >= 8) {
            const quint16 value = quint16(bytes[2] | bytes[3] << 8);
            const quint16 index = quint16(bytes[4] | bytes[5] << 8);
            const int wanted = bytes[6] | bytes[7] << 8;
            m_control << QStringLiteral("%1 %2 %3 %4")
                             .arg(bytes[0], 2, 16, QLatin1Char('0'))
                             .arg(bytes[1], 2, 16, QLatin1Char('0'))
                             .arg(value, 4, 16, QLatin1Char('0'))
                             .arg(index, 4, 16, QLatin1Char('0'));
            // Requests that read get zeros: a GET_STATUS of "all clear".
            if (bytes[0] & 0x80)
                std::memset(buffer->data + 8, 0, std::size_t(length - 8));
            urb->actual_length = std::min(wanted, length - 8);
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == DataEndpoint
                   && !m_stuck) {
            m_data.append(reinterpret_cast<const char *>(bytes), length);
            urb->actual_length = length;
        } else {
            // Reads, and writes to a stuck chip, stay pending until discarded.
            completes = false;
        }
        urb->status = 0;
        if (buffer)
            g_object_unref(buffer);
        if (completes)
            m_reapable.push_back(urbData);
        else
            m_pending.push_back(urbData);
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    void reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        if (m_reapable.empty())
            return umockdev_ioctl_client_complete(client, -1, EAGAIN);
        UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
        if (!slot)
            return umockdev_ioctl_client_complete(client, -1, EFAULT);
        UMockdevIoctlData *urb = m_reapable.front();
        m_reapable.pop_front();
        umockdev_ioctl_data_set_ptr(slot, 0, urb);
        g_object_unref(slot);
        g_object_unref(urb);
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    // libusb gives up on a transfer that timed out: the kernel hands the URB
    // back with -ENOENT.
    void discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        gulong address = 0;
        std::memcpy(&address, arg->data, std::min(sizeof address, gsize(arg->data_len)));
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if ((*it)->client_addr != address)
                continue;
            auto *urb = reinterpret_cast<usbdevfs_urb *>((*it)->data);
            urb->status = -ENOENT;
            urb->actual_length = 0;
            m_reapable.push_back(*it);
            m_pending.erase(it);
            return umockdev_ioctl_client_complete(client, 0, 0);
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
    }

    UMockdevTestbed *m_testbed;
    ChipInfo m_info;
    UMockdevIoctlBase *m_handler;
    bool m_attached = false;

    std::mutex m_mutex;
    bool m_unplugged = false;
    bool m_busy = false;
    bool m_stuck = false;
    QStringList m_control;
    QByteArray m_data;
    std::vector<UMockdevIoctlData *> m_pending;
    std::deque<UMockdevIoctlData *> m_reapable;
};

int openFileCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

// What opening costs on the wire: libftdi resets the chip and sets 9600 baud.
const QStringList OpenRequests = {"40 00 0000 0001", "40 03 4138 0000"};

} // namespace

class TestLibFtdi : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void countsAdapters_data();
    void countsAdapters();
    void listsOnlyTheCount_data();
    void listsOnlyTheCount();
    void opensByIndex_data();
    void opensByIndex();
    void refusesAdapterAlreadyOpen();
    void openSequenceOnTheWire();
    void baudRateMeansWhatTheVendorDriverMeans_data();
    void baudRateMeansWhatTheVendorDriverMeans();
    void bitModeOnTheWire_data();
    void bitModeOnTheWire();
    void writesReachTheDataEndpoint_data();
    void writesReachTheDataEndpoint();
    void unplugMidSession();
    void replugCyclesLeakNothing();
    void stuckAdapterGivesUpQuickly();
    void unknownHandles_data();
    void unknownHandles();
    void destructorClosesEverything();
    void listsWhatTheKernelRead();
    void findsTheAdapterBySerial_data();
    void findsTheAdapterBySerial();
    void followsItsOwnChip();
    void failedSetUpIsNotReady();
    void guardianLetsGoOfTheRightChip_data();
    void guardianLetsGoOfTheRightChip();

private:
    FakeChip &chip(int i) { return *m_chips[std::size_t(i)]; }
    bool plug(int count);
    FT_HANDLE openAndSetUp();
    // The program's connection check on this adapter, FDTISerial set to `serial`.
    LinkCheck check(const QString &serial);

    UMockdevTestbed *m_testbed = nullptr;
    std::vector<std::unique_ptr<FakeChip>> m_chips;
    std::unique_ptr<LibFtdiAdapter> m_adapter;
};

void TestLibFtdi::initTestCase()
{
    // umockdev can only tell once a test bed redirects /sys. A failure, not a
    // skip: without the preload library the tests would reach the machine's
    // real USB bus.
    UMockdevTestbed *probe = umockdev_testbed_new();
    const bool mocked = umockdev_in_mock_environment();
    g_object_unref(probe);
    if (!mocked)
        QFAIL("run this test under umockdev-wrapper (ctest does)");
}

void TestLibFtdi::init()
{
    m_testbed = umockdev_testbed_new();
    QVERIFY(m_testbed);
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_file(m_testbed, dataFile("usb-host.umockdev").toUtf8(),
                                        &error)) {
        const QByteArray message = error->message;
        g_error_free(error);
        QFAIL(message.constData());
    }
    for (const ChipInfo &info : Chips)
        m_chips.push_back(std::make_unique<FakeChip>(m_testbed, info));
    m_adapter = std::make_unique<LibFtdiAdapter>();
    resetSharedValues();
}

void TestLibFtdi::cleanup()
{
    setAdapter(nullptr);
    m_adapter.reset();
    m_chips.clear();
    g_clear_object(&m_testbed);
}

bool TestLibFtdi::plug(int count)
{
    for (int i = 0; i < count; ++i)
        if (!chip(i).plug())
            return false;
    return true;
}

// The program's own sequence: open, reset, 9600 baud, all eight lines out in
// asynchronous bit-bang.
FT_HANDLE TestLibFtdi::openAndSetUp()
{
    FT_HANDLE handle = 0;
    if (m_adapter->FT_Open(0, &handle) != FT_OK
        || m_adapter->FT_ResetDevice(handle) != FT_OK
        || m_adapter->FT_SetBaudRate(handle, 9600) != FT_OK
        || m_adapter->FT_SetBitMode(handle, 0xff, 1) != FT_OK)
        return 0;
    return handle;
}

void TestLibFtdi::countsAdapters_data()
{
    QTest::addColumn<int>("plugged");
    QTest::newRow("none") << 0;
    QTest::newRow("one") << 1;
    QTest::newRow("two") << 2;
}

void TestLibFtdi::countsAdapters()
{
    QFETCH(int, plugged);
    QVERIFY(plug(plugged));

    std::uint32_t count = 0xdeadbeef;
    QCOMPARE(m_adapter->FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    QCOMPARE(count, std::uint32_t(plugged));

    // Open adapters still count.
    FT_HANDLE handle = 0;
    if (plugged > 0) {
        QCOMPARE(m_adapter->FT_Open(0, &handle), FT_OK);
        QCOMPARE(m_adapter->FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
        QCOMPARE(count, std::uint32_t(plugged));
    }
}

void TestLibFtdi::listsOnlyTheCount_data()
{
    QTest::addColumn<bool>("withArgument");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<FT_STATUS>("status");
    QTest::addColumn<quint32>("count");
    const quint32 untouched = 0xdeadbeef;
    // FT_OPEN_BY_SERIAL_NUMBER means nothing to a count.
    QTest::newRow("number only, open-by bit set")
        << true << quint32(FT_LIST_NUMBER_ONLY | 1) << FT_STATUS(FT_OK) << 1u;
    // FT_LIST_BY_INDEX would have a serial string written in arg2.
    QTest::newRow("by index") << true << quint32(0x40000001) << FT_STATUS(FT_INVALID_PARAMETER)
                              << untouched;
    // FT_LIST_ALL would have an array of pointers filled.
    QTest::newRow("all") << true << quint32(0x20000001) << FT_STATUS(FT_INVALID_PARAMETER)
                         << untouched;
    QTest::newRow("nowhere to put the count")
        << false << quint32(FT_LIST_NUMBER_ONLY) << FT_STATUS(FT_INVALID_PARAMETER) << untouched;
}

void TestLibFtdi::listsOnlyTheCount()
{
    QFETCH(bool, withArgument);
    QFETCH(quint32, flags);
    QFETCH(FT_STATUS, status);
    QFETCH(quint32, count);
    QVERIFY(plug(1));

    std::uint32_t listed = 0xdeadbeef;
    QCOMPARE(m_adapter->FT_ListDevices(withArgument ? &listed : nullptr, nullptr, flags), status);
    QCOMPARE(listed, count);
}

void TestLibFtdi::opensByIndex_data()
{
    QTest::addColumn<int>("plugged");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<int>("index");
    QTest::addColumn<FT_STATUS>("status");
    QTest::addColumn<int>("opened");

    QTest::newRow("first of two") << 2 << false << 0 << FT_STATUS(FT_OK) << 0;
    QTest::newRow("second of two") << 2 << false << 1 << FT_STATUS(FT_OK) << 1;
    QTest::newRow("past the end") << 2 << false << 2 << FT_STATUS(FT_DEVICE_NOT_FOUND) << -1;
    QTest::newRow("none plugged") << 0 << false << 0 << FT_STATUS(FT_DEVICE_NOT_FOUND) << -1;
    QTest::newRow("negative") << 1 << false << -1 << FT_STATUS(FT_DEVICE_NOT_FOUND) << -1;
    QTest::newRow("claimed elsewhere") << 1 << true << 0 << FT_STATUS(FT_DEVICE_NOT_OPENED) << -1;
    QTest::newRow("second, first claimed elsewhere") << 2 << true << 1 << FT_STATUS(FT_OK) << 1;
}

void TestLibFtdi::opensByIndex()
{
    QFETCH(int, plugged);
    QFETCH(bool, busy);
    QFETCH(int, index);
    QFETCH(FT_STATUS, status);
    QFETCH(int, opened);
    QVERIFY(plug(plugged));
    chip(0).setBusy(busy);

    FT_HANDLE handle = 0x5a5a;
    QCOMPARE(m_adapter->FT_Open(index, &handle), status);
    QCOMPARE(handle, status == FT_OK ? FT_HANDLE(1) : FT_HANDLE(0x5a5a));
    for (int i = 0; i < int(std::size(Chips)); ++i)
        QCOMPARE(chip(i).controlRequests(), i == opened ? OpenRequests : QStringList());

    if (status == FT_OK) {
        const std::uint8_t press = 1;
        std::uint32_t written = 0;
        QCOMPARE(m_adapter->FT_Write(handle, &press, 1, &written), FT_OK);
        QCOMPARE(chip(opened).dataSent(), QByteArray("\x01", 1));
    }
}

void TestLibFtdi::refusesAdapterAlreadyOpen()
{
    QVERIFY(plug(1));
    const FT_HANDLE first = openAndSetUp();
    QVERIFY(first);
    chip(0).clearLog();

    FT_HANDLE second = 0x5a5a;
    QCOMPARE(m_adapter->FT_Open(0, &second), FT_DEVICE_NOT_OPENED);
    QCOMPARE(second, FT_HANDLE(0x5a5a));
    // Refused without touching the chip: a reset would drop the release line
    // under the first handle.
    QCOMPARE(chip(0).controlRequests(), QStringList());

    const std::uint8_t press = 1;
    std::uint32_t written = 0;
    QCOMPARE(m_adapter->FT_Write(first, &press, 1, &written), FT_OK);
    QCOMPARE(written, 1u);

    QCOMPARE(m_adapter->FT_Close(first), FT_OK);
    QCOMPARE(m_adapter->FT_Open(0, &second), FT_OK);
    QVERIFY(second != first);
}

void TestLibFtdi::openSequenceOnTheWire()
{
    QVERIFY(plug(1));
    QVERIFY(openAndSetUp());
    QCOMPARE(chip(0).controlRequests(),
             QStringList(OpenRequests) << "40 00 0000 0001"  // FT_ResetDevice
                                       << "40 03 4138 0000"  // FT_SetBaudRate 9600
                                       << "40 0b 01ff 0001"); // FT_SetBitMode 0xff, 1
    QCOMPARE(chip(0).dataSent(), QByteArray());
}

void TestLibFtdi::baudRateMeansWhatTheVendorDriverMeans_data()
{
    QTest::addColumn<bool>("bitBang");
    QTest::addColumn<quint32>("baud");
    QTest::addColumn<FT_STATUS>("status");
    QTest::addColumn<QString>("request");

    // Divisors of the 3 MHz base clock, eighths in the top bits of the value.
    QTest::newRow("9600 serial") << false << 9600u << FT_STATUS(FT_OK) << "40 03 4138 0000";
    QTest::newRow("9600 bit-bang") << true << 9600u << FT_STATUS(FT_OK) << "40 03 4138 0000";
    QTest::newRow("115200 bit-bang") << true << 115200u << FT_STATUS(FT_OK) << "40 03 001a 0000";
    QTest::newRow("300 bit-bang") << true << 300u << FT_STATUS(FT_OK) << "40 03 2710 0000";
    // Not a multiple of 4: quartering the rate for libftdi would round it.
    QTest::newRow("1001 bit-bang") << true << 1001u << FT_STATUS(FT_OK) << "40 03 0bb5 0000";
    QTest::newRow("zero") << true << 0u << FT_STATUS(FT_INVALID_BAUD_RATE) << QString();
    QTest::newRow("far too fast") << false << 50000000u << FT_STATUS(FT_INVALID_BAUD_RATE)
                                  << QString();
}

void TestLibFtdi::baudRateMeansWhatTheVendorDriverMeans()
{
    QFETCH(bool, bitBang);
    QFETCH(quint32, baud);
    QFETCH(FT_STATUS, status);
    QFETCH(QString, request);
    QVERIFY(plug(1));
    FT_HANDLE handle = 0;
    QCOMPARE(m_adapter->FT_Open(0, &handle), FT_OK);
    QCOMPARE(m_adapter->FT_SetBitMode(handle, 0xff, bitBang ? 1 : 0), FT_OK);
    chip(0).clearLog();

    QCOMPARE(m_adapter->FT_SetBaudRate(handle, baud), status);
    QCOMPARE(chip(0).controlRequests(), request.isEmpty() ? QStringList() : QStringList{request});

    // Still in the mode it was: the next rate is compensated (or not) alike.
    chip(0).clearLog();
    QCOMPARE(m_adapter->FT_SetBaudRate(handle, 9600), FT_OK);
    QCOMPARE(chip(0).controlRequests(), QStringList{"40 03 4138 0000"});
}

void TestLibFtdi::bitModeOnTheWire_data()
{
    QTest::addColumn<quint8>("mask");
    QTest::addColumn<quint8>("mode");
    QTest::addColumn<QString>("request");
    // The mode goes in the high byte of the value, the output mask in the low.
    QTest::newRow("reset") << quint8(0x00) << quint8(0) << "40 0b 0000 0001";
    QTest::newRow("bit-bang, all out") << quint8(0xff) << quint8(1) << "40 0b 01ff 0001";
    QTest::newRow("bit-bang, D0 out") << quint8(0x01) << quint8(1) << "40 0b 0101 0001";
    QTest::newRow("synchronous bit-bang") << quint8(0x0f) << quint8(4) << "40 0b 040f 0001";
}

void TestLibFtdi::bitModeOnTheWire()
{
    QFETCH(quint8, mask);
    QFETCH(quint8, mode);
    QFETCH(QString, request);
    QVERIFY(plug(1));
    FT_HANDLE handle = 0;
    QCOMPARE(m_adapter->FT_Open(0, &handle), FT_OK);
    chip(0).clearLog();

    QCOMPARE(m_adapter->FT_SetBitMode(handle, mask, mode), FT_OK);
    QCOMPARE(chip(0).controlRequests(), QStringList{request});
}

void TestLibFtdi::writesReachTheDataEndpoint_data()
{
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::newRow("press then release")
        << QList<QByteArray>{QByteArray("\x01", 1), QByteArray("\x00", 1)};
    QTest::newRow("several bytes at once") << QList<QByteArray>{QByteArray("\x01\x00\x01", 3)};
}

void TestLibFtdi::writesReachTheDataEndpoint()
{
    QFETCH(QList<QByteArray>, writes);
    QVERIFY(plug(1));
    const FT_HANDLE handle = openAndSetUp();
    QVERIFY(handle);

    QByteArray expected;
    for (const QByteArray &bytes : writes) {
        std::uint32_t written = 0xdead;
        QCOMPARE(m_adapter->FT_Write(handle, bytes.constData(), std::uint32_t(bytes.size()),
                                     &written),
                 FT_OK);
        QCOMPARE(written, std::uint32_t(bytes.size()));
        expected += bytes;
        QCOMPARE(chip(0).dataSent(), expected);
    }
    QCOMPARE(m_adapter->FT_Close(handle), FT_OK);
}

void TestLibFtdi::unplugMidSession()
{
    QVERIFY(plug(1));
    const FT_HANDLE handle = openAndSetUp();
    QVERIFY(handle);
    const std::uint8_t press = 1;
    const std::uint8_t release = 0;
    std::uint32_t written = 0;
    QCOMPARE(m_adapter->FT_Write(handle, &press, 1, &written), FT_OK);

    chip(0).unplug();
    written = 0xdead;
    QCOMPARE(m_adapter->FT_Write(handle, &release, 1, &written), FT_IO_ERROR);
    QCOMPARE(written, 0u);
    // The handle is still known until closed; it just cannot reach the chip.
    QCOMPARE(m_adapter->FT_SetBitMode(handle, 0xff, 1), FT_IO_ERROR);
    QCOMPARE(m_adapter->FT_Close(handle), FT_IO_ERROR);
    QCOMPARE(m_adapter->FT_Close(handle), FT_INVALID_HANDLE);

    std::uint32_t count = 0xdeadbeef;
    QCOMPARE(m_adapter->FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    QCOMPARE(count, 0u);
}

void TestLibFtdi::replugCyclesLeakNothing()
{
    QVERIFY(plug(1));
    const int before = openFileCount();
    FT_HANDLE handle = openAndSetUp();
    QVERIFY(handle);
    for (int cycle = 0; cycle < 3; ++cycle) {
        const std::uint8_t press = 1;
        std::uint32_t written = 0;
        QCOMPARE(m_adapter->FT_Write(handle, &press, 1, &written), FT_OK);

        chip(0).unplug();
        QCOMPARE(m_adapter->FT_Write(handle, &press, 1, &written), FT_IO_ERROR);
        // Back at the same address. The failed write already let go of the
        // device and its libusb context: nothing is left open before FT_Close,
        // and the dead handle does not stand in the way of the new one.
        QVERIFY(chip(0).plug());
        QTRY_COMPARE(openFileCount(), before);
        const FT_HANDLE replugged = openAndSetUp();
        QVERIFY2(replugged, qPrintable(QStringLiteral("cycle %1").arg(cycle)));
        QCOMPARE(m_adapter->FT_Close(handle), FT_IO_ERROR);
        handle = replugged;
    }
    QCOMPARE(m_adapter->FT_Close(handle), FT_OK);
    QTRY_COMPARE(openFileCount(), before);
}

void TestLibFtdi::stuckAdapterGivesUpQuickly()
{
    QVERIFY(plug(1));
    const FT_HANDLE handle = openAndSetUp();
    QVERIFY(handle);

    chip(0).setStuck(true);
    const std::uint8_t press = 1;
    std::uint32_t written = 0xdead;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(m_adapter->FT_Write(handle, &press, 1, &written), FT_IO_ERROR);
    // libusb's own default is 5 s.
    QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(written, 0u);

    // A stuck data pipe is not an unplug: the handle keeps working.
    chip(0).setStuck(false);
    QCOMPARE(m_adapter->FT_Write(handle, &press, 1, &written), FT_OK);
    QCOMPARE(written, 1u);
    QCOMPARE(chip(0).dataSent(), QByteArray("\x01", 1));
}

void TestLibFtdi::unknownHandles_data()
{
    QTest::addColumn<QString>("call");
    for (const char *call : {"reset", "baud", "bitmode", "write", "close"})
        QTest::newRow(call) << QString::fromLatin1(call);
}

void TestLibFtdi::unknownHandles()
{
    QFETCH(QString, call);
    QVERIFY(plug(1));
    FT_HANDLE closed = 0;
    QCOMPARE(m_adapter->FT_Open(0, &closed), FT_OK);
    QCOMPARE(m_adapter->FT_Close(closed), FT_OK);
    FT_HANDLE live = 0;
    QCOMPARE(m_adapter->FT_Open(0, &live), FT_OK);
    chip(0).clearLog();

    for (const FT_HANDLE handle : {FT_HANDLE(0), closed, FT_HANDLE(live + 1)}) {
        const std::uint8_t press = 1;
        std::uint32_t written = 0xdead;
        FT_STATUS status = FT_OK;
        if (call == "reset")
            status = m_adapter->FT_ResetDevice(handle);
        else if (call == "baud")
            status = m_adapter->FT_SetBaudRate(handle, 9600);
        else if (call == "bitmode")
            status = m_adapter->FT_SetBitMode(handle, 0xff, 1);
        else if (call == "write")
            status = m_adapter->FT_Write(handle, &press, 1, &written);
        else
            status = m_adapter->FT_Close(handle);
        QCOMPARE(status, FT_INVALID_HANDLE);
        if (call == "write")
            QCOMPARE(written, 0u);
    }
    // Nothing reached the chip open under the live handle.
    QCOMPARE(chip(0).controlRequests(), QStringList());
    QCOMPARE(chip(0).dataSent(), QByteArray());
}

void TestLibFtdi::destructorClosesEverything()
{
    QVERIFY(plug(2));
    const int before = openFileCount();
    FT_HANDLE first = 0;
    FT_HANDLE second = 0;
    QCOMPARE(m_adapter->FT_Open(0, &first), FT_OK);
    QCOMPARE(m_adapter->FT_Open(1, &second), FT_OK);
    QCOMPARE(first, FT_HANDLE(1));
    QCOMPARE(second, FT_HANDLE(2));
    QVERIFY(openFileCount() > before);

    m_adapter.reset();
    QTRY_COMPARE(openFileCount(), before);

    // And a new adapter finds both free.
    m_adapter = std::make_unique<LibFtdiAdapter>();
    QCOMPARE(m_adapter->FT_Open(0, &first), FT_OK);
    QCOMPARE(m_adapter->FT_Open(1, &second), FT_OK);
}

LinkCheck TestLibFtdi::check(const QString &serial)
{
    SharedValues &v = shared();
    if (v.DeviceSerialText != serial) {
        v.DeviceSerialText = serial;
        v.DeviceIndex = -1;
        v.BitMode = 1;
        v.BitMask = 0xff;
    }
    setAdapter(m_adapter.get());
    return checkConnection();
}

void TestLibFtdi::listsWhatTheKernelRead()
{
    QVERIFY(plug(2));
    // Serials and descriptions come from sysfs: no chip is opened or spoken to.
    for (const quint32 index : {0u, 1u}) {
        char serial[FT_SERIAL_BUFFER] = {};
        char description[FT_DESCRIPTION_BUFFER] = {};
        QCOMPARE(m_adapter->FT_ListDevices(listIndex(index), serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
                 FT_OK);
        QCOMPARE(QByteArray(serial), QByteArray("SIMFT00") + QByteArray::number(index + 1));
        QCOMPARE(m_adapter->FT_ListDevices(listIndex(index), description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
                 FT_OK);
        QCOMPARE(QByteArray(description), QByteArray("FT232R USB UART"));
    }
    char serial[FT_SERIAL_BUFFER] = {};
    QCOMPARE(m_adapter->FT_ListDevices(listIndex(2), serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
             FT_DEVICE_NOT_FOUND);

    ChipDetails details;
    QCOMPARE(m_adapter->describeChip(1, &details), FT_OK);
    QCOMPARE(details.serial, std::string("SIMFT002"));
    QCOMPARE(details.vendorId, quint16(0x0403));
    QCOMPARE(details.productId, quint16(0x6001));
    QCOMPARE(details.busPath, std::string("1-2"));
    QCOMPARE(details.kernelDriver, std::string());
    QVERIFY(details.accessible);
    QCOMPARE(chip(0).controlRequests() + chip(1).controlRequests(), QStringList());
}

void TestLibFtdi::findsTheAdapterBySerial_data()
{
    QTest::addColumn<QByteArray>("first");  // serial of the chip at 1-1
    QTest::addColumn<QByteArray>("second"); // at 1-2
    QTest::addColumn<int>("ours");          // the chip that must get the writes
    QTest::newRow("ours behind the other") << QByteArray("MOUNT01") << QByteArray("A10KZP3Q") << 1;
    QTest::newRow("ours in front") << QByteArray("A10KZP3Q") << QByteArray("MOUNT01") << 0;
}

void TestLibFtdi::findsTheAdapterBySerial()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(int, ours);
    QVERIFY(chip(0).plug(first));
    QVERIFY(chip(1).plug(second));
    const LinkCheck result = check(QStringLiteral("A10KZP3Q"));
    QVERIFY2(result.ready(), qPrintable(result.reason));
    PressShutter();
    QCOMPARE(chip(ours).dataSent(), QByteArray("\x00\x01", 2)); // the set-up's release, then the press
    // The other cable is never opened, let alone put in bit-bang mode.
    QCOMPARE(chip(1 - ours).controlRequests(), QStringList());
    QCOMPARE(chip(1 - ours).dataSent(), QByteArray());
}

void TestLibFtdi::followsItsOwnChip()
{
    QVERIFY(plug(2));
    QVERIFY(check(QStringLiteral("SIMFT002")).ready());

    chip(0).unplug(); // the other one
    QVERIFY(check(QStringLiteral("SIMFT002")).ready());
    PressShutter();
    QCOMPARE(shared().LastStatus, int(FT_OK));
    QCOMPARE(chip(1).dataSent(), QByteArray("\x00\x01", 2)); // the set-up's release, then the press

    chip(1).unplug(); // ours
    const LinkCheck lost = check(QStringLiteral("SIMFT002"));
    QCOMPARE(lost.state, LinkState::Missing);
    QCOMPARE(shared().DeviceOpen, 0);

    QVERIFY(chip(0).plug());
    QVERIFY(chip(1).plug());
    chip(1).clearLog();
    QVERIFY(check(QStringLiteral("SIMFT002")).ready());
    QVERIFY(chip(1).controlRequests().contains(QStringLiteral("40 0b 01ff 0001"))); // set up again
    QCOMPARE(chip(0).controlRequests(), QStringList());
}

void TestLibFtdi::failedSetUpIsNotReady()
{
    QVERIFY(plug(1));
    chip(0).setBusy(true);
    const LinkCheck busy = check(QStringLiteral("SIMFT001"));
    QCOMPARE(busy.state, LinkState::Unusable);
    QVERIFY2(busy.reason.contains(QStringLiteral("autre programme")), qPrintable(busy.reason));
    QCOMPARE(shared().DeviceOpen, 0);

    chip(0).setBusy(false);
    QVERIFY(check(QStringLiteral("SIMFT001")).ready());
}

void TestLibFtdi::guardianLetsGoOfTheRightChip_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<int>("rank");
    QTest::addColumn<int>("ours");
    QTest::newRow("by serial") << QStringLiteral("SIMFT002") << 0 << 1;
    QTest::newRow("by rank") << QString() << 1 << 1;
    QTest::newRow("serial gone") << QStringLiteral("A10KZP3Q") << 0 << -1;
}

void TestLibFtdi::guardianLetsGoOfTheRightChip()
{
    QFETCH(QString, serial);
    QFETCH(int, rank);
    QFETCH(int, ours);
    QVERIFY(plug(2));
    // The program pressed, then died: the kernel gave its hold on the chip back.
    FT_HANDLE handle = 0;
    QCOMPARE(m_adapter->FT_Open(1, &handle), FT_OK);
    const std::uint8_t press = 1;
    std::uint32_t written = 0;
    QCOMPARE(m_adapter->FT_Write(handle, &press, 1, &written), FT_OK);
    m_adapter = std::make_unique<LibFtdiAdapter>();
    chip(0).clearLog();
    chip(1).clearLog();

    LibFtdiAdapter guardian;
    const FT_STATUS status = letGoAfterCrash(guardian, GuardianTarget{serial, rank, 0xff, 1});
    QCOMPARE(status, ours < 0 ? FT_DEVICE_NOT_FOUND : FT_OK);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(chip(i).dataSent(), i == ours ? QByteArray("\x00", 1) : QByteArray());
        QCOMPARE(chip(i).controlRequests().contains(QStringLiteral("40 0b 01ff 0001")), i == ours);
    }
}

QTEST_GUILESS_MAIN(TestLibFtdi)
#include "tst_libftdi.moc"
