// The real main window against the simulated reader on a pseudo-terminal (or on a socket pair
// that the BlueZ mock hands over as a Bluetooth link), offscreen.
// The reader runs in this process on the same event loop; what it received is read back
// from its record file.

#include "tests/support/BluezTestBus.h"
#include "tests/support/IsolatedWindow.h"
#include "tests/support/ScriptedReaderLine.h"
#include "cli/Script.h"
#include "app/RFID_LorixDlg.h"
#include "app/LogView.h"
#include "settings/SettingsStore.h"
#include "app/HistoryCombo.h"
#include "discovery/widgets/ComPortCombo.h"
#include "monitor/TagTableModel.h"
#include "monitor/widgets/TagMonitorDlg.h"
#include "platform/ComPorts.h"
#include "tools/reader-sim/PseudoTerminal.h"
#include "wedge/KeySink.h"
#include "wedge/VirtualKeys.h"
#include "res/Resource.h"
#include "tools/reader-sim/ReaderSim.h"
#include "wedge/KeyEmulator.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QMessageBox>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include <atomic>
#include <algorithm>
#include <memory>
#include <mutex>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int TRY_MS = 10000;
constexpr int SHORT_AUTO_CONNECT_MS = 200;
const QColor kRed(255, 0, 0);
const QColor kNote(0, 0x64, 0);
const QColor kError(0xa0, 0x40, 0);
const QString READER_ADDRESS = QStringLiteral("00:12:6F:0A:1B:2C");
constexpr int CONNECT_TIMEOUT_MS = 2000;

class CRecordingKeySink : public IKeySink
{
public:
    void SendKey(std::uint8_t virtualKey, std::uint8_t, KeyDirection direction) override
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (direction == KeyDirection::Press)
            presses.append(virtualKey);
    }
    int enterPresses()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return int(presses.count(VK_RETURN));
    }
    // As a portal sink whose session the desktop ends once `failAtEnter` items are typed.
    QString Failure() const override
    {
        std::lock_guard<std::mutex> guard(mutex);
        const int enters = int(presses.count(VK_RETURN));
        return failAtEnter > 0 && enters >= failAtEnter ? QStringLiteral("the desktop ended the session") : QString();
    }
    mutable std::mutex mutex;
    QList<std::uint8_t> presses;
    std::atomic<int> failAtEnter{0};
};

// The window's caption: the version's, then the port's state.
QString caption(const QString &state)
{
    return QStringLiteral("RFID Lorix v.%1.%2.%3.%4 - ")
               .arg(RFID_VERSION_MAJOR).arg(RFID_VERSION_MINOR).arg(RFID_VERSION_PATCH).arg(RFID_VERSION_TWEAK)
           + state;
}

} // namespace

Q_DECLARE_METATYPE(ReaderScript)

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void openAndClosePort();
    void historySavedAsScript();
    void typedCommand_data();
    void typedCommand();
    void correctedCommand_data();
    void correctedCommand();
    void commandsInARow_data();
    void commandsInARow();
    void tabOrder_data();
    void tabOrder();
    void triggerSendsInventory_data();
    void triggerSendsInventory();
    void tagsTypedOncePerTrigger();
    void lateEchoNeverTyped_data();
    void lateEchoNeverTyped();
    void keySinkChosenOnTickWithStoredToken();
    void txPowerSlider_data();
    void txPowerSlider();
    void hangUpAndAutoConnect();
    void startsFromSettings_data();
    void startsFromSettings();
    void settingsThroughBadFiles_data();
    void settingsThroughBadFiles();
    void autoConnectWaitsForAbsentPort();
    void pickerKeepsPortNumber();
    void clearEmptiesLog();
    void saveLog_data();
    void saveLog();
    void tagMonitorWindow();
    void commandLine_data();
    void commandLine();
    void portOption_data();
    void portOption();
    void bluetoothReaderOverProfile();

private:
    bool startBluez(CBluezTestBus &bus);
    bool startReader(int txPower = -45, int returnAfterMs = -1, int comNumber = 0);
    void makeWindow(bool autoStart = false);
    void openPort();
    void typeAndSend(const QString &text);
    QStringList received() const;
    bool waitForReceived(const QString &line, int count = 1) const;
    QString logText() const;
    QColor logLineColour(const QString &line) const;
    int logLineCount(const QString &line, const QColor &colour) const;
    QString portTip() const { return m_window->control(IDC_PORT_PICKER)->toolTip(); }
    template <class T> T *ctl(int id) const { return qobject_cast<T *>(m_window->control(id)); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CSettingsStore> m_store;
    std::unique_ptr<CReaderSim> m_reader;
    std::unique_ptr<CRFID_LorixDlg> m_window;
    std::shared_ptr<CRecordingKeySink> m_keys;
    QString m_saveScriptTo;   // the answer to Save History as Script
    CKeySinkFactory m_sinkFactory;   // empty: TypingInto(m_keys)
    QString m_busAddress;   // the BlueZ mock's bus, when a test runs one
};

void TestMainWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<CSettingsStore>(m_dir->filePath("settings.ini"));
    m_keys = std::make_shared<CRecordingKeySink>();
    m_busAddress.clear();
}

void TestMainWindow::cleanup()
{
    m_sinkFactory = nullptr;
    m_window.reset();
    if (m_reader)
        m_reader->Stop();
    m_reader.reset();
}

bool TestMainWindow::startReader(int txPower, int returnAfterMs, int comNumber)
{
    SimOptions options;
    options.comNumber = comNumber;
    options.portsFolder = m_dir->filePath("ports");
    options.recordPath = m_dir->filePath("received.txt");
    options.txPower = txPower;
    options.returnAfterMs = returnAfterMs;
    m_reader = std::make_unique<CReaderSim>(options);
    QString error;
    if (!m_reader->Start(error)) {
        qWarning() << "reader-sim:" << error;
        return false;
    }
    m_store->WriteInt(CONFIG_SECTION, CONFIG_COM_PORT, m_reader->comNumber());
    return true;
}

void TestMainWindow::makeWindow(bool autoStart)
{
    m_store->WriteInt(CONFIG_SECTION, CONFIG_AUTO_START, autoStart ? 1 : 0);
    CRFID_LorixDlg::Environment env = IsolatedWindowEnvironment(m_dir->path());
    env.autoConnectPeriodMs = SHORT_AUTO_CONNECT_MS;
    env.keySink = TypingInto(m_keys);
    env.historyScriptFile = [this](const QString &) { return m_saveScriptTo; };
    env.keySink = m_sinkFactory ? m_sinkFactory : CKeySinkFactory(TypingInto(m_keys));
    if (!m_busAddress.isEmpty()) {
        env.bluetooth.bluez.busAddress = m_busAddress;
        env.bluetooth.ports.sysRoot = m_dir->path();   // no rfcomm binding anywhere
        env.bluetooth.bluez.connectTimeoutMs = CONNECT_TIMEOUT_MS;
    }
    m_window = std::make_unique<CRFID_LorixDlg>(*m_store, env);
    m_window->show();
}

void TestMainWindow::openPort()
{
    QCOMPARE(m_window->PortNumber(), m_reader->comNumber());
    ctl<QPushButton>(IDC_OPEN_PORT)->click();
    QVERIFY(m_window->isPortOpen());
}

