// The Bluetooth device list against a real D-Bus daemon on a private bus with the BlueZ mock
// of python3-dbusmock; the ports bound to each address come from a fake sysfs tree.
#include "discovery/BluetoothList.h"
#include "discovery/BluezClient.h"

#include "tests/support/BluezTestBus.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString ADAPTER = QStringLiteral("hci0");
const QString ADAPTER_PATH = QStringLiteral("/org/bluez/hci0");
const QString ADAPTER_INTERFACE = QStringLiteral("org.bluez.Adapter1");
// A phone's class of device, as the mock wants one for pairing.
constexpr int DEVICE_CLASS = 5898764;

// Stands in for the main window: collects what the listing thread hands over, on the
// thread the receiver lives in, and remembers that thread.
class CListReceiver : public QObject
{
public:
    bool event(QEvent *e) override
    {
        if (e->type() != CBluetoothListEvent::eventType())
            return QObject::event(e);
        const auto *list = static_cast<CBluetoothListEvent *>(e);
        (list->why().isEmpty() ? texts : whys).append(list->why().isEmpty() ? list->text() : list->why());
        deliveredOn.append(QThread::currentThread());
        return true;
    }
    QStringList texts;
    QStringList whys;   // a search that found nothing
    QList<QThread *> deliveredOn;
};

} // namespace

class TestBluetoothList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void listText_data();
    void listText();
    void deviceAddedDuringInquiry();
    void stopEndsInquiry();
    void nothingOnTheBus_data();
    void nothingOnTheBus();
    void aliasForPortName_data();
    void aliasForPortName();

private:
    bool addDevice(const QString &address, const QString &alias);
    BluetoothListEnvironment environment(int inquiryMs) const;
    QStringList runList(const BluetoothListEnvironment &env, CListReceiver &receiver);

    std::unique_ptr<CBluezTestBus> m_bus;
    std::unique_ptr<QTemporaryDir> m_root;
};

void TestBluetoothList::initTestCase()
{
    m_bus = std::make_unique<CBluezTestBus>();
    QString why;
    if (!m_bus->start(true, why))
        QSKIP(qPrintable(why));
}

void TestBluetoothList::init()
{
    // Every case starts from an empty BlueZ and an empty sysfs tree.
    m_bus->mockCall(QStringLiteral("RemoveAdapterWithDevices"), {ADAPTER});
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    QVERIFY(QDir().mkpath(m_root->filePath("sys/class/tty")) && QDir().mkpath(m_root->filePath("ports")));
}

bool TestBluetoothList::addDevice(const QString &address, const QString &alias)
{
    return m_bus->mockCall(QStringLiteral("AddDevice"), {ADAPTER, address, alias}).type() == QDBusMessage::ReplyMessage
           && m_bus->mockCall(QStringLiteral("PairDevice"), {ADAPTER, address, DEVICE_CLASS}).type()
                  == QDBusMessage::ReplyMessage;
}

BluetoothListEnvironment TestBluetoothList::environment(int inquiryMs) const
{
    BluetoothListEnvironment env;
    env.bluez.busAddress = m_bus->address();
    env.bluez.inquiryMs = inquiryMs;
    env.ports.sysRoot = m_root->path();
    env.ports.portsFolder = m_root->filePath("ports");
    return env;
}

QStringList TestBluetoothList::runList(const BluetoothListEnvironment &env, CListReceiver &receiver)
{
    CBluetoothListThread thread;
    thread.start(&receiver, env);
    thread.join();
    QCoreApplication::sendPostedEvents();
    return receiver.texts;
}

