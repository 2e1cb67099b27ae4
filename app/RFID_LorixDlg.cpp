#include "app/RFID_LorixDlg.h"

#include "app/AboutEntry.h"
#include "app/HistoryScript.h"
#include "app/LogView.h"
#include "app/PaletteContrast.h"
#include "app/SliderReleaseFilter.h"
#include "settings/SettingsStore.h"
#include "app/VersionCaption.h"
#include "app/WindowParts.h"
#include "controls/propgrid/PropGridConstants.h"
#include "controls/common/NotifyEvent.h"
#include "monitor/widgets/TagMonitorDlg.h"
#include "protocol/ProtocolConstants.h"
#include "res/AppIcon.h"
#include "res/Resource.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScrollArea>
#include <QSlider>
#include <QTextBlock>
#include <QTextDocument>

#include <functional>
#include <memory>
#include <utility>

namespace {

// Banner texts and colours (platform colour values, red in the low byte).
constexpr char HEADER_TITLE[] = "Ondo Device Test Tool";
constexpr char HEADER_DESCRIPTION[] = "This is a tool for the Ondo Interface testing.";
constexpr ColourRef HEADER_TOP_COLOUR = 0xF0F7F5;
constexpr ColourRef HEADER_BOTTOM_COLOUR = 0xB5D9D0;
// Captions of button 1004 in the two port states.
constexpr char OPEN_PORT_TEXT[] = "Open Port";
constexpr char CLOSE_PORT_TEXT[] = "Close Port";

// One tick per step of the TX power slider.
constexpr int TX_POWER_TICK_INTERVAL = 1;

// The list's lines end in CR LF; the text control breaks lines at LF alone.
QString asLineBreaks(QString text)
{
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

} // namespace

CRFID_LorixDlg::CRFID_LorixDlg(CSettingsStore &settings, QWidget *parent)
    : CRFID_LorixDlg(settings, Environment(), parent)
{
}

CRFID_LorixDlg::CRFID_LorixDlg(CSettingsStore &settings, const Environment &environment, QWidget *parent)
    : QDialog(parent)
    , m_settings(settings)
    , m_environment(environment)
    , m_engine(*this, EngineEnvironment(settings, environment))
{
    OnInitDialog();
}

// The engine closes the port and joins its threads after the window's own members go; the
// listing thread is joined first (it is the last member).
CRFID_LorixDlg::~CRFID_LorixDlg()
{
    // A log being copied for Save Log As goes to the saver now, which writes it before it goes.
    m_logEntries.reset();
}

bool CRFID_LorixDlg::OnInitDialog()
{
    // 1. Minimise and maximise boxes; the controls from the template and the data exchange.
    //    (Child widgets are always clipped here, nothing to add for clip-children.)
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    createControls();
    connectControls();
    DoDataExchange(false);

    // 2. Caption; the port and its state follow it (showPortState).
    SetVersionCaption(this);
    m_captionBase = windowTitle();
    // 3. The log view prepared itself when it was made (read-only, colour-only appends).
    // 4. About entry and icons.
    m_icon = ApplicationIcon();
    setWindowIcon(m_icon);
    QAction *aboutEntry = InstallAboutEntry(this, nullptr);
    QAction *monitorEntry = m_monitorEntry.InstallTagMonitor(aboutEntry);
    m_logEntries = std::make_unique<CLogEntries>(*this, *m_logView, m_settings, m_environment.logSaveFile,
                                                 [this](const QString &text, LogKind kind) { AppendLog(text, kind); });

    connectEngine();

    // 5. The port picker with the stored port.
    const int storedPort = ReadConfig(m_settings, CONFIG_COM_PORT, CONFIG_COM_PORT_DEFAULT);
    m_wantedPort = qMax(0, storedPort);
    m_portPicker->FillPorts(storedPort);
    showPortState();

    // 6. Check boxes and radio buttons from the settings.
    m_asciiBox->setChecked(ReadConfig(m_settings, CONFIG_ENABLE_ASCII, CONFIG_ENABLE_ASCII_DEFAULT) != 0);
    m_autoStartBox->setChecked(ReadConfig(m_settings, CONFIG_AUTO_START, CONFIG_AUTO_START_DEFAULT) != 0);
    m_keyEmulatorBox->setChecked(ReadConfig(m_settings, CONFIG_ENABLE_WEDGE, CONFIG_ENABLE_WEDGE_DEFAULT) != 0);
    const ReadModeChecks readMode =
        ReadModeToChecks(ReadConfig(m_settings, CONFIG_READ_MODE, CONFIG_READ_MODE_DEFAULT));
    m_multiModeRadio->setChecked(readMode.multiMode != 0);
    m_singleModeRadio->setChecked(readMode.singleMode != 0);

    // 7. and 8. The catalogue tree and the property panel below it.
    LoadCatalogue();
    CreatePropertyPanel();

    // 9. The banner: the window grows by its height and every other child moves down.
    m_header = new CDialogHeader(this);
    m_layout.AttachHeader(m_header);
    m_header->SetTitle(QString::fromLatin1(HEADER_TITLE));
    m_header->SetDescription(QString::fromLatin1(HEADER_DESCRIPTION));
    m_header->SetIcon(m_icon);
    m_header->SetTopColour(HEADER_TOP_COLOUR);
    m_header->SetBottomColour(HEADER_BOTTOM_COLOUR);
    m_header->AttachToDialog(client());
    m_header->ShiftDialogChildren(client());
    AddAboutEntryToBanner(aboutEntry, m_header);
    m_header->insertAction(aboutEntry, monitorEntry);
    m_layout.wrapClient();

    // 10. The command history.
    m_commandBox->SetSettingsStore(&m_settings);
    m_commandBox->LoadHistory();
    // What the window shows comes from the defaults when the settings could not be read.
    if (!m_settings.ReadError().isEmpty())
        AppendLog(QStringLiteral("Settings not read from %1 (%2): the defaults are used\r\n")
                      .arg(QDir::toNativeSeparators(m_settings.FileName()), m_settings.ReadError()),
                  LogKind::Error);

    // 11. The Bluetooth device list, searched on its own thread; the paired serial devices
    //     for the picker are asked for apart, without the inquiry's wait.
    m_bluetoothList.start(this, m_environment.bluetooth);
    m_engine.QueryBluetoothPorts();

    // 12. TX power slider.
    m_txPowerSlider->setRange(TX_POWER_MIN, TX_POWER_MAX);
    m_txPowerSlider->setTickInterval(TX_POWER_TICK_INTERVAL);
    m_txPowerSlider->setValue(0);
    showTxPower();

    // 13. Automatic connection.
    m_engine.SetAutoConnect(m_autoStartBox->isChecked());

    // Placeholder, ticks and unticked boxes stay readable in a dark palette.
    KeepFaintPartsReadable(this);
    return true;
}

// The controls from the template (the layout's), under the window's typed names.
void CRFID_LorixDlg::createControls()
{
    m_layout.createControls();
    m_propertyTree = qobject_cast<CPropGrid *>(control(IDC_PROPERTY_TREE));
    m_catalogueTree = qobject_cast<CExtTree *>(control(IDC_CATALOGUE_TREE));
    m_portPicker = qobject_cast<CComPortCombo *>(control(IDC_PORT_PICKER));
    m_logView = qobject_cast<CLogView *>(control(IDC_LOG_VIEW));
    m_commandBox = qobject_cast<CHistoryCombo *>(control(IDC_COMMAND_BOX));
    m_openButton = qobject_cast<QPushButton *>(control(IDC_OPEN_PORT));
    m_keyEmulatorBox = qobject_cast<QCheckBox *>(control(IDC_KEY_EMULATOR));
    m_asciiBox = qobject_cast<QCheckBox *>(control(IDC_ASCII_MODE));
    m_autoStartBox = qobject_cast<QCheckBox *>(control(IDC_AUTO_START));
    m_multiModeRadio = qobject_cast<QRadioButton *>(control(IDC_MULTI_MODE));
    m_singleModeRadio = qobject_cast<QRadioButton *>(control(IDC_SINGLE_MODE));
    m_txPowerSlider = qobject_cast<QSlider *>(control(IDC_TX_POWER));
}

void CRFID_LorixDlg::connectControls()
{
    auto *picker = static_cast<CDroppingPortCombo *>(m_portPicker);
    picker->SetPortSource([this](QList<ComPortDevice> &ports) { return m_engine.ListPorts(ports); });
    picker->onDropDown = [this] {
        // A device paired since the last look shows from the next fill on.
        m_engine.QueryBluetoothPorts();
        // The refill goes back to the stored port (or, until the operator picks one, the
        // port the command line named), and so does the wanted one.
        const int storedPort = m_portFromCommandLine
                                   ? m_wantedPort
                                   : ReadConfig(m_settings, CONFIG_COM_PORT, CONFIG_COM_PORT_DEFAULT);
        m_wantedPort = qMax(0, storedPort);
        m_portPicker->FillPorts(storedPort);
    };
    // A long port name is cut in the closed box (its neighbour sits close beside it); the
    // list is as wide as its names, and the tip shows the whole name and the connection's state.
    connect(picker, &QComboBox::currentTextChanged, this, &CRFID_LorixDlg::showPortTip);
    static_cast<CDeviceListEdit *>(deviceListControl())->onPortChosen = [this](int number) { OpenDevicePort(number); };
    // The command box's context menu offers the history as a script for the command line's "run".
    connect(new CHistoryScriptSaver(*m_commandBox, m_environment.historyScriptFile), &CHistoryScriptSaver::saved, this,
            [this](const QString &path, const QString &error) {
                const QString shown = QDir::toNativeSeparators(path);
                logNote(error.isEmpty() ? QStringLiteral("History saved as a script to %1").arg(shown)
                                        : QStringLiteral("History not saved to %1: %2").arg(shown, error));
            });

    auto button = [this](int id) { return qobject_cast<QAbstractButton *>(control(id)); };
    connect(m_openButton, &QPushButton::clicked, this, &CRFID_LorixDlg::OnOpenPort);
    connect(button(IDC_SEND), &QAbstractButton::clicked, this, &CRFID_LorixDlg::OnSend);
    connect(button(IDC_SAVE_DATA), &QAbstractButton::clicked, this, &CRFID_LorixDlg::OnSaveData);
    connect(button(IDC_SAVE_AS), &QAbstractButton::clicked, this, &CRFID_LorixDlg::OnSaveAs);
    connect(button(IDC_CLEAR), &QAbstractButton::clicked, this, &CRFID_LorixDlg::OnClear);
    connect(button(IDOK), &QAbstractButton::clicked, this, &QDialog::accept);
    connect(button(IDCANCEL), &QAbstractButton::clicked, this, &QDialog::reject);

    connect(m_asciiBox, &QCheckBox::clicked, this, [this] {
        WriteConfig(m_settings, CONFIG_ENABLE_ASCII, m_asciiBox->isChecked() ? 1 : 0);
    });
    connect(m_keyEmulatorBox, &QCheckBox::clicked, this, [this] {
        WriteConfig(m_settings, CONFIG_ENABLE_WEDGE, m_keyEmulatorBox->isChecked() ? 1 : 0);
        // Typing stops at the next item boundary: what is still queued is shown instead.
        if (!m_keyEmulatorBox->isChecked())
            m_engine.DropQueuedTyping();
    });
    connect(m_autoStartBox, &QCheckBox::clicked, this, [this] {
        WriteConfig(m_settings, CONFIG_AUTO_START, m_autoStartBox->isChecked() ? 1 : 0);
        m_engine.SetAutoConnect(m_autoStartBox->isChecked());
    });
    // Only the operator's own choice (not a refill) replaces the wanted port, "<None>" included.
    connect(m_portPicker, &QComboBox::activated, this, [this] {
        m_wantedPort = PortNumber();
        m_portFromCommandLine = false;
    });
    auto storeReadMode = [this] {
        WriteConfig(m_settings, CONFIG_READ_MODE, ReadModeFromMultiCheck(m_multiModeRadio->isChecked()));
    };
    connect(m_multiModeRadio, &QRadioButton::clicked, this, storeReadMode);
    connect(m_singleModeRadio, &QRadioButton::clicked, this, storeReadMode);
    // Every left press on the track bar ends in a release that sends the power.
    new CSliderReleaseFilter(m_txPowerSlider, this, [this] { OnTxPowerReleased(); });
}

void CRFID_LorixDlg::DoDataExchange(bool save)
{
    QPlainTextEdit *deviceList = deviceListControl();
    if (save) {
        commandText = m_commandBox->currentText();
        deviceListText = deviceList->toPlainText();
    } else {
        m_commandBox->setEditText(commandText);
        deviceList->setPlainText(asLineBreaks(deviceListText));
    }
}

QPlainTextEdit *CRFID_LorixDlg::deviceListControl() const
{
    return qobject_cast<QPlainTextEdit *>(control(IDC_DEVICE_LIST));
}

int CRFID_LorixDlg::PortNumber() const
{
    if (m_portPicker->currentIndex() < 0)
        return 0;
    return PortNumberFromItemData(m_portPicker->currentData().toLongLong());
}

// The picker shows "<None>" both when the operator chose it and when the wanted port is
// absent (the reader not plugged in yet, or unplugged). In the second case the wanted port
// stands: it is what gets opened and stored, so that an absent port never overwrites the
// stored one with 0 and is connected once it appears.
int CRFID_LorixDlg::portToUse() const
{
    const int shown = PortNumber();
    return shown != 0 ? shown : m_wantedPort;
}

void CRFID_LorixDlg::storePortToUse()
{
    m_wantedPort = portToUse();
    if (!m_portFromCommandLine)
        WriteConfig(m_settings, CONFIG_COM_PORT, m_wantedPort);
}

void CRFID_LorixDlg::OpenPortAtStart(int comNumber)
{
    m_portFromCommandLine = true;
    m_wantedPort = comNumber;
    m_portPicker->FillPorts(comNumber);
    if (!isPortOpen())
        OnOpenPort();
}

// A refill lets the picker show the wanted port once it has appeared. Only while the picker
// stands in for it with "<None>": a port the picker shows is not reselected, and the list
// open under the operator's eyes is not rebuilt. That includes the wanted port opened by the
// automatic connection just after a walk that did not find it yet.
bool CRFID_LorixDlg::PortListWanted() const
{
    return PortNumber() == 0 && m_wantedPort != 0 && !m_portPicker->view()->isVisible()
           && (!isPortOpen() || m_engine.OpenedPort() == m_wantedPort);
}

// The engine opens this port (at "Open Port", and at each tick of the automatic connection),
// which is stored as the operator's port.
int CRFID_LorixDlg::PortToUse()
{
    storePortToUse();
    return m_wantedPort;
}

// On "Open Port", the operator's own action, the list is walked here.
void CRFID_LorixDlg::refreshPortsWhileClosed()
{
    if (!isPortOpen() && PortListWanted())
        m_portPicker->FillPorts(m_wantedPort);
}

void CRFID_LorixDlg::showDeviceList()
{
    if (!m_boundListArrived && m_engine.BluetoothPorts().isEmpty())
        return;
    QString text = m_boundListText;
    for (const CReaderEngine::BluetoothPort &port : m_engine.BluetoothPorts())
        text += FormatDeviceLine(QStringLiteral("COM%1").arg(port.number), port.device.address, port.device.name);
    deviceListText = text;
    deviceListControl()->setPlainText(asLineBreaks(deviceListText));
}

void CRFID_LorixDlg::logNote(const QString &text)
{
    AppendLog(text + QStringLiteral("\r\n"), LogKind::Note);
}

void CRFID_LorixDlg::showPortTip()
{
    const QString state = m_engine.StateText();
    const QString name = m_portPicker->currentText();
    m_portPicker->setToolTip(name.isEmpty() ? state : name + QLatin1Char('\n') + state);
}

void CRFID_LorixDlg::showPortState()
{
    const bool open = isPortOpen();
    m_openButton->setText(QString::fromLatin1(open ? CLOSE_PORT_TEXT : OPEN_PORT_TEXT));
    m_portPicker->setEnabled(!open && !m_engine.IsConnecting());
    showPortTip();
    // The state at a glance, in the task bar and the window list too.
    QString state = QStringLiteral("not connected");
    switch (m_engine.state()) {
    case CReaderEngine::State::Connecting:
        state = QStringLiteral("COM%1 connecting").arg(m_engine.ConnectingPort());
        break;
    case CReaderEngine::State::Open:
        state = QStringLiteral("COM%1 open").arg(m_engine.OpenedPort());
        break;
    case CReaderEngine::State::Lost:
        state = QStringLiteral("COM%1 link lost").arg(m_engine.OpenedPort());
        break;
    case CReaderEngine::State::Closed:
        break;
    }
    setWindowTitle(m_captionBase + QStringLiteral(" - ") + state);
}

void CRFID_LorixDlg::OnOpenPort()
{
    refreshPortsWhileClosed();
    storePortToUse();
    m_engine.TogglePort();
    showPortState();
}

void CRFID_LorixDlg::OnSend()
{
    m_commandBox->AddToHistory(m_commandBox->currentText());
    m_commandBox->SaveHistory();
    DoDataExchange(true);
    SendCommand(commandText);
}

// A command the engine chose in answer to the reader (the trigger's, the power slider's) goes
// through the command box and its history, as if typed, before it is sent.
void CRFID_LorixDlg::connectEngine()
{
    connect(&m_engine, &CReaderEngine::logged, this, [this](const QString &text, LogKind kind) { AppendLog(text, kind); });
    connect(&m_engine, &CReaderEngine::commandChosen, this, [this](const QString &command) {
        m_commandBox->setEditText(command);
        m_commandBox->AddToHistory(m_commandBox->currentText());
        m_commandBox->SaveHistory();
        DoDataExchange(true);
    });
    connect(&m_engine, &CReaderEngine::connectionChanged, this, [this] {
        showPortState();
        showTxPower();
    });
    connect(&m_engine, &CReaderEngine::txPowerReported, this, [this](int dbm) {
        m_txPowerSlider->setValue(dbm);
        showTxPower();
    });
    connect(&m_engine, &CReaderEngine::bluetoothPortsChanged, this, &CRFID_LorixDlg::OnBluetoothPorts);
    connect(&m_engine, &CReaderEngine::portsListed, this, [this](const QList<ComPortDevice> &ports, bool walked) {
        m_portPicker->FillPorts(m_wantedPort, ports, walked);
    });
    // A sink that can no longer type unticks the box, so that the next tick asks again.
    connect(&m_engine, &CReaderEngine::keyEmulatorFailed, this, [this] { m_keyEmulatorBox->setChecked(false); });
    connect(&m_engine, &CReaderEngine::portalRestoreTokenChanged, this, [this](const QString &token) {
        m_settings.WriteString(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_PORTAL_RESTORE_TOKEN), token);
    });
    // The modes follow the boxes (toggled: every change, the operator's or the settings').
    connect(m_keyEmulatorBox, &QCheckBox::toggled, &m_engine, &CReaderEngine::SetKeyEmulator);
    connect(m_asciiBox, &QCheckBox::toggled, &m_engine, &CReaderEngine::SetAsciiMode);
    connect(m_multiModeRadio, &QRadioButton::toggled, &m_engine, &CReaderEngine::SetMultiMode);
    m_engine.SetKeyEmulator(m_keyEmulatorBox->isChecked());
    m_engine.SetAsciiMode(m_asciiBox->isChecked());
    m_engine.SetMultiMode(m_multiModeRadio->isChecked());
    // The emulator never types while a window of the tool is active.
    m_activeWindowWatch = std::make_unique<CActiveWindowWatch>([this] { m_engine.UpdateTypingBlocked(); });
    qApp->installEventFilter(m_activeWindowWatch.get());
    m_engine.UpdateTypingBlocked();
}

