// The key emulator against a recording sink: the exact key events of each path.

#include "wedge/KeySink.h"
#include "wedge/KeyEmulator.h"

#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <vector>

namespace {

struct KeyEvent
{
    int virtualKey;
    int scanCode;
    bool release;
    bool operator==(const KeyEvent &o) const
    {
        return virtualKey == o.virtualKey && scanCode == o.scanCode && release == o.release;
    }
};
using Events = std::vector<KeyEvent>;

class RecordingSink : public IKeySink
{
public:
    void SendKey(std::uint8_t virtualKey, std::uint8_t scanCode, KeyDirection direction) override
    {
        events.push_back({virtualKey, scanCode, direction == KeyDirection::Release});
    }
    Events events;
};

class AsciiMode final : public IAsciiModeSource
{
public:
    explicit AsciiMode(bool on) : m_on(on) {}
    bool IsAsciiModeChecked() const override { return m_on; }

private:
    bool m_on;
};

// Expected sequences, written out with the United States set-1 scan codes by hand.
constexpr int SHIFT = 0x10, kShiftScan = 0x2A;
constexpr int ENTER = 0x0D, kEnterScan = 0x1C;
constexpr int HANGUL = 0x15, kHangulScan = 0x72;

Events operator+(Events a, const Events &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Events tap(int vk, int scan = 0) { return {{vk, scan, false}, {vk, scan, true}}; }
Events shifted(int vk, int scan = 0, int shiftScan = 0)
{
    return {{SHIFT, shiftScan, false}, {vk, scan, false}, {vk, scan, true}, {SHIFT, shiftScan, true}};
}
Events tagShifted(int vk, int scan) { return shifted(vk, scan, kShiftScan); }
Events none() { return tap(0, 0); }   // virtual key 0: a byte the table cannot type
Events enter() { return tap(ENTER, kEnterScan); }
Events hangul() { return tap(HANGUL, kHangulScan); }

QString describe(const Events &events)
{
    QStringList parts;
    for (const KeyEvent &e : events)
        parts << QString::asprintf("%s%02X/%02X", e.release ? "^" : "v", e.virtualKey, e.scanCode);
    return parts.join(' ');
}

} // namespace

Q_DECLARE_METATYPE(Events)

class TestKeyEmulator : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_sink = std::make_shared<RecordingSink>(); }

    void tagText_data();
    void tagText();
    void untypableBytesOnTagPath_data();
    void untypableBytesOnTagPath();
    void longAsciiLineStaysInItsBuffer();
    void decodeHexPairs_data();
    void decodeHexPairs();
    void scanText_data();
    void scanText();
    void untypableCharactersOnScanPath_data();
    void untypableCharactersOnScanPath();
    void hangulToKeys_data();
    void hangulToKeys();
    void emulatorTypesQueueInOrder();
    void emulatorWithoutFactoryTypesIntoNothing();

private:
    std::shared_ptr<RecordingSink> m_sink;
};

