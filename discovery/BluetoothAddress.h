#pragma once

#include <QString>
#include <QtGlobal>

#include <array>

// A Bluetooth device address: six bytes, least significant first, as the radio reports it.
using BluetoothAddress = std::array<quint8, 6>;

// Reads the usual colon form "00:12:6F:0A:1B:2C" (either case), most significant byte
// first, as BlueZ and the kernel write it. Anything else is refused and `address` is left
// as it was.
bool ParseBluetoothAddress(const QString &text, BluetoothAddress &address);

// The address as matched against a port's bound address: twelve upper-case hexadecimal
// digits, most significant byte first, for example "00126F0A1B2C".
QString AddressMatchText(const BluetoothAddress &address);

// The address as the device list shows it: "00:12:6F:0A:1B:2C".
QString AddressDisplayText(const BluetoothAddress &address);

// A device name fit for one line of text: at most 248 characters (the most a radio
// reports), control characters (a remote device chooses its own name) replaced by spaces.
QString CleanDeviceName(const QString &deviceName);

// One line of the device list: port name, a tab, ": ", the address, two spaces, "| ",
// the device name (cleaned as above, so that one device is always exactly one line), CR LF.
QString FormatDeviceLine(const QString &portName, const BluetoothAddress &address,
                         const QString &deviceName);