void TestMainWindow::typeAndSend(const QString &text)
{
    QLineEdit *edit = ctl<QComboBox>(IDC_COMMAND_BOX)->lineEdit();
    edit->setFocus();
    edit->clear();
    QTest::keyClicks(edit, text);
    // Enter in the window presses "Send".
    QTest::keyClick(edit, Qt::Key_Return);
}

// The command box's context menu, opened by a right click, saves the history as a script
// that sends the commands in the order they were sent.
void TestMainWindow::historySavedAsScript()
{
    QVERIFY(startReader());
    makeWindow();
    openPort();
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QComboBox *box = ctl<QComboBox>(IDC_COMMAND_BOX);
    QLineEdit *edit = box->lineEdit();
    box->setFocus();
    const QStringList sent{"ver", "#not a comment", "g,txp"};
    for (const QString &command : sent) {
        // The editable box holds the focus and hands its keys to its line edit.
        QVERIFY(QApplication::focusWidget() == box || QApplication::focusWidget() == edit);
        QTest::keyClicks(QApplication::focusWidget(), command);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(waitForReceived(command));
        edit->clear();
    }
    m_saveScriptTo = m_dir->filePath("history.rfid");
    bool chosen = false;
    QTimer::singleShot(0, this, [&] {
        QMenu *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        for (QAction *action : menu ? menu->actions() : QList<QAction *>()) {
            if (action->text() == "Save History as Script...") {
                chosen = true;
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
            }
        }
        if (!chosen && menu)
            menu->close();
    });
    // A right click under the pointer, as the window system reports it: the widget there
    // (the box's line edit) gets the context menu event.
    const QPoint at = edit->rect().center();
    QWidget *under = QApplication::widgetAt(edit->mapToGlobal(at));
    QCOMPARE(under, edit);
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, edit->mapToGlobal(at));
    QApplication::sendEvent(under, &click);
    QTRY_VERIFY(chosen);
    QTRY_VERIFY(logText().contains("History saved as a script to " + m_saveScriptTo));
    QFile script(m_saveScriptTo);
    QVERIFY(script.open(QIODevice::ReadOnly));
    QStringList commands;
    for (const ScriptStep &step : ParseScript(QString::fromUtf8(script.readAll())).steps)
        commands << step.command;
    QCOMPARE(commands, sent);
}

QStringList TestMainWindow::received() const
{
    return RecordedLines(m_dir->filePath("received.txt"));
}

bool TestMainWindow::waitForReceived(const QString &line, int count) const
{
    return QTest::qWaitFor([&] { return received().count(line) >= count; }, TRY_MS);
}

// The real binary, started as from a shell, with nothing of this environment but what a row names.
void TestMainWindow::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");   // on standard output for 0, else on standard error
    const QString version = QStringLiteral("%1.%2.%3.%4")
                                .arg(RFID_VERSION_MAJOR).arg(RFID_VERSION_MINOR).arg(RFID_VERSION_PATCH).arg(RFID_VERSION_TWEAK);
    QTest::newRow("no display") << QStringList() << QStringList() << 1 << "QT_QPA_PLATFORM=offscreen";
    // Named but unreachable: the toolkit's own abort is not what the operator sees.
    QTest::newRow("unreachable display") << QStringList() << QStringList{"DISPLAY=:187"} << 1 << "QT_QPA_PLATFORM=offscreen";
    QTest::newRow("help") << QStringList{"--help"} << QStringList() << 0 << "--port";
    QTest::newRow("version") << QStringList{"--version"} << QStringList() << 0 << version;
    QTest::newRow("unknown option") << QStringList{"--bogus"} << QStringList() << 2 << "--bogus";
    QTest::newRow("port out of range") << QStringList{"--port", "COM0"} << QStringList() << 2 << "COM0";
    QTest::newRow("port without value") << QStringList{"--port"} << QStringList() << 2 << "--port";
    QTest::newRow("toolkit option with =") << QStringList{"-platform=offscreen"} << QStringList() << 2 << "-platform=";
}

void TestMainWindow::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QProcess tool;
    tool.setEnvironment(environment);
    tool.start(qEnvironmentVariable("RFID_BINARY_DIR") + "/app/RFID_Lorix", arguments);
    QVERIFY2(tool.waitForFinished(TRY_MS), "the tool kept running");
    const QString out = tool.readAllStandardOutput(), err = tool.readAllStandardError();
    QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == exitCode, qPrintable(out + err));
    QVERIFY2((exitCode == 0 ? out : err).contains(said), qPrintable(out + err));
}

void TestMainWindow::portOption_data()
{
    QTest::addColumn<QString>("prefix");
    QTest::newRow("COMn") << "COM";
    QTest::newRow("bare number") << "";
}

// --port opens the port at start (a trigger pull is answered), and the stored port stays.
void TestMainWindow::portOption()
{
    QFETCH(QString, prefix);
    const QString config = m_dir->filePath("config"), appFolder = config + "/Local AppWizard-Generated Applications";
    SimOptions options;
    options.portsFolder = appFolder + "/ports";
    options.recordPath = m_dir->filePath("received.txt");
    m_reader = std::make_unique<CReaderSim>(options);
    QString error;
    QVERIFY2(m_reader->Start(error), qPrintable(error));
    const int storedPort = m_reader->comNumber() + 1;
    CSettingsStore(appFolder + "/RFID_Lorix.ini").WriteInt(CONFIG_SECTION, CONFIG_COM_PORT, storedPort);

    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config);
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + m_dir->filePath("no-bus"));
    tool.setProcessEnvironment(env);
    tool.start(qEnvironmentVariable("RFID_BINARY_DIR") + "/app/RFID_Lorix",
               {"--port", prefix + QString::number(m_reader->comNumber())});
    // Only an open port hears the trigger; the tool answers it with an inventory command.
    QTRY_VERIFY_WITH_TIMEOUT((m_reader->PullTrigger(), m_reader->ReleaseTrigger(), !received().isEmpty())
                                 || tool.state() == QProcess::NotRunning, TRY_MS);
    // A termination request closes the window in order: an ordinary exit, not death by signal.
    tool.terminate();
    QVERIFY(tool.waitForFinished(TRY_MS));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QVERIFY2(!received().isEmpty(), tool.readAllStandardError().constData());
    QCOMPARE(CSettingsStore(appFolder + "/RFID_Lorix.ini").ReadInt(CONFIG_SECTION, CONFIG_COM_PORT, 0), storedPort);
}

QString TestMainWindow::logText() const
{
    return ctl<CLogView>(IDC_LOG_VIEW)->toPlainText();
}

QColor TestMainWindow::logLineColour(const QString &line) const
{
    const CLogView *log = ctl<CLogView>(IDC_LOG_VIEW);
    for (int at = 0; at < log->LineCount(); ++at) {
        if (log->LineText(at) == line && !log->LineRuns(at).isEmpty())
            return log->ShownColour(CLogView::KindColour(log->LineRuns(at).first().first));
    }
    return QColor();
}