// text (typed with its terminating zero in the count, as the receive handler passes it),
// ASCII mode, expected events.
void TestKeyEmulator::tagText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ascii");
    QTest::addColumn<Events>("expected");

    QTest::newRow("hex 3f2A") << QByteArray("3f2A") << false
        << tap(0x33, 0x04) + tap(0x46, 0x21) + tap(0x32, 0x03) + tagShifted(0x41, 0x1E) + none() + enter();
    QTest::newRow("ascii 41 42 43") << QByteArray("414243") << true
        << tagShifted(0x41, 0x1E) + tagShifted(0x42, 0x30) + tagShifted(0x43, 0x2E) + enter();
    QTest::newRow("ascii 41 00 42 43 stops") << QByteArray("41004243") << true
        << tagShifted(0x41, 0x1E) + none() + enter();
    QTest::newRow("ascii odd 414") << QByteArray("414") << true
        << tagShifted(0x41, 0x1E) + none() + enter();
    QTest::newRow("ascii lower case digits") << QByteArray("7a7A") << true
        << tap(0x5A, 0x2C) + tap(0x5A, 0x2C) + enter();
    QTest::newRow("hex space types nothing") << QByteArray("a b") << false
        << tap(0x41, 0x1E) + none() + tap(0x42, 0x30) + none() + enter();
    QTest::newRow("hex ) and +") << QByteArray(")+") << false
        << tagShifted(0x30, 0x0B) + tagShifted(0xBB, 0x0D) + none() + enter();
    QTest::newRow("ascii ) and +") << QByteArray("292B") << true
        << tagShifted(0x30, 0x0B) + tagShifted(0xBB, 0x0D) + enter();
    QTest::newRow("hex empty") << QByteArray("") << false << none() + enter();
    QTest::newRow("ascii empty") << QByteArray("") << true << enter();
    QTest::newRow("ascii garbage pair decodes to 0") << QByteArray("zz41") << true << none() + enter();
    QTest::newRow("ascii blank pair decodes to 0") << QByteArray(" 41") << true << none() + enter();
    QTest::newRow("ascii half pair 4g") << QByteArray("4g41") << true
        << none() + tagShifted(0x41, 0x1E) + enter();
    QTest::newRow("hex letters and scan codes") << QByteArray("qwertyuiop") << false
        << tap(0x51, 0x10) + tap(0x57, 0x11) + tap(0x45, 0x12) + tap(0x52, 0x13) + tap(0x54, 0x14)
           + tap(0x59, 0x15) + tap(0x55, 0x16) + tap(0x49, 0x17) + tap(0x4F, 0x18) + tap(0x50, 0x19)
           + none() + enter();
    QTest::newRow("hex home and bottom rows") << QByteArray("asdfghjklzxcvbnm") << false
        << tap(0x41, 0x1E) + tap(0x53, 0x1F) + tap(0x44, 0x20) + tap(0x46, 0x21) + tap(0x47, 0x22)
           + tap(0x48, 0x23) + tap(0x4A, 0x24) + tap(0x4B, 0x25) + tap(0x4C, 0x26) + tap(0x5A, 0x2C)
           + tap(0x58, 0x2D) + tap(0x43, 0x2E) + tap(0x56, 0x2F) + tap(0x42, 0x30) + tap(0x4E, 0x31)
           + tap(0x4D, 0x32) + none() + enter();
    QTest::newRow("hex digit row") << QByteArray("1234567890") << false
        << tap(0x31, 0x02) + tap(0x32, 0x03) + tap(0x33, 0x04) + tap(0x34, 0x05) + tap(0x35, 0x06)
           + tap(0x36, 0x07) + tap(0x37, 0x08) + tap(0x38, 0x09) + tap(0x39, 0x0A) + tap(0x30, 0x0B)
           + none() + enter();
    QTest::newRow("hex shifted digit row") << QByteArray(")!@#$%^&*(") << false
        << tagShifted(0x30, 0x0B) + tagShifted(0x31, 0x02) + tagShifted(0x32, 0x03) + tagShifted(0x33, 0x04)
           + tagShifted(0x34, 0x05) + tagShifted(0x35, 0x06) + tagShifted(0x36, 0x07) + tagShifted(0x37, 0x08)
           + tagShifted(0x38, 0x09) + tagShifted(0x39, 0x0A) + none() + enter();
    QTest::newRow("hex punctuation") << QByteArray("`-=\\[];',./") << false
        << tap(0xC0, 0x29) + tap(0xBD, 0x0C) + tap(0xBB, 0x0D) + tap(0xDC, 0x2B) + tap(0xDB, 0x1A)
           + tap(0xDD, 0x1B) + tap(0xBA, 0x27) + tap(0xDE, 0x28) + tap(0xBC, 0x33) + tap(0xBE, 0x34)
           + tap(0xBF, 0x35) + none() + enter();
    QTest::newRow("hex shifted punctuation") << QByteArray("~_+|{}:\"<>?") << false
        << tagShifted(0xC0, 0x29) + tagShifted(0xBD, 0x0C) + tagShifted(0xBB, 0x0D) + tagShifted(0xDC, 0x2B)
           + tagShifted(0xDB, 0x1A) + tagShifted(0xDD, 0x1B) + tagShifted(0xBA, 0x27) + tagShifted(0xDE, 0x28)
           + tagShifted(0xBC, 0x33) + tagShifted(0xBE, 0x34) + tagShifted(0xBF, 0x35) + none() + enter();
}

