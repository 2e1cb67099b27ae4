// The port and text rules of the Bluetooth device list, without any Bluetooth stack: the
// ports bound to an address come from a fake sysfs tree and port map.
#include "discovery/BluetoothAddress.h"
#include "discovery/BluetoothList.h"
#include "discovery/BluetoothSerialPorts.h"
#include "discovery/BluezReasons.h"

#include "tests/support/BluezTestBus.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestBluetoothPorts : public QObject
{
    Q_OBJECT

private slots:
    void findComPort_data();
    void findComPort();
    void addressText_data();
    void addressText();
    void deviceLine_data();
    void deviceLine();
    void serialPortNumber_data();
    void serialPortNumber();
    void bluezReasonInWords_data();
    void bluezReasonInWords();
};

void TestBluetoothPorts::findComPort_data()
{
    QTest::addColumn<QStringList>("ttys");       // "rfcommN=bound address" or a bare tty name
    QTest::addColumn<QStringList>("links");      // port map "COMn=tty name under dev/"
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("port");

    const QString reader = QStringLiteral("00:12:6F:0A:1B:2C");
    QTest::newRow("match, kernel's lower case") << QStringList{"ttyUSB0", "rfcomm0=00:12:6f:0a:1b:2c"} << QStringList{}
                                               << reader << 0 << "COM97";
    QTest::newRow("match on a later node") << QStringList{"rfcomm0=00:11:22:33:44:55", "rfcomm4=00:12:6F:0A:1B:2C"}
                                           << QStringList{} << reader << 0 << "COM101";
    QTest::newRow("no match") << QStringList{"rfcomm0=00:12:6F:0A:1B:2D"} << QStringList{} << reader << -1 << "";
    QTest::newRow("no rfcomm ports") << QStringList{"ttyUSB0", "ttyACM1"} << QStringList{} << reader << -1 << "";
    QTest::newRow("address unreadable") << QStringList{"rfcomm0=00126F0A1B2C", "rfcomm1"} << QStringList{} << reader
                                        << -1 << "";
    // Enumeration is by COM number: rfcomm9 (COM106) comes before rfcomm10 (COM107) even
    // though its name sorts after it.
    QTest::newRow("several ports, first enumerated wins")
        << QStringList{"rfcomm10=00:12:6F:0A:1B:2C", "rfcomm9=00:12:6F:0A:1B:2C", "rfcomm12=00:12:6F:0A:1B:2C"}
        << QStringList{} << reader << 0 << "COM106";
    QTest::newRow("port map link enumerated first") << QStringList{"rfcomm0=00:12:6F:0A:1B:2C", "rfcomm1=00:12:6F:0A:1B:2C"}
                                                    << QStringList{"COM5=rfcomm1"} << reader << 0 << "COM5";
}

void TestBluetoothPorts::findComPort()
{
    QFETCH(QStringList, ttys);
    QFETCH(QStringList, links);
    QFETCH(QString, address);
    QFETCH(int, result);
    QFETCH(QString, port);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(WriteFakeTtys(root.path(), ttys));
    QVERIFY(QDir().mkpath(root.filePath("ports")) && QDir().mkpath(root.filePath("dev")));
    for (const QString &link : links) {
        const QString node = root.filePath("dev/" + link.section('=', 1));
        QFile touch(node);
        QVERIFY(touch.open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(node, root.filePath("ports/" + link.section('=', 0, 0))));
    }

    PortEnvironment env;
    env.sysRoot = root.path();
    env.portsFolder = root.filePath("ports");
    BluetoothAddress bytes{};
    QVERIFY(ParseBluetoothAddress(address, bytes));
    QString portName = QStringLiteral("stale");
    QCOMPARE(FindComPortForAddress(bytes, portName, env), result);
    QCOMPARE(portName, port);
}

