// The tool's reactions to the reader: trigger answers, the TX power answer and slider, the
// number reading they share, and the 8-bit form of a command.

#include "tests/support/FakeProtocolHost.h"

#include "protocol/ReaderControl.h"

#include <QtTest>
#include <limits>

class TestReaderControl : public QObject
{
    Q_OBJECT
private slots:
    void trigger_data();
    void trigger();
    void readInteger_data();
    void readInteger();
    void okResponse_data();
    void okResponse();
    void txPowerReleased();
    void commandLine_data();
    void commandLine();
};

void TestReaderControl::trigger_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("multiMode");
    QTest::addColumn<int>("scanModeBefore");
    QTest::addColumn<QString>("sent");          // empty: nothing sent
    QTest::addColumn<int>("scanModeAfter");
    QTest::addColumn<bool>("tagsCleared");

    QTest::newRow("inventory, multi") << "$trigger=1,0" << true << 1 << "i,0,0,0" << 0 << true;
    QTest::newRow("inventory, single") << "$trigger=1,0" << false << 1 << "i,1,0,0" << 0 << true;
    QTest::newRow("scan start") << "$trigger=3,0" << true << 0 << "sc.start" << 1 << true;
    QTest::newRow("scan stop keeps scan mode") << "$trigger=2,0" << true << 1 << "sc.stop" << 1 << false;
    QTest::newRow("release") << "$trigger=0,1" << true << 1 << "s" << 1 << false;
    QTest::newRow("unknown value") << "$trigger=7,0" << true << 1 << "" << 1 << false;
    QTest::newRow("no comma") << "$trigger=1" << true << 1 << "" << 1 << false;
    QTest::newRow("comma first") << ",$trigger=1" << true << 1 << "" << 1 << false;
    QTest::newRow("comma before the value acts as 0") << "x,$trigger=1" << true << 1 << "s" << 1 << false;
    QTest::newRow("value without digits acts as 0") << "$trigger=a,0" << true << 1 << "s" << 1 << false;
    QTest::newRow("value with blanks and sign") << "$trigger= +3,0" << true << 0 << "sc.start" << 1 << true;
    QTest::newRow("other event") << "$batt=80" << true << 1 << "" << 1 << false;
    QTest::newRow("trigger keyword needs its dollar") << "trigger=1,0" << true << 1 << "" << 1 << false;
}

void TestReaderControl::trigger()
{
    QFETCH(QString, line);
    QFETCH(bool, multiMode);
    QFETCH(int, scanModeBefore);
    QFETCH(QString, sent);
    QFETCH(int, scanModeAfter);
    QFETCH(bool, tagsCleared);

    CFakeProtocolHost host;
    host.multiMode = multiMode;
    host.keyEmulator = true;
    host.lastCommand = QStringLiteral("x");
    CResponseDispatcher dispatcher(host, host, QStringLiteral("ISO-8859-1"));
    // Reach the wanted scan mode and one typed tag the way the reader would.
    if (scanModeBefore == CReaderControl::Scan)
        dispatcher.control().HandleReaderEvent(QStringLiteral("$trigger=3,0"));
    dispatcher.OnSerialData(QByteArray("TAG1\r\n"));
    QCOMPARE(dispatcher.tagList().size(), 1);
    host.trace.clear();
    host.history.clear();

    dispatcher.control().HandleReaderEvent(line);

    const QStringList expected = sent.isEmpty() ? QStringList()
        : QStringList { "red:" + sent + "\r\n", "write:" + sent + "\r\n" };
    QCOMPARE(host.trace, expected);
    QCOMPARE(host.history, sent.isEmpty() ? QStringList() : QStringList { sent });
    QCOMPARE(dispatcher.scanMode(), scanModeAfter);
    QCOMPARE(dispatcher.tagList().size(), tagsCleared ? 0 : 1);
}

