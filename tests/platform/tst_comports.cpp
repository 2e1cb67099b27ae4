#include "platform/ComPorts.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

// Every placeholder arg() knows, as a device or a remote peer may name itself.
const QString PERCENTS = QStringLiteral("%1%2%3%4%5%6%7%8%9");

// A fake sysfs tree and a port map, laid out the way the kernel lays them:
// sys/class/tty/<name>/device links into sys/devices, where USB devices carry
// "product" and their interfaces "interface".
class TstComPorts : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QString m_existingNode;   // a file standing in for a device node a link leads to
    PortEnvironment m_env;

    void write(const QString &relative, const QByteArray &text)
    {
        const QString path = m_root.filePath(relative);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    void mkdir(const QString &relative) { QVERIFY(QDir().mkpath(m_root.filePath(relative))); }
    void link(const QString &target, const QString &relativeLink)
    {
        const QString path = m_root.filePath(relativeLink);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QVERIFY(QFile::link(target, path));
    }
    // A tty whose device folder is <devicePath> under sys/devices.
    void tty(const QString &name, const QString &devicePath)
    {
        mkdir(QStringLiteral("sys/devices/") + devicePath);
        mkdir(QStringLiteral("sys/class/tty/") + name);
        link(m_root.filePath(QStringLiteral("sys/devices/") + devicePath),
             QStringLiteral("sys/class/tty/") + name + QStringLiteral("/device"));
    }

    QMap<int, ComPortDevice> listed()
    {
        QList<ComPortDevice> ports;
        if (!ListPresentPorts(ports, m_env))
            qWarning("no fake sysfs");
        QMap<int, ComPortDevice> byNumber;
        int previous = 0;
        for (const ComPortDevice &port : ports) {
            if (port.number <= previous)
                qWarning("ports out of order");
            previous = port.number;
            byNumber.insert(port.number, port);
        }
        return byNumber;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        // 8250 slots: one real UART, one empty slot, one slot without a type file.
        mkdir("sys/class/tty/ttyS0");
        write("sys/class/tty/ttyS0/type", "4\n");
        mkdir("sys/class/tty/ttyS1");
        write("sys/class/tty/ttyS1/type", "0\n");
        mkdir("sys/class/tty/ttyS2");
        // USB converter with a product string two levels up.
        tty("ttyUSB0", "pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0");
        write("sys/devices/pci0000:00/usb1/1-1/product", "FT232R USB UART\n");
        // USB converter without any string.
        tty("ttyUSB1", "pci0000:00/usb1/1-2/1-2:1.0/ttyUSB1");
        // ACM device whose interface has a name but the device no product.
        tty("ttyACM0", "pci0000:00/usb1/1-3/1-3:1.0");
        write("sys/devices/pci0000:00/usb1/1-3/1-3:1.0/interface", "Reader CDC\n");
        // Bluetooth: one known device, one unknown, one without address.
        mkdir("sys/class/tty/rfcomm0");
        write("sys/class/tty/rfcomm0/address", "00:11:22:aa:bb:cc\n");
        mkdir("sys/class/tty/rfcomm1");
        write("sys/class/tty/rfcomm1/address", "66:77:88:99:aa:bb\n");
        mkdir("sys/class/tty/rfcomm2");
        // Placeholders in every outside source of a name.
        tty("ttyUSB2", "pci0000:00/usb1/1-4/1-4:1.0/ttyUSB2");
        write("sys/devices/pci0000:00/usb1/1-4/product", PERCENTS.toUtf8());
        tty("ttyACM2", "pci0000:00/usb1/1-5/1-5:1.0");
        write("sys/devices/pci0000:00/usb1/1-5/1-5:1.0/interface", PERCENTS.toUtf8());
        mkdir("sys/class/tty/rfcomm3");
        write("sys/class/tty/rfcomm3/address", "00:00:00:00:00:01\n");
        write("nodes/tty" + PERCENTS, "");
        link(m_root.filePath("nodes/tty" + PERCENTS), "ports/COM9");
        // Outside the scheme.
        mkdir("sys/class/tty/tty0");
        mkdir("sys/class/tty/ttyUSB32");
        mkdir("sys/class/tty/console");

        // Port map: an override, a new number, a dangling link, names outside 1..255.
        write("nodes/ttyFAKE", "");
        m_existingNode = m_root.filePath("nodes/ttyFAKE");
        link(m_existingNode, "ports/COM5");
        link(m_existingNode, "ports/COM33");
        link(m_root.filePath("nodes/gone"), "ports/COM66");
        link(m_root.filePath("nodes/gone"), "ports/COM7");
        link(m_existingNode, "ports/COM0");
        link(m_existingNode, "ports/COM256");
        link(m_existingNode, "ports/COMx");
        write("ports/COM8", "");   // not a link

        m_env.sysRoot = m_root.path();
        m_env.portsFolder = m_root.filePath("ports");
        m_env.bluetoothName = [](const QString &address) {
            if (address == QLatin1String("00:00:00:00:00:01"))
                return PERCENTS;
            return address == QLatin1String("00:11:22:AA:BB:CC") ? QStringLiteral("Lorix Reader") : QString();
        };
    }

    void listedPorts_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("friendly");

        QTest::newRow("8250 with a UART") << 1 << true << "/dev/ttyS0" << "Communications Port - /dev/ttyS0 (COM1)";
        QTest::newRow("8250 empty slot") << 2 << false << "" << "";
        QTest::newRow("8250 without type") << 3 << false << "" << "";
        QTest::newRow("USB without strings") << 34 << true << "/dev/ttyUSB1" << "USB Serial Port - /dev/ttyUSB1 (COM34)";
        QTest::newRow("ACM interface name") << 65 << true << "/dev/ttyACM0" << "Reader CDC - /dev/ttyACM0 (COM65)";
        QTest::newRow("rfcomm named") << 97 << true << "/dev/rfcomm0"
                                      << "Lorix Reader 00:11:22:AA:BB:CC - /dev/rfcomm0 (COM97)";
        QTest::newRow("rfcomm unnamed") << 98 << true << "/dev/rfcomm1"
                                        << "Bluetooth serial port 66:77:88:99:AA:BB - /dev/rfcomm1 (COM98)";
        QTest::newRow("rfcomm no address") << 99 << true << "/dev/rfcomm2" << "Bluetooth serial port - /dev/rfcomm2 (COM99)";
        QTest::newRow("link new number") << 5 << true << "@node" << "Mapped serial port - @node (COM5)";
        QTest::newRow("link overrides USB") << 33 << true << "@node" << "Mapped serial port - @node (COM33)";
        QTest::newRow("placeholders in a USB product") << 35 << true << "/dev/ttyUSB2"
                                                       << PERCENTS + " - /dev/ttyUSB2 (COM35)";
        QTest::newRow("placeholders in a USB interface") << 67 << true << "/dev/ttyACM2"
                                                         << PERCENTS + " - /dev/ttyACM2 (COM67)";
        QTest::newRow("placeholders in a Bluetooth name") << 100 << true << "/dev/rfcomm3"
                                                          << PERCENTS + " 00:00:00:00:00:01 - /dev/rfcomm3 (COM100)";
        QTest::newRow("placeholders in a link target") << 9 << true << "@root/nodes/tty" + PERCENTS
                                                       << "Mapped serial port - @root/nodes/tty" + PERCENTS + " (COM9)";
        QTest::newRow("dangling link hides nothing") << 66 << false << "" << "";
        QTest::newRow("dangling link new") << 7 << false << "" << "";
        QTest::newRow("plain file is no link") << 8 << false << "" << "";
        QTest::newRow("COM0 ignored") << 0 << false << "" << "";
        QTest::newRow("COM256 ignored") << 256 << false << "" << "";
        QTest::newRow("ttyUSB32 is not ttyACM0+") << 66 << false << "" << "";
    }
    void listedPorts()
    {
        QFETCH(int, number);
        QFETCH(bool, present);
        QFETCH(QString, path);
        QFETCH(QString, friendly);
        path.replace(QLatin1String("@node"), m_existingNode);
        friendly.replace(QLatin1String("@node"), m_existingNode);
        path.replace(QLatin1String("@root"), m_root.path());
        friendly.replace(QLatin1String("@root"), m_root.path());

        const QMap<int, ComPortDevice> ports = listed();
        QCOMPARE(ports.contains(number), present);
        if (!present)
            return;
        const ComPortDevice port = ports.value(number);
        QCOMPARE(port.portName, QStringLiteral("COM%1").arg(number));
        QCOMPARE(port.devicePath, path);
        QCOMPARE(port.friendlyName, friendly);
    }

    void listedUsb_data()
    {
        // ttyUSB0 is hidden by the COM33 link; it shows under its own number once the
        // link is gone, with the product string.
        QTest::addColumn<QString>("node");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("friendly");
        QTest::newRow("product") << "ttyUSB0" << 33 << "FT232R USB UART - /dev/ttyUSB0 (COM33)";
        QTest::newRow("fallback") << "ttyUSB1" << 34 << "USB Serial Port - /dev/ttyUSB1 (COM34)";
    }
    void listedUsb()
    {
        QFETCH(QString, node);
        QFETCH(int, number);
        QFETCH(QString, friendly);
        PortEnvironment noLinks = m_env;
        noLinks.portsFolder = m_root.filePath("no-ports");
        QList<ComPortDevice> ports;
        QVERIFY(ListPresentPorts(ports, noLinks));
        const auto it = std::find_if(ports.cbegin(), ports.cend(), [&](const ComPortDevice &p) { return p.number == number; });
        QVERIFY(it != ports.cend());
        QCOMPARE(it->devicePath, QStringLiteral("/dev/") + node);
        QCOMPARE(it->friendlyName, friendly);
    }

    void noSysfs()
    {
        PortEnvironment missing = m_env;
        missing.sysRoot = m_root.filePath("nowhere");
        QList<ComPortDevice> ports;
        QVERIFY(!ListPresentPorts(ports, missing));
    }

    void devicePath_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("path");
        QTest::newRow("first ttyS") << 1 << "/dev/ttyS0";
        QTest::newRow("last ttyS") << 32 << "/dev/ttyS31";
        QTest::newRow("first ttyUSB") << 34 << "/dev/ttyUSB1";
        QTest::newRow("last ttyUSB") << 64 << "/dev/ttyUSB31";
        QTest::newRow("first ttyACM") << 65 << "/dev/ttyACM0";
        QTest::newRow("first rfcomm") << 97 << "/dev/rfcomm0";
        QTest::newRow("last rfcomm") << 128 << "/dev/rfcomm31";
        QTest::newRow("beyond scheme") << 129 << "";
        QTest::newRow("zero") << 0 << "";
        QTest::newRow("negative") << -3 << "";
        QTest::newRow("link") << 5 << "@node";
        QTest::newRow("link overrides") << 33 << "@node";
        QTest::newRow("dangling falls back") << 66 << "/dev/ttyACM1";
        QTest::newRow("dangling beyond scheme") << 7 << "/dev/ttyS6";
    }
    void devicePath()
    {
        QFETCH(int, number);
        QFETCH(QString, path);
        path.replace(QLatin1String("@node"), m_existingNode);
        QCOMPARE(DevicePathForPort(number, m_env), path);
    }

    void portNumber_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("number");
        QTest::newRow("ttyS0") << "ttyS0" << 1;
        QTest::newRow("dev path") << "/dev/ttyUSB0" << 33;
        QTest::newRow("ttyACM31") << "/dev/ttyACM31" << 96;
        QTest::newRow("rfcomm5") << "rfcomm5" << 102;
        QTest::newRow("index 32") << "ttyUSB32" << 0;
        QTest::newRow("leading zero") << "ttyS01" << 0;
        QTest::newRow("no digits") << "ttyS" << 0;
        QTest::newRow("sign") << "ttyS+1" << 0;
        QTest::newRow("other tty") << "tty1" << 0;
        QTest::newRow("pts") << "/dev/pts/3" << 0;
    }
    void portNumber()
    {
        QFETCH(QString, device);
        QFETCH(int, number);
        QCOMPARE(PortNumberForDevice(device), number);
        if (number)   // the two directions agree
            QCOMPARE(QStringLiteral("/dev/") + FixedDeviceNameForPort(number),
                     device.startsWith('/') ? device : QStringLiteral("/dev/") + device);
    }

    void openErrorText_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("start");   // @node: the node's path, @group: its group
        QTest::addColumn<QString>("lost");    // the same error ending an open link (@system: its text)
        const QString permission = "permission denied for @node. Add the user to the group @group (sudo";
        const QString busy = "the port is in use by another program", gone = "the device is gone";
        QTest::newRow("permission") << EACCES << permission << permission;
        QTest::newRow("held by a lock") << EWOULDBLOCK << busy << "@system";
        QTest::newRow("exclusive") << EBUSY << busy << "@system";
        QTest::newRow("unplugged") << ENXIO << "there is no such port" << gone;
        QTest::newRow("node removed") << ENODEV << "there is no such port" << gone;
        QTest::newRow("other") << EIO << "@node: @system" << "I/O error";
        QTest::newRow("hung up") << LINK_HUNG_UP << "@node: " << "the line was hung up";
    }
    void openErrorText()
    {
        QFETCH(int, error);
        QFETCH(QString, start);
        QFETCH(QString, lost);
        for (QString *text : {&start, &lost})
            text->replace("@node", m_existingNode).replace("@group", QFileInfo(m_existingNode).group())
                .replace("@system", QString::fromLocal8Bit(strerror(error)));
        QVERIFY2(PortOpenErrorText(error, m_existingNode).startsWith(start),
                 qPrintable(PortOpenErrorText(error, m_existingNode)));
        QVERIFY2(PortLinkErrorText(error, m_existingNode).startsWith(lost),
                 qPrintable(PortLinkErrorText(error, m_existingNode)));
    }
};

QTEST_GUILESS_MAIN(TstComPorts)
#include "tst_comports.moc"
