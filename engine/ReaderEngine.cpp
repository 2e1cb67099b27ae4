#include "engine/ReaderEngine.h"

#include "discovery/BluezReasons.h"

#include "protocol/CommandLine.h"
#include "protocol/ProtocolConstants.h"

#include <QCoreApplication>
#include <QTimerEvent>

#include <algorithm>
#include <utility>

namespace {

// Notes of the key emulator and the receive path.
constexpr char TYPING_SET_ASIDE_NOTE[] =
    "Key Emulator Mode: the focus moved into this tool, so typing into the tool itself is skipped; not typed:\r\n";
constexpr char TYPING_DROPPED_NOTE[] = "Key Emulator Mode off: not typed:\r\n";
constexpr char SINK_FAILED_UNTYPED_NOTE[] = "Not typed, or not typed whole:\r\n";
constexpr char PORT_CLOSED_NOTE[] = "The port was closed in the middle of a line: that line is not handled or typed.\r\n";
constexpr char LINK_LOST_NOTE[] = "The link was lost in the middle of a line: that line is not handled or typed.\r\n";

// The engine's own WM_SERIAL_RXDATA, posted to take the next slice of a backlog. Like the
// reader thread's it carries no data; only its class tells the two apart.
class CRxSliceEvent final : public QEvent
{
public:
    CRxSliceEvent() : QEvent(WM_SERIAL_RXDATA) {}
};

} // namespace

CReaderEngine::CReaderEngine(IReaderFrontEnd &frontEnd, QObject *parent)
    : CReaderEngine(frontEnd, Environment(), parent)
{
}

CReaderEngine::CReaderEngine(IReaderFrontEnd &frontEnd, const Environment &environment, QObject *parent)
    : QObject(parent)
    , m_frontEnd(frontEnd)
    , m_environment(environment)
    , m_keyEmulator(std::make_unique<CKeyEmulator>(environment.keySink))
    , m_protocol(*this, *m_keyEmulator)
    , m_bluetoothLink(environment.bluetooth.bluez)
{
    m_channel.SetOwnerWindow(this);
    m_protocol.setTagReadObserver([this](const QString &line, int scanMode) {
        const bool scan = scanMode == CReaderControl::Scan;
        if (m_environment.countTags)
            m_tagMonitor.Count(line, scan ? TagKind::BarcodeScan : TagKind::RfidTag);
        emit tagRead(line, scan);
    });
    m_protocol.setDispatchObserver([this](CResponseDispatcher::LineClass lineClass, const QString &line) {
        emit lineReceived(int(lineClass), line);
    });
    m_protocol.setLongLineObserver([this](const QString &head, qint64 chars) { emit longLineReceived(head, chars); });
    // Past its bound the monitor counts new tags together; said once.
    m_tagMonitor.SetBoundHandler([this](int maxTags) { logNote(CTagMonitor::BoundNote(maxTags)); });
    // The typing thread reports through a queued call; a new restore token it hands over
    // from inside its sink factory is passed on to the front end here, on this thread.
    m_keyEmulator->SetSinkSetup(keySinkSetup(m_environment.portalRestoreToken));
    m_keyEmulator->SetSetAsideNotifier([this] {
        QMetaObject::invokeMethod(this, &CReaderEngine::OnKeyEmulatorReports, Qt::QueuedConnection);
    });
    if (m_environment.queryBluetooth)
        QueryBluetoothPorts();
}

// The port stays open until the channel's destructor closes it and joins its reader thread;
// the BlueZ threads are joined first (the last members), the typing thread last.
CReaderEngine::~CReaderEngine() = default;

CReaderEngine::State CReaderEngine::state() const
{
    if (IsConnecting())
        return State::Connecting;
    if (IsOpen())
        return State::Open;
    return m_linkLost ? State::Lost : State::Closed;
}

