#include "app/RFID_LorixDlg.h"

#include "app/AboutEntry.h"
#include "app/ControlTextFit.h"
#include "app/DialogBuilder.h"
#include "app/HistoryScript.h"
#include "app/LogView.h"
#include "settings/SettingsStore.h"
#include "app/VersionCaption.h"
#include "app/WindowParts.h"
#include "controls/propgrid/PropGridConstants.h"
#include "controls/common/NotifyEvent.h"
#include "monitor/widgets/TagMonitorDlg.h"
#include "protocol/ProtocolConstants.h"
#include "res/AppIcon.h"
#include "res/DialogTemplates.h"
#include "res/Resource.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QMouseEvent>
#include <QSlider>
#include <QTextBlock>
#include <QTextDocument>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <utility>

namespace {

// Banner texts and colours (platform colour values, red in the low byte).
constexpr char HEADER_TITLE[] = "Ondo Device Test Tool";
constexpr char HEADER_DESCRIPTION[] = "This is a tool for the Ondo Interface testing.";
constexpr ColourRef HEADER_TOP_COLOUR = 0xF0F7F5;
constexpr ColourRef HEADER_BOTTOM_COLOUR = 0xB5D9D0;
// The least room, in dialog units, between a group box's frame and a control beside it.
constexpr int GROUP_GAP_DLU = 4;

// Captions of button 1004 in the two port states.
constexpr char OPEN_PORT_TEXT[] = "Open Port";
constexpr char CLOSE_PORT_TEXT[] = "Close Port";

// OnSize: the log's margins to the client's right and bottom edges, the room kept for the
// banner while it does not exist yet, and the "Clear" button's place under the log.
constexpr int LOG_RIGHT_MARGIN = 5;
constexpr int LOG_BOTTOM_MARGIN = 54;
constexpr int MISSING_HEADER_HEIGHT = 58;
constexpr int CLEAR_GAP = 10;
constexpr int CLEAR_HEIGHT = 22;
constexpr int CLEAR_WIDTH = 60;

// The names assistive technology reads for the controls that have no text of their own.
constexpr std::pair<int, const char *> CONTROL_ACCESSIBLE_NAMES[] = {
    {IDC_PORT_PICKER, "Select by Port"},
    {IDC_TX_POWER, "TX power"},
    {IDC_COMMAND_BOX, "Command"},
    {IDC_CATALOGUE_TREE, "Ondo Reader Commands"},
    {IDC_PROPERTY_TREE, "Command properties"},
    {IDC_LOG_VIEW, "Traffic log"},
    {IDC_DEVICE_LIST, "Bluetooth Devices List (Port : MAC)"},
};

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
    , m_engine(*this, engineEnvironment(settings, environment))
{
    OnInitDialog();
}

// The engine's environment: the window's, with the settings' Bluetooth port numbers and
// portal token, and the rfcomm ports named after their paired device.
CReaderEngine::Environment CRFID_LorixDlg::engineEnvironment(CSettingsStore &settings, const Environment &environment)
{
    CReaderEngine::Environment engine;
    engine.bluetooth = environment.bluetooth;
    engine.ports = environment.ports;
    if (environment.nameBluetoothPorts && !engine.ports.bluetoothName)
        engine.ports.bluetoothName = CachedBluetoothNames();
    engine.autoConnectPeriodMs = environment.autoConnectPeriodMs;
    engine.keySink = environment.keySink;
    engine.portalRestoreToken =
        settings.ReadString(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_PORTAL_RESTORE_TOKEN));
    const QString section = QString::fromLatin1(CONFIG_BLUETOOTH_PORTS_SECTION);
    CSettingsStore *store = &settings;
    engine.bluetoothPortBook.load = [store, section](int number) {
        return store->ReadString(section, QStringLiteral("COM%1").arg(number));
    };
    engine.bluetoothPortBook.store = [store, section](int number, const QString &address) {
        store->WriteString(section, QStringLiteral("COM%1").arg(number), address);
    };
    // The port picker asks BlueZ itself when the window has made its first controls.
    engine.queryBluetooth = false;
    return engine;
}

// The engine closes the port and joins its threads after the window's own members go; the
// listing thread is joined first (it is the last member).
CRFID_LorixDlg::~CRFID_LorixDlg()
{
    // A log being copied for Save Log As goes to the saver now, which writes it before it goes.
    if (m_logView)
        m_logView->FinishCopies();
    // The monitor window goes before the engine: it shows the engine's tag monitor.
    storeTagMonitorGeometry();
    delete std::exchange(m_monitorWindow, nullptr);
}

QWidget *CRFID_LorixDlg::control(int id) const
{
    return m_controls.value(id, nullptr);
}

