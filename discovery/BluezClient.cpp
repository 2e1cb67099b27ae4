#include "discovery/BluezClient.h"

#include "discovery/StopToken.h"
#include "platform/BusConnection.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

const QString BLUEZ_SERVICE = QLatin1String(BLUEZ_SERVICE_NAME);
const QString OBJECT_MANAGER_PATH = QStringLiteral("/");
const QString OBJECT_MANAGER_INTERFACE = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString GET_MANAGED_OBJECTS = QStringLiteral("GetManagedObjects");
const QString MANAGED_OBJECTS_SIGNATURE = QStringLiteral("a{oa{sa{sv}}}");
const QString ADAPTER_INTERFACE = QStringLiteral("org.bluez.Adapter1");
const QString DEVICE_INTERFACE = QLatin1String(BLUEZ_DEVICE_INTERFACE);
const QString SET_DISCOVERY_FILTER = QStringLiteral("SetDiscoveryFilter");
const QString TRANSPORT_KEY = QStringLiteral("Transport");
const QString CLASSIC_TRANSPORT = QStringLiteral("bredr");
const QString START_DISCOVERY = QStringLiteral("StartDiscovery");
const QString STOP_DISCOVERY = QStringLiteral("StopDiscovery");
const QString ADDRESS_PROPERTY = QStringLiteral("Address");
const QString ALIAS_PROPERTY = QStringLiteral("Alias");
const QString NAME_PROPERTY = QStringLiteral("Name");
const QString PAIRED_PROPERTY = QStringLiteral("Paired");
const QString UUIDS_PROPERTY = QStringLiteral("UUIDs");

// BlueZ on one connection for one search: the system bus's shared connection, or a private
// bus's own connection, closed at the end.
class CBluezBus
{
public:
    explicit CBluezBus(const QString &address) : m_connection(QDBusConnection::SystemBus, address) {}

    bool isConnected() const { return m_connection.isConnected(); }

    QDBusMessage call(const QString &path, const QString &interface, const QString &method,
                      int timeoutMs, const QVariantList &arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(BLUEZ_SERVICE, path, interface, method);
        message.setArguments(arguments);
        return m_connection.bus().call(message, QDBus::Block, timeoutMs);
    }

private:
    CBusConnection m_connection;
};

// What one GetManagedObjects answer holds for us, in the answer's order.
struct BluezObjects
{
    QStringList adapterPaths;
    QList<BluetoothDeviceRecord> devices;
};

QString stringProperty(const QVariantMap &properties, const QString &key)
{
    const QVariant value = properties.value(key);
    return value.metaType().id() == QMetaType::QString ? value.toString() : QString();
}

void addObject(const QString &path, const QMap<QString, QVariantMap> &interfaces, BluezObjects &objects)
{
    if (interfaces.contains(ADAPTER_INTERFACE))
        objects.adapterPaths.append(path);
    const auto device = interfaces.constFind(DEVICE_INTERFACE);
    if (device == interfaces.constEnd())
        return;
    BluetoothDeviceRecord record;
    if (!ParseBluetoothAddress(stringProperty(*device, ADDRESS_PROPERTY), record.address))
        return;   // a device without a readable address cannot be matched to a port
    record.name = stringProperty(*device, ALIAS_PROPERTY);
    if (record.name.isEmpty())
        record.name = stringProperty(*device, NAME_PROPERTY);
    record.objectPath = path;
    record.paired = device->value(PAIRED_PROPERTY).toBool();
    record.offersSerialPort = device->value(UUIDS_PROPERTY).toStringList().contains(
        QLatin1String(SERIAL_PORT_PROFILE_UUID), Qt::CaseInsensitive);
    objects.devices.append(record);
}

// Reads the object tree of BlueZ. False when the call fails or the answer has another shape.
bool getBluezObjects(CBluezBus &bus, int timeoutMs, BluezObjects &objects)
{
    const QDBusMessage reply = bus.call(OBJECT_MANAGER_PATH, OBJECT_MANAGER_INTERFACE, GET_MANAGED_OBJECTS, timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != MANAGED_OBJECTS_SIGNATURE
        || reply.arguments().size() != 1)
        return false;
    const QDBusArgument tree = reply.arguments().constFirst().value<QDBusArgument>();
    tree.beginMap();
    while (!tree.atEnd()) {
        QDBusObjectPath path;
        QMap<QString, QVariantMap> interfaces;
        tree.beginMapEntry();
        tree >> path;
        tree.beginMap();
        while (!tree.atEnd()) {
            QString interface;
            QVariantMap properties;
            tree.beginMapEntry();
            tree >> interface >> properties;
            tree.endMapEntry();
            interfaces.insert(interface, properties);
        }
        tree.endMap();
        tree.endMapEntry();
        addObject(path.path(), interfaces, objects);
    }
    tree.endMap();
    return true;
}

