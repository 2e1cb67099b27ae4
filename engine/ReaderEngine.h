#pragma once

#include "discovery/BluetoothList.h"
#include "discovery/BluetoothSerialPorts.h"
#include "discovery/BluezSerialLink.h"
#include "link/SerialChannel.h"
#include "monitor/TagMonitor.h"
#include "platform/ComPorts.h"
#include "platform/WorkQueue.h"
#include "protocol/ReaderView.h"
#include "protocol/ResponseDispatcher.h"
#include "wedge/KeyEmulator.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

// Automatic connection: the timer's designed id and period.
inline constexpr int AUTOCONNECT_TIMER = 1000;
inline constexpr int AUTOCONNECT_PERIOD_MS = 5000;

// Received bytes handed to the protocol per WM_SERIAL_RXDATA: a backlog in the ring is worked
// off one slice per pass of the event loop, so that the front end's painting, input and
// timers are served between slices. A slice of short tag lines, the slowest to take in,
// costs a few milliseconds.
inline constexpr int32_t RX_SLICE_BYTES = 16 * 1024;

// Line settings of the reader's port: 115200 baud, 8 data bits, one stop bit, no parity.
inline constexpr uint32_t READER_BAUD_RATE = 115200;
inline constexpr uint8_t READER_BYTE_SIZE = 8;
inline constexpr uint8_t READER_STOP_BITS = 0;
inline constexpr uint8_t READER_PARITY = 0;

// What the engine asks of the front end that drives it. Called on the engine's thread.
class IReaderFrontEnd
{
public:
    virtual ~IReaderFrontEnd() = default;
    // The port to open now (at "open", and at each tick of the automatic connection); the
    // front end may keep it as the port it stores. 0: none.
    virtual int PortToUse() = 0;
    // True while one of the front end's own windows is active: keys typed now would land in
    // the tool itself. Tags are then logged, not typed.
    virtual bool IsOwnWindowActive() const { return false; }
    // Whether the automatic connection's port walk is wanted now (a picker that stands in
    // for an absent port); when it is, the walk's list arrives through portsListed.
    virtual bool PortListWanted() const { return false; }
};

// The reader: one serial channel (a port or a Bluetooth link's socket), the protocol that
// reads its lines and answers the trigger, the key emulator that types new tags, the tag
// monitor that counts them, the BlueZ serial link, and the automatic connection that
// reopens the port and wakes the reader. A window, a command line or a service drives it
// through the calls below and learns what happened from its signals; it holds no widget and
// no colour.
//
// Threads: everything here belongs to the thread that made the engine (the front end's).
// The channel's reader thread, the key emulator's typing thread, BlueZ's connection thread
// and the port walks' work queue reach it only through posted events and queued calls, so
// no call waits on the port, the disk or the bus. Signals are emitted on the engine's thread,
// inside the call or event that caused them; a slot may call back into the engine.
class CReaderEngine : public QObject, private IReaderView
{
    Q_OBJECT

public:
    struct Environment
    {
        // Where BlueZ is asked for the paired serial devices and their links.
        BluetoothListEnvironment bluetooth;
        // Where port numbers are looked up (device paths, the port walks).
        PortEnvironment ports = PortEnvironment::system();
        // Period of the automatic connection.
        int autoConnectPeriodMs = AUTOCONNECT_PERIOD_MS;
        // Makes the sink the key emulator types into, on its typing thread, each time typing
        // is switched on. Empty: the emulator's own default sink.
        CKeySinkFactory keySink = OpenSessionKeySink;
        // The desktop portal's restore token the first sink is made with.
        QString portalRestoreToken;
        // Said (as an error) when the key emulator's sink can no longer type: %1 is why, %2
        // how many tags were not typed ("3 tags"). In the words of the front end's own controls.
        QString typingStoppedNote = QStringLiteral(
            "Key Emulator Mode stopped: %1; %2 not typed. The box is unticked; tick it to try again.");
        // The COM numbers of Bluetooth serial devices (kept by the front end, or in memory).
        BluetoothPortBook bluetoothPortBook;
        // Ask BlueZ for the paired serial devices at start.
        bool queryBluetooth = true;
        // Count every tag line in the tag monitor; off for a front end that only streams
        // the lines and never shows the table.
        bool countTags = true;
    };

    // Who chose a command: the operator; the engine's answer to the reader (the trigger's
    // inventory or scan, the power slider's "txp"), which also goes into the command box and
    // its history; the engine itself (the wake-up), which goes nowhere else.
    enum class Origin { Operator, Reader, Engine };
    enum class State { Closed, Connecting, Open, Lost };
    Q_ENUM(State)