bool CRFID_LorixDlg::OnInitDialog()
{
    // 1. Minimise and maximise boxes; the controls from the template and the data exchange.
    //    (Child widgets are always clipped here, nothing to add for clip-children.)
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    createControls();
    connectControls();
    DoDataExchange(false);

    // 2. Caption.
    SetVersionCaption(this);
    // 3. The log view prepared itself when it was made (read-only, colour-only appends).
    // 4. About entry and icons.
    m_icon = ApplicationIcon();
    setWindowIcon(m_icon);
    QAction *aboutEntry = InstallAboutEntry(this, nullptr);
    QAction *monitorEntry = InstallTagMonitor(aboutEntry);
    installLogEntries();

    connectEngine();

    // 5. The port picker with the stored port.
    const int storedPort = ReadConfig(m_settings, CONFIG_COM_PORT, CONFIG_COM_PORT_DEFAULT);
    m_wantedPort = qMax(0, storedPort);
    m_portPicker->FillPorts(storedPort);

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
    m_header->SetTitle(QString::fromLatin1(HEADER_TITLE));
    m_header->SetDescription(QString::fromLatin1(HEADER_DESCRIPTION));
    m_header->SetIcon(m_icon);
    m_header->SetTopColour(HEADER_TOP_COLOUR);
    m_header->SetBottomColour(HEADER_BOTTOM_COLOUR);
    m_header->AttachToDialog(m_client);
    m_header->ShiftDialogChildren(m_client);
    AddAboutEntryToBanner(aboutEntry, m_header);
    m_header->insertAction(aboutEntry, monitorEntry);
    // The designed client is the least the controls need: a smaller window scrolls.
    m_client->setMinimumSize(m_client->size());
    m_scroller->setWidget(m_client);
    resize(m_client->size());

    // 10. The command history.
    m_commandBox->SetSettingsStore(&m_settings);
    m_commandBox->LoadHistory();

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
    return true;
}

// The window's own kinds of template control: the port picker, the command box, the
// description, the command tree, the log and the power slider.
QWidget *CRFID_LorixDlg::createOwnControl(const DialogControlTemplate &item, QWidget *parent)
{
    using K = ControlKind;
    QWidget *widget = nullptr;
    switch (item.kind) {
    case K::DropDownList: {
        auto *picker = new CDroppingPortCombo(parent);
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
        // A long port name is cut in the closed box (its neighbour sits close beside
        // it); the list is as wide as its names, and the tip shows the whole name and
        // the connection's state.
        connect(picker, &QComboBox::currentTextChanged, this, &CRFID_LorixDlg::showPortTip);
        m_portPicker = picker;
        widget = picker;
        break;
    }
    case K::DropDownCombo:
        m_commandBox = new CHistoryCombo(parent);
        // Its context menu offers the history as a script for the command line's "run".
        connect(new CHistoryScriptSaver(*m_commandBox, m_environment.historyScriptFile), &CHistoryScriptSaver::saved,
                this, [this](const QString &path, const QString &error) {
                    const QString shown = QDir::toNativeSeparators(path);
                    logNote(error.isEmpty() ? QStringLiteral("History saved as a script to %1").arg(shown)
                                            : QStringLiteral("History not saved to %1: %2").arg(shown, error));
                });
        widget = m_commandBox;
        break;
    case K::ReadOnlyEdit: {
        auto *edit = new CDeviceListEdit(parent);
        edit->setReadOnly(true);
        edit->onPortChosen = [this](int number) { OpenDevicePort(number); };
        widget = edit;
        break;
    }
    case K::TreeView:
        m_catalogueTree = new CExtTree(parent, item.id);
        widget = m_catalogueTree;
        break;
    case K::RichEdit:
        m_logView = new CLogView(parent);
        widget = m_logView;
        break;
    case K::TrackBar: {
        auto *slider = new QSlider(Qt::Horizontal, parent);
        slider->setTickPosition(QSlider::TicksBothSides);
        widget = slider;
        break;
    }
    default:
        // CreatePlainControl made every other kind.
        widget = new QWidget(parent);
        break;
    }
    return widget;
}

