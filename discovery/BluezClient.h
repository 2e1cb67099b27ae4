#pragma once

#include "discovery/BluetoothAddress.h"

#include <QList>
#include <QString>

#include <functional>

class CStopToken;

// The length of the active inquiry: 4 units of 1.28 s, about 5 seconds.
constexpr int INQUIRY_UNIT_MS = 1280;
constexpr int INQUIRY_UNITS = 4;
constexpr int INQUIRY_MS = INQUIRY_UNITS * INQUIRY_UNIT_MS;

// Where and how BlueZ is asked. Tests point `busAddress` at a private bus.
struct BluezEnvironment
{
    QString busAddress;                // empty: the system bus
    int inquiryMs = INQUIRY_MS;        // length of the active inquiry
    int callTimeoutMs = 3000;          // each D-Bus call; a hung daemon cannot hold us longer
    // Connecting a device's profile: BlueZ pages the device (about 5 s when it is out of
    // range) and looks up its service records first.
    int connectTimeoutMs = 20000;
};

// BlueZ's name on the bus and the interface of its device objects.
inline constexpr char BLUEZ_SERVICE_NAME[] = "org.bluez";
inline constexpr char BLUEZ_DEVICE_INTERFACE[] = "org.bluez.Device1";

// The Serial Port Profile's service class (0x1101) in BlueZ's UUID form.
inline constexpr char SERIAL_PORT_PROFILE_UUID[] = "00001101-0000-1000-8000-00805f9b34fb";

// One device the search returned: its address and its name (Alias, else Name, else empty).
struct BluetoothDeviceRecord
{
    BluetoothAddress address{};
    QString name;
    bool paired = false;
    bool offersSerialPort = false;     // its UUIDs hold the Serial Port Profile
    QString objectPath;                // BlueZ's object for it
};

// The Bluetooth device search: every device BlueZ knows (paired, remembered, seen), plus
// those that appear during an active inquiry on every adapter. Blocks for the inquiry; runs
// on any thread that has no event loop obligations (it makes blocking D-Bus calls only).
// Returns false and an empty list when nothing is found: no bus, no BlueZ, no adapter, or
// no device; `why` (may be null) then says which. Devices come in BlueZ's order, the
// inquiry's new ones after the known ones, each address once. `stop` (may be null) ends the
// inquiry early.
bool SearchBluetoothDevices(QList<BluetoothDeviceRecord> &devices,
                            const BluezEnvironment &env = {}, CStopToken *stop = nullptr, QString *why = nullptr);

// The paired devices that offer the Serial Port Profile, in BlueZ's order; no inquiry, one
// blocking D-Bus call (run it off the window's thread). False when BlueZ cannot be asked.
bool ListPairedSerialDevices(QList<BluetoothDeviceRecord> &devices, const BluezEnvironment &env = {});

// The device BlueZ knows under `address`, in `device`. False when BlueZ cannot be asked or
// does not know it; `reachable` tells the two apart.
bool FindBluezDevice(const BluetoothAddress &address, BluetoothDeviceRecord &device, bool &reachable,
                     const BluezEnvironment &env = {});

// The name of the device BlueZ knows under `address` (colon form, either case): its Alias,
// else its Name; empty when BlueZ, the device or the bus is missing. No inquiry; one
// blocking D-Bus call. Fits the port list's hook for naming Bluetooth serial ports.
QString BluetoothAliasForAddress(const QString &address, const BluezEnvironment &env = {});

// BluetoothAliasForAddress bound to `env`, in the shape of the port list's naming hook
// (PortEnvironment::bluetoothName), so that the port picker shows an rfcomm port
// as "Reader-A 00:11:22:33:44:55 - /dev/rfcomm0 (COM97)".
std::function<QString(const QString &address)> BluetoothNameHook(const BluezEnvironment &env = {});
