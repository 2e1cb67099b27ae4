#pragma once

#include "app/DialogHeader.h"
#include "app/HistoryCombo.h"
#include "app/LogSaver.h"
#include "xml/XML.h"
#include "controls/propgrid/PropGrid.h"
#include "controls/tree/ExtTree.h"
#include "controls/tree/TreeImageList.h"
#include "discovery/BluetoothList.h"
#include "discovery/BluetoothSerialPorts.h"
#include "discovery/BluezSerialLink.h"
#include "discovery/widgets/ComPortCombo.h"
#include "link/SerialChannel.h"
#include "monitor/TagMonitor.h"
#include "platform/WorkQueue.h"
#include "protocol/ReaderView.h"
#include "protocol/ResponseDispatcher.h"
#include "res/DialogTemplates.h"
#include "wedge/KeyEmulator.h"

#include <QDialog>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class CLogView;
class CNotifyEvent;
class CSettingsStore;
class CTagMonitorDlg;
class QCheckBox;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSlider;

// Automatic connection: the timer's designed id and period.
inline constexpr int AUTOCONNECT_TIMER = 1000;
inline constexpr int AUTOCONNECT_PERIOD_MS = 5000;

// Received bytes handed to the protocol per WM_SERIAL_RXDATA: a backlog in the ring is worked
// off one slice per pass of the event loop, so painting, input and timers are served between
// slices. A slice of short tag lines, the slowest to take in, costs a few milliseconds.
inline constexpr int32_t RX_SLICE_BYTES = 16 * 1024;

// Line settings of the reader's port: 115200 baud, 8 data bits, one stop bit, no parity.
inline constexpr uint32_t READER_BAUD_RATE = 115200;
inline constexpr uint8_t READER_BYTE_SIZE = 8;
inline constexpr uint8_t READER_STOP_BITS = 0;
inline constexpr uint8_t READER_PARITY = 0;

// The main window: port, command box, log, reader settings, catalogue tree and property
// panel, banner. It owns the serial channel, the key emulator and every piece of protocol
// state, and routes all events: it is the protocol's reader view, and wires the key emulator
// in as the protocol's tag typer. Everything here runs on the user-interface thread; the
// channel's reader thread, the key emulator's typing thread, the Bluetooth listing thread and
// the threads that write the catalogue's saves and walk the port list reach it only through
// posted events.
class CRFID_LorixDlg : public QDialog, public IReaderView
{
    Q_OBJECT

public:
    // What the window reaches outside itself; tests replace parts of it. The process-wide
    // hooks among them (the catalogue library's warning and save-file functions) are
    // installed by the window as it starts and removed as it goes, unless a window made
    // later has installed its own meanwhile.
    struct Environment
    {
        // Where the Bluetooth device list asks BlueZ.
        BluetoothListEnvironment bluetooth;
        // Where port numbers are looked up (the picker and the device paths).
        PortEnvironment ports = PortEnvironment::system();
        // Period of AUTOCONNECT_TIMER.
        int autoConnectPeriodMs = AUTOCONNECT_PERIOD_MS;
        // Makes the sink the key emulator types into, on its typing thread, each time "Key
        // Emulator Mode" is ticked: the session's, with the portal's restore token from the
        // settings. Empty: the sink installed with SetKeySink, item by item.
        CKeySinkFactory keySink = OpenSessionKeySink;
        // The catalogue file to read; "": CatalogueFilePath().
        QString cataloguePath;
        // The parser's and writer's warnings, and the question for the file to save to.
        // Empty: a message box and the save-file dialog over the window.
        CXMLWarningFunction xmlWarning;
        CXMLSaveFileFunction xmlSaveFile;
        // Writes a saved catalogue's bytes to the chosen file, on the thread that writes
        // saves; "" when written, otherwise why not. Empty: WriteFileAtomically.
        std::function<QString(const QString &path, const QByteArray &bytes)> catalogueWriter;
        // Name the rfcomm ports in the picker after their paired device (asks BlueZ).
        bool nameBluetoothPorts = true;
        // The question for the file to save the log to, given the proposed one and the file
        // types (";;"-separated), with the type chosen put into `chosenFilter`; "" cancels.
        // Empty: the save-file dialog over the window.
        std::function<QString(const QString &proposedPath, const QString &filters, QString &chosenFilter)> logSaveFile;
    };

    explicit CRFID_LorixDlg(CSettingsStore &settings, QWidget *parent = nullptr);
    CRFID_LorixDlg(CSettingsStore &settings, const Environment &environment, QWidget *parent = nullptr);
    ~CRFID_LorixDlg() override;

    // The control with a template id (1000..1020, 1, 2), the property tree (100); null else.
    QWidget *control(int id) const;
    // The parent of every control and the banner (the designed client area), and the scroll
    // area that fills the window with it.
    QWidget *client() const;
    QScrollArea *scroller() const;

