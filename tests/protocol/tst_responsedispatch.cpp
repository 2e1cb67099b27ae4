// Received pieces in, dispatched lines, log entries, typed tags and commands written out.

#include "tests/support/FakeProtocolHost.h"

#include <QtTest>

namespace {

using Pieces = QList<QByteArray>;

QString tagLine(int i) { return QStringLiteral("E2000017221101%1").arg(i, 10, 10, QLatin1Char('0')); }

} // namespace

class TestResponseDispatch : public QObject
{
    Q_OBJECT
private slots:
    void dispatch_data();
    void dispatch();
    void emptyTakeDoesNothing();
    void remainderSurvivesAcrossCalls();
    void completeLinesGoAtOnce_data();
    void completeLinesGoAtOnce();
    void reentrantDataKeepsOrder();
    void dropAtLinkEnd_data();
    void dropAtLinkEnd();
};

void TestResponseDispatch::dispatch_data()
{
    QTest::addColumn<Pieces>("pieces");
    QTest::addColumn<QString>("lastCommand");
    QTest::addColumn<bool>("keyEmulator");
    QTest::addColumn<bool>("multiMode");
    QTest::addColumn<QString>("codeSet");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("readerAwake");

    const QString latin1 = QStringLiteral("ISO-8859-1");

    QTest::newRow("ok and prompt in one piece")
        << Pieces { "ok\r\n$>" } << "ver" << false << true << latin1
        << QStringList { "line:ok:ok", "line:event:$>", "blue:ok\r\n$>" } << 1;
    QTest::newRow("answer held back until its line end")
        << Pieces { "ok,-1", "2\r\n" } << "g,txp" << false << true << latin1
        << QStringList { "line:ok:ok,-12", "slider:-12", "blue:ok,-12\r\n" } << 0;
    QTest::newRow("held-back text keeps the line break that follows it")
        << Pieces { "abc", "\r\ndef\r\n" } << "x" << false << true << latin1
        << QStringList { "line:tag:abc", "line:tag:def", "blue:abc\r\ndef\r\n" } << 0;
    QTest::newRow("leading breaks dropped when nothing is held")
        << Pieces { "\r\n\r\n end=3\r\n" } << "x" << false << true << latin1
        << QStringList { "line:end:end=3", "blue:end=3\r\n" } << 0;
    QTest::newRow("bare prompt is processed")
        << Pieces { "$>" } << "x" << false << true << latin1
        << QStringList { "line:event:$>", "blue:$>" } << 1;
    QTest::newRow("short piece held back")
        << Pieces { "ok", "\r\n" } << "x" << false << true << latin1
        << QStringList { "line:ok:ok", "blue:ok\r\n" } << 0;
    QTest::newRow("tag split after its first byte arrives whole")
        << Pieces { "E", "2001234\r\n" } << "i,0,0,0" << true << true << latin1
        << QStringList { "line:tag:E2001234", "tag:E2001234" } << 0;
    QTest::newRow("doubled CR logged as one line break")
        << Pieces { "end=3\r\r\nerr=1\r\r\n" } << "x" << false << true << latin1
        << QStringList { "line:end:end=3", "line:err:err=1", "blue:end=3\r\nerr=1\r\n" } << 0;
    QTest::newRow("trigger and battery in one piece, multi mode")
        << Pieces { "$trigger=1,0\r\n$batt=80\r\n" } << "x" << false << true << latin1
        << QStringList { "line:event:$trigger=1,0", "red:i,0,0,0\r\n", "write:i,0,0,0\r\n",
                         "line:event:$batt=80", "blue:$trigger=1,0\r\n$batt=80\r\n" } << 1;
    QTest::newRow("trigger in single mode")
        << Pieces { "$trigger=1,0\r\n" } << "x" << false << false << latin1
        << QStringList { "line:event:$trigger=1,0", "red:i,1,0,0\r\n", "write:i,1,0,0\r\n",
                         "blue:$trigger=1,0\r\n" } << 1;
    QTest::newRow("new tag typed and its piece not logged, repeat logged")
        << Pieces { "ABCD\r\n", "ABCD\r\n" } << "i,0,0,0" << true << true << latin1
        << QStringList { "line:tag:ABCD", "tag:ABCD", "line:tag:ABCD", "blue:ABCD\r\n" } << 0;
    QTest::newRow("tag not typed with the key emulator off")
        << Pieces { "ABCD\r\n" } << "i,0,0,0" << false << true << latin1
        << QStringList { "line:tag:ABCD", "blue:ABCD\r\n" } << 0;
    QTest::newRow("nothing sent yet: every line is an echo")
        << Pieces { "ABCD\r\n" } << "" << true << true << latin1
        << QStringList { "line:echo:ABCD", "blue:ABCD\r\n" } << 0;
    QTest::newRow("echo of the last command never typed")
        << Pieces { "i,0,0,0\r\n" } << "i,0,0,0" << true << true << latin1
        << QStringList { "line:echo:i,0,0,0", "blue:i,0,0,0\r\n" } << 0;
    QTest::newRow("trigger inside a line is an event without waking")
        << Pieces { "x$trigger=3,0\r\n" } << "x" << false << true << latin1
        << QStringList { "line:trigger:x$trigger=3,0", "red:sc.start\r\n", "write:sc.start\r\n",
                         "blue:x$trigger=3,0\r\n" } << 0;
    QTest::newRow("prompt followed by an event on one line")
        << Pieces { "$>$trigger=0,0\r\n" } << "x" << false << true << latin1
        << QStringList { "line:event:$>", "line:event:$trigger=0,0", "red:s\r\n", "write:s\r\n",
                         "blue:$>$trigger=0,0\r\n" } << 1;
    QTest::newRow("trigger empties the tag list")
        << Pieces { "T1\r\n", "$trigger=1,0\r\n", "T1\r\n" } << "i,0,0,0" << true << true << latin1
        << QStringList { "line:tag:T1", "tag:T1", "line:event:$trigger=1,0", "red:i,0,0,0\r\n",
                         "write:i,0,0,0\r\n", "blue:$trigger=1,0\r\n", "line:tag:T1", "tag:T1" } << 1;
    QTest::newRow("scan mode types text")
        << Pieces { "$trigger=3,0\r\n", "8801234567893\r\n" } << "x" << true << true << latin1
        << QStringList { "line:event:$trigger=3,0", "red:sc.start\r\n", "write:sc.start\r\n",
                         "blue:$trigger=3,0\r\n", "line:tag:8801234567893", "scan:8801234567893" } << 1;
    QTest::newRow("Hangul split inside a character")
        << Pieces { "\xC7", "\xD1\xB1", "\xDB\r\n" } << "i,0,0,0" << true << true << QStringLiteral("EUC-KR")
        << QStringList { QString::fromUtf8("line:tag:\xED\x95\x9C\xEA\xB8\x80"),
                         QStringLiteral("tag:") + QString::fromLatin1("\xC7\xD1\xB1\xDB") } << 0;

    // Echoes that come after later commands: the command sent before the trigger's (its answer
    // still sets the slider), and both commands of a pull and release that came in one piece. A tag holding a waiting
    // command's text is still a tag; of more than MAX_PENDING_ECHOES waiting, the oldest goes.
    QTest::newRow("late echo after the trigger's command")
        << Pieces { "$trigger=1,0\r\n", "g,txp\r\nok,-12\r\n$>" } << "g,txp" << true << true << latin1
        << QStringList { "line:event:$trigger=1,0", "red:i,0,0,0\r\n", "write:i,0,0,0\r\n", "blue:$trigger=1,0\r\n",
                         "line:echo:g,txp", "line:ok:ok,-12", "slider:-12", "line:event:$>", "blue:g,txp\r\nok,-12\r\n$>" } << 1;
    const QStringList pullAndRelease { "line:event:$trigger=1,0", "red:i,0,0,0\r\n", "write:i,0,0,0\r\n",
        "line:event:$trigger=0,0", "red:s\r\n", "write:s\r\n", "blue:$trigger=1,0\r\n$trigger=0,0\r\n" };
    QTest::newRow("pull and release in one piece, echoes after both")
        << Pieces { "$trigger=1,0\r\n$trigger=0,0\r\n", "i,0,0,0\r\nE2001234\r\ns\r\n$>" } << "x" << true << true << latin1
        << pullAndRelease + QStringList { "line:echo:i,0,0,0", "line:tag:E2001234", "tag:E2001234", "line:echo:s",
                                          "line:event:$>" } << 1;
    QTest::newRow("tag holding a waiting command's text")
        << Pieces { "$trigger=1,0\r\n$trigger=0,0\r\n", "E2i,0,0,0\r\n" } << "x" << true << true << latin1
        << pullAndRelease + QStringList { "line:tag:E2i,0,0,0", "tag:E2i,0,0,0" } << 1;
    QByteArray stops = "$trigger=3,0\r\n";
    QStringList stopsSent { "line:event:$trigger=3,0", "red:sc.start\r\n", "write:sc.start\r\n" };
    for (int i = 0; i < CResponseDispatcher::MAX_PENDING_ECHOES; ++i) {
        stops += "$trigger=2,0\r\n";
        stopsSent << "line:event:$trigger=2,0" << "red:sc.stop\r\n" << "write:sc.stop\r\n";
    }
    QTest::newRow("oldest waiting echo dropped past the bound")
        << Pieces { stops, "sc.start\r\n" } << "x" << true << true << latin1
        << stopsSent + QStringList { "blue:" + QString::fromLatin1(stops), "line:tag:sc.start", "scan:sc.start" } << 1;

    // Pending data far larger than any fixed intake: every line dispatched, all tags typed,
    // and the trigger at the very end still acted on.
    QByteArray many;
    QStringList expected;
    for (int i = 0; i < 200; ++i) {
        many += tagLine(i).toLatin1() + "\r\n";
        expected << QStringLiteral("line:tag:") + tagLine(i) << QStringLiteral("tag:") + tagLine(i);
    }
    many += "$trigger=1,0\r\n";
    expected << "line:event:$trigger=1,0" << "red:i,0,0,0\r\n" << "write:i,0,0,0\r\n";
    QTest::newRow("200 tags and a trigger in one piece")
        << Pieces { many } << "i,0,0,0" << true << true << latin1 << expected << 1;

    // The line bound: a line at it is typed; a longer one, whole or cut while held back (NULs
    // too), is logged as its head and a mark, and never typed; the next line is typed as usual.
    const qsizetype bound = CResponseDispatcher::MAX_LINE_CHARS;
    auto mark = [](int more) { return QStringLiteral(" [... %1 more characters of this line not shown]").arg(more); };
    QTest::newRow("line at the bound typed")
        << Pieces { QByteArray(bound, 'A') + "\r\n" } << "i,0,0,0" << true << true << latin1
        << QStringList { "line:tag:" + QString(bound, u'A'), "tag:" + QString(bound, u'A') } << 0;
    QTest::newRow("complete line past the bound logged shortened")
        << Pieces { QByteArray(1000, 'B'), QByteArray(2000, 'B') + "\r\nT1\r\n" } << "i,0,0,0" << true << true << latin1
        << QStringList { "blue:" + QString(bound, u'B') + mark(3000 - bound) + "\r\n", "line:tag:T1", "tag:T1" } << 0;
    QTest::newRow("held-back run cut at the bound") << Pieces { QByteArray(1000, 'C'), QByteArray(1000, 'C'),
        QByteArray(1000, 'C'), "\r\nT2\r\n" } << "i,0,0,0" << true << true << latin1
        << QStringList { "blue:" + QString(bound, u'C'), "blue:" + mark(3000 - bound) + "\r\n", "line:tag:T2", "tag:T2" } << 0;
    QTest::newRow("NUL flood cut at the bound")
        << Pieces { QByteArray(5000, '\0'), "\r\nT3\r\n" } << "i,0,0,0" << true << true << latin1
        << QStringList { "blue:" + QString(bound, QChar(0)), "blue:" + mark(5000 - bound) + "\r\n", "line:tag:T3", "tag:T3" } << 0;
}

