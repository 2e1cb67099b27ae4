#include "app/RFID_LorixDlg.h"

#include "app/AboutEntry.h"
#include "app/ControlTextFit.h"
#include "app/DialogBuilder.h"
#include "app/LogView.h"
#include "app/SettingsStore.h"
#include "app/VersionCaption.h"
#include "controls/propgrid/PropGridConstants.h"
#include "controls/common/NotifyEvent.h"
#include "discovery/BluezClient.h"
#include "monitor/widgets/TagMonitorDlg.h"
#include "protocol/CommandLine.h"
#include "protocol/ProtocolConstants.h"
#include "res/AppIcon.h"
#include "res/DialogTemplates.h"
#include "res/Resource.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
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
#include <QMouseEvent>
#include <QSlider>
#include <QTimerEvent>
#include <QTextBlock>
#include <QTextDocument>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
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

// One tick per step of the TX power slider.
constexpr int TX_POWER_TICK_INTERVAL = 1;

// Naming an rfcomm port after its paired device asks BlueZ; a hung daemon must not hold the
// window for long, and each address is asked once per window.
constexpr int BLUETOOTH_NAME_TIMEOUT_MS = 300;

// The port picker refills itself from the stored port each time its list drops down.
class CDroppingPortCombo : public CComPortCombo
{
public:
    std::function<void()> onDropDown;
    using CComPortCombo::CComPortCombo;

    void showPopup() override
    {
        if (onDropDown)
            onDropDown();
        CComPortCombo::showPopup();
    }
};

std::function<QString(const QString &)> CachedBluetoothNames()
{
    BluezEnvironment env;
    env.callTimeoutMs = BLUETOOTH_NAME_TIMEOUT_MS;
    auto ask = BluetoothNameHook(env);
    // Asked on the window's thread (the list dropped down) and on the port scans' thread.
    struct Cache
    {
        std::mutex lock;
        QHash<QString, QString> names;
    };
    auto cache = std::make_shared<Cache>();
    return [ask, cache](const QString &address) {
        {
            const std::lock_guard<std::mutex> lock(cache->lock);
            const auto it = cache->names.constFind(address);
            if (it != cache->names.constEnd())
                return *it;
        }
        const QString name = ask(address);
        const std::lock_guard<std::mutex> lock(cache->lock);
        cache->names.insert(address, name);
        return name;
    };
}

// Tells the key emulator's owner whenever a window of the application is activated or
// deactivated (an application-wide event filter: the tool's message boxes and dialogs count).
class CActiveWindowWatch : public QObject
{
public:
    explicit CActiveWindowWatch(std::function<void()> changed) : m_changed(std::move(changed)) {}

    bool eventFilter(QObject *, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type == QEvent::WindowActivate || type == QEvent::WindowDeactivate || type == QEvent::ApplicationStateChange)
            m_changed();
        return false;
    }

private:
    std::function<void()> m_changed;
};

// The dialog's client area, the parent of every control, inside a scroll area that fills
// the window: where the screen is smaller than the designed window it scrolls instead of
// cutting controls off. The controls' notifications are the dialog's; a resize lays the
// log out again.
class CDialogClient : public QWidget
{
public:
    CDialogClient(QWidget *dialog, std::function<void()> resized)
        : QWidget(dialog), m_dialog(dialog), m_resized(std::move(resized))
    {
    }

protected:
    bool event(QEvent *event) override
    {
        if (dynamic_cast<CNotifyEvent *>(event))
            return QCoreApplication::sendEvent(m_dialog, event);
        return QWidget::event(event);
    }
    void resizeEvent(QResizeEvent *event) override
    {
        QWidget::resizeEvent(event);
        m_resized();
    }

private:
    QWidget *m_dialog;
    std::function<void()> m_resized;
};

// Log notes of the key emulator and the receive path (the tool's own remarks, in red).
constexpr char TYPING_SET_ASIDE_NOTE[] =
    "Key Emulator Mode: the focus moved into this tool, so typing into the tool itself is skipped; not typed:\r\n";