QString CReaderEngine::StateText() const
{
    if (IsConnecting())
        return QStringLiteral("COM%1 connecting through BlueZ").arg(m_connectingPort);
    if (IsOpen())
        return QStringLiteral("COM%1 open: %2").arg(m_openedPort).arg(m_openedPath);
    if (m_linkLost)
        return linkLostText();
    if (!m_bluezSaid.isEmpty())
        return QStringLiteral("closed; BlueZ said: ") + m_bluezSaid;
    return QStringLiteral("closed");
}

void CReaderEngine::changed(const QString &reason)
{
    emit connectionChanged(state(), reason);
}

// A port with a node opens at once; a Bluetooth serial port without one is connected by
// BlueZ, and its answer comes later (OnBluetoothLink).
CReaderEngine::OpenResult CReaderEngine::openChannel(int number, bool automatic)
{
    const QString path = DevicePathForPort(number, m_environment.ports);
    BluetoothAddress address{};
    m_bluezSaid.clear();
    if (path.isEmpty() && BluetoothPortAddress(number, m_environment.bluetoothPortBook, address)) {
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
    m_txPowerKnown = false;
    return OpenResult::Opened;
}

void CReaderEngine::TogglePort()
{
    if (IsConnecting() || IsOpen())
        ClosePort();
    else
        OpenPort();
}

void CReaderEngine::OpenPort()
{
    if (IsOpen() || IsConnecting())
        return;
    const int number = m_frontEnd.PortToUse();
    const OpenResult result = openChannel(number, false);
    if (result == OpenResult::Opened) {
        logPortOpened("");
    } else if (result == OpenResult::Connecting) {
        logNote(QStringLiteral("COM%1: connecting to %2 through BlueZ")
                    .arg(m_connectingPort)
                    .arg(AddressDisplayText(m_connectingAddress)));
    } else {
        // The port stays closed; the log says why, since the button alone cannot.
        const QString path = DevicePathForPort(number, m_environment.ports);
        const QString why = PortOpenErrorText(m_channel.OpenError(), path);
        logError(QLatin1String("Cannot open COM") + QString::number(number) + QLatin1String(": ") + why);
        changed(why);
        return;
    }
    changed();
}

void CReaderEngine::ClosePort()
{
    if (IsConnecting()) {
        // Pressed again while BlueZ connects: the operator gives the attempt up.
        m_bluetoothLink.Disconnect();
        logNote(QStringLiteral("COM%1: connecting given up by the operator").arg(m_connectingPort));
    } else if (IsOpen()) {
        closeChannel(QString::fromLatin1(PORT_CLOSED_NOTE));
        m_linkLost = false;
        logNote(QStringLiteral("COM%1 closed by the operator").arg(m_openedPort));
    } else {
        return;
    }
    changed();
}

void CReaderEngine::logPortOpened(const char *how)
{
    logNote(QStringLiteral("COM%1 %2%3: %4")
                .arg(m_openedPort)
                .arg(QLatin1String(m_everOpened ? "reopened" : "opened"), QLatin1String(how), m_openedPath));
    m_everOpened = true;
}

void CReaderEngine::closeChannel(const QString &note)
{
    m_channel.Close();
    m_bluetoothLink.Disconnect();   // BlueZ keeps its side of a profile's link until asked
    m_protocol.setReaderAwake(0);
    // The reader thread has ended: the ring holds the last bytes of this connection. Text
    // still unfinished after them is dropped then, never joined to the next connection's.
    m_protocol.DropHeldBackAfter(m_channel.PendingBytes(), note);
}

void CReaderEngine::OnSerialLineDrop()
{
    if (!IsOpen())
        return;
    closeChannel(QString::fromLatin1(LINK_LOST_NOTE));
    m_linkLost = true;
    const QString why = linkLostText();
    logError(why);
    changed(why);
}

// The reason is read after Close: the reader thread recorded it before posting the loss.
QString CReaderEngine::linkLostText() const
{
    return QStringLiteral("COM%1 link lost: %2 (%3)")
        .arg(m_openedPort)
        .arg(m_openedPath, PortLinkErrorText(m_channel.LinkError(), m_openedPath));
}

// A port-map link of the same number wins over the Bluetooth entry, as over a node.
void CReaderEngine::AppendBluetoothPorts(QList<ComPortDevice> &ports) const
{
    for (const BluetoothPort &port : m_bluetoothPorts) {
        const bool taken = std::any_of(ports.cbegin(), ports.cend(),
                                       [&](const ComPortDevice &p) { return p.number == port.number; });
        if (!taken)
            ports.append(BluetoothSerialPort(port.number, port.device));
    }
}

bool CReaderEngine::ListPorts(QList<ComPortDevice> &ports) const
{
    const bool walked = ListPresentPorts(ports, m_environment.ports);
    AppendBluetoothPorts(ports);
    return walked;
}

void CReaderEngine::QueryBluetoothPorts()
{
    m_serialQuery.start(this, m_environment.bluetooth);
}

void CReaderEngine::OnSerialDevices(const CBluetoothSerialEvent &answer)
{
    emit bluetoothQueryFinished(answer.answered());
    if (!answer.answered())
        return;   // BlueZ could not be asked: what was known stands
    QList<BluetoothPort> ports;
    for (const BluetoothDeviceRecord &device : answer.devices()) {
        const int number = BluetoothPortNumber(device.address, m_environment.bluetoothPortBook);
        if (number != 0)
            ports.append({number, device});
    }
    m_bluetoothPorts = ports;
    emit bluetoothPortsChanged();
}

void CReaderEngine::OnBluetoothLink(CBluezLinkEvent &answer)
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
        m_txPowerKnown = false;
        logPortOpened(m_connectingByAuto ? " by the automatic connection" : "");
        changed();
        if (m_connectingByAuto)
            wakeReader();
        return;
    }
    m_bluetoothLink.Disconnect();
    // BlueZ's reason in the operator's words; its own text stays for the state's detail.
    QString why = PortOpenErrorText(m_channel.OpenError(), linkName);
    if (socket < 0) {
        const BluezReason reason = ExplainBluezReason(answer.error());
        why = linkName + QLatin1String(": ") + reason.words;
        m_bluezSaid = reason.raw;
    }
    if (m_connectingByAuto)
        noteNotOpenForAutoConnect(m_connectingPort, why);
    else
        logError(QStringLiteral("Cannot open COM%1: ").arg(m_connectingPort) + why);
    changed(why);
}