    // Operations used by the protocol and the catalogue.
    // Logs the command in red and writes it with CR LF; the count written, 0 when the port
    // is closed or the command was refused (too long for txBuffer, or not representable).
    int SendCommand(const QString &command);
    void OnSend() override;
    void AppendLog(const QString &text, LogKind kind) override;
    QString LastCommand() const override { return lastCommand; }

    // Exchanges commandText and deviceListText with their controls: save = true reads the
    // controls into the members, false pushes the members into the controls.
    void DoDataExchange(bool save);

    // State for tests and tools.
    int readerAwake() const { return m_protocol.readerAwake(); }
    const CTagList &tagList() const { return m_protocol.tagList(); }
    bool isPortOpen() const { return m_channel.IsOpen(); }
    // Received bytes still waiting in the ring for OnSerialData, and all it handed on so far.
    int32_t pendingRxBytes() const { return m_channel.PendingBytes(); }
    qint64 receivedRxBytes() const { return m_rxBytesTaken; }
    int PortNumber() const;
    // Catalogue saves handed to the writing thread whose outcome is not shown yet.
    int catalogueSavesPending() const { return m_catalogueSaves.Pending(); }
    // Selects COM<comNumber> and opens it, as "Open Port" does, for this run only: the stored
    // port stays as it is until the operator picks a port in the picker.
    void OpenPortAtStart(int comNumber);
    // The Bluetooth listing thread (tests wait for it to end).
    CBluetoothListThread &bluetoothListThread() { return m_bluetoothList; }
    // Every tag line counted, and its window (null until first opened).
    CTagMonitor &tagMonitor() { return m_tagMonitor; }
    CTagMonitorDlg *tagMonitorWindow() const { return m_monitorWindow; }