void TestBluetoothList::listText_data()
{
    QTest::addColumn<bool>("adapter");
    QTest::addColumn<QStringList>("devices");    // "address|alias", added and paired in this order
    QTest::addColumn<QStringList>("ttys");       // "rfcommN=bound address"
    QTest::addColumn<QStringList>("texts");      // every text handed to the window

    QTest::newRow("two paired, one bound")
        << true << QStringList{"00:12:6F:0A:1B:2C|Reader-A", "00:11:22:33:44:55|Phone"}
        << QStringList{"rfcomm0=00:12:6f:0a:1b:2c"} << QStringList{"COM97\t: 00:12:6F:0A:1B:2C  | Reader-A\r\n"};
    QTest::newRow("second device bound, later node")
        << true << QStringList{"00:11:22:33:44:55|Phone", "AA:BB:CC:DD:EE:FF|Reader-B"}
        << QStringList{"rfcomm0=00:11:22:33:44:66", "rfcomm7=AA:BB:CC:DD:EE:FF"}
        << QStringList{"COM104\t: AA:BB:CC:DD:EE:FF  | Reader-B\r\n"};
    QTest::newRow("placeholders in the name") << true << QStringList{"00:12:6F:0A:1B:2C|R%1%2%3%4%5%6%7%8%9"}
                                              << QStringList{"rfcomm5=00:12:6F:0A:1B:2C"}
                                              << QStringList{"COM102\t: 00:12:6F:0A:1B:2C  | R%1%2%3%4%5%6%7%8%9\r\n"};
    QTest::newRow("devices but no bound port") << true << QStringList{"00:12:6F:0A:1B:2C|Reader-A"} << QStringList{}
                                               << QStringList{""};
    QTest::newRow("adapter without devices") << true << QStringList{} << QStringList{"rfcomm0=00:12:6F:0A:1B:2C"}
                                             << QStringList{};
    QTest::newRow("no adapter") << false << QStringList{} << QStringList{"rfcomm0=00:12:6F:0A:1B:2C"} << QStringList{};
}

void TestBluetoothList::listText()
{
    QFETCH(bool, adapter);
    QFETCH(QStringList, devices);
    QFETCH(QStringList, ttys);
    QFETCH(QStringList, texts);

    if (adapter)
        QVERIFY(m_bus->mockCall(QStringLiteral("AddAdapter"), {ADAPTER, QStringLiteral("host")}).type()
                == QDBusMessage::ReplyMessage);
    for (const QString &device : devices)
        QVERIFY(addDevice(device.section('|', 0, 0), device.section('|', 1)));
    QVERIFY(WriteFakeTtys(m_root->path(), ttys));

    CListReceiver receiver;
    QCOMPARE(runList(environment(50), receiver), texts);
    for (QThread *thread : std::as_const(receiver.deliveredOn))
        QCOMPARE(thread, QThread::currentThread());
    if (adapter)   // the inquiry is over: the radio is not left searching
        QCOMPARE(m_bus->property(ADAPTER_PATH, ADAPTER_INTERFACE, "Discovering").toBool(), false);
}

void TestBluetoothList::deviceAddedDuringInquiry()
{
    QVERIFY(m_bus->mockCall(QStringLiteral("AddAdapter"), {ADAPTER, QStringLiteral("host")}).type()
            == QDBusMessage::ReplyMessage);
    QVERIFY(WriteFakeTtys(m_root->path(), {"rfcomm1=00:12:6F:0A:1B:2C"}));

    CListReceiver receiver;
    CBluetoothListThread thread;
    thread.start(&receiver, environment(3000));
    QTRY_VERIFY(m_bus->property(ADAPTER_PATH, ADAPTER_INTERFACE, "Discovering").toBool());
    QVERIFY(addDevice("00:12:6F:0A:1B:2C", "Reader-A"));
    thread.join();
    QCoreApplication::sendPostedEvents();

    QCOMPARE(receiver.texts, QStringList{"COM98\t: 00:12:6F:0A:1B:2C  | Reader-A\r\n"});
    QCOMPARE(m_bus->property(ADAPTER_PATH, ADAPTER_INTERFACE, "Discovering").toBool(), false);
}