// A device's line double-clicked in the Bluetooth list: its port is picked and opened, in
// place of another one open.
void CRFID_LorixDlg::OpenDevicePort(int number)
{
    if (isPortOpen() && m_engine.OpenedPort() == number)
        return;
    if (isPortOpen() || m_engine.IsConnecting())
        OnOpenPort();
    m_wantedPort = number;
    m_portFromCommandLine = false;
    m_portPicker->FillPorts(number);
    OnOpenPort();
}

// BlueZ named the paired serial devices again: the list shows them, and the picker, when
// its list is not open under the operator's eyes, takes them in.
void CRFID_LorixDlg::OnBluetoothPorts()
{
    showDeviceList();
    if (!isPortOpen() && !m_engine.IsConnecting() && !m_portPicker->view()->isVisible())
        m_portPicker->FillPorts(PortNumber() != 0 ? -1 : m_wantedPort);
}

// The slider shows the reader's power once the reader has said it; until then (after an
// opening, before the answer to "g,txp") its tip and accessible description say it is not known.
void CRFID_LorixDlg::showTxPower()
{
    const QString text = m_engine.TxPowerKnown() ? QStringLiteral("TX power: %1 dBm").arg(m_txPowerSlider->value())
                                                 : QStringLiteral("TX power: not known");
    m_txPowerSlider->setToolTip(text);
    m_txPowerSlider->setAccessibleDescription(text);
}