void TestReaderControl::readInteger_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << "-12" << -12;
    QTest::newRow("trailing text") << "-12,5" << -12;
    QTest::newRow("leading blanks") << " \t 5" << 5;
    QTest::newRow("plus") << "+7" << 7;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("no digits") << "abc" << 0;
    QTest::newRow("sign then blank") << "- 5" << 0;
    QTest::newRow("too large saturates") << "99999999999" << std::numeric_limits<int>::max();
    QTest::newRow("too small saturates") << "-99999999999" << std::numeric_limits<int>::min();
    QTest::newRow("int minimum") << "-2147483648" << std::numeric_limits<int>::min();
}

void TestReaderControl::readInteger()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    QCOMPARE(ReadIntegerLikeWtoi(text), value);
}

void TestReaderControl::okResponse_data()
{
    QTest::addColumn<QString>("lastCommand");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("slider");   // -1000: not set
    QTest::newRow("in range") << "g,txp" << "ok,-12" << -12;
    QTest::newRow("below range") << "g,txp" << "ok,-45" << -30;
    QTest::newRow("above range") << "g,txp" << "ok,5" << 0;
    QTest::newRow("ok alone") << "g,txp" << "ok" << 0;
    QTest::newRow("other command") << "ver" << "ok,-12" << -1000;
}

void TestReaderControl::okResponse()
{
    QFETCH(QString, lastCommand);
    QFETCH(QString, line);
    QFETCH(int, slider);
    CFakeProtocolHost host;
    host.lastCommand = lastCommand;
    host.txPower = -1000;
    CTagList tags;
    CReaderControl control(host, tags);
    control.HandleOkResponse(line);
    QCOMPARE(host.txPower, slider);
}

void TestReaderControl::txPowerReleased()
{
    CFakeProtocolHost host;
    host.txPower = -5;
    CTagList tags;
    CReaderControl control(host, tags);
    control.OnTxPowerReleased();
    QCOMPARE(host.history, QStringList { "txp,-5" });
    QCOMPARE(host.trace, (QStringList { "red:txp,-5\r\n", "write:txp,-5\r\n" }));
}

void TestReaderControl::commandLine_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("bytes");
    const qsizetype room = CFakeProtocolHost::TX_CAPACITY - 2;
    QTest::newRow("plain") << "ver" << int(CommandLine::Ready) << QByteArray("ver\r\n");
    QTest::newRow("typed escapes") << "a\\r\\nb" << int(CommandLine::Ready) << QByteArray("a\r\nb\r\n");
    QTest::newRow("latin-1 letter") << QString::fromUtf8("caf\xC3\xA9") << int(CommandLine::Ready)
                                    << QByteArray("caf\xE9\r\n");
    QTest::newRow("fills the buffer") << QString(room, u'x') << int(CommandLine::Ready)
                                      << QByteArray(room, 'x') + "\r\n";
    QTest::newRow("one byte too long") << QString(room + 1, u'x') << int(CommandLine::TooLong) << QByteArray();
    QTest::newRow("far too long") << QString(100000, u'x') << int(CommandLine::TooLong) << QByteArray();
    QTest::newRow("Hangul has no 8-bit form") << QString::fromUtf8("txp,\xED\x95\x9C") << int(CommandLine::Unrepresentable)
                                              << QByteArray();
}

void TestReaderControl::commandLine()
{
    QFETCH(QString, typed);
    QFETCH(int, status);
    QFETCH(QByteArray, bytes);
    const CommandLine line = PrepareCommandLine(ReplaceTypedEscapes(typed), CFakeProtocolHost::TX_CAPACITY);
    QCOMPARE(int(line.status), status);
    QCOMPARE(line.bytes, bytes);
    QCOMPARE(CommandRefusalText(line, CFakeProtocolHost::TX_CAPACITY).isEmpty(), status == CommandLine::Ready);
}

QTEST_GUILESS_MAIN(TestReaderControl)
#include "tst_readercontrol.moc"