    // Handlers bound to the controls (public so that tests can drive them like the buttons).
    void OnOpenPort();
    void OnClear();
    void OnSerialData();
    void OnSerialLineDrop();
    void AutoConnect();
    void OnTagMonitor();   // context menu "Tag Monitor...", Ctrl+T

protected:
    bool event(QEvent *event) override;
    // Closing waits, without blocking, for the catalogue saves being written: the window
    // closes once the last outcome is shown.
    void done(int result) override;
    void timerEvent(QTimerEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private: // IReaderView
    void SetCommandText(const QString &text) override;
    bool IsMultiModeChecked() const override;
    void SetTxPower(int position) override;
    int TxPower() const override;
    bool IsOwnWindowActive() const override;

private: // set-up and handlers
    bool OnInitDialog();
    void createControls();
    void connectControls();
    void OnSize();
    void keepClearOfGroupFrames(const DialogBaseUnits &units);
    void fitToScreen();
    void showPortState();
    QPlainTextEdit *deviceListControl() const;
    int portToUse() const;
    void storePortToUse();
    bool portsRefreshWanted() const;
    void refreshPortsWhileClosed();
    enum class OpenResult { Opened, Connecting, Failed };
    OpenResult openChannel(bool automatic);
    void connectAutomatically();
    void closeChannel(const QString &note);
    void wakeReader();
    void noteNotOpenForAutoConnect(int number, const QString &why);
    // The Bluetooth serial ports: their numbers in the settings, the picker's entries, the
    // answers of BlueZ.
    BluetoothPortBook bluetoothPortBook();
    void appendBluetoothPorts(QList<ComPortDevice> &ports) const;
    void OnSerialDevices(const CBluetoothSerialEvent &answer);
    void OnBluetoothLink(CBluezLinkEvent &answer);
    void showDeviceList();
    void logNote(const QString &text);
    void logPortOpened(const char *how);
    void showPortTip();
    void wireKeyEmulator();
    void installCatalogueHooks();
    void removeCatalogueHooks();
    QString linkLostText() const;
    QWidget *createOwnControl(const DialogControlTemplate &item, QWidget *parent);
    void logUntyped(const CKeyEmulator::Items &items, const QString &note);
    void OnKeyEmulatorReports();
    void storePortalRestoreToken(const QString &token);
    KeySinkSetup keySinkSetup(const QString &restoreToken);
    void startAutoConnectTimer();
    void stopAutoConnectTimer();
    void OnAutoStartClicked();
    void OnTxPowerReleased();
    bool handleNotify(CNotifyEvent &notify);

    // The catalogue (its own file): load it into the tree (step 7), create the property
    // panel below the tree (step 8: positions m_propertyTree and shows it), react to the
    // tree's selection and the panel's edits, and save the edited catalogue.
    void LoadCatalogue();
    void CreatePropertyPanel();
    void OnCommandSelected(CNotifyEvent &notify);
    void OnParameterChanged(CNotifyEvent &notify);
    void OnSaveData();   // "Save Data (xml)", 1008
    void OnSaveAs();     // "Save As...", 1009 (hidden)
    void saveCatalogue(const QString &filter);
    void OnCatalogueSaved(const QString &path, const QString &error);

    // The log's context-menu entries (its own file): the time stamps, kept in the settings,
    // and Save Log As, written by m_logSaver and its outcome logged.
    void installLogEntries();
    void OnSaveLog();
    void OnLogSaved(const QString &path, const QString &error);
    // The tag monitor (its own file): the protocol's tag lines counted, the menu entry beside
    // About, the window's geometry kept in the settings.
    QAction *InstallTagMonitor(QAction *aboutEntry);
    void storeTagMonitorGeometry();

private: // members in the designed order
    // Types tags on its own thread; first, since the protocol below holds it as its typer.
    std::unique_ptr<CKeyEmulator> m_keyEmulator;
    // Protocol state: readerAwake, tagList, scanMode and rxRemainder live in here.
    CResponseDispatcher m_protocol;
    CSerialChannel m_channel;
    QString lastCommand;                  // last command sent, after escape replacement
    QList<CXML *> treeItemElements;       // the catalogue element of each tree item (not owned)
    QList<CXML *> propertyRowElements;    // the elements shown in the property panel (not owned)
    QIcon m_icon;
    CPropGrid *m_propertyTree = nullptr;  // child 100, created hidden by the constructor
    CXML m_catalogue;
    CDialogHeader *m_header = nullptr;
    CExtTree *m_catalogueTree = nullptr;  // 1001
    CTreeImageList m_imageList;
    CComPortCombo *m_portPicker = nullptr;  // 1003
    QString commandText;                  // bound to 1013
    QString deviceListText;               // bound to 1000
    CLogView *m_logView = nullptr;        // 1012
    CHistoryCombo *m_commandBox = nullptr;  // 1013

private: // the window's other parts
    CSettingsStore &m_settings;
    Environment m_environment;
    QScrollArea *m_scroller = nullptr;    // fills the window
    QWidget *m_client = nullptr;          // its widget: the designed client area
    bool m_fittedToScreen = false;
    QHash<int, QWidget *> m_controls;     // template id -> control
    QPushButton *m_openButton = nullptr;  // 1004
    QCheckBox *m_keyEmulatorBox = nullptr;  // 1014
    QCheckBox *m_asciiBox = nullptr;        // 1018
    QCheckBox *m_autoStartBox = nullptr;    // 1019
    QRadioButton *m_multiModeRadio = nullptr;   // 1015
    QRadioButton *m_singleModeRadio = nullptr;  // 1016
    QSlider *m_txPowerSlider = nullptr;   // 1017
    int m_autoConnectTimerId = 0;         // Qt's id of AUTOCONNECT_TIMER; 0 when stopped
    // The port last stored or picked by the operator; stands while the picker shows
    // "<None>" because that port is absent (see portToUse).
    int m_wantedPort = 0;
    // The connection as the log and the picker's tip tell it: the port and device last
    // opened, whether it was ever open, whether its link was lost (rather than closed by the
    // operator), and whether the automatic connection has said that its commands are not
    // sent while the port is closed (once per closed period).
    int m_openedPort = 0;
    QString m_openedPath;
    bool m_everOpened = false;
    bool m_linkLost = false;
    bool m_notSentNoted = false;
    bool m_portFromCommandLine = false;   // m_wantedPort came from the command line, not the store
    std::unique_ptr<QObject> m_activeWindowWatch;         // keeps the emulator's blocked flag current
    bool m_rxSliceQueued = false;         // our own WM_SERIAL_RXDATA for the next slice is queued
    qint64 m_rxBytesTaken = 0;            // bytes OnSerialData took from the ring, all told
    CLogSaver m_logSaver;                 // writes saved logs on its own thread
    // Each on a thread of its own: the catalogue's saves, written one after another, and
    // the port list scans of the automatic connection. Their results are applied on this
    // thread; members, so they go first when the window goes, dropping those not applied.
    CWorkQueue m_catalogueSaves;
    CWorkQueue m_portScans;
    bool m_closeWhenSaved = false;        // done() came while saves were being written
    int m_closeResult = 0;                // ... with this result
    CTagMonitor m_tagMonitor;             // fed by m_protocol with every tag line
    CTagMonitorDlg *m_monitorWindow = nullptr;   // child window, made when first opened
    // Bluetooth serial ports reached through BlueZ's profile interface: the devices with their
    // numbers as the last query found them, the connection under way (its port, address and
    // whether the automatic connection asked for it), the list text of the bound ports.
    struct BluetoothPortEntry
    {
        int number = 0;
        BluetoothDeviceRecord device;
    };
    QList<BluetoothPortEntry> m_bluetoothPorts;
    int m_connectingPort = 0;
    BluetoothAddress m_connectingAddress{};
    bool m_connectingByAuto = false;
    QString m_boundListText;
    bool m_boundListArrived = false;
    // Their threads post to this window: joined before it goes.
    CBluezSerialLink m_bluetoothLink;
    CBluetoothSerialQuery m_serialQuery;
    CBluetoothListThread m_bluetoothList;   // last: joined before anything else goes
};