constexpr char TYPING_DROPPED_NOTE[] = "Key Emulator Mode off: not typed:\r\n";
constexpr char SINK_FAILED_NOTE[] = "Key Emulator Mode: %1. The box is unticked; tick it to try again.";
constexpr char SINK_FAILED_UNTYPED_NOTE[] = "Not typed, or not typed whole:\r\n";
constexpr char PORT_CLOSED_NOTE[] = "The port was closed in the middle of a line: that line is not handled or typed.\r\n";
constexpr char LINK_LOST_NOTE[] = "The link was lost in the middle of a line: that line is not handled or typed.\r\n";

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
    , m_keyEmulator(std::make_unique<CKeyEmulator>(environment.keySink))
    , m_protocol(*this, *m_keyEmulator)
    , m_settings(settings)
    , m_environment(environment)
    , m_bluetoothLink(environment.bluetooth.bluez)
{
    if (m_environment.nameBluetoothPorts && !m_environment.ports.bluetoothName)
        m_environment.ports.bluetoothName = CachedBluetoothNames();
    OnInitDialog();
}

// The port stays open until the channel's destructor closes it and joins its reader thread;
// the listing thread is joined first (it is the last member), the key emulator's typing
// thread last (it is the first).
CRFID_LorixDlg::~CRFID_LorixDlg()
{
    // A log being copied for Save Log As goes to the saver now, which writes it before it goes.
    if (m_logView)
        m_logView->FinishCopies();
    // The monitor window goes before the members: it shows m_tagMonitor and reports here.
    storeTagMonitorGeometry();
    delete std::exchange(m_monitorWindow, nullptr);
    removeCatalogueHooks();
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

    wireKeyEmulator();

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
    m_serialQuery.start(this, m_environment.bluetooth);

    // 12. TX power slider.
    m_txPowerSlider->setRange(TX_POWER_MIN, TX_POWER_MAX);
    m_txPowerSlider->setTickInterval(TX_POWER_TICK_INTERVAL);
    m_txPowerSlider->setValue(0);

    // 13. Automatic connection.
    if (m_autoStartBox->isChecked())
        startAutoConnectTimer();
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
        picker->SetPortSource([this](QList<ComPortDevice> &ports) {
            const bool walked = ListPresentPorts(ports, m_environment.ports);
            appendBluetoothPorts(ports);
            return walked;
        });
        picker->onDropDown = [this] {
            // A device paired since the last look shows from the next fill on.
            m_serialQuery.start(this, m_environment.bluetooth);
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
        widget = m_commandBox;
        break;
    case K::ReadOnlyEdit: {
        auto *edit = new QPlainTextEdit(parent);
        edit->setReadOnly(true);
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
    }

    keepClearOfGroupFrames(units);

    // The property tree (child 100) is placed by CreatePropertyPanel; hidden until then.
    m_propertyTree = new CPropGrid(parent, PGS_NOTIFY, IDC_PROPERTY_TREE);
    m_propertyTree->hide();
    m_controls.insert(IDC_PROPERTY_TREE, m_propertyTree);

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
            logUntyped(m_keyEmulator->DropQueued(), QString::fromLatin1(TYPING_DROPPED_NOTE));
    });
    connect(m_autoStartBox, &QCheckBox::clicked, this, &CRFID_LorixDlg::OnAutoStartClicked);
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
    // track as well as a drag (QSlider::sliderReleased follows only a drag). Queued, so that the
    // slider has taken its final position from the release first.
    struct CReleaseCaptureFilter : QObject
    {
        CRFID_LorixDlg *dlg;
        explicit CReleaseCaptureFilter(CRFID_LorixDlg *owner) : QObject(owner), dlg(owner) {}
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::MouseButtonRelease && static_cast<QMouseEvent *>(e)->button() == Qt::LeftButton)
                QMetaObject::invokeMethod(this, [this] { dlg->OnTxPowerReleased(); }, Qt::QueuedConnection);
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
bool CRFID_LorixDlg::portsRefreshWanted() const
{
    return PortNumber() == 0 && m_wantedPort != 0 && !m_portPicker->view()->isVisible()
           && (!isPortOpen() || m_openedPort == m_wantedPort);
}

// On "Open Port", the operator's own action, the list is walked here.
void CRFID_LorixDlg::refreshPortsWhileClosed()
{
    if (!isPortOpen() && portsRefreshWanted())
        m_portPicker->FillPorts(m_wantedPort);
}