void TestResponseDispatch::dispatch()
{
    QFETCH(Pieces, pieces);
    QFETCH(QString, lastCommand);
    QFETCH(bool, keyEmulator);
    QFETCH(bool, multiMode);
    QFETCH(QString, codeSet);
    QFETCH(QStringList, expected);
    QFETCH(int, readerAwake);

    CFakeProtocolHost host;
    host.lastCommand = lastCommand;
    host.keyEmulator = keyEmulator;
    host.multiMode = multiMode;
    CResponseDispatcher dispatcher(host, host, codeSet);
    host.observe(dispatcher);
    if (!lastCommand.isEmpty())
        dispatcher.CommandSent(lastCommand);
    QStringList reads;
    int scanReads = 0;
    dispatcher.setTagReadObserver([&](const QString &line, int scanMode) {
        reads << QStringLiteral("line:tag:") + line;
        scanReads += scanMode;
    });
    for (const QByteArray &piece : pieces)
        QCOMPARE(dispatcher.OnSerialData(piece), 1);

    QCOMPARE(host.trace, expected);
    // Every tag line is counted, typed or not, repeats included; in scan mode as a scan.
    QCOMPARE(reads, host.trace.filter(QRegularExpression(QStringLiteral("^line:tag:"))));
    QCOMPARE(scanReads, host.trace.filter(QRegularExpression(QStringLiteral("^scan:"))).size());
    QCOMPARE(dispatcher.readerAwake(), readerAwake);
    QVERIFY2(dispatcher.rxRemainder().isEmpty(), qPrintable(dispatcher.rxRemainder()));
}

