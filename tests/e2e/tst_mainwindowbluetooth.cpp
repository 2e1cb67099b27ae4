// The main window's Bluetooth device list at start: the list from BlueZ (the mock on a
// private D-Bus) arrives in control 1000 while the window keeps handling events.

#include "app/LogView.h"
#include "app/RFID_LorixDlg.h"
#include "settings/SettingsStore.h"
#include "res/Resource.h"
#include "tests/support/BluezTestBus.h"

#include <QDir>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

const QString ADAPTER = QStringLiteral("hci0");
constexpr int DEVICE_CLASS = 5898764;
constexpr int SCAN_MS = 1500;
constexpr int TICK_MS = 50;
constexpr int TRY_MS = 20000;

} // namespace

class TestMainWindowBluetooth : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void listArrivesWhileWindowRuns_data();
    void listArrivesWhileWindowRuns();
    void noBluezLeavesListEmpty_data();
    void noBluezLeavesListEmpty();

private:
    std::unique_ptr<CRFID_LorixDlg> makeWindow(const QString &busAddress);
    QString listText(CRFID_LorixDlg &window) const
    {
        return qobject_cast<QPlainTextEdit *>(window.control(IDC_DEVICE_LIST))->toPlainText();
    }

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<CSettingsStore> m_store;
};

void TestMainWindowBluetooth::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    QVERIFY(QDir().mkpath(m_root->filePath("sys/class/tty")) && QDir().mkpath(m_root->filePath("ports")));
    m_store = std::make_unique<CSettingsStore>(m_root->filePath("settings.ini"));
}

std::unique_ptr<CRFID_LorixDlg> TestMainWindowBluetooth::makeWindow(const QString &busAddress)
{
    CRFID_LorixDlg::Environment env;
    env.bluetooth.bluez.busAddress = busAddress;
    env.bluetooth.bluez.inquiryMs = SCAN_MS;
    env.bluetooth.ports.sysRoot = m_root->path();
    env.bluetooth.ports.portsFolder = m_root->filePath("ports");
    env.ports = env.bluetooth.ports;
    env.keySink = [] { return std::make_shared<CNullKeySink>(); };
    env.nameBluetoothPorts = false;
    auto window = std::make_unique<CRFID_LorixDlg>(*m_store, env);
    window->show();
    return window;
}

void TestMainWindowBluetooth::listArrivesWhileWindowRuns_data()
{
    QTest::addColumn<QStringList>("devices");   // address|alias
    QTest::addColumn<QStringList>("ttys");      // rfcommN=address
    QTest::addColumn<QString>("expected");

    QTest::newRow("bound and unbound") << QStringList{"00:12:6F:0A:1B:2C|Reader-A", "11:22:33:44:55:66|Phone"}
                                       << QStringList{"rfcomm0=00:12:6F:0A:1B:2C"}
                                       << "COM97\t: 00:12:6F:0A:1B:2C  | Reader-A\n";
    QTest::newRow("second port bound") << QStringList{"AA:BB:CC:DD:EE:01|Reader-B"}
                                       << QStringList{"rfcomm3=AA:BB:CC:DD:EE:01"}
                                       << "COM100\t: AA:BB:CC:DD:EE:01  | Reader-B\n";
}

void TestMainWindowBluetooth::listArrivesWhileWindowRuns()
{
    QFETCH(QStringList, devices);
    QFETCH(QStringList, ttys);
    QFETCH(QString, expected);

    CBluezTestBus bus;
    QString why;
    if (!bus.start(true, why))
        QSKIP(qPrintable(why));
    QVERIFY(bus.mockCall("AddAdapter", {ADAPTER, QStringLiteral("host")}).type() == QDBusMessage::ReplyMessage);
    for (const QString &device : devices) {
        const QString address = device.section('|', 0, 0);
        QVERIFY(bus.mockCall("AddDevice", {ADAPTER, address, device.section('|', 1)}).type()
                == QDBusMessage::ReplyMessage);
        QVERIFY(bus.mockCall("PairDevice", {ADAPTER, address, DEVICE_CLASS}).type() == QDBusMessage::ReplyMessage);
    }
    QVERIFY(WriteFakeTtys(m_root->path(), ttys));

    // A timer of the window's thread counts its ticks: they must keep coming while the
    // listing thread waits through its inquiry.
    int ticksBeforeList = 0;
    auto window = makeWindow(bus.address());
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (listText(*window).isEmpty())
            ++ticksBeforeList;
    });
    ticker.start(TICK_MS);

    QTRY_VERIFY_WITH_TIMEOUT(!listText(*window).isEmpty(), TRY_MS);
    QCOMPARE(listText(*window), expected);
    QVERIFY2(ticksBeforeList >= 2, qPrintable(QString::number(ticksBeforeList)));
    window->DoDataExchange(true);
    window->DoDataExchange(false);   // the stored text round-trips into the control
    QCOMPARE(listText(*window), expected);
}

void TestMainWindowBluetooth::noBluezLeavesListEmpty_data()
{
    QTest::addColumn<bool>("busRuns");
    QTest::addColumn<QString>("why");
    QTest::newRow("bus without BlueZ") << true << "the Bluetooth service (BlueZ) is not running";
    QTest::newRow("no bus at all") << false << "the system's message bus (D-Bus) cannot be reached";
}

void TestMainWindowBluetooth::noBluezLeavesListEmpty()
{
    QFETCH(bool, busRuns);
    QFETCH(QString, why);

    CBluezTestBus bus;
    QString address = "unix:path=" + m_root->filePath("no-such-socket");
    if (busRuns) {
        QString why;
        if (!bus.start(false, why))
            QSKIP(qPrintable(why));
        address = bus.address();
    }
    QVERIFY(WriteFakeTtys(m_root->path(), {"rfcomm0=00:12:6F:0A:1B:2C"}));
    auto window = makeWindow(address);
    window->bluetoothListThread().join();
    QCoreApplication::processEvents();
    QVERIFY(listText(*window).isEmpty());
    // The empty list says why.
    QCOMPARE(qobject_cast<QPlainTextEdit *>(window->control(IDC_DEVICE_LIST))->placeholderText(),
             "No Bluetooth devices: " + why + ".");
    // The window still works: a command is logged.
    window->SendCommand(QStringLiteral("ver"));
    QVERIFY(qobject_cast<CLogView *>(window->control(IDC_LOG_VIEW))->toPlainText().contains("ver"));
}

QTEST_MAIN(TestMainWindowBluetooth)
#include "tst_mainwindowbluetooth.moc"