// Each tick walks the port list first when the front end wants it, on m_portScans' thread:
// the walk reads sysfs and /dev and may ask BlueZ for names. The connection is tried when
// the list is back, so that a picker shows the port before it opens; the timer stays
// stopped until then. A port that appeared between the walk and the opening is listed by
// the walk of the next tick.
void CReaderEngine::AutoConnect()
{
    stopAutoConnectTimer();
    if (m_portScans.Pending() > 0)
        return;   // the scan under way connects when it is back
    if (!m_frontEnd.PortListWanted()) {
        connectAutomatically();
        return;
    }
    m_autoConnectWanted = true;
    const PortEnvironment ports = m_environment.ports;
    // The job holds copies only; `this` is used by the closure it returns, on this thread.
    m_portScans.Run([this, ports]() -> CWorkQueue::Apply {
        QList<ComPortDevice> found;
        const bool walked = ListPresentPorts(found, ports);
        return [this, found, walked] {
            if (m_frontEnd.PortListWanted()) {
                QList<ComPortDevice> all = found;
                AppendBluetoothPorts(all);
                emit portsListed(all, walked);
            }
            // Unless the automatic connection was turned off meanwhile.
            if (std::exchange(m_autoConnectWanted, false))
                connectAutomatically();
        };
    });
}

void CReaderEngine::connectAutomatically()
{
    const int number = m_frontEnd.PortToUse();
    // While BlueZ connects, its answer opens the port (and wakes the reader) or says why not.
    if (!IsConnecting()) {
        OpenResult result = OpenResult::Opened;
        if (!IsOpen()) {
            result = openChannel(number, true);
            if (result == OpenResult::Opened)
                logPortOpened(" by the automatic connection");
            m_protocol.setReaderAwake(0);
        }
        if (result == OpenResult::Failed) {
            noteNotOpenForAutoConnect(
                number, PortOpenErrorText(m_channel.OpenError(), DevicePathForPort(number, m_environment.ports)));
        } else if (result == OpenResult::Opened) {
            wakeReader();
        }
    }
    changed();
    startAutoConnectTimer();
}