int TestMainWindow::logLineCount(const QString &line, const QColor &colour) const
{
    int count = 0;
    const CLogView *log = ctl<CLogView>(IDC_LOG_VIEW);
    for (int at = 0; at < log->LineCount(); ++at) {
        if (log->LineText(at) == line && !log->LineRuns(at).isEmpty()
            && log->ShownColour(CLogView::KindColour(log->LineRuns(at).first().first)) == colour)
            ++count;
    }
    return count;
}

void TestMainWindow::openAndClosePort()
{
    QVERIFY(startReader());
    makeWindow();
    auto *button = ctl<QPushButton>(IDC_OPEN_PORT);
    QCOMPARE(button->text(), QStringLiteral("Open Port"));
    QVERIFY(portTip().endsWith("\nclosed"));
    openPort();
    QCOMPARE(button->text(), QStringLiteral("Close Port"));
    QVERIFY(!ctl<QWidget>(IDC_PORT_PICKER)->isEnabled());
    QCOMPARE(m_store->ReadInt(CONFIG_SECTION, CONFIG_COM_PORT, 0), m_reader->comNumber());
    const QString com = QStringLiteral("COM%1").arg(m_reader->comNumber());
    QCOMPARE(logLineColour(com + " opened: " + m_reader->slavePath()), kNote);
    QVERIFY2(portTip().endsWith("\n" + com + " open: " + m_reader->slavePath()), qPrintable(portTip()));
    QCOMPARE(m_window->windowTitle(), caption(com + " open"));
    // Opened by hand, the reader has not said its power: the slider does not pretend it has.
    QCOMPARE(ctl<QSlider>(IDC_TX_POWER)->accessibleDescription(), QStringLiteral("TX power: not known"));
    button->click();
    QVERIFY(!m_window->isPortOpen());
    QCOMPARE(button->text(), QStringLiteral("Open Port"));
    QVERIFY(ctl<QWidget>(IDC_PORT_PICKER)->isEnabled());
    QCOMPARE(logLineColour(com + " closed by the operator"), kNote);
    QVERIFY(portTip().endsWith("\nclosed"));
    QCOMPARE(m_window->windowTitle(), caption("not connected"));
}

void TestMainWindow::typedCommand_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QStringList>("readerLines");

    QTest::newRow("spaces trimmed") << "  ver  " << "ver" << QStringList{"ver"};
    QTest::newRow("typed LF escape splits the line") << "ver\\ns" << "ver\\ns" << QStringList{"ver", "s"};
}

void TestMainWindow::typedCommand()
{
    QFETCH(QString, typed);
    QFETCH(QString, logged);
    QFETCH(QStringList, readerLines);

    QVERIFY(startReader());
    makeWindow();
    openPort();
    typeAndSend(typed);
    for (const QString &line : readerLines)
        QVERIFY2(waitForReceived(line), qPrintable(received().join('|')));
    QCOMPARE(logLineColour(logged), kRed);
    QCOMPARE(ctl<QComboBox>(IDC_COMMAND_BOX)->itemText(0), typed.trimmed());
    // The reader's answer comes back in the log.
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains("$>"), TRY_MS);
}

void TestMainWindow::correctedCommand_data()
{
    QTest::addColumn<QString>("erase");   // "del" or "bs": the key that drops the completed tail
    QTest::newRow("Delete") << "del";
    QTest::newRow("Backspace") << "bs";
}

// An operator corrects a command from the history: clicks into the command box, selects its
// text, types over it (each key completes from the history), drops the completed tail and
// sends with Enter. The reader gets what the box showed, not the history's entry.
void TestMainWindow::correctedCommand()
{
    QFETCH(QString, erase);
    m_store->WriteString(CHistoryCombo::CONFIG_SECTION, "HistoryItem0", "txp,-12");
    QVERIFY(startReader());
    makeWindow();
    openPort();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    auto *box = ctl<QComboBox>(IDC_COMMAND_BOX);
    QTest::mouseClick(box->lineEdit(), Qt::LeftButton);   // the part under the pointer
    QTRY_VERIFY(box->hasFocus());
    QWidget *focused = QApplication::focusWidget();
    QTest::keySequence(focused, QKeySequence::SelectAll);
    QTest::keyClicks(focused, "txp,-1");
    QTest::keyClick(focused, erase == "del" ? Qt::Key_Delete : Qt::Key_Backspace);
    QCOMPARE(box->currentText(), QStringLiteral("txp,-1"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY2(waitForReceived("txp,-1"), qPrintable(received().join('|')));
    QVERIFY2(!received().contains("txp,-12"), qPrintable(received().join('|')));
}

void TestMainWindow::commandsInARow_data()
{
    QTest::addColumn<QStringList>("typed");   // each followed by Enter
    QTest::newRow("two commands") << QStringList{"ver", "g,txp"};
    QTest::newRow("the newest again") << QStringList{"ver", "ver", "s"};
}

// The operator types a command and Enter, then the next one and Enter, never touching the
// mouse: the sent text stands selected in the box, so the next one replaces it.
void TestMainWindow::commandsInARow()
{
    QFETCH(QStringList, typed);
    QVERIFY(startReader());
    makeWindow();
    openPort();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    auto *box = ctl<QComboBox>(IDC_COMMAND_BOX);
    QTest::mouseClick(box->lineEdit(), Qt::LeftButton);
    QTRY_VERIFY(box->hasFocus());
    for (const QString &command : typed) {
        QTest::keyClicks(QApplication::focusWidget(), command);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(box->lineEdit()->selectedText(), command);
    }
    QVERIFY2(waitForReceived(typed.last(), int(typed.count(typed.last()))), qPrintable(received().join('|')));
    QCOMPARE(received(), typed);
    typed.removeDuplicates();
    std::reverse(typed.begin(), typed.end());
    QCOMPARE(qobject_cast<CHistoryCombo *>(box)->entries(), typed);
}

// The control the focused widget is or is a part of.
static int focusedControlId()
{
    QWidget *w = QApplication::focusWidget();
    while (w && !w->property("controlId").isValid())
        w = w->parentWidget();
    return w ? w->property("controlId").toInt() : -1;
}

void TestMainWindow::tabOrder_data()
{
    QTest::addColumn<bool>("portOpen");   // the port picker is disabled while the port is open
    QTest::newRow("port closed") << false;
    QTest::newRow("port open") << true;
}

// From the command tree Tab goes to the properties grid, and on through every control back
// to the tree; Shift+Tab walks the same ring the other way. No control keeps the focus.
void TestMainWindow::tabOrder()
{
    QFETCH(bool, portOpen);
    QVERIFY(startReader());
    makeWindow();
    if (portOpen)
        openPort();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    m_window->control(IDC_CATALOGUE_TREE)->setFocus(Qt::TabFocusReason);
    QList<int> forward{focusedControlId()}, backward{forward};
    while (forward.size() < 40 && (forward.size() == 1 || forward.last() != IDC_CATALOGUE_TREE)) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        forward << focusedControlId();
    }
    QCOMPARE(forward.last(), IDC_CATALOGUE_TREE);
    QCOMPARE(forward.value(1), IDC_PROPERTY_TREE);
    QVERIFY(forward.size() > 12 && !forward.contains(-1));
    QCOMPARE(forward.contains(IDC_PORT_PICKER), !portOpen);
    while (backward.size() < forward.size()) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        backward.prepend(focusedControlId());
    }
    QCOMPARE(backward, forward);
}

