#include "discovery/BluetoothList.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

// The kernel names its Bluetooth serial ports rfcomm<n> and tells, per port, the address
// of the device it is bound to in sys/class/tty/rfcomm<n>/address ("00:12:6f:0a:1b:2c").
const QString RFCOMM_PREFIX = QStringLiteral("rfcomm");
const QString TTY_CLASS_FOLDER = QStringLiteral("sys/class/tty/");
const QString BOUND_ADDRESS_FILE = QStringLiteral("/address");
constexpr qint64 ADDRESS_FILE_LIMIT = 64;

// The address an rfcomm port is bound to, or false when the node is no rfcomm port or the
// address cannot be read.
bool boundAddress(const QString &devicePath, const QString &sysRoot, BluetoothAddress &address)
{
    // A port-map link may lead to the node by another name (a by-id path, say).
    const QFileInfo info(devicePath);
    const QString canonical = info.canonicalFilePath();
    const QString node = QFileInfo(canonical.isEmpty() ? devicePath : canonical).fileName();
    const QStringView number = QStringView(node).mid(RFCOMM_PREFIX.size());
    if (!node.startsWith(RFCOMM_PREFIX) || number.isEmpty()
        || !std::all_of(number.begin(), number.end(), [](QChar c) { return c.isDigit(); }))
        return false;
    QString root = sysRoot.isEmpty() ? QStringLiteral("/") : sysRoot;
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    QFile file(root + TTY_CLASS_FOLDER + node + BOUND_ADDRESS_FILE);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString text = QString::fromLatin1(file.read(ADDRESS_FILE_LIMIT)).trimmed();
    return ParseBluetoothAddress(text, address);
}

} // namespace

CBluetoothListEvent::CBluetoothListEvent(const QString &text, const QString &why)
    : QEvent(eventType()), m_text(text), m_why(why)
{
}

QEvent::Type CBluetoothListEvent::eventType()
{
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

int FindComPortForAddress(const BluetoothAddress &address, QString &portName,
                          const PortEnvironment &env)
{
    portName.clear();
    QList<ComPortDevice> ports;
    ListPresentPorts(ports, env);   // a partial walk still names what it found
    for (const ComPortDevice &port : std::as_const(ports)) {
        BluetoothAddress bound;
        if (boundAddress(port.devicePath, env.sysRoot, bound) && bound == address && !port.portName.isEmpty()) {
            portName = port.portName;
            return 0;
        }
    }
    return -1;
}

std::optional<QString> ListBluetoothDevices(const BluetoothListEnvironment &env, CStopToken *stop, QString *why)
{
    QList<BluetoothDeviceRecord> devices;
    if (!SearchBluetoothDevices(devices, env.bluez, stop, why))
        return std::nullopt;   // the box and the stored text stay as they are

    // Only the port numbers are needed here: naming each port through BlueZ again would
    // cost one D-Bus round trip per port for nothing.
    PortEnvironment ports = env.ports;
    ports.bluetoothName = {};

    QString text;
    for (const BluetoothDeviceRecord &device : std::as_const(devices)) {
        QString portName;
        if (FindComPortForAddress(device.address, portName, ports) == 0)
            text += FormatDeviceLine(portName, device.address, device.name);
    }
    return text;
}

CBluetoothListThread::~CBluetoothListThread()
{
    stop();
}

bool CBluetoothListThread::start(QObject *receiver, const BluetoothListEnvironment &env)
{
    if (m_started)
        return false;
    m_started = true;
    m_queue.Run([receiver, env, stop = &m_stopToken]() -> CWorkQueue::Apply {
        QString why;
        const std::optional<QString> text = ListBluetoothDevices(env, stop, &why);
        if (!receiver || (!text && why.isEmpty()))
            return {};
        // Found nothing: only the reason goes; the list keeps what it shows.
        return [receiver, text, why] {
            CBluetoothListEvent event(text.value_or(QString()), text ? QString() : why);
            QCoreApplication::sendEvent(receiver, &event);
        };
    });
    return true;
}

void CBluetoothListThread::stop()
{
    m_stopToken.requestStop();
    join();
}

void CBluetoothListThread::join()
{
    m_queue.WaitIdle();
}
