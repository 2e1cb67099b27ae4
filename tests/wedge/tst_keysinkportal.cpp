// The desktop portal's key sink against a mock portal on a private session bus: the keysyms
// of the items of the XTest sink's table, the permission asked once and restored by token,
// and the faults a real portal shows only when it wants to: a refusal, a session the desktop
// ends mid-inventory or while idle, a key call that errs or gets no answer. And the sink
// choice per session. (tests/wedge/portal types through real desktops.)

#include "tests/support/BluezTestBus.h"
#include "tests/support/KeysymCases.h"
#include "wedge/KeySinkPortal.h"
#include "wedge/KeyEmulator.h"

#include <QtTest>

class TestKeySinkPortal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_bus.startPortal(m_why); }
    void init();
    void keysymSequences_data() { AddKeysymCases(); }
    void keysymSequences();
    void permissionAskedOnceThenRestored();
    void failedSinkHandsItemsBack_data();
    void failedSinkHandsItemsBack();
    void sessionEndedWhileIdle();
    void sinkChoice_data();
    void sinkChoice();

private:
    std::shared_ptr<CKeySinkPortal> open(const QString &token = QString(), QString *newToken = nullptr);
    QVariant mock(const char *method, const QVariantList &args = {})
    {
        return m_bus.mockCall(QString::fromLatin1(method), args).arguments().value(0);
    }

    CBluezTestBus m_bus;
    QString m_why;
};

void TestKeySinkPortal::init()
{
    if (!m_why.isEmpty() && !QByteArray(QTest::currentTestFunction()).startsWith("sinkChoice"))
        QSKIP(qPrintable(m_why));
    mock("Configure", {true, 0u, QString()});
}

std::shared_ptr<CKeySinkPortal> TestKeySinkPortal::open(const QString &token, QString *newToken)
{
    KeySinkSetup setup;
    setup.sessionBusAddress = m_bus.address();
    setup.portalRestoreToken = token;
    if (newToken)
        setup.portalTokenChanged = [newToken](const QString &next) { *newToken = next; };
    return CKeySinkPortal::Open(setup);
}

// The portal gets each character's own keysym, pressed and released, and never a Shift of
// the sink's: the characters a United States window shows (a Hangul syllable as its Unicode
// keysym), then Return.
void TestKeySinkPortal::keysymSequences()
{
    QFETCH(int, path);
    QFETCH(QStringList, items);
    QFETCH(QByteArray, text);

    const std::shared_ptr<CKeySinkPortal> sink = open();
    for (const QString &item : items) {
        const QByteArray bytes = item.toLatin1();
        if (Path(path) == Path::Scan)
            TypeScanText(*sink, reinterpret_cast<const char16_t *>(item.utf16()));
        else
            TypeTagText(*sink, bytes.constData(), int(bytes.size()) + 1, Path(path) == Path::Ascii);
    }
    QStringList expected;
    const QString characters = Path(path) == Path::Scan ? items.join('\r') + '\r' : QString::fromLatin1(text);
    for (const QChar c : characters) {
        const uint keysym = c == '\r' ? 0xff0d : c.unicode() > 0xff ? 0x1000000 + c.unicode() : c.unicode();
        expected << "v" + QString::number(keysym, 16) << "^" + QString::number(keysym, 16);
    }
    QCOMPARE(mock("Keys").toString(), expected.join(' '));
    QCOMPARE(sink->Failure(), QString());
}

// The first session asks and hands out a token; a session given it does not ask; a token
// the desktop no longer knows makes it ask again.
void TestKeySinkPortal::permissionAskedOnceThenRestored()
{
    QString token;
    const uint asked = mock("Dialogs").toUInt();
    QVERIFY(open(QString(), &token)->Failure().isEmpty());
    QVERIFY(!token.isEmpty());
    const std::shared_ptr<CKeySinkPortal> restored = open(token);
    QCOMPARE(mock("Dialogs").toUInt(), asked + 1);
    TypeTagText(*restored, "", 1, false);
    QCOMPARE(mock("Keys").toString(), QStringLiteral("vff0d ^ff0d"));
    QVERIFY(open(QStringLiteral("revoked"))->Failure().isEmpty());
    QCOMPARE(mock("Dialogs").toUInt(), asked + 2);
}

void TestKeySinkPortal::failedSinkHandsItemsBack_data()
{
    QTest::addColumn<bool>("grant");
    QTest::addColumn<int>("typedWhole");   // tags typed before the failure
    QTest::addColumn<QString>("fault");    // how the session fails (the mock's Configure)
    QTest::addColumn<QString>("why");
    QTest::newRow("refused") << false << 0 << "" << "refused";
    QTest::newRow("session ended in the third tag") << true << 2 << "closed" << "ended";
    QTest::newRow("a key errs in the third tag") << true << 2 << "error" << "did not take a key";
    QTest::newRow("a key times out in the third tag") << true << 2 << "silent" << "no answer within 5 s";
}

