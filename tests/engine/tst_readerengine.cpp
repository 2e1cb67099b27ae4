// The reader engine without a window, against the simulated reader on a pseudo-terminal (or a
// bare line, or a socket pair the BlueZ mock hands over), in this process on its event loop:
// the connection rules (open, refusals by cause, lost link, automatic reconnection,
// wake-up, the Bluetooth link, dropped fragments, commands not sent).

#include "engine/ReaderEngine.h"
#include "wedge/KeySink.h"
#include "wedge/VirtualKeys.h"
#include "tests/support/BluezTestBus.h"
#include "tests/support/SoakSupport.h"
#include "tools/reader-sim/ReaderSim.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <mutex>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int TRY_MS = 10000;
constexpr int SHORT_AUTO_CONNECT_MS = 200;
constexpr int CONNECT_TIMEOUT_MS = 2000;
const QString READER_ADDRESS = QStringLiteral("00:12:6F:0A:1B:2C");

class CRecordingKeySink : public IKeySink
{
public:
    void SendKey(std::uint8_t virtualKey, std::uint8_t, KeyDirection direction) override
    {
        const std::lock_guard<std::mutex> guard(mutex);
        if (direction == KeyDirection::Press && virtualKey != VK_SHIFT)
            presses.append(virtualKey);
    }
    QList<std::uint8_t> taken()
    {
        const std::lock_guard<std::mutex> guard(mutex);
        return presses;
    }
    std::mutex mutex;
    QList<std::uint8_t> presses;
};

class CTestFrontEnd : public IReaderFrontEnd
{
public:
    int port = 0;
    int PortToUse() override { return port; }
};

} // namespace

class TestReaderEngine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void refusedOpenSaysWhy_data();
    void refusedOpenSaysWhy();
    void refusedCommand_data();
    void refusedCommand();
    void hangUpAndAutoConnect();
    void fragmentNeverTyped_data();
    void fragmentNeverTyped();
    void bluetoothRefusalSaysWhy_data();
    void bluetoothRefusalSaysWhy();

private:
    void makeEngine(const QString &busAddress = QString());
    bool startReader(int returnAfterMs = -1);
    QStringList received() const;
    bool waitForReceived(const QString &line, int count = 1) const;
    QString logText() const;
    // The kind of the first logged piece holding `text`; Sent when none does (checked apart).
    LogKind kindOf(const QString &text) const;
    int count(const QString &text, LogKind kind) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CReaderSim> m_reader;
    CTestFrontEnd m_frontEnd;
    std::shared_ptr<CRecordingKeySink> m_keys;
    std::unique_ptr<CReaderEngine> m_engine;
    QList<QPair<QString, LogKind>> m_log;
};

void TestReaderEngine::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_keys = std::make_shared<CRecordingKeySink>();
    m_log.clear();
    m_frontEnd.port = 0;
}

void TestReaderEngine::cleanup()
{
    m_engine.reset();
    if (m_reader)
        m_reader->Stop();
    m_reader.reset();
}

void TestReaderEngine::makeEngine(const QString &busAddress)
{
    CReaderEngine::Environment env;
    env.ports.portsFolder = m_dir->filePath("ports");
    env.bluetooth.bluez.busAddress =
        busAddress.isEmpty() ? QStringLiteral("unix:path=") + m_dir->filePath("no-bus") : busAddress;
    env.bluetooth.bluez.connectTimeoutMs = CONNECT_TIMEOUT_MS;
    env.bluetooth.ports.sysRoot = m_dir->path();   // no rfcomm binding anywhere
    env.autoConnectPeriodMs = SHORT_AUTO_CONNECT_MS;
    const std::shared_ptr<IKeySink> keys = m_keys;
    env.keySink = [keys] { return keys; };
    auto book = std::make_shared<QHash<int, QString>>();
    env.bluetoothPortBook.load = [book](int number) { return book->value(number); };
    env.bluetoothPortBook.store = [book](int number, const QString &address) { book->insert(number, address); };
    book->insert(200, READER_ADDRESS);
    m_engine = std::make_unique<CReaderEngine>(m_frontEnd, env);
    connect(m_engine.get(), &CReaderEngine::logged, this, [this](const QString &text, LogKind kind) { m_log.append({text, kind}); });
}

bool TestReaderEngine::startReader(int returnAfterMs)
{
    SimOptions options;
    options.portsFolder = m_dir->filePath("ports");
    options.recordPath = m_dir->filePath("received.txt");
    options.txPower = -45;
    options.returnAfterMs = returnAfterMs;
    m_reader = std::make_unique<CReaderSim>(options);
    QString error;
    if (!m_reader->Start(error)) {
        qWarning() << "reader-sim:" << error;
        return false;
    }
    m_frontEnd.port = m_reader->comNumber();
    return true;
}