void TestBluetoothPorts::addressText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("bytes");      // least significant first
    QTest::addColumn<QString>("matchText");
    QTest::addColumn<QString>("displayText");

    QTest::newRow("upper case") << "00:12:6F:0A:1B:2C" << true << QByteArray::fromHex("2c1b0a6f1200")
                                << "00126F0A1B2C" << "00:12:6F:0A:1B:2C";
    QTest::newRow("lower case") << "aa:bb:cc:dd:ee:0f" << true << QByteArray::fromHex("0feeddccbbaa")
                                << "AABBCCDDEE0F" << "AA:BB:CC:DD:EE:0F";
    QTest::newRow("too short") << "00:12:6F:0A:1B" << false << QByteArray() << "" << "";
    QTest::newRow("trailing colon") << "00:12:6F:0A:1B:2C:" << false << QByteArray() << "" << "";
    QTest::newRow("dashes") << "00-12-6F-0A-1B-2C" << false << QByteArray() << "" << "";
    QTest::newRow("not hex") << "00:12:6G:0A:1B:2C" << false << QByteArray() << "" << "";
    QTest::newRow("plain digits") << "00126F0A1B2C00:12" << false << QByteArray() << "" << "";
}

void TestBluetoothPorts::addressText()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, matchText);
    QFETCH(QString, displayText);

    const BluetoothAddress untouched{1, 2, 3, 4, 5, 6};
    BluetoothAddress address = untouched;
    QCOMPARE(ParseBluetoothAddress(text, address), valid);
    if (!valid) {
        QCOMPARE(address, untouched);
        return;
    }
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(address.data()), int(address.size())), bytes);
    QCOMPARE(AddressMatchText(address), matchText);
    QCOMPARE(AddressDisplayText(address), displayText);
}

void TestBluetoothPorts::deviceLine_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("line");

    QTest::newRow("plain") << "COM97" << "Reader-A" << "COM97\t: 00:12:6F:0A:1B:2C  | Reader-A\r\n";
    QTest::newRow("empty name") << "COM5" << "" << "COM5\t: 00:12:6F:0A:1B:2C  | \r\n";
    QTest::newRow("non-ASCII name") << "COM98" << QString::fromUtf8("리더 Ä") << QString::fromUtf8("COM98\t: 00:12:6F:0A:1B:2C  | 리더 Ä\r\n");
    // A remote device names itself: a line break in its name must not forge a second line.
    QTest::newRow("line break in name") << "COM97" << "Evil\r\nCOM1\t: 00:00:00:00:00:01  | Fake"
                                        << "COM97\t: 00:12:6F:0A:1B:2C  | Evil  COM1 : 00:00:00:00:00:01  | Fake\r\n";
    QTest::newRow("overlong name cut") << "COM97" << QString(300, 'x') << "COM97\t: 00:12:6F:0A:1B:2C  | " + QString(248, 'x') + "\r\n";
}

void TestBluetoothPorts::deviceLine()
{
    QFETCH(QString, port);
    QFETCH(QString, name);
    QFETCH(QString, line);
    const BluetoothAddress address{0x2C, 0x1B, 0x0A, 0x6F, 0x12, 0x00};
    QCOMPARE(FormatDeviceLine(port, address, name), line);
}

void TestBluetoothPorts::serialPortNumber_data()
{
    QTest::addColumn<QStringList>("recorded");   // "n=address" in the settings before
    QTest::addColumn<QStringList>("others");     // numbered before the reader, in this order
    QTest::addColumn<int>("number");             // the reader's; -1: its own place, whatever it is

    const QStringList phones{"11:22:33:44:55:66", "00:12:6F:0A:1B:2D", "AA:BB:CC:DD:EE:FF"};
    QTest::newRow("first of all") << QStringList{} << QStringList{} << -1;
    QTest::newRow("others paired first") << QStringList{} << phones << -1;
    QTest::newRow("others in another order") << QStringList{} << QStringList{phones[2], phones[0], phones[1]} << -1;
    QTest::newRow("recorded, kept") << QStringList{"140=00:12:6f:0a:1b:2c"} << phones << 140;
    QTest::newRow("garbage recorded elsewhere") << QStringList{"129=not an address", "200="} << QStringList{} << -1;
    QStringList full;
    for (int n = FIRST_BLUETOOTH_PORT; n <= LAST_BLUETOOTH_PORT; ++n)
        full << QStringLiteral("%1=00:00:00:00:%2:%3").arg(n).arg(n / 256, 2, 16, QChar('0')).arg(n % 256, 2, 16, QChar('0'));
    QTest::newRow("range full") << full << QStringList{} << 0;
}