void TestMainWindow::triggerSendsInventory_data()
{
    QTest::addColumn<bool>("multiMode");
    QTest::addColumn<QString>("command");
    QTest::newRow("multi") << true << "i,0,0,0";
    QTest::newRow("single") << false << "i,1,0,0";
}

void TestMainWindow::triggerSendsInventory()
{
    QFETCH(bool, multiMode);
    QFETCH(QString, command);

    QVERIFY(startReader());
    makeWindow();
    ctl<QRadioButton>(multiMode ? IDC_MULTI_MODE : IDC_SINGLE_MODE)->click();
    QCOMPARE(m_store->ReadInt(CONFIG_SECTION, CONFIG_READ_MODE, -1), multiMode ? 1 : 0);
    openPort();
    m_reader->PullTrigger();
    QVERIFY2(waitForReceived(command), qPrintable(received().join('|')));
    QVERIFY(ctl<QComboBox>(IDC_COMMAND_BOX)->findText(command) >= 0);
    QCOMPARE(logLineColour(command), kRed);
}

// The sink is made at start (the box is stored ticked) and on each tick, with the restore
// token last stored; a new token goes into the settings; each choice is noted once. (The
// factory's list is read after the window has taken the token it handed over.)
void TestMainWindow::keySinkChosenOnTickWithStoredToken()
{
    QStringList tokensGiven;
    const QString why = "Key Emulator Mode types through the recorder";
    m_sinkFactory = [&](const KeySinkSetup &setup) {
        tokensGiven << setup.portalRestoreToken;
        setup.portalTokenChanged(setup.portalRestoreToken + "+");
        KeySinkChoice choice(m_keys);
        choice.why = why;
        return choice;
    };
    m_store->WriteString(CONFIG_SECTION, CONFIG_PORTAL_RESTORE_TOKEN, "restore-1");
    m_store->WriteInt(CONFIG_SECTION, CONFIG_ENABLE_WEDGE, 1);
    makeWindow();
    auto stored = [this] { return m_store->ReadString(CONFIG_SECTION, CONFIG_PORTAL_RESTORE_TOKEN); };
    QTRY_COMPARE_WITH_TIMEOUT(stored(), QStringLiteral("restore-1+"), TRY_MS);
    ctl<QCheckBox>(IDC_KEY_EMULATOR)->click();
    ctl<QCheckBox>(IDC_KEY_EMULATOR)->click();
    QTRY_COMPARE_WITH_TIMEOUT(stored(), QStringLiteral("restore-1++"), TRY_MS);
    QCOMPARE(tokensGiven, (QStringList{"restore-1", "restore-1+"}));
    // The token reaches the settings from inside the factory; the choice is noted after it
    // returns, so the note may come a moment later.
    QTRY_COMPARE_WITH_TIMEOUT(int(logText().count(why)), 2, TRY_MS);
    QCOMPARE(logLineColour(why), kNote);
}

void TestMainWindow::tagsTypedOncePerTrigger()
{
    QVERIFY(startReader());
    makeWindow();
    ctl<QRadioButton>(IDC_MULTI_MODE)->click();
    ctl<QCheckBox>(IDC_KEY_EMULATOR)->click();
    QCOMPARE(m_store->ReadInt(CONFIG_SECTION, CONFIG_ENABLE_WEDGE, 0), 1);
    openPort();
    // Typing needs the keyboard focus outside the tool.
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QApplication::setActiveWindow(nullptr);

    const int tagsPerInventory = SimOptions().tagCount;
    m_reader->PullTrigger();
    QTRY_COMPARE_WITH_TIMEOUT(m_keys->enterPresses(), tagsPerInventory, TRY_MS);
    QTRY_COMPARE_WITH_TIMEOUT(int(m_window->tagList().size()), tagsPerInventory, TRY_MS);
    const QStringList firstTags = m_window->tagList().items();

    // Sending the inventory again without a trigger: the reader's next tags are new and are
    // typed; the earlier ones are still remembered.
    typeAndSend("i,0,0,0");
    QVERIFY(waitForReceived("i,0,0,0", 2));
    QTRY_COMPARE_WITH_TIMEOUT(m_keys->enterPresses(), 2 * tagsPerInventory, TRY_MS);
    QCOMPARE(int(m_window->tagList().size()), 2 * tagsPerInventory);

    // The next trigger starts the list afresh.
    m_reader->PullTrigger();
    QVERIFY(waitForReceived("i,0,0,0", 3));
    QTRY_COMPARE_WITH_TIMEOUT(m_keys->enterPresses(), 3 * tagsPerInventory, TRY_MS);
    QCOMPARE(int(m_window->tagList().size()), tagsPerInventory);

    // Every tag line was counted, the typed ones too.
    QCOMPARE(m_window->tagMonitor().Reads(), quint64(3 * tagsPerInventory));

    // The pieces that carried typed tags are not in the log.
    const QString log = logText();
    for (const QString &tag : firstTags)
        QVERIFY2(!log.contains(tag), qPrintable(tag));
    QVERIFY(log.contains("$trigger=1,0"));

    // The sink fails after the second tag of the next inventory: that tag and every later one
    // are logged after a note, and the box is unticked, saying so.
    m_keys->failAtEnter = 3 * tagsPerInventory + 2;
    m_reader->PullTrigger();
    QTRY_VERIFY_WITH_TIMEOUT(!ctl<QCheckBox>(IDC_KEY_EMULATOR)->isChecked(), TRY_MS);
    // The tags still arriving when it failed are counted or not, as they came in time.
    QColor noteColour;
    for (int n = 1; n < tagsPerInventory && !noteColour.isValid(); ++n)
        noteColour = logLineColour(QString("Key Emulator Mode stopped: the desktop ended the session; %1 not typed. "
                                           "The box is unticked; tick it to try again.")
                                       .arg(n == 1 ? QString("1 tag") : QString("%1 tags").arg(n)));
    QCOMPARE(noteColour, kError);
    // The simulated reader numbers a round's tags in their last eight hex digits.
    const QString first = m_window->tagList().items().value(0);
    QVERIFY(!first.isEmpty());
    QStringList later;
    for (int i = 1; i < tagsPerInventory; ++i)
        later << first.left(first.size() - 8) + QString::number(i, 16).toUpper().rightJustified(8, '0');
    for (const QString &tag : later)
        QTRY_VERIFY2_WITH_TIMEOUT(logText().contains(tag), qPrintable(tag), TRY_MS);
    QVERIFY(!logText().contains(first));
    QCOMPARE(m_keys->enterPresses(), 3 * tagsPerInventory + 2);
}

