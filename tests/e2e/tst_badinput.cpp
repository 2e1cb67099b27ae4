// Hostile reader input through the whole receive path of the real window (pseudo-terminal,
// reader thread, ring, line assembly, key emulator on, a recording key sink, the log):
// lines of 1 MB, NUL bytes, sequences invalid in the code page (UTF-8 here), ESC sequences
// and every control byte. Nothing may be typed outside the key table, a good tag after the
// bad input is still typed exactly, and the log still shows what follows.

#include "app/LogView.h"
#include "tests/support/SoakSupport.h"

#include "app/RFID_LorixDlg.h"
#include "settings/SettingsStore.h"
#include "wedge/KeySink.h"
#include "wedge/VirtualKeys.h"
#include "res/Resource.h"
#include "tests/support/IsolatedWindow.h"
#include "wedge/KeyEmulator.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr int COM_NUMBER = 202;
constexpr int TRY_MS = 30000;
constexpr qsizetype LONG_LINE = 1000 * 1000;
constexpr qsizetype PAST_HELD_BACK_BOUND = (qsizetype(1) << 20) + 5;
constexpr char GOOD_TAG[] = "E200CAFE";

class CRecordingKeySink : public IKeySink
{
public:
    void SendKey(std::uint8_t virtualKey, std::uint8_t, KeyDirection direction) override
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (direction == KeyDirection::Press)
            presses.append(virtualKey);
    }
    QList<std::uint8_t> taken()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return presses;
    }
    std::mutex mutex;
    QList<std::uint8_t> presses;
};

// Every virtual key the key table and the emulator can send: "no key" for what the layout
// cannot type, Enter, Shift, the Han/Yeong toggle, space, digits, letters and the OEM keys.
QSet<std::uint8_t> keyTable()
{
    QSet<std::uint8_t> keys = {VK_NONE, VK_RETURN, VK_SHIFT, VK_HANGUL, VK_SPACE, VK_OEM_1, VK_OEM_PLUS,
                               VK_OEM_COMMA, VK_OEM_MINUS, VK_OEM_PERIOD, VK_OEM_2, VK_OEM_3, VK_OEM_4,
                               VK_OEM_5, VK_OEM_6, VK_OEM_7};
    for (int k = VK_0; k <= VK_9; ++k)
        keys.insert(std::uint8_t(k));
    for (int k = VK_A; k <= VK_Z; ++k)
        keys.insert(std::uint8_t(k));
    return keys;
}

// The keys of a tag of capital letters and digits, without the Shift presses: its
// characters, "no key" for the terminating zero byte the count includes, then Enter.
QList<std::uint8_t> keysOf(const QByteArray &tag)
{
    QList<std::uint8_t> keys;
    for (char c : tag)
        keys << std::uint8_t(c);   // the virtual keys of 'A'..'Z' and '0'..'9' are their codes
    keys << VK_NONE << VK_RETURN;
    return keys;
}

} // namespace

class TestBadInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void receivePathSurvives_data();
    void receivePathSurvives();
    void ownWindowActiveTypesNothing();

private:
    void openWindow(bool toolFocused);
    bool write(const QByteArray &bytes);
    QString logText() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CSettingsStore> m_store;
    std::unique_ptr<CReaderLine> m_line;
    std::shared_ptr<CRecordingKeySink> m_keys;
    std::unique_ptr<CRFID_LorixDlg> m_window;
};

void TestBadInput::initTestCase()
{
    // The window decodes with the locale's code set: UTF-8, so that invalid sequences exist.
    qputenv("LC_ALL", "C.UTF-8");
}

void TestBadInput::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<CSettingsStore>(m_dir->filePath("settings.ini"));
    m_store->WriteInt(CONFIG_SECTION, CONFIG_AUTO_START, 0);
    m_store->WriteInt(CONFIG_SECTION, CONFIG_ENABLE_WEDGE, 1);
    m_store->WriteInt(CONFIG_SECTION, CONFIG_COM_PORT, COM_NUMBER);
    m_keys = std::make_shared<CRecordingKeySink>();
    m_line = std::make_unique<CReaderLine>();
    if (!m_line->Open(m_dir->filePath("ports"), COM_NUMBER))
        QSKIP("no pseudo-terminal can be opened here");
}

void TestBadInput::cleanup()
{
    m_window.reset();
    m_line.reset();
    m_store.reset();
    m_dir.reset();
}

// Writes from a thread of its own while this thread's event loop runs: the window reads on
// this thread, and the terminal holds only a few KiB.
bool TestBadInput::write(const QByteArray &bytes)
{
    std::atomic<bool> done{false};
    bool written = false;
    std::thread writer([&] {
        written = m_line->WriteAll(bytes.constData(), std::size_t(bytes.size()));
        done = true;
    });
    const bool finished = QTest::qWaitFor([&] { return done.load(); }, TRY_MS);
    if (!finished)
        m_line->HangUp();   // ends the writer's loop
    writer.join();
    return finished && written;
}