void CReaderEngine::wakeReader()
{
    if (IsOpen() && m_protocol.readerAwake() == 0) {
        SendCommand(QString::fromLatin1(COMMAND_WAKE_UP), Origin::Engine);
        SendCommand(QString::fromLatin1(COMMAND_GET_TX_POWER), Origin::Engine);
    }
}

// Nothing can be written: the wake-up is not logged as if sent. Said once until the port
// opens, not every period; a port that does not open is a failure, said as an error.
void CReaderEngine::noteNotOpenForAutoConnect(int number, const QString &why)
{
    if (m_notSentNoted)
        return;
    m_notSentNoted = true;
    logError(QStringLiteral("Auto Connect: COM%1 is not open (%2); the wake-up and \"%3\" are not sent until it opens.")
                .arg(number)
                .arg(why, QString::fromLatin1(COMMAND_GET_TX_POWER)));
}

void CReaderEngine::SetAutoConnect(bool on)
{
    m_autoConnectWanted = false;
    stopAutoConnectTimer();
    if (on)
        startAutoConnectTimer();
}

void CReaderEngine::startAutoConnectTimer()
{
    if (m_autoConnectTimerId == 0)
        m_autoConnectTimerId = startTimer(m_environment.autoConnectPeriodMs);
}

void CReaderEngine::stopAutoConnectTimer()
{
    if (m_autoConnectTimerId != 0)
        killTimer(m_autoConnectTimerId);
    m_autoConnectTimerId = 0;
}

void CReaderEngine::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_autoConnectTimerId && m_autoConnectTimerId != 0) {
        AutoConnect();
        return;
    }
    QObject::timerEvent(event);
}

// The protocol's send path: the command it chose went into the command box (SetCommandText);
// the front end shows it and keeps it in the history before it is sent.
void CReaderEngine::OnSend()
{
    const QString command = std::exchange(m_triggerCommand, QString());
    emit commandChosen(command);
    SendCommand(command, Origin::Reader);
}

// Sent whole or not at all: a command that would overflow the channel's transmit buffer with
// its CR LF, that holds a character without an 8-bit form, that finds the port closed or a
// reader that does not read, is refused before anything is written, and logged as not sent.
int CReaderEngine::SendCommand(const QString &command, Origin origin)
{
    const QString escaped = ReplaceTypedEscapes(command);
    const CommandLine line = PrepareCommandLine(escaped, TX_BUFFER_SIZE);
    if (line.status != CommandLine::Ready) {
        notSent(command, CommandRefusalText(line, TX_BUFFER_SIZE));
        return 0;
    }
    if (!IsOpen()) {
        notSent(command, IsConnecting() ? QStringLiteral("the port is still connecting")
                                        : QStringLiteral("the port is not open"));
        return 0;
    }
    const int written = m_channel.Send(line.bytes.constData(), int(line.bytes.size()));
    if (written == 0) {
        notSent(command, m_channel.TxStallBegan()
                             ? QStringLiteral("the reader is not reading what was sent before; "
                                              "commands are not sent until it reads again")
                             : QStringLiteral("the reader still does not read"));
        return 0;
    }
    lastCommand = escaped;
    m_protocol.CommandSent(escaped);   // its echo may come after later commands
    emit logged(command + QStringLiteral("\r\n"), LogKind::Sent);
    emit commandSent(escaped, origin);
    return written;
}