void TestKeyEmulator::tagText()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ascii);
    QFETCH(Events, expected);

    const AsciiMode mode(ascii);
    TypeTagText(*m_sink, text.constData(), text.size() + 1, &mode);
    QCOMPARE(describe(m_sink->events), describe(expected));
}

void TestKeyEmulator::untypableBytesOnTagPath_data()
{
    QTest::addColumn<int>("byte");
    for (int b = 0x01; b <= 0x20; ++b)
        QTest::newRow(qPrintable(QString::asprintf("0x%02X", b))) << b;
    for (int b = 0x7F; b <= 0xFF; ++b)
        QTest::newRow(qPrintable(QString::asprintf("0x%02X", b))) << b;
}

// Each such byte sends virtual key 0 in hex mode, and also when ASCII mode decodes to it.
void TestKeyEmulator::untypableBytesOnTagPath()
{
    QFETCH(int, byte);
    const char text[] = {static_cast<char>(byte), 0};
    TypeTagText(*m_sink, text, sizeof text, nullptr);
    QCOMPARE(describe(m_sink->events), describe(none() + none() + enter()));

    m_sink->events.clear();
    const QByteArray pair = QByteArray::number(byte, 16).rightJustified(2, '0');
    const AsciiMode ascii(true);
    TypeTagText(*m_sink, pair.constData(), pair.size() + 1, &ascii);
    QCOMPARE(describe(m_sink->events), describe(none() + enter()));
}

// A line far longer than a tag line can be: decoding stops at the decode buffer's end.
void TestKeyEmulator::longAsciiLineStaysInItsBuffer()
{
    const int pairs = int(DECODE_BUFFER_SIZE) + 300;
    const QByteArray text = QByteArray("61").repeated(pairs);
    const AsciiMode ascii(true);
    TypeTagText(*m_sink, text.constData(), text.size() + 1, &ascii);

    const Events a = tap(0x41, 0x1E);
    QCOMPARE(m_sink->events.size(), DECODE_BUFFER_SIZE * a.size() + enter().size());
    QVERIFY(Events(m_sink->events.end() - 2, m_sink->events.end()) == enter());
}

void TestKeyEmulator::decodeHexPairs_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("limit");     // text limit passed in; -1: the text with its zero
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("pairs") << QByteArray("3f2A") << -1 << QByteArray("\x3f\x2a", 2);
    QTest::newRow("all cases") << QByteArray("fFaB09") << -1 << QByteArray("\xff\xab\x09", 3);
    QTest::newRow("odd tail alone") << QByteArray("414") << -1 << QByteArray("\x41\x04", 2);
    QTest::newRow("zero stored and counted") << QByteArray("41004243") << -1 << QByteArray("\x41\x00", 2);
    QTest::newRow("single zero digit") << QByteArray("0") << -1 << QByteArray("\x00", 1);
    QTest::newRow("empty") << QByteArray("") << -1 << QByteArray();
    QTest::newRow("garbage first") << QByteArray("g141") << -1 << QByteArray("\x00", 1);
    QTest::newRow("sign is not a digit") << QByteArray("-141") << -1 << QByteArray("\x00", 1);
    QTest::newRow("garbage second") << QByteArray("4x41") << -1 << QByteArray("\x04\x41", 2);
    QTest::newRow("limit cuts unterminated text") << QByteArray("414243") << 3 << QByteArray("\x41\x04", 2);
    QTest::newRow("limit 0") << QByteArray("41") << 0 << QByteArray();
}

