// The desktop portal's key sink against a mock portal on a private session bus: the keysym
// sequences (the XTest sink's table), the permission asked once and restored by token,
// refused, and the session closed by the desktop in the middle of an inventory. And the
// choice of a sink for each kind of session.

#include "tests/support/BluezTestBus.h"
#include "tests/support/KeysymCases.h"
#include "platform/KeySinkPortal.h"
#include "wedge/KeyEmulator.h"

#include <QDBusArgument>
#include <QtTest>

namespace {

QString describe(const QList<QPair<int, uint>> &keys)
{
    QStringList parts;
    for (const auto &key : keys)
        parts << QString::asprintf("%s%x", key.second ? "v" : "^", key.first);
    return parts.join(' ');
}

// The portal's events for presses: Shift around each shifted key, every key released.
QList<QPair<int, uint>> portalEvents(const Presses &presses)
{
    QList<QPair<int, uint>> events;
    for (const Press &p : presses) {
        if (p.shift)
            events.append({XK_Shift_L, 1});
        events.append({int(p.keysym), 1});
        events.append({int(p.keysym), 0});
        if (p.shift)
            events.append({XK_Shift_L, 0});
    }
    return events;
}

} // namespace

class TestKeySinkPortal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void keysymSequences_data() { AddKeysymCases(); }
    void keysymSequences();
    void permissionAskedOnceThenRestored();
    void refusedPermissionHandsItemsBack();
    void sessionClosedMidInventory();
    void sinkChoice_data();
    void sinkChoice();

private:
    KeySinkSetup setup(const QString &token = QString());
    QList<QPair<int, uint>> mockKeys();
    uint mockDialogs() { return m_bus.mockCall(QStringLiteral("Dialogs")).arguments().value(0).toUInt(); }

    CBluezTestBus m_bus;
    QString m_why;
};

void TestKeySinkPortal::initTestCase()
{
    if (!m_bus.startPortal(m_why))
        qWarning("%s", qPrintable(m_why));
}

void TestKeySinkPortal::init()
{
    const QByteArray name = QTest::currentTestFunction();
    if (!m_why.isEmpty() && !name.startsWith("sinkChoice"))
        QSKIP(qPrintable(m_why));
    m_bus.mockCall(QStringLiteral("ClearKeys"));
    m_bus.mockCall(QStringLiteral("SetGrant"), {true});
}

KeySinkSetup TestKeySinkPortal::setup(const QString &token)
{
    KeySinkSetup s;
    s.sessionBusAddress = m_bus.address();
    s.portalRestoreToken = token;
    return s;
}

QList<QPair<int, uint>> TestKeySinkPortal::mockKeys()
{
    QList<QPair<int, uint>> keys;
    const QDBusArgument arg = m_bus.mockCall(QStringLiteral("GetKeys")).arguments().value(0).value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        int keysym = 0;
        uint state = 0;
        arg.beginStructure();
        arg >> keysym >> state;
        arg.endStructure();
        keys.append({keysym, state});
    }
    arg.endArray();
    return keys;
}

void TestKeySinkPortal::keysymSequences()
{
    QFETCH(int, path);
    QFETCH(QStringList, items);
    QFETCH(Presses, presses);

    const std::shared_ptr<CKeySinkPortal> sink = CKeySinkPortal::Open(setup());
    QVERIFY(sink);
    QCOMPARE(sink->Failure(), QString());
    for (const QString &item : items) {
        if (Path(path) == Path::Scan) {
            TypeScanText(*sink, reinterpret_cast<const char16_t *>(item.utf16()));
        } else {
            const QByteArray bytes = item.toLatin1();
            TypeTagText(*sink, bytes.constData(), int(bytes.size()) + 1, Path(path) == Path::Ascii);
        }
    }
    QCOMPARE(describe(mockKeys()), describe(portalEvents(presses)));
    QCOMPARE(sink->Failure(), QString());
}

// The first session asks and hands out a token; a session given it does not ask again; a
// token the desktop no longer knows makes it ask again.
void TestKeySinkPortal::permissionAskedOnceThenRestored()
{
    QString stored;
    KeySinkSetup first = setup();
    first.portalTokenChanged = [&stored](const QString &token) { stored = token; };
    const uint before = mockDialogs();
    QVERIFY(CKeySinkPortal::Open(first)->Failure().isEmpty());
    QCOMPARE(mockDialogs(), before + 1);
    QVERIFY(!stored.isEmpty());

    const std::shared_ptr<CKeySinkPortal> restored = CKeySinkPortal::Open(setup(stored));
    QCOMPARE(mockDialogs(), before + 1);
    restored->SendKey(0x41, 0x1E, KeyDirection::Press);
    restored->SendKey(0x41, 0x1E, KeyDirection::Release);
    restored->Flush();
    QCOMPARE(describe(mockKeys()), describe(portalEvents({{XK_a, false}})));

    QVERIFY(CKeySinkPortal::Open(setup(QStringLiteral("revoked")))->Failure().isEmpty());
    QCOMPARE(mockDialogs(), before + 2);
}

