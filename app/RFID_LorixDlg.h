#pragma once

#include "app/CatalogueController.h"
#include "app/DialogHeader.h"
#include "app/HistoryCombo.h"
#include "app/LogEntries.h"
#include "app/MainDialogLayout.h"
#include "app/MainWindowEnvironment.h"
#include "app/TagMonitorEntry.h"
#include "controls/propgrid/PropGrid.h"
#include "controls/tree/ExtTree.h"
#include "discovery/widgets/ComPortCombo.h"
#include "engine/ReaderEngine.h"

#include <QDialog>
#include <QIcon>
#include <QString>

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
    // What the window reaches outside itself; tests replace parts of it.
    using Environment = MainWindowEnvironment;

    explicit CRFID_LorixDlg(CSettingsStore &settings, QWidget *parent = nullptr);
    CRFID_LorixDlg(CSettingsStore &settings, const Environment &environment, QWidget *parent = nullptr);
    ~CRFID_LorixDlg() override;

    // The control with a template id (1000..1020, 1, 2), the property tree (100); null else.
    QWidget *control(int id) const;
    // The parent of every control and the banner (the designed client area), and the scroll
    // area that fills the window with it.
    QWidget *client() const;
    QScrollArea *scroller() const;
    // The controls left of the log, which scroll on their own where the window is low.
    QScrollArea *leftColumn() const { return m_layout.leftColumn(); }

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
    CTagMonitorDlg *tagMonitorWindow() const { return m_monitorEntry.monitorWindow(); }

    // Handlers bound to the controls (public so that tests can drive them like the buttons).
    void OnOpenPort();
    void OnClear();
    void OnSerialData() { m_engine.OnSerialData(); }
    void OnSerialLineDrop() { m_engine.OnSerialLineDrop(); }
    void AutoConnect() { m_engine.AutoConnect(); }
    void OnTagMonitor() { m_monitorEntry.OnTagMonitor(); }   // context menu "Tag Monitor...", Ctrl+T

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
    bool OnInitDialog();
    void createControls();
    void connectControls();
    void connectEngine();
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
    void OnTxPowerReleased();
    bool handleNotify(CNotifyEvent &notify);

    // The catalogue half, thin calls into m_catalogueHalf: load it into the tree (step 7),
    // create the property panel below the tree (step 8: positions m_propertyTree and shows
    // it), react to the tree's selection and the panel's edits, and save the edited catalogue.
    void LoadCatalogue();
    void CreatePropertyPanel();
    void OnCommandSelected(CNotifyEvent &notify);
    void OnParameterChanged(CNotifyEvent &notify);
    void OnSaveData();   // "Save Data (xml)", 1008
    void OnSaveAs();     // "Save As...", 1009 (hidden)

private: // members in the designed order
    QIcon m_icon;
    QString m_captionBase;                // the version caption; the port's state follows it
    CPropGrid *m_propertyTree = nullptr;  // child 100, created hidden by the constructor
    CDialogHeader *m_header = nullptr;
    CExtTree *m_catalogueTree = nullptr;  // 1001
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
    // The scroll area, the client and the controls from the template, kept in shape.
    CMainDialogLayout m_layout{*this};
    bool m_fittedToScreen = false;
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
    // The log's context-menu entries and the saver of Save Log As (made with the log).
    std::unique_ptr<CLogEntries> m_logEntries;
    // The catalogue, its tree and panel, and its saves. Its saves' queue goes before the
    // engine when the window goes, dropping the outcomes not applied.
    CCatalogueController m_catalogueHalf{*this, m_environment};
    // The tag monitor's entry and window; goes before the engine, whose monitor it shows.
    CTagMonitorEntry m_monitorEntry{*this, m_engine.tagMonitor(), m_settings};
    // The Bluetooth device list: the text of the bound ports, as its thread found it.
    QString m_boundListText;
    bool m_boundListArrived = false;
    CBluetoothListThread m_bluetoothList;   // last: joined before anything else goes
};
