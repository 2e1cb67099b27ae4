#pragma once

#include "app/DialogHeader.h"
#include "app/HistoryCombo.h"
#include "app/LogSaver.h"
#include "xml/XML.h"
#include "controls/propgrid/PropGrid.h"
#include "controls/tree/ExtTree.h"
#include "controls/tree/TreeImageList.h"
#include "discovery/BluetoothList.h"
#include "discovery/widgets/ComPortCombo.h"
#include "engine/ReaderEngine.h"
#include "platform/WorkQueue.h"
#include "res/DialogTemplates.h"

#include <QDialog>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QString>

#include <functional>
#include <deque>
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

// The main window: port, command box, log, reader settings, catalogue tree and property
// panel, banner. A view of the reader engine (engine/), which owns the port, the protocol,
// the key emulator and the automatic connection: the window wires its controls to the
// engine's calls and the engine's signals to the log, the picker, the slider and the
// command box. Everything here runs on the user-interface thread; the Bluetooth listing
// thread and the thread that writes the catalogue's saves reach it only through posted
// events.
class CRFID_LorixDlg : public QDialog, private IReaderFrontEnd
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
        // settings. Empty: a null sink, which types nothing.
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
        // The same for "Save History as Script..." of the command box.
        std::function<QString(const QString &proposedPath)> historyScriptFile;
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

    // Operations used by the catalogue and the tests.
    // Logs the command in red and writes it with CR LF; the count written, 0 when it was not
    // sent (logged as not sent, with the reason).
    int SendCommand(const QString &command);
    void OnSend();
    // Every piece of the log passes here (the engine's and the window's own).
    virtual void AppendLog(const QString &text, LogKind kind);
    QString LastCommand() const { return m_engine.LastCommand(); }

    // Exchanges commandText and deviceListText with their controls: save = true reads the
    // controls into the members, false pushes the members into the controls.
    void DoDataExchange(bool save);

    // State for tests and tools.
    CReaderEngine &engine() { return m_engine; }
    int readerAwake() const { return m_engine.readerAwake(); }
    const CTagList &tagList() const { return m_engine.tagList(); }
    bool isPortOpen() const { return m_engine.IsOpen(); }
    // Received bytes still waiting in the ring for OnSerialData, and all it handed on so far.
    int32_t pendingRxBytes() const { return m_engine.pendingRxBytes(); }
    qint64 receivedRxBytes() const { return m_engine.receivedRxBytes(); }
    int PortNumber() const;
    // Catalogue saves handed to the writing thread whose outcome is not shown yet.
    // Saves asked for whose file is still being made or written.
    int catalogueSavesPending() const;
    // Selects COM<comNumber> and opens it, as "Open Port" does, for this run only: the stored
    // port stays as it is until the operator picks a port in the picker.
    void OpenPortAtStart(int comNumber);
    // The Bluetooth listing thread (tests wait for it to end).
    CBluetoothListThread &bluetoothListThread() { return m_bluetoothList; }
    // Every tag line counted, and its window (null until first opened).
    CTagMonitor &tagMonitor() { return m_engine.tagMonitor(); }
    CTagMonitorDlg *tagMonitorWindow() const { return m_monitorWindow; }

    // Handlers bound to the controls (public so that tests can drive them like the buttons).
    void OnOpenPort();
    void OnClear();
    void OnSerialData() { m_engine.OnSerialData(); }
    void OnSerialLineDrop() { m_engine.OnSerialLineDrop(); }
    void AutoConnect() { m_engine.AutoConnect(); }
    void OnTagMonitor();   // context menu "Tag Monitor...", Ctrl+T

protected:
    bool event(QEvent *event) override;
    // Closing waits, without blocking, for the catalogue saves being written: the window
    // closes once the last outcome is shown.
    void done(int result) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void moveEvent(QMoveEvent *event) override;

private: // IReaderFrontEnd
    int PortToUse() override;
    bool IsOwnWindowActive() const override;
    bool PortListWanted() const override;