QStringList TestReaderEngine::received() const
{
    return RecordedLines(m_dir->filePath("received.txt"));
}

bool TestReaderEngine::waitForReceived(const QString &line, int count) const
{
    return QTest::qWaitFor([&] { return received().count(line) >= count; }, TRY_MS);
}

QString TestReaderEngine::logText() const
{
    QString text;
    for (const auto &piece : m_log)
        text += piece.first;
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

LogKind TestReaderEngine::kindOf(const QString &text) const
{
    for (const auto &piece : m_log) {
        if (piece.first.contains(text))
            return piece.second;
    }
    return LogKind::Sent;
}

int TestReaderEngine::count(const QString &text, LogKind kind) const
{
    int n = 0;
    for (const auto &piece : m_log)
        n += piece.second == kind ? int(piece.first.count(text)) : 0;
    return n;
}

void TestReaderEngine::refusedOpenSaysWhy_data()
{
    QTest::addColumn<int>("mode");   // of the node COM201 leads to; -1: no node, -2: /dev/ptmx
    QTest::addColumn<QString>("reason");
    QTest::newRow("no node") << -1 << "there is no such port";
    QTest::newRow("not a terminal") << 0600 << "@node: " + QString::fromLocal8Bit(strerror(ENOTTY));
    // Opening it makes a new terminal of which nothing is on the line.
    QTest::newRow("pseudo-terminal master") << -2 << "/dev/ptmx: " + QString::fromLocal8Bit(strerror(ENOTTY));
    QTest::newRow("no permission") << 0 << "permission denied for @node. Add the user to the group @group (sudo usermod -aG @group ";
}

void TestReaderEngine::refusedOpenSaysWhy()
{
    QFETCH(int, mode);
    QFETCH(QString, reason);
    if (mode == 0 && geteuid() == 0)
        QSKIP("root opens any node: permission cannot be denied");
    const QString node = mode == -2 ? QStringLiteral("/dev/ptmx") : m_dir->filePath("node");
    QVERIFY(QDir().mkpath(m_dir->filePath("ports")) && QFile::link(node, m_dir->filePath("ports/COM201")));
    if (mode >= 0)
        QVERIFY(QFile(node).open(QIODevice::WriteOnly) && chmod(qPrintable(node), mode_t(mode)) == 0);
    m_frontEnd.port = 201;
    makeEngine();
    QList<CReaderEngine::State> states;
    connect(m_engine.get(), &CReaderEngine::connectionChanged, this,
            [&](CReaderEngine::State state, const QString &) { states << state; });
    m_engine->OpenPort();
    QVERIFY(!m_engine->IsOpen());
    reason.replace("@node", node).replace("@group", QFileInfo(node).group());
    QVERIFY2(logText().contains("Cannot open COM201: " + reason), qPrintable(logText()));
    QCOMPARE(kindOf("Cannot open COM201"), LogKind::Error);
    QCOMPARE(states, QList<CReaderEngine::State>{CReaderEngine::State::Closed});
}

// Every command that does not go out is logged as not sent, with the reason, as an error, and
// nothing of it reaches the reader; the next command goes out whole.
void TestReaderEngine::refusedCommand_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("open");
    QTest::addColumn<QString>("reason");
    QTest::newRow("one byte too long") << QString(TX_BUFFER_SIZE - 1, 'a') << true << "longer than 2046 bytes";
    QTest::newRow("far too long") << QString(10 * TX_BUFFER_SIZE, 'b') << true << "longer than 2046 bytes";
    QTest::newRow("not 8-bit") << QStringLiteral("ver\u20AC") << true << "no 8-bit form";
    QTest::newRow("port closed") << QStringLiteral("txp,-12") << false << "the port is not open";
}