// The reader echoes a command only after the tool sent another: the echo is not a tag, so
// only the reader's tag is typed. The operator sends a command from the command box, then
// puts the focus into another program. Where the link drops before the echo and the
// automatic connection reopens it, the echo comes after the reopening's own commands, or
// between them and their answer.
void TestMainWindow::lateEchoNeverTyped_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<ReaderScript>("script");
    QTest::addColumn<QStringList>("tags");   // typed, one Enter each
    const QByteArray tags = "E2001234\r\nend=1\r\n$>";
    QTest::newRow("echo after the trigger's inventory") << "g,txp"
        << ReaderScript { { "g,txp", 0, "$trigger=1,0\r\n" }, { "g,txp", 50, "g,txp\r\nok,-12\r\n$>" },
                          { "i,0,0,0", 0, "i,0,0,0\r\n" + tags }, { "g,txp", 150, "$batt=80\r\n" } }
        << QStringList{"E2001234"};
    QTest::newRow("pull and release in one piece") << "ver"
        << ReaderScript { { "ver", 0, "ver\r\n$>" }, { "ver", 20, "$trigger=1,0\r\n$trigger=0,0\r\n" },
                          { "s", 0, "i,0,0,0\r\n" + tags.left(10) + "s\r\n$>" }, { "s", 50, "$batt=80\r\n" } }
        << QStringList{"E2001234"};
    // The first terminal's wake-up is answered; the command's echo is owed when it hangs up.
    const ReaderScript lost { { "g,txp", 0, "g,txp\r\nok,-12\r\n$>", 1 }, { "i,0,0,0", 0, "", 1 } };
    QTest::newRow("echo after the reopened link's answer") << "i,0,0,0"
        << lost + ReaderScript { { "g,txp", 0, "g,txp\r\nok,-12\r\n$>i,0,0,0\r\n$>", 2 }, { "g,txp", 150, "$batt=80\r\n", 2 } }
        << QStringList{};
    QTest::newRow("echo before the reopened link's echo") << "i,0,0,0"
        << lost + ReaderScript { { "g,txp", 0, "i,0,0,0\r\ng,txp\r\nok,-12\r\n$>", 2 }, { "g,txp", 150, "$batt=80\r\n", 2 } }
        << QStringList{};
}

void TestMainWindow::lateEchoNeverTyped()
{
    QFETCH(QString, command);
    QFETCH(ReaderScript, script);
    QFETCH(QStringList, tags);
    QVERIFY(QDir().mkpath(m_dir->filePath("ports")));
    CScriptedReaderLine line(script, m_dir->filePath("ports/COM202"));   // the reader's end
    if (!line.Open())
        QSKIP("no pseudo-terminal");
    m_store->WriteInt(CONFIG_SECTION, CONFIG_COM_PORT, 202);
    makeWindow();
    ctl<QRadioButton>(IDC_MULTI_MODE)->click();
    ctl<QCheckBox>(IDC_KEY_EMULATOR)->click();
    ctl<QPushButton>(IDC_OPEN_PORT)->click();
    QVERIFY(m_window->isPortOpen());
    const bool reconnects = std::any_of(script.cbegin(), script.cend(), [](const ScriptedAnswer &a) { return a.bytes.isEmpty(); });
    if (reconnects) {   // the automatic connection wakes the reader, and reopens a lost link
        ctl<QCheckBox>(IDC_AUTO_START)->click();
        QTRY_COMPARE_WITH_TIMEOUT(m_window->readerAwake(), 1, TRY_MS);
    }
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    auto *box = ctl<QComboBox>(IDC_COMMAND_BOX);
    QWidget *underPointer = box->childAt(box->rect().center());
    QTest::mouseClick(underPointer, Qt::LeftButton, {}, underPointer->rect().center());
    QTRY_VERIFY(box->isAncestorOf(QApplication::focusWidget()));
    QTest::keyClicks(QApplication::focusWidget(), command);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QApplication::setActiveWindow(nullptr);   // the operator goes to another program

    QTRY_VERIFY_WITH_TIMEOUT(logText().contains("$batt=80"), TRY_MS);
    QCOMPARE(line.link(), reconnects ? 2 : 1);
    QCOMPARE(m_window->tagList().items(), tags);
    QTRY_COMPARE_WITH_TIMEOUT(m_keys->enterPresses(), int(tags.size()), TRY_MS);
    QTest::qWait(100);   // a late key would come now
    QCOMPARE(m_keys->enterPresses(), int(tags.size()));
}

void TestMainWindow::txPowerSlider_data()
{
    QTest::addColumn<bool>("drag"); // else a click on the track beside the handle
    QTest::addColumn<int>("button");
    QTest::newRow("click on the track") << false << int(Qt::LeftButton);
    QTest::newRow("drag the handle") << true << int(Qt::LeftButton);
    // The style moves the handle to a middle click's place: that release sends too.
    QTest::newRow("middle click on the track") << false << int(Qt::MiddleButton);
}

void TestMainWindow::txPowerSlider()
{
    QFETCH(bool, drag);
    QFETCH(int, button);
    QVERIFY(startReader(-45));
    makeWindow();
    openPort();
    auto *slider = ctl<QSlider>(IDC_TX_POWER);
    QCOMPARE(slider->minimum(), -30);
    QCOMPARE(slider->maximum(), 0);
    QCOMPARE(slider->value(), 0);
    typeAndSend("g,txp");
    QTRY_COMPARE_WITH_TIMEOUT(slider->value(), -30, TRY_MS);

    // At the minimum the handle sits at the left end; the track's right end is off the handle.
    const int y = slider->height() / 2;
    if (drag) {
        QTest::mousePress(slider, Qt::LeftButton, {}, QPoint(2, y));
        QTest::mouseMove(slider, QPoint(slider->width() / 2, y));
        QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(slider->width() / 2, y));
    } else {
        QTest::mouseClick(slider, Qt::MouseButton(button), {}, QPoint(slider->width() - 2, y));
    }
    QVERIFY(slider->value() > -30);
    const QString command = QStringLiteral("txp,%1").arg(slider->value());
    QVERIFY2(waitForReceived(command), qPrintable(received().join('|')));
}

// What the window shows of a lost link and of the automatic connection's reopening (the
// rules themselves are the engine's, tested there).
void TestMainWindow::hangUpAndAutoConnect()
{
    QVERIFY(startReader(-45, 100));
    makeWindow();
    openPort();
    auto *button = ctl<QPushButton>(IDC_OPEN_PORT);

    const QString com = QStringLiteral("COM%1").arg(m_reader->comNumber());
    const QString lostPath = m_reader->slavePath();
    m_reader->HangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->isPortOpen(), TRY_MS);
    const QString lost = com + " link lost: " + lostPath + " (" + PortLinkErrorText(ENODEV, lostPath) + ")";
    QVERIFY2(logText().contains(lost), qPrintable(logText()));
    QVERIFY2(portTip().endsWith("\n" + lost), qPrintable(portTip()));
    QCOMPARE(m_window->windowTitle(), caption(com + " link lost"));
    QCOMPARE(button->text(), QStringLiteral("Open Port"));
    QVERIFY(ctl<QWidget>(IDC_PORT_PICKER)->isEnabled());

    // Turning the automatic connection on reopens the port; the slider shows the power the
    // woken reader reports.
    ctl<QCheckBox>(IDC_AUTO_START)->click();
    QCOMPARE(m_store->ReadInt(CONFIG_SECTION, CONFIG_AUTO_START, 0), 1);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isPortOpen(), TRY_MS);
    QCOMPARE(button->text(), QStringLiteral("Close Port"));
    QVERIFY(portTip().endsWith(" open: " + m_reader->slavePath()));
    QTRY_COMPARE_WITH_TIMEOUT(ctl<QSlider>(IDC_TX_POWER)->value(), -30, TRY_MS);
    QVERIFY(ctl<QSlider>(IDC_TX_POWER)->toolTip().contains("-30 dBm"));
}