void CRFID_LorixDlg::createControls()
{
    using K = ControlKind;
    const DialogTemplate &dialog = MainDialogTemplate();
    setFont(DialogFont(dialog));
    // Context menus are windows of their own and take the application's menu font, a
    // wider face than the dialog's; they speak with the window's.
    QApplication::setFont(font(), "QMenu");
    const DialogBaseUnits units = BaseUnitsFor(font());

    m_scroller = new QScrollArea(this);
    m_scroller->setFrameShape(QFrame::NoFrame);
    m_scroller->setWidgetResizable(true);
    // The frame scrolls the client for the controls inside it; it is no Tab stop of its own.
    m_scroller->setFocusPolicy(Qt::NoFocus);
    m_client = new CDialogClient(this, [this] { OnSize(); });
    m_client->resize(DialogUnitsToPixels(dialog.size, units));
    resize(m_client->size());
    QWidget *const parent = m_client;

    for (const DialogControlTemplate &item : dialog.controls) {
        QRect pixels = DialogUnitsToPixels(item.rect, units);
        QWidget *widget = CreatePlainControl(item, units, parent);
        if (!widget) {
            widget = createOwnControl(item, parent);
            // A drop-down's template height is that of its open list; the closed box keeps its own.
            if (item.kind == K::DropDownList || item.kind == K::DropDownCombo)
                pixels.setHeight(widget->sizeHint().height());
            widget->setGeometry(pixels);
        }
        // The substitute face may set a text wider than the template's face did.
        GrowToText(widget);
        if (item.hidden)
            widget->hide();
        if (item.id != IDC_STATIC) {
            widget->setProperty("controlId", item.id);
            widget->setObjectName(QStringLiteral("control%1").arg(item.id));
            m_controls.insert(item.id, widget);
        }
        // The property tree (child 100) stands below the command tree: made right after it,
        // it follows it in the Tab order. Placed by CreatePropertyPanel; hidden until then.
        if (item.id == IDC_CATALOGUE_TREE) {
            m_propertyTree = new CPropGrid(parent, PGS_NOTIFY, IDC_PROPERTY_TREE);
            m_propertyTree->hide();
            m_propertyTree->setProperty("controlId", IDC_PROPERTY_TREE);
            m_controls.insert(IDC_PROPERTY_TREE, m_propertyTree);
        }
    }
    // Above the controls made after it, as when it was made last.
    m_propertyTree->raise();
    // Names for assistive technology where no label of the template is the control's buddy.
    for (const auto &[id, name] : CONTROL_ACCESSIBLE_NAMES)
        control(id)->setAccessibleName(QString::fromUtf8(name));

    keepClearOfGroupFrames(units);


    m_openButton = qobject_cast<QPushButton *>(control(IDC_OPEN_PORT));
    m_keyEmulatorBox = qobject_cast<QCheckBox *>(control(IDC_KEY_EMULATOR));
    m_asciiBox = qobject_cast<QCheckBox *>(control(IDC_ASCII_MODE));
    m_autoStartBox = qobject_cast<QCheckBox *>(control(IDC_AUTO_START));
    m_multiModeRadio = qobject_cast<QRadioButton *>(control(IDC_MULTI_MODE));
    m_singleModeRadio = qobject_cast<QRadioButton *>(control(IDC_SINGLE_MODE));
    m_txPowerSlider = qobject_cast<QSlider *>(control(IDC_TX_POWER));
}

// A control that grew to its text, or a style whose group title is taller than the
// template's, can reach a group box's frame: the frame then moves, never the control (their
// places are the template's). A group's own members keep below its title and frame; a
// control beside it keeps a gap from its left edge.
void CRFID_LorixDlg::keepClearOfGroupFrames(const DialogBaseUnits &units)
{
    const QSize gap = DialogUnitsToPixels(QRect(0, 0, GROUP_GAP_DLU, GROUP_GAP_DLU), units).size();
    const QList<QGroupBox *> groups = m_client->findChildren<QGroupBox *>(Qt::FindDirectChildrenOnly);
    for (QGroupBox *group : groups) {
        QRect frame = group->geometry();
        const QRect designed = frame;
        for (QWidget *other : m_client->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            if (qobject_cast<QGroupBox *>(other) || other->isHidden())
                continue;
            const QRect placed = other->geometry();
            if (designed.contains(placed.topLeft())) {
                const int contentTop = frame.top() + group->contentsRect().top();
                if (placed.top() < contentTop)
                    frame.setTop(frame.top() - (contentTop - placed.top()));
            } else if (placed.left() < designed.left() && placed.top() < designed.bottom()
                       && placed.bottom() > designed.top() && placed.right() + gap.width() >= frame.left()) {
                frame.setLeft(placed.right() + 1 + gap.width());
            }
        }
        group->setGeometry(frame);
    }
}