void TestResponseDispatch::emptyTakeDoesNothing()
{
    CFakeProtocolHost host;
    CResponseDispatcher dispatcher(host, host, QStringLiteral("ISO-8859-1"));
    QCOMPARE(dispatcher.OnSerialData(QByteArray()), 0);
    QCOMPARE(dispatcher.OnSerialData(nullptr, 5), 0);
    QVERIFY(host.trace.isEmpty());
}

void TestResponseDispatch::remainderSurvivesAcrossCalls()
{
    CFakeProtocolHost host;
    host.lastCommand = QStringLiteral("x");
    CResponseDispatcher dispatcher(host, host, QStringLiteral("ISO-8859-1"));
    dispatcher.OnSerialData(QByteArray("ok\r\nAB"));
    QCOMPARE(dispatcher.rxRemainder(), QStringLiteral("AB"));
    QCOMPARE(host.trace, QStringList { "blue:ok\r\n" });
    dispatcher.OnSerialData(QByteArray("C"));
    QCOMPARE(dispatcher.rxRemainder(), QStringLiteral("ABC"));
    dispatcher.OnSerialData(QByteArray("\r\n"));
    QCOMPARE(host.trace, (QStringList { "blue:ok\r\n", "blue:ABC\r\n" }));
    QVERIFY(dispatcher.rxRemainder().isEmpty());
}