int CRFID_LorixDlg::SendCommand(const QString &command)
{
    return m_engine.SendCommand(command);
}
void CRFID_LorixDlg::AppendLog(const QString &text, LogKind kind)
{
    // The tool's own notes are lines of their own, also after a line left open at the log's
    // end (the reader's prompt, a line it has not ended yet).
    const bool noteAfterOpenLine = (kind == LogKind::Note || kind == LogKind::Error) && !text.startsWith(QLatin1Char('\r'))
                                   && !text.startsWith(QLatin1Char('\n'))
                                   && m_logView->LastLineOpen();
    m_logView->AppendLog(noteAfterOpenLine ? QStringLiteral("\r\n") + text : text, kind);
}

void CRFID_LorixDlg::OnClear()
{
    commandText.clear();
    m_logView->Clear();
}

void CRFID_LorixDlg::OnTxPowerReleased()
{
    m_engine.SendTxPower(m_txPowerSlider->value());
}

void CRFID_LorixDlg::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    scroller()->setGeometry(rect());
}

void CRFID_LorixDlg::moveEvent(QMoveEvent *event)
{
    QDialog::moveEvent(event);
    m_layout.FrameArrived();
}

void CRFID_LorixDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!m_fittedToScreen) {
        m_fittedToScreen = true;
        m_layout.fitToScreen();
    }
}

