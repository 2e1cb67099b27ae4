#include "discovery/widgets/ComPortCombo.h"

#include <QtTest>

namespace {

ComPortDevice device(const QString &friendlyName, const QString &portName)
{
    ComPortDevice d;
    d.friendlyName = friendlyName;
    d.portName = portName;
    return d;
}

// A fake machine: the devices it reports, in its own order, and whether the walk completes.
struct FakePorts
{
    QList<ComPortDevice> devices;
    bool complete = true;

    CComPortCombo::PortSource source() const
    {
        return [this](QList<ComPortDevice> &ports) {
            ports = devices;
            return complete;
        };
    }
};

QStringList textsOf(const QComboBox &combo)
{
    QStringList texts;
    for (int i = 0; i < combo.count(); ++i)
        texts << combo.itemText(i);
    return texts;
}

const QList<ComPortDevice> MACHINE = {
    device(QStringLiteral("rfcomm0 - Ondo Reader (COM97)"), QStringLiteral("COM97")),
    device(QStringLiteral("FT232R USB UART - /dev/ttyUSB0 (COM33)"), QStringLiteral("COM33")),
    device(QStringLiteral("16550A serial port - /dev/ttyS0 (COM1)"), QStringLiteral("COM1")),
    device(QStringLiteral("port map - /dev/pts/3 (COM7)"), QStringLiteral("COM7")),
};

} // namespace

class tst_ComPortCombo : public QObject
{
    Q_OBJECT

private slots:
    void selection_data();
    void selection();
    void leftOut_data();
    void leftOut();
    void keepsSelectionAcrossRefill();
    void itemDataIsPortNumber();
};

void tst_ComPortCombo::selection_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QString>("selectedText");
    QTest::newRow("stored 7 with COM7") << 7 << true << "port map - /dev/pts/3 (COM7)";
    QTest::newRow("stored 97") << 97 << true << "rfcomm0 - Ondo Reader (COM97)";
    QTest::newRow("stored 9 absent: first sorted entry") << 9 << true << "<None>";
    QTest::newRow("nothing stored: first sorted entry") << 0 << true << "<None>";
    QTest::newRow("walk failed: no automatic selection") << 9 << false << "";
    QTest::newRow("walk failed, port found before") << 33 << false << "FT232R USB UART - /dev/ttyUSB0 (COM33)";
}

void tst_ComPortCombo::selection()
{
    QFETCH(int, stored);
    QFETCH(bool, complete);
    QFETCH(QString, selectedText);
    FakePorts fake{MACHINE, complete};
    CComPortCombo combo;
    combo.SetPortSource(fake.source());
    QCOMPARE(combo.FillPorts(stored), complete ? 1 : 0);
    // Sorted by text ignoring case, "<None>" among them.
    QCOMPARE(textsOf(combo), (QStringList{"<None>", "16550A serial port - /dev/ttyS0 (COM1)",
                                          "FT232R USB UART - /dev/ttyUSB0 (COM33)", "port map - /dev/pts/3 (COM7)",
                                          "rfcomm0 - Ondo Reader (COM97)"}));
    QCOMPARE(combo.currentText(), selectedText);
    QCOMPARE(combo.currentIndex() < 0, selectedText.isEmpty());
}

void tst_ComPortCombo::leftOut_data()
{
    QTest::addColumn<QString>("friendlyName");
    QTest::addColumn<QString>("portName");
    QTest::addColumn<int>("expectedPort");   // 0: left out
    QTest::newRow("LPT1 with a COM friendly name") << "Printer (COM3)" << "LPT1" << 0;
    QTest::newRow("COM0") << "Zero (COM0)" << "COM0" << 0;
    QTest::newRow("COMX") << "Odd (COMX)" << "COMX" << 0;
    QTest::newRow("lower-case com") << "Lower (com5)" << "com5" << 0;
    QTest::newRow("too large for 16 bits") << "Huge (COM70000)" << "COM70000" << 0;
    QTest::newRow("no port name: from friendly name") << "BT link (COM12)" << "" << 12;
    QTest::newRow("no port name, no (COM") << "Nameless" << "" << 0;
    QTest::newRow("no port name, no closing bracket") << "Open (COM12" << "" << 0;
    QTest::newRow("leading digits only") << "Suffix (COM8a)" << "COM8a" << 8;
    QTest::newRow("empty friendly name listed") << "" << "COM5" << 5;
}

void tst_ComPortCombo::leftOut()
{
    QFETCH(QString, friendlyName);
    QFETCH(QString, portName);
    QFETCH(int, expectedPort);
    FakePorts fake{{device(friendlyName, portName)}, true};
    CComPortCombo combo;
    combo.SetPortSource(fake.source());
    combo.FillPorts(-1);
    const int noneIndex = combo.findText(QStringLiteral("<None>"));
    QVERIFY(noneIndex >= 0);
    QCOMPARE(combo.itemData(noneIndex).toInt(), 0);
    if (expectedPort == 0) {
        QCOMPARE(combo.count(), 1);
    } else {
        QCOMPARE(combo.count(), 2);
        QCOMPARE(combo.itemData(1 - noneIndex).toInt(), expectedPort);
        QCOMPARE(combo.itemText(1 - noneIndex), friendlyName);
    }
}

void tst_ComPortCombo::keepsSelectionAcrossRefill()
{
    FakePorts fake{MACHINE, true};
    CComPortCombo combo;
    combo.SetPortSource(fake.source());
    combo.FillPorts(33);
    QCOMPARE(combo.currentData().toInt(), 33);
    // A new port appears that sorts before the selected one; the selection follows the port.
    fake.devices.prepend(device(QStringLiteral("ACM modem - /dev/ttyACM0 (COM65)"), QStringLiteral("COM65")));
    combo.FillPorts(-1);
    QCOMPARE(combo.count(), MACHINE.size() + 2);
    QCOMPARE(combo.currentData().toInt(), 33);
    QCOMPARE(combo.portToSelect, 33);
    // The selected port vanished: the first entry is selected.
    fake.devices.removeIf([](const ComPortDevice &d) { return d.portName == QLatin1String("COM33"); });
    combo.FillPorts(-1);
    QCOMPARE(combo.currentIndex(), 0);
    QCOMPARE(combo.currentData().toInt(), 0);
}

void tst_ComPortCombo::itemDataIsPortNumber()
{
    FakePorts fake{MACHINE, true};
    CComPortCombo combo;
    combo.SetPortSource(fake.source());
    combo.FillPorts(0);
    for (int i = 0; i < combo.count(); ++i) {
        const QString text = combo.itemText(i);
        const int port = combo.itemData(i).toInt();
        if (text == QLatin1String("<None>"))
            QCOMPARE(port, 0);
        else
            QVERIFY2(text.endsWith(QStringLiteral("(COM%1)").arg(port)), qPrintable(text));
    }
}

QTEST_MAIN(tst_ComPortCombo)
#include "tst_comportcombo.moc"
