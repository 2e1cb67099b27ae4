// The X11 key sink against a real X server: the key emulator types into a window of a
// private Xvfb that holds the focus, and the window's own key events are checked.

#include "tests/support/KeysymCases.h"
#include "tests/support/XvfbRecorder.h"
#include "wedge/KeySink.h"
#include "wedge/KeySinkX11.h"
#include "wedge/KeyEmulator.h"

#include <QtTest>

#include <X11/keysym.h>

namespace {

class AsciiMode final : public IAsciiModeSource
{
public:
    explicit AsciiMode(bool on) : m_on(on) {}
    bool IsAsciiModeChecked() const override { return m_on; }

private:
    bool m_on;
};

QString describe(const Presses &presses)
{
    QStringList parts;
    for (const Press &p : presses)
        parts << QString::asprintf("%s%lx", p.shift ? "S+" : "", p.keysym);
    return parts.join(' ');
}

// The recorded presses without the Shift keys themselves (their effect is in `shift`).
Presses withoutShiftKeys(const std::vector<RecordedKey> &keys)
{
    Presses presses;
    for (const RecordedKey &k : keys) {
        if (k.keysym != XK_Shift_L)
            presses.append({k.keysym, k.shift});
    }
    return presses;
}

} // namespace

class TestKeySinkX11 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void typesIntoFocusedWindow_data();
    void typesIntoFocusedWindow();
    void everyPrintableCharacter_data();
    void everyPrintableCharacter();
    void factoryPicksXWhenDisplayIsSet();
    void vanishedDisplayDoesNotCrash();

private:
    void type(Path path, const QString &item);

    CXvfbServer m_server;
    CXKeyRecorder m_recorder;
    std::shared_ptr<CKeySinkX11> m_sink;
};

void TestKeySinkX11::initTestCase()
{
    QString reason;
    if (!m_server.start(&reason))
        QSKIP(qPrintable(reason));
    QVERIFY2(m_recorder.open(m_server.displayName(), &reason), qPrintable(reason));
    m_sink = std::make_shared<CKeySinkX11>(m_server.displayName());
    QVERIFY(!m_sink->IsConnected());   // opened on the first key, not before
}

void TestKeySinkX11::cleanupTestCase()
{
    m_sink.reset();
    m_recorder.close();
    m_server.stop();
}

void TestKeySinkX11::init()
{
    m_recorder.clear();
}

void TestKeySinkX11::type(Path path, const QString &item)
{
    if (path == Path::Scan) {
        TypeScanText(*m_sink, item);
    } else {
        const QByteArray bytes = item.toLatin1();
        const AsciiMode mode(path == Path::Ascii);
        TypeTagText(*m_sink, bytes.constData(), bytes.size() + 1, &mode);
    }
}

void TestKeySinkX11::typesIntoFocusedWindow_data()
{
    AddKeysymCases();
}

void TestKeySinkX11::typesIntoFocusedWindow()
{
    QFETCH(int, path);
    QFETCH(QStringList, items);
    QFETCH(QByteArray, text);
    QFETCH(Presses, presses);

    for (const QString &item : items)
        type(Path(path), item);
    int shiftPresses = 0;
    for (const Press &p : presses)
        shiftPresses += p.shift ? 1 : 0;   // each shifted key here has its own Shift press
    QVERIFY2(m_recorder.waitForKeys(std::size_t(presses.size() + shiftPresses)),
             qPrintable(QStringLiteral("received only \"%1\"").arg(QString::fromStdString(m_recorder.text()))));
    QCOMPARE(QByteArray::fromStdString(m_recorder.text()), text);
    QCOMPARE(describe(withoutShiftKeys(m_recorder.presses())), describe(presses));
    QCOMPARE(m_recorder.keysDown(), 0);   // every key, Shift included, was released
}

void TestKeySinkX11::everyPrintableCharacter_data()
{
    QTest::addColumn<int>("path");
    QTest::newRow("tag path") << int(Path::Hex);
    QTest::newRow("scan path") << int(Path::Scan);
}

// The whole character-to-key table typed as one line arrives as the same text: the keysyms
// and the Shift states are right for every character on both paths.
void TestKeySinkX11::everyPrintableCharacter()
{
    QFETCH(int, path);
    QByteArray all;
    for (char c = '!'; c <= '~'; ++c)
        all += c;
    type(Path(path), QString::fromLatin1(all));
    // Count the presses to wait for from what arrives: Return is the last one.
    const std::size_t expectedText = std::size_t(all.size()) + 1;
    for (int round = 0; round < 100 && m_recorder.text().size() < expectedText; ++round)
        m_recorder.waitForKeys(m_recorder.presses().size() + 1);
    QCOMPARE(QByteArray::fromStdString(m_recorder.text()), all + '\r');
    QCOMPARE(m_recorder.keysDown(), 0);
}

void TestKeySinkX11::factoryPicksXWhenDisplayIsSet()
{
    const QByteArray saved = qgetenv("DISPLAY");
    qputenv("DISPLAY", QByteArray::fromStdString(m_server.displayName()));
    KeySinkKind kind = KeySinkKind::Null;
    const std::shared_ptr<IKeySink> sink = CreateKeySink(&kind);
    saved.isNull() ? qunsetenv("DISPLAY") : qputenv("DISPLAY", saved);
    QCOMPARE(int(kind), int(KeySinkKind::X11));

    sink->SendKey(0x41, 0x1E, KeyDirection::Press);
    sink->SendKey(0x41, 0x1E, KeyDirection::Release);
    sink->Flush();
    QVERIFY(m_recorder.waitForKeys(1));
    QCOMPARE(m_recorder.text(), std::string("a"));
}

// Runs last: the server goes away under a connected sink.
void TestKeySinkX11::vanishedDisplayDoesNotCrash()
{
    type(Path::Hex, QStringLiteral("1"));
    QVERIFY(m_recorder.waitForKeys(2));
    QVERIFY(m_sink->IsConnected());

    m_recorder.close();
    m_server.stop();
    for (int i = 0; i < 50; ++i)
        type(Path::Hex, QStringLiteral("DEADBEEF"));
    QVERIFY(!m_sink->IsConnected());
}

QTEST_GUILESS_MAIN(TestKeySinkX11)
#include "tst_keysinkx11.moc"