// Through the emulator: what a sink that fails did not type comes back in order, none lost.
void TestKeySinkPortal::failedSinkHandsItemsBack()
{
    QFETCH(bool, grant);
    QFETCH(int, typedWhole);
    QFETCH(QString, fault);
    QFETCH(QString, why);
    const QStringList tags{"E2801160", "3000A0B1", "DEADBEEF", "0123", "4567"};
    QString whole;   // the keys of the tags typed before, from a session that stays
    for (const QString &tag : tags.mid(0, typedWhole))
        TypeTagText(*open(), tag.toLatin1().constData(), int(tag.size()) + 1, false);
    whole = mock("Keys").toString();
    mock("Configure", {grant, uint(whole.isEmpty() ? 0 : whole.count(' ') + 1 + 3), fault});

    const QString address = m_bus.address();
    CKeyEmulator emulator([address](KeySinkSetup setup) {
        setup.sessionBusAddress = address;
        return KeySinkChoice(CKeySinkPortal::Open(setup));
    });
    emulator.SetTypingOn(true);
    for (const QString &tag : tags)
        emulator.QueueTag(tag, tag.toLatin1(), false);
    QVERIFY(emulator.WaitUntilIdle(20000));
    QStringList untyped;
    for (const CKeyEmulator::SinkReport &report : emulator.TakeSinkReports()) {
        QVERIFY2(report.failed && report.note.contains(why), qPrintable(report.note));
        for (const CKeyEmulator::Item &item : report.untyped)
            untyped << item.line;
    }
    QCOMPARE(untyped, tags.mid(typedWhole));
    QVERIFY(mock("Keys").toString().startsWith(whole));
}

// The desktop ends the session while no tag comes: typing stops then, not at the next tag.
void TestKeySinkPortal::sessionEndedWhileIdle()
{
    const QString address = m_bus.address();
    CKeyEmulator emulator([address](KeySinkSetup setup) {
        setup.sessionBusAddress = address;
        return KeySinkChoice(CKeySinkPortal::Open(setup));
    });
    emulator.SetTypingOn(true);
    emulator.QueueTag("E2", "E2", false);
    QVERIFY(emulator.WaitUntilIdle(20000));
    QVERIFY(emulator.TakeSinkReports().empty());
    mock("CloseSessions");
    std::vector<CKeyEmulator::SinkReport> reports;
    const auto reported = [&] {
        for (CKeyEmulator::SinkReport &report : emulator.TakeSinkReports())
            reports.push_back(std::move(report));
        return !reports.empty();
    };
    QTRY_VERIFY_WITH_TIMEOUT(reported(), 5000);
    QVERIFY2(reports.front().failed && reports.front().note.contains("ended"), qPrintable(reports.front().note));
    QVERIFY(reports.front().untyped.empty());
}

void TestKeySinkPortal::sinkChoice_data()
{
    QTest::addColumn<QByteArray>("sessionType");   // XDG_SESSION_TYPE; a null array: unset
    QTest::addColumn<QByteArray>("waylandDisplay");
    QTest::addColumn<bool>("display");
    QTest::addColumn<bool>("portal");
    QTest::addColumn<bool>("uinput");
    QTest::addColumn<int>("kind");

    const QByteArray unset, wayland("wayland"), x11("x11"), tty("tty"), socket("wayland-0");
    const auto row = [](const char *name, const QByteArray &type, const QByteArray &waylandDisplay, bool display,
                        bool portal, bool uinput, KeySinkKind kind) {
        QTest::newRow(name) << type << waylandDisplay << display << portal << uinput << int(kind);
    };
    row("Wayland: portal first", wayland, socket, true, true, true, KeySinkKind::Portal);
    row("Wayland by its socket alone", unset, socket, true, true, true, KeySinkKind::Portal);
    row("Wayland by its type alone", wayland, unset, false, true, false, KeySinkKind::Portal);
    row("Wayland without portal: uinput", wayland, socket, true, false, true, KeySinkKind::Uinput);
    row("Wayland with XWayland only: XTest", wayland, socket, true, false, false, KeySinkKind::X11);
    row("Wayland with nothing", wayland, socket, false, false, false, KeySinkKind::Null);
    row("X11: XTest before uinput and portal", x11, unset, true, true, true, KeySinkKind::X11);
    row("X11, empty socket name: XTest", x11, QByteArray(""), true, true, true, KeySinkKind::X11);
    row("X11 without display: uinput", x11, unset, false, true, true, KeySinkKind::Uinput);
    row("console: uinput, never the portal", tty, unset, false, true, true, KeySinkKind::Uinput);
    row("console with nothing", unset, unset, false, true, false, KeySinkKind::Null);
}

void TestKeySinkPortal::sinkChoice()
{
    QFETCH(QByteArray, sessionType);
    QFETCH(QByteArray, waylandDisplay);
    QFETCH(bool, display);
    QFETCH(bool, portal);
    QFETCH(bool, uinput);
    QFETCH(int, kind);

    const auto value = [](const QByteArray &v) { return v.isNull() ? nullptr : v.constData(); };
    const KeySinkChoice choice =
        ChooseKeySink({IsWaylandSession(value(sessionType), value(waylandDisplay)), display, portal, uinput});
    QCOMPARE(int(choice.kind), kind);
    QVERIFY(choice.why.startsWith(QLatin1String("Key Emulator Mode ")));   // the log's one line
}

QTEST_GUILESS_MAIN(TestKeySinkPortal)
#include "tst_keysinkportal.moc"