void TestBluetoothList::stopEndsInquiry()
{
    // An inquiry far longer than the test's time limit: only a working stop lets this end.
    QVERIFY(m_bus->mockCall(QStringLiteral("AddAdapter"), {ADAPTER, QStringLiteral("host")}).type()
            == QDBusMessage::ReplyMessage);
    QVERIFY(addDevice("00:12:6F:0A:1B:2C", "Reader-A"));
    QVERIFY(WriteFakeTtys(m_root->path(), {"rfcomm0=00:12:6F:0A:1B:2C"}));

    CListReceiver receiver;
    {
        CBluetoothListThread thread;
        thread.start(&receiver, environment(1000 * 1000));
        QTRY_VERIFY(m_bus->property(ADAPTER_PATH, ADAPTER_INTERFACE, "Discovering").toBool());
    }   // the owner goes away: the destructor stops and joins
    QCOMPARE(m_bus->property(ADAPTER_PATH, ADAPTER_INTERFACE, "Discovering").toBool(), false);
}

void TestBluetoothList::nothingOnTheBus_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("bus without BlueZ") << "empty bus";
    QTest::newRow("no bus at that address") << "no bus";
}

void TestBluetoothList::nothingOnTheBus()
{
    QFETCH(QString, kind);
    CBluezTestBus emptyBus;
    BluetoothListEnvironment env = environment(50);
    if (kind == "empty bus") {
        QString why;
        if (!emptyBus.start(false, why))
            QSKIP(qPrintable(why));
        env.bluez.busAddress = emptyBus.address();
    } else {
        env.bluez.busAddress = "unix:path=" + m_root->filePath("no-such-socket");
    }
    QVERIFY(WriteFakeTtys(m_root->path(), {"rfcomm0=00:12:6F:0A:1B:2C"}));

    CListReceiver receiver;
    QCOMPARE(runList(env, receiver), QStringList{});
    QCOMPARE(BluetoothAliasForAddress("00:12:6F:0A:1B:2C", env.bluez), QString());
}

void TestBluetoothList::aliasForPortName_data()
{
    QTest::addColumn<QString>("boundAddress");   // as the kernel writes it
    QTest::addColumn<QString>("friendlyName");

    QTest::newRow("known device") << "00:11:22:33:44:55" << "Reader-A 00:11:22:33:44:55 - /dev/rfcomm0 (COM97)";
    QTest::newRow("known device, lower case") << "aa:bb:cc:dd:ee:ff"
                                              << "Reader-B AA:BB:CC:DD:EE:FF - /dev/rfcomm0 (COM97)";
    QTest::newRow("placeholders in the name") << "00:11:22:33:44:57"
                                              << "R%1%2%3%4%5%6%7%8%9 00:11:22:33:44:57 - /dev/rfcomm0 (COM97)";
    QTest::newRow("unknown device") << "00:11:22:33:44:56"
                                    << "Bluetooth serial port 00:11:22:33:44:56 - /dev/rfcomm0 (COM97)";
}

void TestBluetoothList::aliasForPortName()
{
    QFETCH(QString, boundAddress);
    QFETCH(QString, friendlyName);

    QVERIFY(m_bus->mockCall(QStringLiteral("AddAdapter"), {ADAPTER, QStringLiteral("host")}).type()
            == QDBusMessage::ReplyMessage);
    QVERIFY(addDevice("00:11:22:33:44:55", "Reader-A"));
    QVERIFY(addDevice("AA:BB:CC:DD:EE:FF", "Reader-B"));
    QVERIFY(addDevice("00:11:22:33:44:57", "R%1%2%3%4%5%6%7%8%9"));
    QVERIFY(WriteFakeTtys(m_root->path(), {"rfcomm0=" + boundAddress}));

    PortEnvironment env = environment(0).ports;
    env.bluetoothName = BluetoothNameHook(environment(0).bluez);
    QList<ComPortDevice> ports;
    ListPresentPorts(ports, env);
    QCOMPARE(ports.size(), 1);
    QCOMPARE(ports.constFirst().friendlyName, friendlyName);
}

QTEST_GUILESS_MAIN(TestBluetoothList)
#include "tst_bluetoothlist.moc"
