#pragma once

#include <QList>
#include <QString>

#include <functional>

// COM port numbers on Linux. A number stands for a device node by a fixed scheme that does
// not depend on discovery order:
//   COM1..COM32    /dev/ttyS0..31     (only ports the 8250 driver reports as real)
//   COM33..COM64   /dev/ttyUSB0..31
//   COM65..COM96   /dev/ttyACM0..31
//   COM97..COM128  /dev/rfcomm0..31
// plus a per-user port map: a folder "ports" beside the settings file holding symbolic
// links COM<n> (1..255) to any device node (or a UNIX stream socket, see CSerialPort). A
// link overrides the fixed scheme for its number; a dangling link is ignored. COM129 and
// up without a link belong to paired Bluetooth serial devices that have no rfcomm binding
// (discovery/BluetoothSerialPorts.h); they have no node.

// Where the numbering looks. Tests point both folders at fake trees.
struct PortEnvironment
{
    QString sysRoot = QStringLiteral("/");   // root under which sys/class/tty and dev/ are read
    QString portsFolder;                      // the per-user port map; empty: DefaultPortsFolder()
    // Name of the paired Bluetooth device with this address ("00:11:22:33:44:55", upper
    // case), or an empty string when it is not known. Unset: rfcomm ports get a generic name.
    std::function<QString(const QString &address)> bluetoothName;

    static PortEnvironment system();
};

// One present port device as the port picker sees it.
struct ComPortDevice
{
    int number = 0;          // COM number, 1..255
    QString portName;        // "COM<n>"
    QString devicePath;      // "/dev/ttyUSB0", or the link target of the port map
    QString friendlyName;    // e.g. "FT232R USB UART - /dev/ttyUSB0 (COM33)"
};

// The "ports" folder beside the user's settings file (QSettings INI, user scope).
QString DefaultPortsFolder();

// The device node for a COM number, or an empty string when the number names nothing.
QString DevicePathForPort(int number, const PortEnvironment &env = PortEnvironment::system());

// The COM number of a device node under the fixed scheme (0 when it has none). Takes the
// kernel name ("ttyUSB0") or the node's path ("/dev/ttyUSB0").
int PortNumberForDevice(const QString &deviceName);

// The kernel name of the device node for a number under the fixed scheme ("ttyUSB0"), or an
// empty string when the number is outside it. The port map is not consulted.
QString FixedDeviceNameForPort(int number);

// Lowest and highest COM number a port-map link may carry.
inline constexpr int FIRST_COM_PORT = 1;
inline constexpr int LAST_COM_PORT = 255;

// Why the device node at `devicePath` could not be opened, from the error number of the
// failed open, in words for the operator: permission denied (with the group that owns the
// node, which the user must join), no such port (also for an empty path: the number names
// nothing), in use, or the system's own text.
QString PortOpenErrorText(int error, const QString &devicePath);

// LinkError() of a serial port (link/SerialPort.h) whose line was hung up without an error
// number (a zero read, POLLHUP, DSR and carrier dropping together).
inline constexpr int LINK_HUNG_UP = -1;

// Why the link of the open device node at `devicePath` ended, from CSerialPort::LinkError(),
// in words for the operator: the device is gone, an I/O error, the line hung up,
// permission lost (with the fix, as for an open), or the system's own text.
QString PortLinkErrorText(int error, const QString &devicePath);

// Every present port, ordered by number. Returns false when the walk could not be done
// (no sysfs); the list then holds what was found before.
bool ListPresentPorts(QList<ComPortDevice> &ports, const PortEnvironment &env = PortEnvironment::system());