// A refusal is said once as the sink is made, and every item after it comes back untyped.
void TestKeySinkPortal::refusedPermissionHandsItemsBack()
{
    m_bus.mockCall(QStringLiteral("SetGrant"), {false});
    const QString address = m_bus.address();
    CKeyEmulator emulator([address](const KeySinkSetup &s) {
        KeySinkSetup onBus = s;
        onBus.sessionBusAddress = address;
        return KeySinkChoice(CKeySinkPortal::Open(onBus));
    });
    emulator.SetTypingOn(true);
    QVERIFY(emulator.WaitUntilIdle(20000));
    emulator.QueueTag(QStringLiteral("E2"), "E2", false);
    emulator.QueueTag(QStringLiteral("E3"), "E3", false);
    QVERIFY(emulator.WaitUntilIdle(20000));

    QStringList untyped;
    const auto reports = emulator.TakeSinkReports();
    QVERIFY(!reports.empty());
    for (const CKeyEmulator::SinkReport &report : reports) {
        QVERIFY(report.failed);
        QVERIFY2(report.note.contains(QLatin1String("refused")), qPrintable(report.note));
        for (const CKeyEmulator::Item &item : report.untyped)
            untyped << item.line;
    }
    QCOMPARE(untyped, (QStringList{"E2", "E3"}));
    QVERIFY(mockKeys().isEmpty());
}

// The desktop closes the session inside the third of five tags: the first two arrive whole,
// the third and the rest come back in order, none is lost.
void TestKeySinkPortal::sessionClosedMidInventory()
{
    const QStringList tags{"E2801160", "3000A0B1", "DEADBEEF", "0123", "4567"};
    Presses whole;
    for (const QString &tag : tags.mid(0, 2)) {
        for (const QChar c : tag) {
            const bool letter = c >= QLatin1Char('A');
            const unsigned long keysym = letter ? XK_a + (c.unicode() - 'A') : XK_0 + (c.unicode() - '0');
            whole.append({keysym, letter});
        }
        whole.append({XK_Return, false});
    }
    const int wholeEvents = int(portalEvents(whole).size());
    m_bus.mockCall(QStringLiteral("CloseSessionAfterKeys"), {uint(wholeEvents + 3)});

    const QString address = m_bus.address();
    CKeyEmulator emulator([address](const KeySinkSetup &s) {
        KeySinkSetup onBus = s;
        onBus.sessionBusAddress = address;
        return KeySinkChoice(CKeySinkPortal::Open(onBus));
    });
    emulator.SetTypingOn(true);
    for (const QString &tag : tags)
        emulator.QueueTag(tag, tag.toLatin1(), false);
    QVERIFY(emulator.WaitUntilIdle(20000));

    const QList<QPair<int, uint>> keys = mockKeys();
    QCOMPARE(describe(keys.mid(0, wholeEvents)), describe(portalEvents(whole)));
    QCOMPARE(int(keys.size()), wholeEvents + 3);
    QStringList untyped;
    for (const CKeyEmulator::SinkReport &report : emulator.TakeSinkReports()) {
        QVERIFY(report.failed);
        QVERIFY2(report.note.contains(QLatin1String("ended")), qPrintable(report.note));
        for (const CKeyEmulator::Item &item : report.untyped)
            untyped << item.line;
    }
    QCOMPARE(untyped, tags.mid(2));
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
    const struct
    {
        const char *name;
        QByteArray type, waylandDisplay;
        bool display, portal, uinput;
        KeySinkKind kind;
    } rows[] = {
        {"Wayland: portal first", wayland, socket, true, true, true, KeySinkKind::Portal},
        {"Wayland by its socket alone", unset, socket, true, true, true, KeySinkKind::Portal},
        {"Wayland by its type alone", wayland, unset, false, true, false, KeySinkKind::Portal},
        {"Wayland without portal: uinput", wayland, socket, true, false, true, KeySinkKind::Uinput},
        {"Wayland with XWayland only: XTest", wayland, socket, true, false, false, KeySinkKind::X11},
        {"Wayland with nothing", wayland, socket, false, false, false, KeySinkKind::Null},
        {"X11: XTest before uinput and portal", x11, unset, true, true, true, KeySinkKind::X11},
        {"X11, empty socket name: XTest", x11, QByteArray(""), true, true, true, KeySinkKind::X11},
        {"X11 without display: uinput", x11, unset, false, true, true, KeySinkKind::Uinput},
        {"text console: uinput, never the portal", tty, unset, false, true, true, KeySinkKind::Uinput},
        {"text console with nothing", unset, unset, false, true, false, KeySinkKind::Null},
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << row.type << row.waylandDisplay << row.display << row.portal << row.uinput
                                << int(row.kind);
}

void TestKeySinkPortal::sinkChoice()
{
    QFETCH(QByteArray, sessionType);
    QFETCH(QByteArray, waylandDisplay);
    QFETCH(bool, display);
    QFETCH(bool, portal);
    QFETCH(bool, uinput);
    QFETCH(int, kind);

    KeySinkAvailability available;
    available.waylandSession = IsWaylandSession(sessionType.isNull() ? nullptr : sessionType.constData(),
                                                waylandDisplay.isNull() ? nullptr : waylandDisplay.constData());
    available.xDisplay = display;
    available.portal = portal;
    available.uinput = uinput;
    const KeySinkChoice choice = ChooseKeySink(available);
    QCOMPARE(int(choice.kind), kind);
    QVERIFY(choice.why.startsWith(QLatin1String("Key Emulator Mode ")));   // the log's one line
}

QTEST_GUILESS_MAIN(TestKeySinkPortal)
#include "tst_keysinkportal.moc"