// A port with a node opens at once; a Bluetooth serial port without one is connected by
// BlueZ, and its answer comes later (OnBluetoothLink).
CRFID_LorixDlg::OpenResult CRFID_LorixDlg::openChannel(bool automatic)
{
    m_channel.SetOwnerWindow(this);
    const int number = portToUse();
    const QString path = DevicePathForPort(number, m_environment.ports);
    BluetoothAddress address{};
    if (path.isEmpty() && BluetoothPortAddress(number, bluetoothPortBook(), address)) {
        m_connectingPort = number;
        m_connectingAddress = address;
        m_connectingByAuto = automatic;
        m_bluetoothLink.Connect(this, address);
        return OpenResult::Connecting;
    }
    if (path.isEmpty())
        return OpenResult::Failed;
    if (m_channel.Open(path, READER_BAUD_RATE, READER_BYTE_SIZE, READER_STOP_BITS, READER_PARITY) == 0)
        return OpenResult::Failed;
    m_openedPort = number;
    m_openedPath = path;
    m_linkLost = false;
    m_notSentNoted = false;
    return OpenResult::Opened;
}

BluetoothPortBook CRFID_LorixDlg::bluetoothPortBook()
{
    const QString section = QString::fromLatin1(CONFIG_BLUETOOTH_PORTS_SECTION);
    BluetoothPortBook book;
    book.load = [this, section](int number) { return m_settings.ReadString(section, QStringLiteral("COM%1").arg(number)); };
    book.store = [this, section](int number, const QString &address) {
        m_settings.WriteString(section, QStringLiteral("COM%1").arg(number), address);
    };
    return book;
}

// A port-map link of the same number wins over the Bluetooth entry, as over a node.
void CRFID_LorixDlg::appendBluetoothPorts(QList<ComPortDevice> &ports) const
{
    for (const BluetoothPortEntry &port : m_bluetoothPorts) {
        const bool taken = std::any_of(ports.cbegin(), ports.cend(),
                                       [&](const ComPortDevice &p) { return p.number == port.number; });
        if (!taken)
            ports.append(BluetoothSerialPort(port.number, port.device));
    }
}

void CRFID_LorixDlg::OnSerialDevices(const CBluetoothSerialEvent &answer)
{
    if (!answer.answered())
        return;   // BlueZ could not be asked: what was known stands
    QList<BluetoothPortEntry> ports;
    const BluetoothPortBook book = bluetoothPortBook();
    for (const BluetoothDeviceRecord &device : answer.devices()) {
        const int number = BluetoothPortNumber(device.address, book);
        if (number != 0)
            ports.append({number, device});
    }
    m_bluetoothPorts = ports;
    showDeviceList();
    if (!isPortOpen() && !m_bluetoothLink.IsConnecting() && !m_portPicker->view()->isVisible())
        m_portPicker->FillPorts(PortNumber() != 0 ? -1 : m_wantedPort);
}

void CRFID_LorixDlg::showDeviceList()
{
    if (!m_boundListArrived && m_bluetoothPorts.isEmpty())
        return;
    QString text = m_boundListText;
    for (const BluetoothPortEntry &port : std::as_const(m_bluetoothPorts))
        text += FormatDeviceLine(QStringLiteral("COM%1").arg(port.number), port.device.address, port.device.name);
    deviceListText = text;
    deviceListControl()->setPlainText(asLineBreaks(deviceListText));
}

void CRFID_LorixDlg::OnBluetoothLink(CBluezLinkEvent &answer)
{
    if (!m_bluetoothLink.Answered(answer.attempt()))
        return;   // an attempt given up since: its socket goes with the event
    const QString linkName = QStringLiteral("Bluetooth ") + AddressDisplayText(m_connectingAddress);
    const int socket = answer.takeSocket();
    if (socket >= 0 && m_channel.OpenSocket(socket, linkName) != 0) {
        m_openedPort = m_connectingPort;
        m_openedPath = linkName;
        m_linkLost = false;
        m_notSentNoted = false;
        logPortOpened(m_connectingByAuto ? " by the automatic connection" : "");
        if (m_connectingByAuto)
            wakeReader();
    } else {
        m_bluetoothLink.Disconnect();
        const QString why = socket >= 0 ? PortOpenErrorText(m_channel.OpenError(), linkName)
                                        : linkName + QLatin1String(": ") + answer.error();
        if (m_connectingByAuto)
            noteNotOpenForAutoConnect(m_connectingPort, why);
        else
            logNote(QStringLiteral("Cannot open COM%1: ").arg(m_connectingPort) + why);
    }
    showPortState();
}