// Under continuous traffic a piece seldom ends exactly at a line end: its complete lines are
// dispatched (a new tag typed) and logged at once, and only the unfinished tail waits.
void TestResponseDispatch::completeLinesGoAtOnce_data()
{
    QTest::addColumn<QByteArray>("piece");
    QTest::addColumn<bool>("keyEmulator");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("heldBack");

    QTest::newRow("tag typed before its piece's tail completes")
        << QByteArray("T1\r\nT2\r\nT") << true << QStringList { "line:tag:T1", "tag:T1", "line:tag:T2", "tag:T2" }
        << "T";
    QTest::newRow("complete lines logged, tail held")
        << QByteArray("ok\r\nE200\r\nE2") << false
        << QStringList { "line:ok:ok", "line:tag:E200", "blue:ok\r\nE200\r\n" } << "E2";
    QTest::newRow("doubled CR before the tail logged as one break")
        << QByteArray("end=3\r\r\nerr") << false << QStringList { "line:end:end=3", "blue:end=3\r\n" } << "err";
    QTest::newRow("a lone CR does not end what is held back")
        << QByteArray("a\rb") << false << QStringList {} << "a\rb";
    QTest::newRow("a CR at the end may still become a doubled CR")
        << QByteArray("a\r\nb\r\r") << false << QStringList { "line:tag:a", "blue:a\r\n" } << "b\r\r";
    QTest::newRow("prompt with text after it waits for its line end")
        << QByteArray("x\r\n$>ab") << false << QStringList { "line:tag:x", "blue:x\r\n" } << "$>ab";
    QTest::newRow("two prompts in one read")
        << QByteArray("$>$>") << false << QStringList { "line:event:$>", "line:event:$>", "blue:$>$>" } << "";
    QTest::newRow("prompts after text on the same line do not cut it")
        << QByteArray("x\r\nab$>$>") << false << QStringList { "line:tag:x", "blue:x\r\n" } << "ab$>$>";
}