void CRFID_LorixDlg::connectControls()
{
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
    // The track bar's release-capture notification ends every left press on it, a click on the
    // track as well as a drag (QSlider::sliderReleased follows only a drag). The style may let
    // another button move the handle too (a middle click jumps to its place): such a release
    // sends when the press moved the slider, so that the slider keeps showing the reader's
    // power. Queued, so that the slider has taken its final position from the release first.
    struct CReleaseCaptureFilter : QObject
    {
        CRFID_LorixDlg *dlg;
        int valueAtPress = 0;
        explicit CReleaseCaptureFilter(CRFID_LorixDlg *owner) : QObject(owner), dlg(owner) {}
        bool eventFilter(QObject *watched, QEvent *e) override
        {
            const auto *slider = static_cast<QSlider *>(watched);
            if (e->type() == QEvent::MouseButtonPress) {
                valueAtPress = slider->value();
            } else if (e->type() == QEvent::MouseButtonRelease) {
                const bool left = static_cast<QMouseEvent *>(e)->button() == Qt::LeftButton;
                QMetaObject::invokeMethod(this, [this, left, slider] {
                    if (left || slider->value() != valueAtPress)
                        dlg->OnTxPowerReleased();
                }, Qt::QueuedConnection);
            }
            return false;
        }
    };
    m_txPowerSlider->installEventFilter(new CReleaseCaptureFilter(this));
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
                                   && m_logView->document()->lastBlock().length() > 1;
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
    m_scroller->setGeometry(rect());
}

void CRFID_LorixDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!m_fittedToScreen) {
        m_fittedToScreen = true;
        fitToScreen();
    }
}

// A screen lower or narrower than the designed window gets a window that fits its
// available area, frame included; the client then scrolls. Where the window fits it keeps
// its designed size.
void CRFID_LorixDlg::fitToScreen()
{
    const QScreen *shownOn = screen();
    if (!shownOn)
        return;
    const QRect available = shownOn->availableGeometry();
    const QSize frame = frameGeometry().size() - geometry().size();
    // Under X a window manager frames the window only once it is mapped, after this first
    // showing: until then the frame counts as none, and moveEvent fits again when it comes.
    m_frameAwaited = frame.isNull();
    // A fractional scale factor rounds the native size and the frame: a pixel either way.
    const int rounding = devicePixelRatioF() == std::floor(devicePixelRatioF()) ? 0 : 1;
    const QSize room = available.size() - frame - QSize(rounding, rounding);
    if (width() <= room.width() && height() <= room.height())
        return;
    QSize fitted = size().boundedTo(room);
    // The scroll bar of the direction that scrolls takes its thickness from the view: the
    // other direction gets that much more room, as far as the screen has it, so that the
    // client's far edge (the log's own scroll bar, "Clear", the group frames) is not left
    // under the bar, reachable only by a second scroll bar.
    const QSize client = m_client->minimumSize() + QSize(rounding, rounding);
    const int barWidth = m_scroller->verticalScrollBar()->sizeHint().width();
    const int barHeight = m_scroller->horizontalScrollBar()->sizeHint().height();
    if (fitted.height() < client.height())
        fitted.setWidth(std::min(std::max(fitted.width(), client.width() + barWidth), room.width()));
    if (fitted.width() < client.width())
        fitted.setHeight(std::min(std::max(fitted.height(), client.height() + barHeight), room.height()));
    resize(fitted);
    QRect placed = frameGeometry();
    placed.moveLeft(std::clamp(placed.left(), available.left(), available.right() + 1 - placed.width()));
    placed.moveTop(std::clamp(placed.top(), available.top(), available.bottom() + 1 - placed.height()));
    move(placed.topLeft());
}

void CRFID_LorixDlg::moveEvent(QMoveEvent *event)
{
    QDialog::moveEvent(event);
    if (m_frameAwaited && frameGeometry().size() != geometry().size())
        fitToScreen();
}

QWidget *CRFID_LorixDlg::client() const
{
    return m_client;
}

QScrollArea *CRFID_LorixDlg::scroller() const
{
    return m_scroller;
}

void CRFID_LorixDlg::OnSize()
{
    if (!m_logView)
        return;
    const QRect log = m_logView->geometry();
    const QRect client = m_client->rect();
    // Edges as the platform counts them: right and bottom are one past the last pixel.
    const int clientRight = client.x() + client.width();
    int clientBottom = client.y() + client.height();
    if (!m_header)
        clientBottom -= MISSING_HEADER_HEIGHT;

    const int right = std::max(clientRight - LOG_RIGHT_MARGIN, log.left());
    const int bottom = std::max(clientBottom - LOG_BOTTOM_MARGIN, log.top());
    m_logView->setGeometry(QRect(log.left(), log.top(), right - log.left(), bottom - log.top()));

    QWidget *clear = control(IDC_CLEAR);
    const QRect clearRect(right - CLEAR_WIDTH, bottom + CLEAR_GAP, CLEAR_WIDTH, CLEAR_HEIGHT);
    if (clear && clearRect.left() > log.left())
        clear->setGeometry(clearRect);
}

bool CRFID_LorixDlg::event(QEvent *event)
{
    const QEvent::Type type = event->type();
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