// The number a reader gets stays through restarts (a new book over the same settings) and
// does not depend on which other devices were numbered, or in which order.
void TestBluetoothPorts::serialPortNumber()
{
    QFETCH(QStringList, recorded);
    QFETCH(QStringList, others);
    QFETCH(int, number);

    auto bookOver = [](QMap<int, QString> &settings) {
        return BluetoothPortBook{[&settings](int n) { return settings.value(n); },
                                 [&settings](int n, const QString &address) { settings.insert(n, address); }};
    };
    BluetoothAddress reader{};
    QVERIFY(ParseBluetoothAddress("00:12:6F:0A:1B:2C", reader));
    QMap<int, QString> alone;
    const int ownPlace = BluetoothPortNumber(reader, bookOver(alone));
    QVERIFY(ownPlace >= FIRST_BLUETOOTH_PORT && ownPlace <= LAST_BLUETOOTH_PORT);

    QMap<int, QString> settings;
    for (const QString &entry : recorded)
        settings.insert(entry.section('=', 0, 0).toInt(), entry.section('=', 1));
    QSet<int> taken;
    for (const QString &other : others) {
        BluetoothAddress address{};
        QVERIFY(ParseBluetoothAddress(other, address));
        const int n = BluetoothPortNumber(address, bookOver(settings));
        QVERIFY2(n != 0 && !taken.contains(n), qPrintable(other));
        taken.insert(n);
    }
    const int expected = number < 0 ? ownPlace : number;
    QCOMPARE(BluetoothPortNumber(reader, bookOver(settings)), expected);
    if (expected == 0)
        return;
    QVERIFY(!taken.contains(expected));
    // Restarted: read back, not numbered again, and the number leads back to the reader.
    QMap<int, QString> restarted = settings;
    QCOMPARE(BluetoothPortNumber(reader, bookOver(restarted)), expected);
    QCOMPARE(restarted, settings);
    BluetoothAddress back{};
    QVERIFY(BluetoothPortAddress(expected, bookOver(restarted), back) && back == reader);
}

// BlueZ's raw reasons in words that say what to try; the most specific part decides (the
// message before org.bluez.Error.Failed), and the raw text is kept.
void TestBluetoothPorts::bluezReasonInWords_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("says");
    const QString away = "switched off or out of range", off = "Bluetooth is switched off";
    QTest::newRow("page time-out") << "br-connection-page-timeout (org.bluez.Error.Failed)" << away;
    QTest::newRow("attempt failed") << "Connection attempt failed (org.bluez.Error.ConnectionAttemptFailed)" << away;
    QTest::newRow("no answer") << "BlueZ did not answer within 30 s" << away;
    QTest::newRow("not ready") << "Resource Not Ready (org.bluez.Error.NotReady)" << off;
    QTest::newRow("adapter off") << "br-connection-adapter-not-powered (org.bluez.Error.Failed)" << off;
    QTest::newRow("authentication") << "org.bluez.Error.AuthenticationFailed" << "pair it again";
    QTest::newRow("unknown device") << "Does Not Exist (org.bluez.Error.DoesNotExist)" << "not paired";
    QTest::newRow("no BlueZ") << "org.bluez (org.freedesktop.DBus.Error.ServiceUnknown)" << "BlueZ) is not running";
    QTest::newRow("no adapter") << "no adapter" << "no Bluetooth adapter";
    QTest::newRow("refused, case aside") << "BR-CONNECTION-REFUSED (org.bluez.Error.Failed)" << "refused";
    QTest::newRow("unknown, kept in the words") << "br-x (org.bluez.Error.Failed)" << "(BlueZ: br-x (org.bluez.Error.Failed))";
}

void TestBluetoothPorts::bluezReasonInWords()
{
    QFETCH(QString, raw);
    QFETCH(QString, says);
    const BluezReason reason = ExplainBluezReason(QStringLiteral("  ") + raw + QStringLiteral("\n"));
    QCOMPARE(reason.raw, raw);
    QVERIFY2(reason.words.contains(says), qPrintable(reason.words));
    QVERIFY(reason.words.endsWith('.'));
}

QTEST_GUILESS_MAIN(TestBluetoothPorts)
#include "tst_bluetoothports.moc"