void TestKeyEmulator::decodeHexPairs()
{
    QFETCH(QByteArray, text);
    QFETCH(int, limit);
    QFETCH(QByteArray, expected);

    const std::size_t textLimit = limit < 0 ? std::size_t(text.size()) + 1 : std::size_t(limit);
    unsigned char out[8];
    std::memset(out, 0xEE, sizeof out);
    const std::size_t n = DecodeHexPairs(text.constData(), textLimit, out, 4);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(out), int(n)), expected);
    QCOMPARE(out[4], 0xEE);   // nothing past the output size
}

void TestKeyEmulator::scanText_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<Events>("expected");

    const Events r = tap(0x52), k = tap(0x4B), g = tap(0x47), s = tap(0x53), q = tap(0x51), t = tap(0x54);
    QTest::newRow("empty") << QString() << enter();
    QTest::newRow("space") << QStringLiteral(" ") << tap(0x20) + enter();
    QTest::newRow(") and +") << QStringLiteral(")+") << shifted(0x30) + shifted(0xBB) + enter();
    QTest::newRow("letters and digits") << QStringLiteral("aZ5") << tap(0x41) + shifted(0x5A) + tap(0x35) + enter();
    QTest::newRow("punctuation") << QStringLiteral("`\"") << tap(0xC0) + shifted(0xDE) + enter();
    QTest::newRow("U+AC00") << QString(QChar(0xAC00)) << hangul() + r + k + hangul() + enter();
    QTest::newRow("U+D55C") << QString(QChar(0xD55C)) << hangul() + g + k + s + hangul() + enter();
    QTest::newRow("U+AC12") << QString(QChar(0xAC12)) << hangul() + r + k + q + t + hangul() + enter();
    QTest::newRow("shifted initial U+AE4C") << QString(QChar(0xAE4C))
        << hangul() + shifted(0x52) + k + hangul() + enter();
    QTest::newRow("mixed, one Enter") << (QStringLiteral("a ") + QChar(0xAC00) + QStringLiteral("1"))
        << tap(0x41) + tap(0x20) + hangul() + r + k + hangul() + tap(0x31) + enter();
}

void TestKeyEmulator::scanText()
{
    QFETCH(QString, line);
    QFETCH(Events, expected);
    TypeScanText(*m_sink, line);
    QCOMPARE(describe(m_sink->events), describe(expected));
}

void TestKeyEmulator::untypableCharactersOnScanPath_data()
{
    QTest::addColumn<int>("character");
    for (int c = 0x01; c <= 0x1F; ++c)
        QTest::newRow(qPrintable(QString::asprintf("U+%04X", c))) << c;
    for (int c = 0x7F; c <= 0xFF; ++c)
        QTest::newRow(qPrintable(QString::asprintf("U+%04X", c))) << c;
    for (int c : {0x3131, 0xABFF, 0xD7A4, 0xFF21})   // a lone jamo, just outside the syllables, full-width A
        QTest::newRow(qPrintable(QString::asprintf("U+%04X", c))) << c;
}

void TestKeyEmulator::untypableCharactersOnScanPath()
{
    QFETCH(int, character);
    const char16_t line[] = {char16_t(character), 0};
    TypeScanText(*m_sink, line);
    QCOMPARE(describe(m_sink->events), describe(enter()));
}

void TestKeyEmulator::hangulToKeys_data()
{
    QTest::addColumn<int>("syllable");
    QTest::addColumn<QString>("keys");

    QTest::newRow("first U+AC00") << 0xAC00 << QStringLiteral("rk");
    QTest::newRow("U+D55C") << 0xD55C << QStringLiteral("gks");
    QTest::newRow("U+AC12") << 0xAC12 << QStringLiteral("rkqt");
    QTest::newRow("five letters U+AD05") << 0xAD05 << QStringLiteral("rhkfr");
    QTest::newRow("shifted medial and final U+ACD8") << 0xACD8 << QStringLiteral("rPT");
    QTest::newRow("last U+D7A3") << 0xD7A3 << QStringLiteral("glg");
    QTest::newRow("not a syllable") << 0x0041 << QString();
    QTest::newRow("after the last") << 0xD7A4 << QString();
}