void TestResponseDispatch::completeLinesGoAtOnce()
{
    QFETCH(QByteArray, piece);
    QFETCH(bool, keyEmulator);
    QFETCH(QStringList, expected);
    QFETCH(QString, heldBack);

    CFakeProtocolHost host;
    host.lastCommand = QStringLiteral("i,0,0,0");
    host.keyEmulator = keyEmulator;
    CResponseDispatcher dispatcher(host, host, QStringLiteral("ISO-8859-1"));
    host.observe(dispatcher);
    dispatcher.OnSerialData(piece);
    QCOMPARE(host.trace, expected);
    QCOMPARE(dispatcher.rxRemainder(), heldBack);
}

// A host whose key emulator lets the event loop run, so that data arrives while a tag is typed.
class CReentrantHost : public CFakeProtocolHost
{
public:
    CResponseDispatcher *dispatcher = nullptr;
    QByteArray arriving;
    void TypeTag(const QString &line, const QByteArray &tagBytes) override
    {
        CFakeProtocolHost::TypeTag(line, tagBytes);
        if (!arriving.isEmpty())
            QCOMPARE(dispatcher->OnSerialData(std::exchange(arriving, QByteArray())), 1);
    }
};

void TestResponseDispatch::reentrantDataKeepsOrder()
{
    CReentrantHost host;
    host.lastCommand = QStringLiteral("i,0,0,0");
    host.keyEmulator = true;
    CResponseDispatcher dispatcher(host, host, QStringLiteral("ISO-8859-1"));
    host.dispatcher = &dispatcher;
    host.arriving = "T3\r\n";
    dispatcher.OnSerialData(QByteArray("T1\r\nT2\r\n"));
    QCOMPARE(host.trace, (QStringList { "tag:T1", "tag:T2", "tag:T3" }));
}

// At a link's end the unfinished line is logged with the note and dropped: it never joins
// what comes next, so it is never typed; bytes still pending at the end are handled first.
void TestResponseDispatch::dropAtLinkEnd_data()
{
    QTest::addColumn<Pieces>("before");
    QTest::addColumn<QByteArray>("pending");
    QTest::addColumn<Pieces>("after");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("pending bytes first") << Pieces { "T1\r\nE2TA" } << QByteArray("G\r\nE3") << Pieces { "T4\r\n" }
        << QStringList { "tag:T1", "tag:E2TAG", "blue:E3", "error:\r\nend\r\n", "tag:T4" };
    QTest::newRow("long line ends with its mark") << Pieces { QByteArray(2000, 'C') } << QByteArray() << Pieces {}
        << QStringList { "blue:" + QString(1600, u'C'), "blue: [... 400 more characters of this line not shown]\r\n", "error:end\r\n" };
}

void TestResponseDispatch::dropAtLinkEnd()
{
    QFETCH(Pieces, before);
    QFETCH(QByteArray, pending);
    QFETCH(Pieces, after);
    QFETCH(QStringList, expected);

    CFakeProtocolHost host;
    host.lastCommand = QStringLiteral("i,0,0,0");
    host.keyEmulator = true;
    CResponseDispatcher dispatcher(host, host, QStringLiteral("ISO-8859-1"));
    for (const QByteArray &piece : before)
        dispatcher.OnSerialData(piece);
    dispatcher.DropHeldBackAfter(pending.size(), QStringLiteral("end\r\n"));
    for (const QByteArray &piece : Pieces { pending } + after)
        dispatcher.OnSerialData(piece);
    QCOMPARE(host.trace, expected);
}

QTEST_GUILESS_MAIN(TestResponseDispatch)
#include "tst_responsedispatch.moc"