void CRFID_LorixDlg::logNote(const QString &text)
{
    AppendLog(text + QStringLiteral("\r\n"), LogKind::Note);
}

void CRFID_LorixDlg::logPortOpened(const char *how)
{
    logNote(QStringLiteral("COM%1 %2%3: %4")
                .arg(m_openedPort)
                .arg(QLatin1String(m_everOpened ? "reopened" : "opened"), QLatin1String(how), m_openedPath));
    m_everOpened = true;
}

void CRFID_LorixDlg::showPortTip()
{
    QString state;
    if (isPortOpen())
        state = QStringLiteral("COM%1 open: %2").arg(m_openedPort).arg(m_openedPath);
    else if (m_linkLost)
        state = linkLostText();
    else
        state = QStringLiteral("closed");
    if (m_bluetoothLink.IsConnecting())
        state = QStringLiteral("COM%1 connecting through BlueZ").arg(m_connectingPort);
    const QString name = m_portPicker->currentText();
    m_portPicker->setToolTip(name.isEmpty() ? state : name + QLatin1Char('\n') + state);
}

void CRFID_LorixDlg::closeChannel(const QString &note)
{
    m_channel.Close();
    m_bluetoothLink.Disconnect();   // BlueZ keeps its side of a profile's link until asked
    m_protocol.setReaderAwake(0);
    // The reader thread has ended: the ring holds the last bytes of this connection. Text
    // still unfinished after them is dropped then, never joined to the next connection's.
    m_protocol.DropHeldBackAfter(m_channel.PendingBytes(), note);
}

void CRFID_LorixDlg::showPortState()
{
    const bool open = isPortOpen();
    m_openButton->setText(QString::fromLatin1(open ? CLOSE_PORT_TEXT : OPEN_PORT_TEXT));
    m_portPicker->setEnabled(!open && !m_bluetoothLink.IsConnecting());
    showPortTip();
}

void CRFID_LorixDlg::OnOpenPort()
{
    refreshPortsWhileClosed();
    storePortToUse();
    OpenResult result = OpenResult::Failed;
    if (m_bluetoothLink.IsConnecting()) {
        // Pressed again while BlueZ connects: the operator gives the attempt up.
        m_bluetoothLink.Disconnect();
        logNote(QStringLiteral("COM%1: connecting given up by the operator").arg(m_connectingPort));
    } else if (isPortOpen()) {
        closeChannel(QString::fromLatin1(PORT_CLOSED_NOTE));
        m_linkLost = false;
        logNote(QStringLiteral("COM%1 closed by the operator").arg(m_openedPort));
    } else if ((result = openChannel(false)) == OpenResult::Opened) {
        logPortOpened("");
    } else if (result == OpenResult::Connecting) {
        logNote(QStringLiteral("COM%1: connecting to %2 through BlueZ")
                    .arg(m_connectingPort)
                    .arg(AddressDisplayText(m_connectingAddress)));
    } else {
        // The port stays closed; the log says why, since the button alone cannot.
        const int number = portToUse();
        const QString path = DevicePathForPort(number, m_environment.ports);
        AppendLog(QLatin1String("Cannot open COM") + QString::number(number) + QLatin1String(": ")
                      + PortOpenErrorText(m_channel.OpenError(), path) + QLatin1String("\r\n"),
                  LogKind::Note);
    }
    showPortState();
}

void CRFID_LorixDlg::OnSerialLineDrop()
{
    if (isPortOpen()) {
        closeChannel(QString::fromLatin1(LINK_LOST_NOTE));
        m_linkLost = true;
        logNote(linkLostText());
    }
    showPortState();
}