QString TestBadInput::logText() const
{
    return qobject_cast<CLogView *>(m_window->control(IDC_LOG_VIEW))->toPlainText();
}

void TestBadInput::receivePathSurvives_data()
{
    QTest::addColumn<QByteArray>("bad");

    QByteArray controls;
    for (int c = 0; c < 0x20; ++c)
        controls += "T" + QByteArray::number(c) + char(c) + "x\r\n";
    controls += "T127\x7Fx\r\n";
    QByteArray highBytes;
    for (int c = 0x80; c < 0x100; ++c)
        highBytes += char(c);

    QTest::newRow("line of 1 MB") << QByteArray(LONG_LINE, 'A') + "\r\n";
    // Far past the line bound: held back only up to the bound, shown shortened, never typed.
    QTest::newRow("line past the held-back bound") << QByteArray(PAST_HELD_BACK_BOUND, 'B') + "\r\n";
    QTest::newRow("NUL bytes") << QByteArray("E2\0\0AB\0\r\n\0\0\0\r\n", 15);
    QTest::newRow("invalid UTF-8") << QByteArray("E2\xC3\x28\xA0\xA1\xE2\x28\xA1\xF0\x28\x8C\xBC\xFF\xFE\r\n\xED\xA0\x80\r\n");
    QTest::newRow("cut UTF-8 character at a line end") << QByteArray("E2\xE2\x82\r\nE3\xF0\x9F\r\n");
    QTest::newRow("every byte from 0x80") << highBytes + "\r\n";
    QTest::newRow("ESC sequences") << QByteArray("\x1B[2J\x1B[31mE2RED\x1B[0m\r\n\x1B]0;title\x07\r\n\x1B" "c\x1BP1$r\x1B\\\r\n");
    QTest::newRow("every control byte") << controls;
}

// The window with its port open, the keyboard focus in it or (typing goes on) elsewhere.
void TestBadInput::openWindow(bool toolFocused)
{
    CRFID_LorixDlg::Environment env = IsolatedWindowEnvironment(m_dir->path());
    env.keySink = TypingInto(m_keys);
    m_window = std::make_unique<CRFID_LorixDlg>(*m_store, env);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    if (!toolFocused)
        QApplication::setActiveWindow(nullptr);
    m_window->OnOpenPort();
    QVERIFY(m_window->isPortOpen());
}

void TestBadInput::receivePathSurvives()
{
    QFETCH(QByteArray, bad);
    openWindow(false);

    // A trigger makes the window send the inventory command, so that lines count as tags.
    QVERIFY(write("$trigger=1,0\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QStringLiteral("$trigger=1,0")), TRY_MS);
    m_line->Drain();

    QVERIFY(write(bad));
    const QByteArray good = QByteArray(GOOD_TAG) + "\r\n";
    QVERIFY(write(good));
    const QList<std::uint8_t> goodKeys = keysOf(GOOD_TAG);
    auto describeLastKeys = [&] {
        const QList<std::uint8_t> keys = m_keys->taken();
        QStringList text;
        for (qsizetype i = qMax<qsizetype>(0, keys.size() - 24); i < keys.size(); ++i)
            text << QString::number(keys.at(i), 16);
        return QStringLiteral("last keys of %1: %2").arg(keys.size()).arg(text.join(QLatin1Char(' ')));
    };
    auto endsWithGoodTag = [&] {
        QList<std::uint8_t> keys = m_keys->taken();
        keys.removeAll(VK_SHIFT);
        return keys.size() >= goodKeys.size() && keys.mid(keys.size() - goodKeys.size()) == goodKeys;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(endsWithGoodTag(), qPrintable(describeLastKeys()), TRY_MS);

    // The log still takes what follows.
    QVERIFY(write("$batt=77\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QStringLiteral("$batt=77")), TRY_MS);
    QVERIFY(m_window->isPortOpen());

    const QSet<std::uint8_t> table = keyTable();
    const QList<std::uint8_t> typed = m_keys->taken();
    for (qsizetype i = 0; i < typed.size(); ++i)
        QVERIFY2(table.contains(typed.at(i)), qPrintable(QStringLiteral("key %1 at %2").arg(typed.at(i)).arg(i)));
    qInfo("bad input: %lld bytes, %lld key presses, all in the key table", qint64(bad.size()), qint64(typed.size()));
}

// With the tool's own window active nothing is typed (Enter would press its buttons): the
// tags are shown in the log, after one note for the trigger.
void TestBadInput::ownWindowActiveTypesNothing()
{
    openWindow(true);
    QVERIFY(write("$trigger=1,0\r\nE2OWN1\r\nE2OWN2\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QStringLiteral("E2OWN1\nE2OWN2")), TRY_MS);
    QCOMPARE(logText().count(QStringLiteral("typing into the tool itself is skipped")), 1);
    QVERIFY(m_keys->taken().isEmpty());
}

QTEST_MAIN(TestBadInput)
#include "tst_badinput.moc"