void TestMainWindow::startsFromSettings_data()
{
    QTest::addColumn<bool>("ascii");
    QTest::addColumn<bool>("wedge");
    QTest::addColumn<bool>("multiMode");
    QTest::addColumn<bool>("reader"); // else the stored port has no device
    QTest::newRow("ASCII, wedge, single mode, reader answers") << true << true << false << true;
    QTest::newRow("ASCII, multi mode, no reader") << true << false << true << false;
    QTest::newRow("wedge, single mode, no reader") << false << true << false << false;
}

// A window started with AutoStart stored connects by its timer, wakes the reader and asks for
// its power; with no reader nothing is logged as sent, and one note says why.
void TestMainWindow::startsFromSettings()
{
    QFETCH(bool, ascii);
    QFETCH(bool, wedge);
    QFETCH(bool, multiMode);
    QFETCH(bool, reader);
    if (reader)
        QVERIFY(startReader());
    else
        m_store->WriteInt(CONFIG_SECTION, CONFIG_COM_PORT, 255);
    m_store->WriteInt(CONFIG_SECTION, CONFIG_ENABLE_ASCII, ascii);
    m_store->WriteInt(CONFIG_SECTION, CONFIG_ENABLE_WEDGE, wedge);
    m_store->WriteInt(CONFIG_SECTION, CONFIG_READ_MODE, multiMode);
    makeWindow(true);
    QCOMPARE(ctl<QCheckBox>(IDC_ASCII_MODE)->isChecked(), ascii);
    QCOMPARE(ctl<QCheckBox>(IDC_KEY_EMULATOR)->isChecked(), wedge);
    QCOMPARE(ctl<QRadioButton>(IDC_MULTI_MODE)->isChecked(), multiMode);
    QCOMPARE(ctl<QRadioButton>(IDC_SINGLE_MODE)->isChecked(), !multiMode);
    QVERIFY(ctl<QCheckBox>(IDC_AUTO_START)->isChecked());
    if (reader) {
        QTRY_VERIFY_WITH_TIMEOUT(m_window->isPortOpen(), TRY_MS);
        QVERIFY2(waitForReceived("g,txp"), qPrintable(received().join('|')));
        QTRY_COMPARE_WITH_TIMEOUT(m_window->readerAwake(), 1, TRY_MS);
        QTRY_COMPARE_WITH_TIMEOUT(ctl<QSlider>(IDC_TX_POWER)->value(), -30, TRY_MS);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains("not sent until it opens"), TRY_MS);
        QTest::qWait(3 * SHORT_AUTO_CONNECT_MS);
        QVERIFY(!m_window->isPortOpen());
        const QStringList lines = logText().split('\n');
        QCOMPARE(lines.filter("not sent until it opens"),
                 QStringList{"Auto Connect: COM255 is not open (there is no such port); the wake-up and \"g,txp\" are not sent until it opens."});
        QCOMPARE(logLineColour(lines.filter("not sent until it opens").first()), kError);
        // Neither the wake-up's empty lines (the last line is the one after the final break)
        // nor the power question.
        QVERIFY2(!lines.contains("g,txp") && lines.count("") == 1, qPrintable(logText()));
    }
}

void TestMainWindow::settingsThroughBadFiles_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("outgrown during the run") << "grown";
    QTest::newRow("a folder in its place") << "folder";
    QTest::newRow("no permission") << "unreadable";
}

// A file that another program makes too large while the tool runs is followed, at the next
// change, by one that holds everything the window shows; one that cannot be read at start
// is said in the log as an error.
void TestMainWindow::settingsThroughBadFiles()
{
    QFETCH(QString, fault);
    if (fault == "unreadable" && geteuid() == 0)
        QSKIP("root reads any file");
    const QString path = m_dir->filePath("settings.ini");
    m_store->WriteInt(CONFIG_SECTION, CONFIG_COM_PORT, 7);
    m_store->WriteInt(CONFIG_SECTION, CONFIG_READ_MODE, 1);
    m_store->WriteString(CHistoryCombo::CONFIG_SECTION, "HistoryItem0", "g,txp");
    m_store->WriteInt(CONFIG_SECTION, CONFIG_AUTO_START, 1);
    QVERIFY(m_store->Flush());
    if (fault == "folder")
        QVERIFY(QFile::remove(path) && QDir().mkpath(path));
    else if (fault == "unreadable")
        QVERIFY(QFile::setPermissions(path, {}));
    m_store = std::make_unique<CSettingsStore>(path);
    makeWindow(true);
    if (fault != "grown") {
        const QString line = logText().split('\n').filter("Settings not read from " + path).value(0);
        QVERIFY2(!line.isEmpty(), qPrintable(logText()));
        QCOMPARE(logLineColour(line), kError);
        QVERIFY(!ctl<QRadioButton>(IDC_MULTI_MODE)->isChecked());
        return;
    }
    QFile grown(path);
    QVERIFY(grown.open(QIODevice::Append) && grown.write(QByteArray(MAX_SETTINGS_FILE_BYTES, '#')) > 0);
    grown.close();
    auto *ascii = ctl<QCheckBox>(IDC_ASCII_MODE);
    QTest::mouseClick(ascii, Qt::LeftButton, {}, QPoint(ascii->height() / 2, ascii->height() / 2));
    QVERIFY(ascii->isChecked());
    QVERIFY(m_store->Flush());
    QVERIFY(QFileInfo::exists(path + ".too-large-1"));
    const CSettingsStore next(path);
    QCOMPARE(next.ReadInt(CONFIG_SECTION, CONFIG_ENABLE_ASCII, 0), 1);
    QCOMPARE(next.ReadInt(CONFIG_SECTION, CONFIG_COM_PORT, 0), 7);
    QCOMPARE(next.ReadInt(CONFIG_SECTION, CONFIG_READ_MODE, 0), 1);
    QCOMPARE(next.ReadInt(CONFIG_SECTION, CONFIG_AUTO_START, 0), 1);
    QCOMPARE(next.ReadString(CHistoryCombo::CONFIG_SECTION, "HistoryItem0"), QStringLiteral("g,txp"));
}

// Started before the reader's port exists: the stored port is neither lost nor replaced by
// "<None>", and the automatic connection opens it once the reader registers it.
void TestMainWindow::autoConnectWaitsForAbsentPort()
{
    constexpr int LATE_PORT = 200;
    m_store->WriteInt(CONFIG_SECTION, CONFIG_COM_PORT, LATE_PORT);
    makeWindow(true);
    QCOMPARE(m_window->PortNumber(), 0);
    ctl<QPushButton>(IDC_OPEN_PORT)->click();
    QVERIFY(logText().contains("Cannot open COM200: there is no such port"));
    QCOMPARE(logLineColour("Cannot open COM200: there is no such port"), kError);
    QTest::qWait(3 * SHORT_AUTO_CONNECT_MS);
    QVERIFY(!m_window->isPortOpen());
    QCOMPARE(m_store->ReadInt(CONFIG_SECTION, CONFIG_COM_PORT, 0), LATE_PORT);
    const QString notSent = "COM200 is not open (there is no such port)";
    QCOMPARE(logText().count(notSent), 1);

    QVERIFY(startReader(-45, -1, LATE_PORT));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->readerAwake(), 1, TRY_MS);
    QVERIFY(m_window->isPortOpen());
    QTRY_COMPARE_WITH_TIMEOUT(m_window->PortNumber(), LATE_PORT, TRY_MS);   // the list is walked off this thread
    QCOMPARE(m_store->ReadInt(CONFIG_SECTION, CONFIG_COM_PORT, 0), LATE_PORT);

    // Gone again: the next closed period gets its own note.
    m_reader->Stop();
    QTRY_COMPARE_WITH_TIMEOUT(logText().count(notSent), 2, TRY_MS);
}