void TestKeyEmulator::hangulToKeys()
{
    QFETCH(int, syllable);
    QFETCH(QString, keys);
    const HangulKeys result = HangulToKeys(char16_t(syllable));
    QCOMPARE(QString::fromUtf16(result.data()), keys);
}

// A sink that holds each key while closed: queues `first`, waits until its typing has begun,
// runs `behind` meanwhile, then opens.
struct GatedSink final : RecordingSink
{
    void SendKey(std::uint8_t virtualKey, std::uint8_t scanCode, KeyDirection direction) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        ++keys;
        changed.notify_all();
        changed.wait(lock, [this] { return open; });
        RecordingSink::SendKey(virtualKey, scanCode, direction);
    }
    bool holdFirst(CKeyEmulator &emulator, const char *first, const std::function<void()> &behind)
    {
        std::unique_lock<std::mutex> lock(mutex);
        open = false;
        const int before = keys;
        emulator.QueueTag(QString::fromLatin1(first), first, false);
        const bool held = changed.wait_for(lock, std::chrono::seconds(10), [&] { return keys > before; });
        behind();
        open = true;
        changed.notify_all();
        return held;
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;
    int keys = 0;
};

// The emulator's thread types items whole, in order, each in the mode it was queued with
// (as the protocol's typer: the ASCII mode in force when the tag was handed over).
// Dropping and blocking act at item boundaries: later items come back untyped.
void TestKeyEmulator::emulatorTypesQueueInOrder()
{
    auto gate = std::make_shared<GatedSink>();
    CKeyEmulator emulator([gate] { return gate; });
    ITagTyper &typer = emulator;
    QVERIFY(gate->holdFirst(emulator, "3f2A", [&] {
        emulator.SetAsciiMode(true);
        typer.TypeTag(QStringLiteral("414243"), "414243");
        emulator.SetAsciiMode(false);
        typer.TypeScan(QStringLiteral("aZ5"));
    }));
    QVERIFY(emulator.WaitUntilIdle(10000));
    QCOMPARE(describe(gate->events),
             describe(tap(0x33, 0x04) + tap(0x46, 0x21) + tap(0x32, 0x03) + tagShifted(0x41, 0x1E) + none() + enter()
                      + tagShifted(0x41, 0x1E) + tagShifted(0x42, 0x30) + tagShifted(0x43, 0x2E) + enter()
                      + tap(0x41) + shifted(0x5A) + tap(0x35) + enter()));

    gate->events.clear();
    std::atomic<int> setAside{0};
    emulator.SetSetAsideNotifier([&] { ++setAside; });
    QVERIFY(gate->holdFirst(emulator, "a", [&] {
        emulator.QueueTag(QStringLiteral("b"), "b", false);
        emulator.QueueScan(QStringLiteral("c"));
        QCOMPARE(int(emulator.DropQueued().size()), 2);
        emulator.SetTypingBlocked(true);
        emulator.QueueTag(QStringLiteral("d"), "d", false);
    }));
    QTRY_COMPARE(setAside.load(), 1);
    QCOMPARE(emulator.TakeSetAside().front().line, QStringLiteral("d"));
    QCOMPARE(describe(gate->events), describe(tap(0x41, 0x1E) + none() + enter()));
}

// Without a factory every item is taken and typed into a null sink: no failure reported,
// nothing set aside, nothing left queued.
void TestKeyEmulator::emulatorWithoutFactoryTypesIntoNothing()
{
    CKeyEmulator emulator;
    emulator.SetTypingOn(true);
    emulator.QueueTag(QStringLiteral("3f2A"), "3f2A", true);
    emulator.QueueScan(QString(QChar(0xAC00)));
    QVERIFY(emulator.WaitUntilIdle(10000));
    QVERIFY(emulator.TakeSinkReports().empty());
    QVERIFY(emulator.TakeSetAside().empty());
    QVERIFY(emulator.DropQueued().empty());
}

QTEST_GUILESS_MAIN(TestKeyEmulator)
#include "tst_keyemulator.moc"