void appendNew(QList<BluetoothDeviceRecord> &devices, const QList<BluetoothDeviceRecord> &more)
{
    for (const BluetoothDeviceRecord &candidate : more) {
        const bool known = std::any_of(devices.cbegin(), devices.cend(), [&](const BluetoothDeviceRecord &d) {
            return d.address == candidate.address;
        });
        if (!known)
            devices.append(candidate);
    }
}

void waitForInquiry(int milliseconds, CStopToken *stop)
{
    if (stop)
        stop->waitFor(milliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace

bool SearchBluetoothDevices(QList<BluetoothDeviceRecord> &devices, const BluezEnvironment &env, CStopToken *stop,
                            QString *why)
{
    auto fail = [why](const char *reason) {
        if (why)
            *why = QString::fromLatin1(reason);
        return false;
    };
    devices.clear();
    CBluezBus bus(env.busAddress);
    if (!bus.isConnected())
        return fail("the system's message bus (D-Bus) cannot be reached");

    BluezObjects known;
    if (!getBluezObjects(bus, env.callTimeoutMs, known))
        return fail("the Bluetooth service (BlueZ) is not running");
    if (known.adapterPaths.isEmpty())
        return fail("this computer has no Bluetooth adapter");
    appendNew(devices, known.devices);

    // The inquiry runs on every adapter that accepts it (one that is powered off refuses);
    // devices it turns up are in BlueZ's tree before discovery is stopped again. It looks
    // for classic devices only: serial ports exist on those alone. The filter belongs to
    // this connection and goes with it; a BlueZ without filters searches unfiltered.
    const QVariantMap classicOnly{{TRANSPORT_KEY, CLASSIC_TRANSPORT}};
    QStringList searching;
    for (const QString &adapter : std::as_const(known.adapterPaths)) {
        if (stop && stop->stopRequested())
            break;
        bus.call(adapter, ADAPTER_INTERFACE, SET_DISCOVERY_FILTER, env.callTimeoutMs, {classicOnly});
        const QDBusMessage reply = bus.call(adapter, ADAPTER_INTERFACE, START_DISCOVERY, env.callTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage)
            searching.append(adapter);
    }
    if (!searching.isEmpty()) {
        waitForInquiry(env.inquiryMs, stop);
        BluezObjects found;
        if (getBluezObjects(bus, env.callTimeoutMs, found))
            appendNew(devices, found.devices);
        for (const QString &adapter : std::as_const(searching))
            bus.call(adapter, ADAPTER_INTERFACE, STOP_DISCOVERY, env.callTimeoutMs);
    }
    return !devices.isEmpty() || fail("no Bluetooth device was found");
}

bool ListPairedSerialDevices(QList<BluetoothDeviceRecord> &devices, const BluezEnvironment &env)
{
    devices.clear();
    CBluezBus bus(env.busAddress);
    BluezObjects known;
    if (!bus.isConnected() || !getBluezObjects(bus, env.callTimeoutMs, known))
        return false;
    for (const BluetoothDeviceRecord &device : std::as_const(known.devices)) {
        if (device.paired && device.offersSerialPort)
            devices.append(device);
    }
    return true;
}

bool FindBluezDevice(const BluetoothAddress &address, BluetoothDeviceRecord &device, bool &reachable,
                     const BluezEnvironment &env)
{
    CBluezBus bus(env.busAddress);
    BluezObjects known;
    reachable = bus.isConnected() && getBluezObjects(bus, env.callTimeoutMs, known);
    for (const BluetoothDeviceRecord &candidate : std::as_const(known.devices)) {
        if (candidate.address == address) {
            device = candidate;
            return true;
        }
    }
    return false;
}

QString BluetoothAliasForAddress(const QString &address, const BluezEnvironment &env)
{
    BluetoothAddress wanted;
    if (!ParseBluetoothAddress(address.trimmed(), wanted))
        return {};
    CBluezBus bus(env.busAddress);
    BluezObjects known;
    if (!bus.isConnected() || !getBluezObjects(bus, env.callTimeoutMs, known))
        return {};
    for (const BluetoothDeviceRecord &device : std::as_const(known.devices)) {
        if (device.address == wanted)
            return CleanDeviceName(device.name);
    }
    return {};
}

std::function<QString(const QString &address)> BluetoothNameHook(const BluezEnvironment &env)
{
    return [env](const QString &address) { return BluetoothAliasForAddress(address, env); };
}