// A port whose device path is far longer than the closed picker: the name is shortened in
// its middle and the "(COM20)" the operator picks by stays whole.
void TestMainWindow::pickerKeepsPortNumber()
{
    const QString node = m_dir->filePath(QString(100, 'a') + "/" + QString(100, 'z') + "/pts0");
    QVERIFY(QDir().mkpath(QFileInfo(node).path()) && QFile(node).open(QIODevice::WriteOnly));
    QVERIFY(QDir().mkpath(m_dir->filePath("ports")) && QFile::link(node, m_dir->filePath("ports/COM20")));
    m_store->WriteInt(CONFIG_SECTION, CONFIG_COM_PORT, 20);
    makeWindow();
    auto *picker = ctl<CComPortCombo>(IDC_PORT_PICKER);
    QVERIFY(picker->currentText().endsWith(node + " (COM20)"));
    const QString shown = picker->closedText();
    QVERIFY2(shown.endsWith(" (COM20)") && shown.contains(QChar(0x2026)) && shown.startsWith("Mapped"), qPrintable(shown));
    QVERIFY(picker->fontMetrics().horizontalAdvance(shown) < picker->width());
}

// Ctrl+T opens the monitor beside the main window, which stays usable; the entry stands just
// before About; a failed export is told; the monitor's place and size come back in the next run.
void TestMainWindow::tagMonitorWindow()
{
    makeWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QTest::keyClick(m_window.get(), Qt::Key_T, Qt::ControlModifier);
    CTagMonitorDlg *monitor = m_window->tagMonitorWindow();
    QVERIFY(monitor && monitor->isVisible() && !monitor->isModal());
    const QList<QAction *> entries = m_window->actions();
    const auto entry = std::find_if(entries.begin(), entries.end(),
                                    [](QAction *a) { return a->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_T); });
    QVERIFY(entry != entries.end() && entry + 1 != entries.end());
    QCOMPARE((*(entry + 1))->data().toInt(), IDM_ABOUTBOX);
    // The operator types a GTIN into the filter: the SGTIN that names it stays, decoded.
    m_window->tagMonitor().Count(u"3074257BF7194E4000001A85", TagKind::RfidTag);
    m_window->tagMonitor().Count(u"E2000000000000000000ABCD", TagKind::RfidTag);
    // The main window's own activation may still be on its way: the operator brings the monitor
    // up until it stays up.
    QTRY_VERIFY_WITH_TIMEOUT((monitor->activateWindow(), QCoreApplication::processEvents(), QApplication::activeWindow() == monitor),
                             TRY_MS);
    auto *filter = monitor->findChild<QLineEdit *>();
    QTest::mouseClick(filter, Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), filter);
    QTest::keyClicks(QApplication::focusWidget(), "80614141123458");
    monitor->Refresh();
    QCOMPARE(monitor->table()->model()->rowCount(), 1);
    QCOMPARE(monitor->table()->model()->index(0, CTagTableModel::DecodedColumn).data().toString(),
             QStringLiteral("urn:epc:id:sgtin:0614141.812345.6789"));
    // An export that cannot be written says so in the window.
    const QString unwritable = m_dir->filePath("missing/tags.csv");
    monitor->SetSaveFileFunction([&](QWidget *, const QString &) { return unwritable; });
    monitor->OnExport();
    QTRY_VERIFY_WITH_TIMEOUT(monitor->status()->text().contains("failed"), TRY_MS);
    QVERIFY(monitor->status()->text().contains(unwritable) && !QFile::exists(unwritable));
    monitor->setGeometry(QRect(60, 70, 640, 420));
    const QRect placed = monitor->geometry();
    monitor->close();
    m_window.reset();
    makeWindow();
    m_window->OnTagMonitor();
    QCOMPARE(m_window->tagMonitorWindow()->geometry(), placed);
}

void TestMainWindow::clearEmptiesLog()
{
    QVERIFY(startReader());
    makeWindow();
    m_window->SendCommand("ver");   // closed port: logged, not written
    QVERIFY(logText().contains("ver"));
    ctl<QPushButton>(IDC_CLEAR)->click();
    QVERIFY(logText().isEmpty());
    QVERIFY(ctl<CLogView>(IDC_LOG_VIEW)->isReadOnly());
}

void TestMainWindow::saveLog_data()
{
    QTest::addColumn<bool>("stamps");
    // "": writable; "link": the file is a link to an old one; "read-only"; "full": a full disk
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("fileType");   // chosen in the save dialog
    QTest::addColumn<QString>("expected");   // the file's text, stamps left out
    const QString text = "Log as shown (*.txt)", shown = "ver\nok\n$>s\ngone\nok\n$>";
    QTest::newRow("as shown, over a link") << false << "link" << text << shown;
    QTest::newRow("with direction and stamps") << true << "" << "Log with direction (*.log)"
                                              << "> ver\n< ok\n< $>\n> s\n! gone\n< ok\n< $>";
    QTest::newRow("HTML with stamps") << true << "" << "HTML with the log's colours (*.html *.htm)" << shown;
    QTest::newRow("unwritable folder") << false << "read-only" << text << "";
    QTest::newRow("full disk") << true << "full" << text << "";
}