    explicit CReaderEngine(IReaderFrontEnd &frontEnd, QObject *parent = nullptr);
    CReaderEngine(IReaderFrontEnd &frontEnd, const Environment &environment, QObject *parent = nullptr);
    ~CReaderEngine() override;

    // Opens PortToUse(): at once for a port with a device node (true when it opened), or
    // through BlueZ for a paired Bluetooth device (connectionChanged says how it ended).
    // A press while BlueZ connects gives the attempt up. Every outcome is logged.
    void OpenPort();
    void ClosePort();
    // "Open Port" as a toggle: closes an open port, gives a connection up, opens otherwise.
    void TogglePort();
    // Sends one command with CR LF, whole or not at all; the count written, 0 when it was not
    // sent (logged as an error with the reason, and commandNotSent).
    int SendCommand(const QString &command, Origin origin = Origin::Operator);
    // Sends "txp,<dBm>" (the slider's release).
    void SendTxPower(int dbm);

    void SetAutoConnect(bool on);
    bool AutoConnectOn() const { return m_autoConnectTimerId != 0 || m_autoConnectWanted; }
    void AutoConnect();   // one tick of the automatic connection (the timer's)
    void SetMultiMode(bool multi) { m_multiMode = multi; }
    bool MultiMode() const { return m_multiMode; }
    void SetAsciiMode(bool ascii) { m_keyEmulator->SetAsciiMode(ascii); }
    void SetKeyEmulator(bool on);
    bool KeyEmulatorOn() const { return m_keyEmulator->IsTypingOn(); }
    // The operator switched typing off: what is still queued is dropped and logged.
    void DropQueuedTyping();
    // Whether the keys would land in the tool itself; the front end calls it when its
    // windows' activation changes.
    void UpdateTypingBlocked();

    // The receive path (the channel's posted events end here; public for benchmarks).
    void OnSerialData();
    void OnSerialLineDrop();

    // State.
    bool IsOpen() const { return m_channel.IsOpen(); }
    bool IsConnecting() const { return m_bluetoothLink.IsConnecting(); }
    State state() const;
    int OpenedPort() const { return m_openedPort; }
    const QString &OpenedPath() const { return m_openedPath; }
    int ConnectingPort() const { return m_connectingPort; }
    // The connection as a short text ("COM5 open: /dev/ttyUSB0", "closed", a lost link's reason).
    QString StateText() const;
    QString LastCommand() const override { return lastCommand; }
    int TxPower() const override { return m_txPower; }
    bool TxPowerKnown() const { return m_txPowerKnown; }
    int readerAwake() const { return m_protocol.readerAwake(); }
    const CTagList &tagList() const { return m_protocol.tagList(); }
    int32_t pendingRxBytes() const { return m_channel.PendingBytes(); }
    qint64 receivedRxBytes() const { return m_rxBytesTaken; }
    CTagMonitor &tagMonitor() { return m_tagMonitor; }
    CResponseDispatcher &protocol() { return m_protocol; }
    CKeyEmulator &keyEmulator() { return *m_keyEmulator; }
    const Environment &environment() const { return m_environment; }