bool CRFID_LorixDlg::event(QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::ApplicationPaletteChange) {
        const bool handled = QDialog::event(event);
        KeepFaintPartsReadable(this);
        return handled;
    }
    if (type == CBluetoothListEvent::eventType()) {
        // The listing hands over only the text, on this thread; it is put in place here. A
        // search that found nothing says why while the list is empty.
        const auto *list = static_cast<CBluetoothListEvent *>(event);
        if (!list->why().isEmpty()) {
            deviceListControl()->setPlaceholderText(QStringLiteral("No Bluetooth devices: %1.").arg(list->why()));
            return true;
        }
        m_boundListText = list->text();
        m_boundListArrived = true;
        showDeviceList();
        return true;
    }
    if (type == CNotifyEvent::notifyType() && handleNotify(*static_cast<CNotifyEvent *>(event)))
        return true;
    return QDialog::event(event);
}

bool CRFID_LorixDlg::handleNotify(CNotifyEvent &notify)
{
    notify.result = 0;
    if (notify.controlId() == IDC_CATALOGUE_TREE) {
        if (notify.code() == TVN_SELCHANGED)
            OnCommandSelected(notify);
        return notify.code() == TVN_SELCHANGED || notify.code() == NM_CLICK;
    }
    if (notify.controlId() == IDC_PROPERTY_TREE) {
        switch (notify.code()) {
        case PGN_VALUECOMMITTED:
            OnParameterChanged(notify);
            return true;
        case PGN_SENDCOMMAND:
            OnSend();
            return true;
        case PGN_TABOUT:
            // On to the next control that takes the focus (the previous one for Shift+Tab):
            // a fixed target is a trap when it is disabled, as the port picker is while the
            // port is open.
            focusNextPrevChild(notify.param() != PGN_TABOUT_BACKWARD);
            return true;
        case PGN_ESCAPE:
            m_catalogueTree->setFocus(Qt::OtherFocusReason);
            return true;
        default:
            return false;
        }
    }
    return false;
}