private: // set-up and handlers
    static CReaderEngine::Environment engineEnvironment(CSettingsStore &settings, const Environment &environment);
    bool OnInitDialog();
    void createControls();
    void connectControls();
    void connectEngine();
    void OnSize();
    void keepClearOfGroupFrames(const DialogBaseUnits &units);
    void fitToScreen();
    void showPortState();
    QPlainTextEdit *deviceListControl() const;
    int portToUse() const;
    void storePortToUse();
    void refreshPortsWhileClosed();
    void OnBluetoothPorts();
    void OpenDevicePort(int number);
    void showDeviceList();
    void logNote(const QString &text);
    void showPortTip();
    void showTxPower();
    QWidget *createOwnControl(const DialogControlTemplate &item, QWidget *parent);
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
    void sliceCatalogueSave();
    void OnCatalogueSaved(const QString &path, const QString &error);

    // The log's context-menu entries (its own file): the time stamps, kept in the settings,
    // and Save Log As, written by m_logSaver and its outcome logged.
    void installLogEntries();
    void OnSaveLog();
    void OnLogSaved(const QString &path, const QString &error);
    // The tag monitor (its own file): the menu entry beside About, the window's geometry
    // kept in the settings.
    QAction *InstallTagMonitor(QAction *aboutEntry);
    void storeTagMonitorGeometry();

private: // members in the designed order
    QList<CXML *> treeItemElements;       // the catalogue element of each tree item (not owned)
    QList<CXML *> propertyRowElements;    // the elements shown in the property panel (not owned)
    QIcon m_icon;
    CPropGrid *m_propertyTree = nullptr;  // child 100, created hidden by the constructor
    CXML m_catalogue;
    // The catalogue library's warning and save-file functions for this window's catalogue.
    XMLHooks m_xmlHooks;
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
    // The reader: port, protocol, key emulator, tag monitor, automatic connection.
    CReaderEngine m_engine;
    QScrollArea *m_scroller = nullptr;    // fills the window
    QWidget *m_client = nullptr;          // its widget: the designed client area
    bool m_fittedToScreen = false;
    bool m_frameAwaited = false;          // fitted before the window manager's frame was known
    QHash<int, QWidget *> m_controls;     // template id -> control
    QPushButton *m_openButton = nullptr;  // 1004
    QCheckBox *m_keyEmulatorBox = nullptr;  // 1014
    QCheckBox *m_asciiBox = nullptr;        // 1018
    QCheckBox *m_autoStartBox = nullptr;    // 1019
    QRadioButton *m_multiModeRadio = nullptr;   // 1015
    QRadioButton *m_singleModeRadio = nullptr;  // 1016
    QSlider *m_txPowerSlider = nullptr;   // 1017
    // The port last stored or picked by the operator; stands while the picker shows
    // "<None>" because that port is absent (see portToUse).
    int m_wantedPort = 0;
    bool m_portFromCommandLine = false;   // m_wantedPort came from the command line, not the store
    std::unique_ptr<QObject> m_activeWindowWatch;         // keeps the emulator's blocked flag current
    CLogSaver m_logSaver;                 // writes saved logs on its own thread
    // The catalogue's saves, written one after another on a thread of their own; their
    // outcomes are applied on this thread. A member, so it goes first when the window goes,
    // dropping those not applied.
    CWorkQueue m_catalogueSaves;
    // The saves asked for whose bytes are not made yet, oldest first; the oldest one's are
    // being made by m_catalogueBytes, a slice per pass of the event loop.
    std::deque<QString> m_catalogueSavePaths;
    std::unique_ptr<CXMLFileBytesWriter> m_catalogueBytes;
    bool m_closeWhenSaved = false;        // done() came while saves were being written
    int m_closeResult = 0;                // ... with this result
    CTagMonitorDlg *m_monitorWindow = nullptr;   // child window, made when first opened
    // The Bluetooth device list: the text of the bound ports, as its thread found it.
    QString m_boundListText;
    bool m_boundListArrived = false;
    CBluetoothListThread m_bluetoothList;   // last: joined before anything else goes
};