// The time stamps' entry kept in the settings, and the log saved in the form of the type chosen
// in the save dialog, or refused with an error note and nothing left behind.
void TestMainWindow::saveLog()
{
    QFETCH(bool, stamps);
    QFETCH(QString, folder);
    QFETCH(QString, fileType);
    QFETCH(QString, expected);
    const QString dir = m_dir->filePath("saved");
    QVERIFY(QDir().mkpath(dir));
    struct Unmount
    {
        QString dir;
        ~Unmount()
        {
            if (!dir.isEmpty())
                QProcess::execute("umount", {"-l", dir});
        }
    } unmount;
    const QString target = dir + "/log." + QRegularExpression("\\*\\.(\\w+)").match(fileType).captured(1);
    if (folder == "link") {
        QVERIFY(QFile(dir + "/old.txt").open(QIODevice::WriteOnly) && QFile::link(dir + "/old.txt", target));
    } else if (folder == "read-only") {
        if (geteuid() == 0)
            QSKIP("root writes into any folder");
        QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
    } else if (folder == "full") {
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", dir}) != 0)
            QSKIP("a tmpfs cannot be mounted here (needs the right to mount)");
        unmount.dir = dir;
        QFile filler(dir + "/filler");
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(1024, 'f')) > 0) {
        }
    }
    makeWindow();
    if (stamps)
        m_window->findChild<QAction *>("logTimeStamps")->trigger();
    makeWindow();   // a new window reads the entry's state back from the settings
    auto *entry = m_window->findChild<QAction *>("logTimeStamps");
    QCOMPARE(entry->isChecked(), stamps);
    QVERIFY(m_window->actions().contains(entry) && ctl<CLogView>(IDC_LOG_VIEW)->actions().contains(entry));

    m_window->OnClear();
    const QList<QPair<QString, LogKind>> pieces { { "ver\r\n", LogKind::Sent }, { "o", LogKind::Received },
        { "k\r\n$>", LogKind::Received }, { "s\r\n", LogKind::Sent }, { "gone\r\n", LogKind::Error },
        { "ok\r\n$>", LogKind::Received } };
    for (const auto &[text, kind] : pieces)
        m_window->AppendLog(text, kind);
    // The operator's save dialog: its types listed, one chosen, the file named (and replaced).
    QStringList typesShown;
    QTimer answer;
    connect(&answer, &QTimer::timeout, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            return box->button(QMessageBox::Yes)->click();
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible() || !typesShown.isEmpty())
            return;
        for (auto *types = dialog->findChild<QComboBox *>("fileTypeCombo"); typesShown.size() < types->count();)
            typesShown << types->itemText(int(typesShown.size()));
        dialog->selectNameFilter(fileType);
        dialog->findChild<QLineEdit *>("fileNameEdit")->setText(target);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    });
    answer.start(20);
    m_window->findChild<QAction *>("saveLog")->trigger();
    answer.stop();
    QVERIFY2(typesShown.size() == 4 && typesShown.contains(fileType), qPrintable(typesShown.join('|')));
    QVERIFY(QTest::qWaitFor([&] { return logText().contains("Log "); }, TRY_MS));
    const QString note = logText().split('\n').filter("Log ").first();
    const bool refused = folder == "read-only" || folder == "full";
    const CLogView *log = ctl<CLogView>(IDC_LOG_VIEW);
    const int noteLine = log->FindLine("Log ");
    QVERIFY(noteLine >= 0);
    QCOMPARE(log->ShownColour(CLogView::KindColour(log->LineRuns(noteLine).first().first)), refused ? kError : kNote);
    QVERIFY2(logText().contains("$>\n" + note), qPrintable(logText()));   // not on the prompt's line
    if (refused) {
        const int error = folder == "full" ? ENOSPC : EACCES;
        QVERIFY2(note.contains("Log not saved to " + target + ": " + strerror(error)), qPrintable(note));
        const QStringList left = folder == "full" ? QStringList{"filler"} : QStringList();
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), left);
        return;
    }
    QCOMPARE(QFileInfo(target).isSymLink(), folder == "link");
    QFile saved(target);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(saved.readAll());
    QTextDocument html;
    if (fileType.startsWith("HTML")) {   // read back: the same text, each kind in its colour
        html.setHtml(text);
        text = html.toPlainText();
        for (const auto &[piece, kind] : pieces)
            QCOMPARE(html.find(piece.left(1)).charFormat().foreground().color(), ToQColor(CLogView::KindColour(kind)));
    }
    const QRegularExpression stamp("\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] ");
    QCOMPARE(int(text.count(stamp)), stamps ? 7 : 0);   // the command after the prompt has its own
    QCOMPARE(text.remove(stamp), expected);
}

// The mock with the serial profile and one adapter, on a bus `bus` has started.
bool TestMainWindow::startBluez(CBluezTestBus &bus)
{
    QString why;
    m_busAddress = bus.address();
    return bus.addSerialProfile(why) && bus.mockCall("AddAdapter", {QStringLiteral("hci0"), QStringLiteral("host")}).type()
           == QDBusMessage::ReplyMessage;
}

// A paired reader without an rfcomm binding, reached through BlueZ's serial profile: the mock
// hands the tool one end of a socket pair, the simulated reader serves the other.
void TestMainWindow::bluetoothReaderOverProfile()
{
    CBluezTestBus bus;
    QString why;
    if (!bus.start(true, why))
        QSKIP(qPrintable(why));
    QVERIFY(startBluez(bus));
    QCOMPARE(bus.mockCall("AddSerialDevice", {QStringLiteral("hci0"), READER_ADDRESS, QStringLiteral("Reader-A")}).type(),
             QDBusMessage::ReplyMessage);
    makeWindow();
    ctl<QCheckBox>(IDC_KEY_EMULATOR)->click();
    ctl<QRadioButton>(IDC_MULTI_MODE)->click();
    auto *picker = ctl<QComboBox>(IDC_PORT_PICKER);

    // Listed in the picker and the device list under its own number, kept in the settings.
    const QRegularExpression entry("^Reader-A " + READER_ADDRESS + " \\(COM(\\d+)\\)$");
    QTRY_VERIFY_WITH_TIMEOUT(picker->findText(entry.pattern(), Qt::MatchRegularExpression) >= 0, TRY_MS);
    const int index = picker->findText(entry.pattern(), Qt::MatchRegularExpression);
    const QString com = "COM" + entry.match(picker->itemText(index)).captured(1);
    QCOMPARE(m_store->ReadString(CONFIG_BLUETOOTH_PORTS_SECTION, com), READER_ADDRESS);
    QVERIFY(ctl<QPlainTextEdit>(IDC_DEVICE_LIST)->toPlainText().contains(com + "\t: " + READER_ADDRESS + "  | Reader-A\n"));
    // A double click on the device's line in the list picks its port and opens it.
    auto *list = ctl<QPlainTextEdit>(IDC_DEVICE_LIST);
    const QTextBlock line = list->document()->find(com + "\t").block();
    QVERIFY(line.isValid());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->cursorRect(QTextCursor(line)).center());
    QCOMPARE(picker->currentIndex(), index);

    // Commands go out, the inventory comes back and is typed.
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isPortOpen(), TRY_MS);
    SimOptions options;
    options.recordPath = m_dir->filePath("received.txt");
    m_reader = std::make_unique<CReaderSim>(options);
    QVERIFY(m_reader->ServeSocket(bus.takeReaderSocket()));
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QApplication::setActiveWindow(nullptr);
    m_reader->PullTrigger();
    QVERIFY2(waitForReceived("i,0,0,0"), qPrintable(received().join('|') + "\n" + logText()));
    QTRY_COMPARE_WITH_TIMEOUT(m_keys->enterPresses(), options.tagCount, TRY_MS);

    // The reader switched off: one lost link, and BlueZ is asked to let the profile go.
    m_reader->HangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->isPortOpen(), TRY_MS);
    QTRY_VERIFY_WITH_TIMEOUT(bus.mockCall("UnregisteredProfiles", {}).arguments().value(0).toInt() >= 1, TRY_MS);
    QCOMPARE(logText().count(com + " link lost: "), 1);

    // Switched on again: the automatic connection reconnects it and wakes it.
    ctl<QCheckBox>(IDC_AUTO_START)->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isPortOpen(), TRY_MS);
    QVERIFY(m_reader->ServeSocket(bus.takeReaderSocket()));
    QVERIFY2(waitForReceived("g,txp"), qPrintable(received().join('|')));
    QCOMPARE(logLineColour(com + " reopened by the automatic connection: Bluetooth " + READER_ADDRESS), kNote);
    QCOMPARE(logText().count(com + " link lost: "), 1);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