void CReaderEngine::notSent(const QString &command, const QString &reason)
{
    QString why = reason;
    while (why.endsWith(QLatin1Char('\n')) || why.endsWith(QLatin1Char('\r')) || why.endsWith(QLatin1Char('.')))
        why.chop(1);
    if (why.startsWith(QLatin1String("Not sent: ")))
        why = why.mid(10);
    logError(QStringLiteral("Not sent (%1): %2").arg(why, command));
    emit commandNotSent(command, why);
}

void CReaderEngine::SendTxPower(int dbm)
{
    m_txPower = std::clamp(dbm, TX_POWER_MIN, TX_POWER_MAX);
    m_protocol.control().OnTxPowerReleased();
}

void CReaderEngine::SetTxPower(int position)
{
    m_txPower = position;
    m_txPowerKnown = true;
    emit txPowerReported(position);
}

void CReaderEngine::Note(const QString &text, LogKind kind)
{
    emit logged(text + QStringLiteral("\r\n"), kind);
}

void CReaderEngine::OnSerialData()
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

bool CReaderEngine::event(QEvent *event)
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
    if (type == CBluetoothSerialEvent::eventType()) {
        OnSerialDevices(*static_cast<CBluetoothSerialEvent *>(event));
        return true;
    }
    if (type == CBluezLinkEvent::eventType()) {
        OnBluetoothLink(*static_cast<CBluezLinkEvent *>(event));
        return true;
    }
    return QObject::event(event);
}

// The key emulator types on its own thread into the sink the environment makes there. It
// never types while a window of the front end is active: checked when a tag is queued, and
// at each item boundary through the blocked flag the front end keeps current.
void CReaderEngine::SetKeyEmulator(bool on)
{
    m_keyEmulator->SetTypingOn(on);
}

void CReaderEngine::DropQueuedTyping()
{
    logUntyped(m_keyEmulator->DropQueued(), QString::fromLatin1(TYPING_DROPPED_NOTE));
}

void CReaderEngine::UpdateTypingBlocked()
{
    m_keyEmulator->SetTypingBlocked(m_frontEnd.IsOwnWindowActive());
}

// What the typing thread set aside or has to say about its sink. The sink's choice is noted
// once per choice; a sink that can no longer type switches typing off, and says so, so that
// switching it on again asks the desktop again.
void CReaderEngine::OnKeyEmulatorReports()
{
    logUntyped(m_keyEmulator->TakeSetAside(), QString::fromLatin1(TYPING_SET_ASIDE_NOTE));
    bool failed = false;
    for (const CKeyEmulator::SinkReport &report : m_keyEmulator->TakeSinkReports()) {
        if (!report.failed) {
            logNote(report.note);
            continue;
        }
        const int count = int(report.untyped.size());
        const QString tags = count == 1 ? QStringLiteral("1 tag") : QStringLiteral("%1 tags").arg(count);
        logError(m_environment.typingStoppedNote.arg(report.note, tags));
        logUntyped(report.untyped, QString::fromLatin1(SINK_FAILED_UNTYPED_NOTE));
        failed = true;
    }
    if (failed) {
        m_keyEmulator->SetTypingOn(false);
        emit keyEmulatorFailed();
    }
}

// The typing thread hands a new restore token over to this thread, which passes it on.
KeySinkSetup CReaderEngine::keySinkSetup(const QString &restoreToken)
{
    KeySinkSetup setup;
    setup.portalRestoreToken = restoreToken;
    setup.portalTokenChanged = [this](const QString &token) {
        QMetaObject::invokeMethod(
            this,
            [this, token] {
                m_environment.portalRestoreToken = token;
                m_keyEmulator->SetSinkSetup(keySinkSetup(token));
                emit portalRestoreTokenChanged(token);
            },
            Qt::QueuedConnection);
    };
    return setup;
}

// Items the emulator did not type are logged as received text, after a note of the engine's.
void CReaderEngine::logUntyped(const CKeyEmulator::Items &items, const QString &note)
{
    if (items.empty())
        return;
    QString lines;
    for (const CKeyEmulator::Item &item : items)
        lines += item.line + QStringLiteral("\r\n");
    emit logged(note, LogKind::Note);
    emit logged(lines, LogKind::Received);
}