    // The ports a picker offers: the present ports (walked now, on the caller's thread) and
    // the paired Bluetooth serial devices as BlueZ last named them. False when the walk
    // failed.
    bool ListPorts(QList<ComPortDevice> &ports) const;
    // Adds the Bluetooth serial devices whose number no port of the list has.
    void AppendBluetoothPorts(QList<ComPortDevice> &ports) const;
    struct BluetoothPort
    {
        int number = 0;
        BluetoothDeviceRecord device;
    };
    const QList<BluetoothPort> &BluetoothPorts() const { return m_bluetoothPorts; }
    // Asks BlueZ again for the paired serial devices (bluetoothPortsChanged follows).
    void QueryBluetoothPorts();
    // Puts the reader's own log line into the log stream (front ends' notes).
    void Note(const QString &text, LogKind kind = LogKind::Note);

signals:
    // Text for the log: sent, received, the engine's notes and errors. Notes and errors are
    // whole lines ending in CR LF; sent and received text is as it went or came.
    void logged(const QString &text, LogKind kind);
    // A tag line (a new one or a repeat), with whether it came during a scan.
    void tagRead(const QString &line, bool scan);
    // Every received line as it is dispatched, with its CResponseDispatcher::LineClass,
    // before the engine acts on it.
    void lineReceived(int lineClass, const QString &line);
    // A received line over CResponseDispatcher::MAX_LINE_CHARS, never dispatched: its head
    // (that many characters) and its whole length.
    void longLineReceived(const QString &head, qint64 chars);
    void connectionChanged(State state, const QString &reason);
    void txPowerReported(int dbm);
    void commandNotSent(const QString &command, const QString &reason);
    // A command of Origin::Reader chosen; emitted before it is sent.
    void commandChosen(const QString &command);
    // A command went out (after escape replacement), with its origin.
    void commandSent(const QString &command, Origin origin);
    // The key emulator's sink can no longer type: typing is off now.
    void keyEmulatorFailed();
    void portalRestoreTokenChanged(const QString &token);
    void bluetoothPortsChanged();
    // BlueZ's answer to a query of the paired serial devices came, or it could not be asked.
    void bluetoothQueryFinished(bool answered);
    // The automatic connection's port walk, while the front end wanted it.
    void portsListed(const QList<ComPortDevice> &ports, bool walked);

protected:
    bool event(QEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private: // IReaderView, for the protocol
    void AppendLog(const QString &text, LogKind kind) override { emit logged(text, kind); }
    void SetCommandText(const QString &text) override { m_triggerCommand = text; }
    void OnSend() override;
    bool IsMultiModeChecked() const override { return m_multiMode; }
    void SetTxPower(int position) override;
    bool IsOwnWindowActive() const override { return m_frontEnd.IsOwnWindowActive(); }

private:
    enum class OpenResult { Opened, Connecting, Failed };
    OpenResult openChannel(int number, bool automatic);
    void connectAutomatically();
    void closeChannel(const QString &note);
    void wakeReader();
    void noteNotOpenForAutoConnect(int number, const QString &why);
    void logPortOpened(const char *how);
    void logError(const QString &text) { emit logged(text + QStringLiteral("\r\n"), LogKind::Error); }
    void logNote(const QString &text) { emit logged(text + QStringLiteral("\r\n"), LogKind::Note); }
    void notSent(const QString &command, const QString &reason);
    void changed(const QString &reason = QString());
    QString linkLostText() const;
    void OnSerialDevices(const CBluetoothSerialEvent &answer);
    void OnBluetoothLink(CBluezLinkEvent &answer);
    void OnKeyEmulatorReports();
    void logUntyped(const CKeyEmulator::Items &items, const QString &note);
    KeySinkSetup keySinkSetup(const QString &restoreToken);
    void startAutoConnectTimer();
    void stopAutoConnectTimer();

    IReaderFrontEnd &m_frontEnd;
    Environment m_environment;
    // Types tags on its own thread; first, since the protocol below holds it as its typer.
    std::unique_ptr<CKeyEmulator> m_keyEmulator;
    // Protocol state: readerAwake, tagList, scanMode and rxRemainder live in here.
    CResponseDispatcher m_protocol;
    CSerialChannel m_channel;
    CTagMonitor m_tagMonitor;             // fed by m_protocol with every tag line
    QString lastCommand;                  // last command sent, after escape replacement
    QString m_triggerCommand;             // the command the trigger chose, until it is sent
    bool m_multiMode = false;
    int m_txPower = 0;
    bool m_txPowerKnown = false;
    int m_autoConnectTimerId = 0;         // Qt's id of AUTOCONNECT_TIMER; 0 when stopped
    bool m_autoConnectWanted = false;     // on, while a walk holds the timer stopped
    // The connection as the log tells it: the port and device last opened, whether it was
    // ever open, whether its link was lost (rather than closed), and whether the automatic
    // connection has said that its commands are not sent while the port is closed.
    int m_openedPort = 0;
    QString m_openedPath;
    bool m_everOpened = false;
    bool m_linkLost = false;
    bool m_notSentNoted = false;
    bool m_rxSliceQueued = false;         // our own WM_SERIAL_RXDATA for the next slice is queued
    qint64 m_rxBytesTaken = 0;            // bytes OnSerialData took from the ring, all told
    // Bluetooth serial ports reached through BlueZ's profile interface: the devices with their
    // numbers as the last query found them, and the connection under way.
    QList<BluetoothPort> m_bluetoothPorts;
    int m_connectingPort = 0;
    BluetoothAddress m_connectingAddress{};
    bool m_connectingByAuto = false;
    QString m_bluezSaid;                  // BlueZ's own text for the last failed connection
    // The port walks of the automatic connection, on a thread of their own.
    CWorkQueue m_portScans;
    // Their threads post to this engine: joined before it goes.
    CBluezSerialLink m_bluetoothLink;
    CBluetoothSerialQuery m_serialQuery;
};