// The reason is read after Close: the reader thread recorded it before posting the loss.
QString CRFID_LorixDlg::linkLostText() const
{
    return QStringLiteral("COM%1 link lost: %2 (%3)")
        .arg(m_openedPort)
        .arg(m_openedPath, PortLinkErrorText(m_channel.LinkError(), m_openedPath));
}

// Each tick walks the port list first when the picker wants a refill, on m_portScans'
// thread: the walk reads sysfs and /dev and may ask BlueZ for names. The connection is tried
// when the list is back, so that the picker shows the port before it opens; the timer
// stays stopped until then. The list is put in only if it is still wanted then. A port that
// appeared between the walk and the opening is shown after the walk of the next tick.
void CRFID_LorixDlg::AutoConnect()
{
    stopAutoConnectTimer();
    if (m_portScans.Pending() > 0)
        return;   // the scan under way connects when it is back
    if (!portsRefreshWanted()) {
        connectAutomatically();
        return;
    }
    const PortEnvironment ports = m_environment.ports;
    // The job holds copies only; `this` is used by the closure it returns, on this thread.
    m_portScans.Run([this, ports]() -> CWorkQueue::Apply {
        QList<ComPortDevice> found;
        const bool walked = ListPresentPorts(found, ports);
        return [this, found, walked] {
            if (portsRefreshWanted()) {
                QList<ComPortDevice> all = found;
                appendBluetoothPorts(all);
                m_portPicker->FillPorts(m_wantedPort, all, walked);
            }
            // Unless the operator turned the automatic connection off meanwhile.
            if (m_autoStartBox->isChecked())
                connectAutomatically();
        };
    });
}

void CRFID_LorixDlg::connectAutomatically()
{
    storePortToUse();
    // While BlueZ connects, its answer opens the port (and wakes the reader) or says why not.
    if (!m_bluetoothLink.IsConnecting()) {
        OpenResult result = OpenResult::Opened;
        if (!isPortOpen()) {
            result = openChannel(true);
            if (result == OpenResult::Opened)
                logPortOpened(" by the automatic connection");
            m_protocol.setReaderAwake(0);
        }
        if (result == OpenResult::Failed) {
            const int number = portToUse();
            noteNotOpenForAutoConnect(
                number, PortOpenErrorText(m_channel.OpenError(), DevicePathForPort(number, m_environment.ports)));
        } else if (result == OpenResult::Opened) {
            wakeReader();
        }
    }
    showPortState();
    startAutoConnectTimer();
}

void CRFID_LorixDlg::wakeReader()
{
    if (isPortOpen() && m_protocol.readerAwake() == 0) {
        SendCommand(QString::fromLatin1(COMMAND_WAKE_UP));
        SendCommand(QString::fromLatin1(COMMAND_GET_TX_POWER));
    }
}

// Nothing can be written: the wake-up is not logged as if sent. Said once until the port
// opens, not every period.
void CRFID_LorixDlg::noteNotOpenForAutoConnect(int number, const QString &why)
{
    if (m_notSentNoted)
        return;
    m_notSentNoted = true;
    logNote(QStringLiteral("Auto Connect: COM%1 is not open (%2); the wake-up and \"%3\" are not sent until it opens.")
                .arg(number)
                .arg(why, QString::fromLatin1(COMMAND_GET_TX_POWER)));
}

void CRFID_LorixDlg::startAutoConnectTimer()
{
    if (m_autoConnectTimerId == 0)
        m_autoConnectTimerId = startTimer(m_environment.autoConnectPeriodMs);
}

void CRFID_LorixDlg::stopAutoConnectTimer()
{
    if (m_autoConnectTimerId != 0)
        killTimer(m_autoConnectTimerId);
    m_autoConnectTimerId = 0;
}

void CRFID_LorixDlg::OnAutoStartClicked()
{
    WriteConfig(m_settings, CONFIG_AUTO_START, m_autoStartBox->isChecked() ? 1 : 0);
    stopAutoConnectTimer();
    if (m_autoStartBox->isChecked())
        startAutoConnectTimer();
}

void CRFID_LorixDlg::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_autoConnectTimerId && m_autoConnectTimerId != 0) {
        AutoConnect();
        return;
    }
    QDialog::timerEvent(event);
}