bool CRFID_LorixDlg::IsOwnWindowActive() const
{
    return QApplication::activeWindow() != nullptr;
}

QWidget *CRFID_LorixDlg::control(int id) const
{
    return m_layout.control(id);
}

QWidget *CRFID_LorixDlg::client() const
{
    return m_layout.client();
}

QScrollArea *CRFID_LorixDlg::scroller() const
{
    return m_layout.scroller();
}

// The catalogue half: the controller does the work, the window shows the composed command.
void CRFID_LorixDlg::LoadCatalogue()
{
    m_catalogueHalf.LoadCatalogue(*m_catalogueTree, *m_propertyTree);
}

void CRFID_LorixDlg::CreatePropertyPanel()
{
    m_catalogueHalf.CreatePropertyPanel();
}

void CRFID_LorixDlg::OnCommandSelected(CNotifyEvent &notify)
{
    if (m_catalogueHalf.OnCommandSelected(notify, commandText))
        DoDataExchange(false);
}

void CRFID_LorixDlg::OnParameterChanged(CNotifyEvent &notify)
{
    if (m_catalogueHalf.OnParameterChanged(notify, commandText))
        DoDataExchange(false);
}

void CRFID_LorixDlg::OnSaveData()
{
    m_catalogueHalf.OnSaveData();
}

void CRFID_LorixDlg::OnSaveAs()
{
    m_catalogueHalf.OnSaveAs();
}

int CRFID_LorixDlg::catalogueSavesPending() const
{
    return m_catalogueHalf.SavesPending();
}

void CRFID_LorixDlg::done(int result)
{
    if (!m_catalogueHalf.DeferClose([this, result] { QDialog::done(result); }))
        QDialog::done(result);
}