void TestReaderEngine::refusedCommand()
{
    QFETCH(QString, command);
    QFETCH(bool, open);
    QFETCH(QString, reason);

    QVERIFY(startReader());
    makeEngine();
    QStringList notSent;
    connect(m_engine.get(), &CReaderEngine::commandNotSent, this, [&](const QString &c, const QString &) { notSent << c; });
    if (open) {
        m_engine->OpenPort();
        QVERIFY(m_engine->IsOpen());
    }
    QCOMPARE(m_engine->SendCommand(command), 0);
    QCOMPARE(notSent, QStringList{command});
    QCOMPARE(count(command, LogKind::Sent), 0);
    QVERIFY2(logText().contains("Not sent (") && logText().contains(reason), qPrintable(logText().left(300)));
    QCOMPARE(kindOf("Not sent ("), LogKind::Error);
    QVERIFY(m_engine->LastCommand().isEmpty());

    // The reader receives the next command and nothing of the refused one.
    if (!open)
        m_engine->OpenPort();
    QVERIFY(m_engine->SendCommand("ver") > 0);
    QVERIFY(waitForReceived("ver"));
    QCOMPARE(received(), QStringList{"ver"});
    QCOMPARE(count("ver\r\n", LogKind::Sent), 1);

    // The longest command that fits goes out whole.
    const QString longest(TX_BUFFER_SIZE - 2, 'c');
    QCOMPARE(m_engine->SendCommand(longest), TX_BUFFER_SIZE);
    QVERIFY(waitForReceived(longest));
}

// A hang-up is one lost link with its reason; the automatic connection reopens the port,
// wakes the reader once and learns its power; once awake, no more wake-ups.
void TestReaderEngine::hangUpAndAutoConnect()
{
    QVERIFY(startReader(100));
    makeEngine();
    QList<QPair<CReaderEngine::State, QString>> states;
    connect(m_engine.get(), &CReaderEngine::connectionChanged, this,
            [&](CReaderEngine::State state, const QString &why) { states.append({state, why}); });
    QList<int> powers;
    connect(m_engine.get(), &CReaderEngine::txPowerReported, this, [&](int dbm) { powers << dbm; });
    m_engine->OpenPort();
    QVERIFY(m_engine->IsOpen());
    QVERIFY(!m_engine->TxPowerKnown());

    const QString com = QStringLiteral("COM%1").arg(m_reader->comNumber());
    const QString lostPath = m_reader->slavePath();
    m_reader->HangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!m_engine->IsOpen(), TRY_MS);
    // The simulated reader's hang-up closes its terminal, whose node goes with it.
    const QString lost = com + " link lost: " + lostPath + " (" + PortLinkErrorText(ENODEV, lostPath) + ")";
    QCOMPARE(count(lost, LogKind::Error), 1);
    QCOMPARE(m_engine->StateText(), lost);
    QCOMPARE(states.last(), qMakePair(CReaderEngine::State::Lost, lost));
    QCOMPARE(m_engine->readerAwake(), 0);

    m_engine->SetAutoConnect(true);
    QTRY_VERIFY_WITH_TIMEOUT(m_engine->IsOpen(), TRY_MS);
    QVERIFY2(waitForReceived("g,txp"), qPrintable(received().join('|')));
    QTRY_COMPARE_WITH_TIMEOUT(m_engine->readerAwake(), 1, TRY_MS);
    QCOMPARE(kindOf(com + " reopened by the automatic connection: " + m_reader->slavePath()), LogKind::Note);
    QTRY_COMPARE_WITH_TIMEOUT(powers, QList<int>{-30}, TRY_MS);
    QVERIFY(m_engine->TxPowerKnown());

    const int asked = count("g,txp", LogKind::Sent);
    QVERIFY(asked >= 1);
    QTest::qWait(3 * SHORT_AUTO_CONNECT_MS);
    QCOMPARE(count("g,txp", LogKind::Sent), asked);
}

// A line cut by closing the port or by a hang-up is shown and dropped: what the next
// connection brings never completes it, not even when the cut fell inside CR LF.
void TestReaderEngine::fragmentNeverTyped_data()
{
    QTest::addColumn<QByteArray>("fragment");
    QTest::addColumn<bool>("hangUp");
    QTest::newRow("mid-line, port closed") << QByteArray("E2FRAG") << false;
    QTest::newRow("inside CR LF, link lost") << QByteArray("E2FRAG\r") << true;
}