void CRFID_LorixDlg::OnSend()
{
    m_commandBox->AddToHistory(m_commandBox->currentText());
    m_commandBox->SaveHistory();
    DoDataExchange(true);
    SendCommand(commandText);
}

int CRFID_LorixDlg::SendCommand(const QString &command)
{
    lastCommand = command;
    AppendLog(command + QStringLiteral("\r\n"), LogKind::Sent);
    lastCommand = ReplaceTypedEscapes(lastCommand);

    // Sent whole or not at all: a command that would overflow the channel's transmit buffer
    // with its CR LF, or that holds a character without an 8-bit form, is refused before
    // anything is written.
    const CommandLine line = PrepareCommandLine(lastCommand, TX_BUFFER_SIZE);
    if (line.status != CommandLine::Ready) {
        AppendLog(CommandRefusalText(line, TX_BUFFER_SIZE), LogKind::Note);
        return 0;
    }
    if (!isPortOpen())
        return 0;
    const int written = m_channel.Send(line.bytes.constData(), int(line.bytes.size()));
    if (written > 0)
        m_protocol.CommandSent(lastCommand);   // its echo may come after later commands
    if (m_channel.TxStallBegan())
        AppendLog(QStringLiteral("Not sent: the reader is not reading what was sent before; "
                                 "commands are not sent until it reads again.\r\n"),
                  LogKind::Note);
    return written;
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

namespace {

// The window's own WM_SERIAL_RXDATA, posted to take the next slice of a backlog. Like the
// reader thread's it carries no data; only its class tells the two apart.
class CRxSliceEvent final : public QEvent
{
public:
    CRxSliceEvent() : QEvent(WM_SERIAL_RXDATA) {}
};

} // namespace

void CRFID_LorixDlg::OnSerialData()
{
    // At most one slice; what stays in the ring waits for our own event, posted after the
    // slice so that it queues behind the paint, input and timer work that came meanwhile.
    // Bytes leave the ring in order and go to the protocol in that order, which also keeps
    // them in order across a nested event loop.
    const QByteArray bytes = m_channel.TakePending(RX_SLICE_BYTES);
    if (bytes.isEmpty())
        return;
    m_rxBytesTaken += bytes.size();
    m_protocol.OnSerialData(bytes);
    if (m_channel.PendingBytes() > 0 && !m_rxSliceQueued) {
        m_rxSliceQueued = true;
        QCoreApplication::postEvent(this, new CRxSliceEvent);
    }
}

void CRFID_LorixDlg::OnTxPowerReleased()
{
    m_protocol.control().OnTxPowerReleased();
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
    const QSize room = available.size() - frame;
    if (width() <= room.width() && height() <= room.height())
        return;
    resize(size().boundedTo(room));
    QRect placed = frameGeometry();
    placed.moveLeft(std::clamp(placed.left(), available.left(), available.right() + 1 - placed.width()));
    placed.moveTop(std::clamp(placed.top(), available.top(), available.bottom() + 1 - placed.height()));
    move(placed.topLeft());
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
    if (type == WM_SERIAL_RXDATA) {
        // While our own event is queued, the reader thread's posts add nothing: ours takes the
        // next slice, and so a backlog goes one slice per pass of the event loop, however many
        // posts wait.
        const bool ours = dynamic_cast<CRxSliceEvent *>(event) != nullptr;
        if (ours)
            m_rxSliceQueued = false;
        if (ours || !m_rxSliceQueued)
            OnSerialData();
        return true;
    }
    if (type == WM_SERIAL_LINEDROP) {
        OnSerialLineDrop();
        return true;
    }
    if (type == CBluetoothListEvent::eventType()) {
        // The listing thread only posts the text; it is put in place here, on this thread.
        m_boundListText = static_cast<CBluetoothListEvent *>(event)->text();
        m_boundListArrived = true;
        showDeviceList();
        return true;
    }
    if (type == CBluetoothSerialEvent::eventType()) {
        OnSerialDevices(*static_cast<CBluetoothSerialEvent *>(event));
        return true;
    }
    if (type == CBluezLinkEvent::eventType()) {
        OnBluetoothLink(*static_cast<CBluezLinkEvent *>(event));
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
            m_portPicker->setFocus(Qt::TabFocusReason);
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

void CRFID_LorixDlg::SetCommandText(const QString &text)
{
    m_commandBox->setEditText(text);
}

bool CRFID_LorixDlg::IsMultiModeChecked() const
{
    return m_multiModeRadio->isChecked();
}

void CRFID_LorixDlg::SetTxPower(int position)
{
    m_txPowerSlider->setValue(position);
}

int CRFID_LorixDlg::TxPower() const
{
    return m_txPowerSlider->value();
}

// The key emulator types on its own thread into the sink the environment makes there. Its
// modes follow the two check boxes (toggled: every change, the operator's or the settings');
// it never types while a window of the tool is active: checked when a tag is queued, and at
// each item boundary through the blocked flag.
void CRFID_LorixDlg::wireKeyEmulator()
{
    connect(m_keyEmulatorBox, &QCheckBox::toggled, this, [this](bool on) { m_keyEmulator->SetTypingOn(on); });
    connect(m_asciiBox, &QCheckBox::toggled, this, [this](bool ascii) { m_keyEmulator->SetAsciiMode(ascii); });
    m_keyEmulator->SetSinkSetup(keySinkSetup(m_settings.ReadString(
        QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_PORTAL_RESTORE_TOKEN))));
    m_keyEmulator->SetSetAsideNotifier([this] {
        QMetaObject::invokeMethod(this, &CRFID_LorixDlg::OnKeyEmulatorReports, Qt::QueuedConnection);
    });
    m_keyEmulator->SetTypingOn(m_keyEmulatorBox->isChecked());
    m_keyEmulator->SetAsciiMode(m_asciiBox->isChecked());
    auto updateBlocked = [this] { m_keyEmulator->SetTypingBlocked(IsOwnWindowActive()); };
    m_activeWindowWatch = std::make_unique<CActiveWindowWatch>(updateBlocked);
    qApp->installEventFilter(m_activeWindowWatch.get());
    updateBlocked();
}

// What the typing thread set aside or has to say about its sink. The sink's choice is noted
// once per choice; a sink that can no longer type unticks the box, and says so, so that the
// next tick asks the desktop again.
void CRFID_LorixDlg::OnKeyEmulatorReports()
{
    logUntyped(m_keyEmulator->TakeSetAside(), QString::fromLatin1(TYPING_SET_ASIDE_NOTE));
    bool failed = false;
    for (const CKeyEmulator::SinkReport &report : m_keyEmulator->TakeSinkReports()) {
        if (!report.failed) {
            logNote(report.note);
            continue;
        }
        logNote(QString::fromLatin1(SINK_FAILED_NOTE).arg(report.note));
        logUntyped(report.untyped, QString::fromLatin1(SINK_FAILED_UNTYPED_NOTE));
        failed = true;
    }
    if (failed)
        m_keyEmulatorBox->setChecked(false);
}

void CRFID_LorixDlg::storePortalRestoreToken(const QString &token)
{
    m_settings.WriteString(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_PORTAL_RESTORE_TOKEN), token);
    m_keyEmulator->SetSinkSetup(keySinkSetup(token));
}

// The typing thread hands a new restore token over to this thread, which stores it.
KeySinkSetup CRFID_LorixDlg::keySinkSetup(const QString &restoreToken)
{
    KeySinkSetup setup;
    setup.portalRestoreToken = restoreToken;
    setup.portalTokenChanged = [this](const QString &token) {
        QMetaObject::invokeMethod(this, [this, token] { storePortalRestoreToken(token); }, Qt::QueuedConnection);
    };
    return setup;
}

// Items the emulator did not type are shown in the received colour, after a note of the tool's own.
void CRFID_LorixDlg::logUntyped(const CKeyEmulator::Items &items, const QString &note)
{
    if (items.empty())
        return;
    QString lines;
    for (const CKeyEmulator::Item &item : items)
        lines += item.line + QStringLiteral("\r\n");
    AppendLog(note, LogKind::Note);
    AppendLog(lines, LogKind::Received);
}

bool CRFID_LorixDlg::IsOwnWindowActive() const
{
    return QApplication::activeWindow() != nullptr;
}
