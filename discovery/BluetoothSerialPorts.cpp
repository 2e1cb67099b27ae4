#include "discovery/BluetoothSerialPorts.h"

#include <QCoreApplication>

namespace {

constexpr int BLUETOOTH_PORT_COUNT = LAST_BLUETOOTH_PORT - FIRST_BLUETOOTH_PORT + 1;
constexpr char COM_PREFIX[] = "COM";

// FNV-1a over the address bytes: spreads neighbouring addresses (one maker's readers differ
// in their last bytes) over the whole range.
int StartingPlace(const BluetoothAddress &address)
{
    quint32 hash = 2166136261u;
    for (const quint8 byte : address) {
        hash ^= byte;
        hash *= 16777619u;
    }
    return int(hash % quint32(BLUETOOTH_PORT_COUNT));
}

} // namespace

int BluetoothPortNumber(const BluetoothAddress &address, const BluetoothPortBook &book)
{
    const QString wanted = AddressDisplayText(address);
    int firstFree = 0;
    const int start = StartingPlace(address);
    // The whole range is read: the device may hold a number past a free one that another
    // address gave back (settings edited by hand).
    for (int step = 0; step < BLUETOOTH_PORT_COUNT; ++step) {
        const int number = FIRST_BLUETOOTH_PORT + (start + step) % BLUETOOTH_PORT_COUNT;
        const QString holder = book.load ? book.load(number).trimmed() : QString();
        BluetoothAddress held{};
        if (ParseBluetoothAddress(holder, held) && held == address)
            return number;
        if (firstFree == 0 && !ParseBluetoothAddress(holder, held))
            firstFree = number;
    }
    if (firstFree != 0 && book.store)
        book.store(firstFree, wanted);
    return firstFree;
}

bool BluetoothPortAddress(int number, const BluetoothPortBook &book, BluetoothAddress &address)
{
    if (number < FIRST_BLUETOOTH_PORT || number > LAST_BLUETOOTH_PORT || !book.load)
        return false;
    return ParseBluetoothAddress(book.load(number).trimmed(), address);
}

ComPortDevice BluetoothSerialPort(int number, const BluetoothDeviceRecord &device)
{
    ComPortDevice port;
    port.number = number;
    port.portName = QLatin1String(COM_PREFIX) + QString::number(number);
    // Concatenated: the name is the remote device's choice and may hold "%1".
    const QString name = CleanDeviceName(device.name);
    port.friendlyName = (name.isEmpty() ? QString() : name + QLatin1Char(' ')) + AddressDisplayText(device.address)
                        + QLatin1String(" (") + port.portName + QLatin1Char(')');
    return port;
}

CBluetoothSerialEvent::CBluetoothSerialEvent(const QList<BluetoothDeviceRecord> &devices, bool answered)
    : QEvent(eventType()), m_devices(devices), m_answered(answered)
{
}

QEvent::Type CBluetoothSerialEvent::eventType()
{
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

bool ListUnboundSerialDevices(QList<BluetoothDeviceRecord> &devices, const BluetoothListEnvironment &env)
{
    QList<BluetoothDeviceRecord> paired;
    devices.clear();
    if (!ListPairedSerialDevices(paired, env.bluez))
        return false;
    // Only the port numbers matter here, not the ports' names (which would ask BlueZ again).
    PortEnvironment ports = env.ports;
    ports.bluetoothName = {};
    for (const BluetoothDeviceRecord &device : std::as_const(paired)) {
        QString bound;
        if (FindComPortForAddress(device.address, bound, ports) != 0)
            devices.append(device);
    }
    return true;
}

CBluetoothSerialQuery::~CBluetoothSerialQuery() = default;

bool CBluetoothSerialQuery::start(QObject *receiver, const BluetoothListEnvironment &env)
{
    if (m_running)
        return false;
    m_running = true;
    m_queue.Run([this, receiver, env]() -> CWorkQueue::Apply {
        QList<BluetoothDeviceRecord> devices;
        const bool answered = ListUnboundSerialDevices(devices, env);
        return [this, receiver, devices, answered] {
            m_running = false;   // the receiver may ask again while it handles the answer
            CBluetoothSerialEvent event(devices, answered);
            QCoreApplication::sendEvent(receiver, &event);
        };
    });
    return true;
}