void TestReaderEngine::fragmentNeverTyped()
{
    QFETCH(QByteArray, fragment);
    QFETCH(bool, hangUp);
    constexpr int COM_NUMBER = 202;
    CReaderLine line;
    if (!line.Open(m_dir->filePath("ports"), COM_NUMBER))
        QSKIP("no pseudo-terminal can be opened here");
    m_frontEnd.port = COM_NUMBER;
    makeEngine();
    m_engine->SetKeyEmulator(true);
    m_engine->OpenPort();
    QVERIFY(m_engine->IsOpen());
    const QByteArray first = "$trigger=1,0\r\n$batt=1\r\n" + fragment;
    QVERIFY(line.WriteAll(first.constData(), std::size_t(first.size())));
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QStringLiteral("$batt=1")), TRY_MS);
    hangUp ? line.HangUp() : m_engine->ClosePort();
    QTRY_VERIFY_WITH_TIMEOUT(!m_engine->IsOpen() && logText().contains(QStringLiteral("E2FRAG")), TRY_MS);
    line.HangUp();   // the next connection on a fresh line
    QVERIFY(line.Open(m_dir->filePath("ports"), COM_NUMBER));
    m_engine->OpenPort();
    const QByteArray next = "\nE2GOOD\r\n";
    QVERIFY(line.WriteAll(next.constData(), std::size_t(next.size())));
    QTRY_COMPARE_WITH_TIMEOUT(m_keys->taken().count(VK_RETURN), qsizetype(1), TRY_MS);
    QList<std::uint8_t> expected;
    for (char c : QByteArray("E2GOOD"))
        expected << std::uint8_t(c);   // the virtual keys of 'A'..'Z' and '0'..'9' are their codes
    expected << VK_NONE << VK_RETURN;  // the terminating zero byte, then Enter
    QCOMPARE(m_keys->taken(), expected);
}

void TestReaderEngine::bluetoothRefusalSaysWhy_data()
{
    QTest::addColumn<QString>("device");   // how the mock knows the reader: serial, unpaired, none
    QTest::addColumn<QString>("failure");  // BlueZ's error name and message for ConnectProfile
    QTest::addColumn<QString>("why");      // the start of the plain words
    QTest::addColumn<QString>("said");     // BlueZ's own text, kept for the state's detail

    QTest::newRow("out of range") << "serial" << "org.bluez.Error.Failed|Host is down"
                                  << "The reader did not answer: it is switched off or out of range."
                                  << "Host is down (org.bluez.Error.Failed)";
    QTest::newRow("profile refused") << "serial" << "org.bluez.Error.NotAvailable|Operation currently not available"
                                     << "The reader offers no serial port"
                                     << "Operation currently not available (org.bluez.Error.NotAvailable)";
    QTest::newRow("BlueZ does not answer") << "serial" << "hang|" << "Bluetooth gave no answer in time"
                                           << QStringLiteral("BlueZ did not answer within %1 s").arg(CONNECT_TIMEOUT_MS / 1000);
    QTest::newRow("not paired") << "unpaired" << "" << "The reader is not paired with this computer"
                                << "the device is not paired: pair it first";
    QTest::newRow("unknown to BlueZ") << "none" << "" << "The reader is not paired with this computer"
                                      << "BlueZ does not know this device: pair it first";
}

// The port of a Bluetooth reader that cannot be connected: the open returns at once, and
// BlueZ's answer later gives one line with its reason.
void TestReaderEngine::bluetoothRefusalSaysWhy()
{
    QFETCH(QString, device);
    QFETCH(QString, failure);
    QFETCH(QString, why);
    QFETCH(QString, said);
    CBluezTestBus bus;
    QString missing;
    if (!bus.start(true, missing))
        QSKIP(qPrintable(missing));
    QString setup;
    QVERIFY(bus.addSerialProfile(setup));
    QCOMPARE(bus.mockCall("AddAdapter", {QStringLiteral("hci0"), QStringLiteral("host")}).type(), QDBusMessage::ReplyMessage);
    const QVariantList reader{QStringLiteral("hci0"), READER_ADDRESS, QStringLiteral("Reader-A")};
    if (device != "none")
        QVERIFY(bus.mockCall(device == "serial" ? "AddSerialDevice" : "AddDevice", reader).type()
                == QDBusMessage::ReplyMessage);
    bus.mockCall("FailConnections", {failure.section('|', 0, 0), failure.section('|', 1)});
    m_frontEnd.port = 200;
    makeEngine(bus.address());
    m_engine->OpenPort();
    QVERIFY(m_engine->IsConnecting());
    QVERIFY(!logText().contains("Cannot open"));
    const QString line = "Cannot open COM200: Bluetooth " + READER_ADDRESS + ": " + why;
    QTRY_VERIFY2_WITH_TIMEOUT(logText().contains(line), qPrintable(logText()), TRY_MS);
    QCOMPARE(kindOf(line), LogKind::Error);
    QVERIFY(!m_engine->IsConnecting() && !m_engine->IsOpen());
    QCOMPARE(logText().count("Cannot open"), 1);
    QCOMPARE(m_engine->StateText(), "closed; BlueZ said: " + said);
}

QTEST_GUILESS_MAIN(TestReaderEngine)
#include "tst_readerengine.moc"
