#include "platform/ComPorts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One block of the fixed numbering: kernel names <prefix>0..<prefix>31 map to
// firstNumber..firstNumber+31.
struct PortBlock
{
    const char *prefix;
    int firstNumber;
    const char *fallbackName;   // friendly name when sysfs tells nothing better
};

constexpr int PORTS_PER_BLOCK = 32;
constexpr PortBlock PORT_BLOCKS[] = {
    {"ttyS", 1, "Communications Port"},
    {"ttyUSB", 33, "USB Serial Port"},
    {"ttyACM", 65, "USB Modem Port"},
    {"rfcomm", 97, "Bluetooth serial port"},
};
constexpr int RFCOMM_BLOCK = 3;
constexpr int SERIAL8250_BLOCK = 0;

constexpr char DEV_FOLDER[] = "/dev/";
constexpr char TTY_CLASS_FOLDER[] = "sys/class/tty";
constexpr char COM_PREFIX[] = "COM";
constexpr char MAPPED_PORT_NAME[] = "Mapped serial port";
// serial_core reports PORT_UNKNOWN (0) for an 8250 slot without a UART behind it.
constexpr int PORT_TYPE_UNKNOWN = 0;
// How far up from a tty's device folder the USB product or interface string is looked for.
constexpr int MAX_PARENT_LEVELS = 4;

// The block and index of a kernel name, or false when the name is outside the scheme.
bool ParseKernelName(const QString &name, int &block, int &index)
{
    for (int b = 0; b < int(std::size(PORT_BLOCKS)); ++b) {
        const QLatin1String prefix(PORT_BLOCKS[b].prefix);
        if (!name.startsWith(prefix))
            continue;
        const QString digits = name.mid(prefix.size());
        if (digits.isEmpty() || digits.size() > 2 || (digits.size() > 1 && digits.startsWith(QLatin1Char('0'))))
            continue;
        bool ok = false;
        const int value = digits.toInt(&ok);
        if (!ok || value < 0 || value >= PORTS_PER_BLOCK || digits.at(0) == QLatin1Char('+'))
            continue;
        block = b;
        index = value;
        return true;
    }
    return false;
}

QString ReadFirstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readLine(4096)).trimmed();
}

QString TtyFolder(const PortEnvironment &env, const QString &kernelName)
{
    return QDir(env.sysRoot).filePath(QLatin1String(TTY_CLASS_FOLDER)) + QLatin1Char('/') + kernelName;
}

QString PortsFolderOf(const PortEnvironment &env)
{
    return env.portsFolder.isEmpty() ? DefaultPortsFolder() : env.portsFolder;
}

// The target of the port-map link for a number; empty when there is no link or it dangles.
QString LinkTarget(const PortEnvironment &env, int number)
{
    const QFileInfo link(PortsFolderOf(env) + QLatin1Char('/') + QLatin1String(COM_PREFIX) + QString::number(number));
    if (!link.isSymLink() || !link.exists())
        return {};
    return link.symLinkTarget();
}

// A USB tty's folder sits below its interface, which sits below the device; the device
// carries "product", the interface sometimes "interface". The product names the gadget
// better than an interface string such as "CDC Abstract Control Model", so it wins.
QString UsbDescription(const PortEnvironment &env, const QString &kernelName)
{
    const QString start = QFileInfo(TtyFolder(env, kernelName) + QStringLiteral("/device")).canonicalFilePath();
    if (start.isEmpty())
        return {};
    const QString sysDevices = QFileInfo(QDir(env.sysRoot).filePath(QStringLiteral("sys/devices"))).canonicalFilePath();
    for (const char *attribute : {"product", "interface"}) {
        QDir dir(start);
        for (int level = 0; level < MAX_PARENT_LEVELS; ++level) {
            if (sysDevices.isEmpty() || !dir.absolutePath().startsWith(sysDevices))
                break;
            const QString text = ReadFirstLine(dir.filePath(QLatin1String(attribute)));
            if (!text.isEmpty())
                return text;
            if (!dir.cdUp())
                break;
        }
    }
    return {};
}

QString RfcommDescription(const PortEnvironment &env, const QString &kernelName)
{
    const QString address = ReadFirstLine(TtyFolder(env, kernelName) + QStringLiteral("/address")).toUpper();
    const QString generic = QLatin1String(PORT_BLOCKS[RFCOMM_BLOCK].fallbackName);
    if (address.isEmpty())
        return generic;
    const QString name = env.bluetoothName ? env.bluetoothName(address).trimmed() : QString();
    return (name.isEmpty() ? generic : name) + QLatin1Char(' ') + address;
}

QString DeviceDescription(const PortEnvironment &env, const QString &kernelName, int block)
{
    if (block == RFCOMM_BLOCK)
        return RfcommDescription(env, kernelName);
    const QString usb = UsbDescription(env, kernelName);
    return usb.isEmpty() ? QLatin1String(PORT_BLOCKS[block].fallbackName) : usb;
}

// Concatenated, not built with arg(): the description and the path come from outside (a
// USB product string, a Bluetooth name the remote device chose, a link target), and a
// "%2" in them would take the place of a later placeholder.
QString FriendlyName(const QString &description, const QString &devicePath, int number)
{
    return description + QLatin1String(" - ") + devicePath + QLatin1String(" (") + QLatin1String(COM_PREFIX)
           + QString::number(number) + QLatin1Char(')');
}

// An 8250 slot exists for every configured port number whether or not a UART answers;
// only a known port type means real hardware.
bool Serial8250Present(const PortEnvironment &env, const QString &kernelName)
{
    bool ok = false;
    const int type = ReadFirstLine(TtyFolder(env, kernelName) + QStringLiteral("/type")).toInt(&ok);
    return ok && type != PORT_TYPE_UNKNOWN;
}

ComPortDevice MakeDevice(int number, const QString &devicePath, const QString &friendlyName)
{
    ComPortDevice device;
    device.number = number;
    device.portName = QLatin1String(COM_PREFIX) + QString::number(number);
    device.devicePath = devicePath;
    device.friendlyName = friendlyName;
    return device;
}

// Description of a port-map link: the device's own when the link leads to a node of the
// fixed scheme (a /dev/serial/by-id path, say), a generic one otherwise.
QString LinkDescription(const PortEnvironment &env, const QString &target)
{
    const QString canonical = QFileInfo(target).canonicalFilePath();
    int block = 0;
    int index = 0;
    const QString kernelName = QFileInfo(canonical).fileName();
    if (canonical.startsWith(QLatin1String(DEV_FOLDER)) && ParseKernelName(kernelName, block, index)
        && QFileInfo::exists(TtyFolder(env, kernelName)))
        return DeviceDescription(env, kernelName, block);
    return QLatin1String(MAPPED_PORT_NAME);
}

} // namespace

PortEnvironment PortEnvironment::system()
{
    PortEnvironment env;
    env.portsFolder = DefaultPortsFolder();
    return env;
}

int PortNumberForDevice(const QString &deviceName)
{
    QString name = deviceName;
    if (name.startsWith(QLatin1String(DEV_FOLDER)))
        name = name.mid(int(qstrlen(DEV_FOLDER)));
    int block = 0;
    int index = 0;
    if (!ParseKernelName(name, block, index))
        return 0;
    return PORT_BLOCKS[block].firstNumber + index;
}

QString FixedDeviceNameForPort(int number)
{
    for (const PortBlock &block : PORT_BLOCKS) {
        if (number >= block.firstNumber && number < block.firstNumber + PORTS_PER_BLOCK)
            return QLatin1String(block.prefix) + QString::number(number - block.firstNumber);
    }
    return {};
}

QString DevicePathForPort(int number, const PortEnvironment &env)
{
    if (number < FIRST_COM_PORT || number > LAST_COM_PORT)
        return {};
    const QString target = LinkTarget(env, number);
    if (!target.isEmpty())
        return target;
    const QString kernelName = FixedDeviceNameForPort(number);
    return kernelName.isEmpty() ? QString() : QLatin1String(DEV_FOLDER) + kernelName;
}

QString PortOpenErrorText(int error, const QString &devicePath)
{
    if (devicePath.isEmpty())
        return QStringLiteral("there is no such port");
    switch (error) {
    case EACCES:
    case EPERM: {
        // The node's group (dialout for serial ports on Debian) is what grants access.
        struct stat info {};
        QString group = QStringLiteral("dialout");
        if (::stat(QFile::encodeName(devicePath).constData(), &info) == 0) {
            const struct group *entry = ::getgrgid(info.st_gid);
            group = entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(info.st_gid);
        }
        const struct passwd *user = ::getpwuid(::geteuid());
        const QString userName = user ? QString::fromLocal8Bit(user->pw_name) : QStringLiteral("$USER");
        return QLatin1String("permission denied for ") + devicePath + QLatin1String(". Add the user to the group ")
               + group + QLatin1String(" (sudo usermod -aG ") + group + QLatin1Char(' ') + userName
               + QLatin1String("), then log out and in again");
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return QStringLiteral("there is no such port");
    case EBUSY:
    case EWOULDBLOCK:
        return QStringLiteral("the port is in use by another program");
    default:
        return devicePath + QLatin1String(": ") + QString::fromLocal8Bit(std::strerror(error));
    }
}

QString PortLinkErrorText(int error, const QString &devicePath)
{
    switch (error) {
    case LINK_HUNG_UP:
        return QStringLiteral("the line was hung up: the reader closed it or dropped its carrier");
    case ENODEV:
    case ENOENT:
    case ENXIO:
        return QStringLiteral("the device is gone: unplugged, switched off or out of range");
    case EIO:
        return QStringLiteral("I/O error: the device stopped answering its driver");
    case EACCES:
    case EPERM:
        return PortOpenErrorText(error, devicePath);
    case 0:   // no reason recorded: the generic wording is all there is
        return QStringLiteral("the line was lost");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

bool ListPresentPorts(QList<ComPortDevice> &ports, const PortEnvironment &env)
{
    QMap<int, ComPortDevice> byNumber;

    const QDir ttyClass(QDir(env.sysRoot).filePath(QLatin1String(TTY_CLASS_FOLDER)));
    const bool haveSysfs = ttyClass.exists();
    if (haveSysfs) {
        const QStringList names = ttyClass.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &kernelName : names) {
            int block = 0;
            int index = 0;
            if (!ParseKernelName(kernelName, block, index))
                continue;
            if (block == SERIAL8250_BLOCK && !Serial8250Present(env, kernelName))
                continue;
            const int number = PORT_BLOCKS[block].firstNumber + index;
            const QString path = QLatin1String(DEV_FOLDER) + kernelName;
            byNumber.insert(number, MakeDevice(number, path, FriendlyName(DeviceDescription(env, kernelName, block), path, number)));
        }
    }

    // Links override the fixed scheme for their number.
    const QDir portsDir(PortsFolderOf(env));
    const QStringList links = portsDir.entryList({QLatin1String(COM_PREFIX) + QLatin1Char('*')},
                                                 QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &linkName : links) {
        const QString digits = linkName.mid(int(qstrlen(COM_PREFIX)));
        bool ok = false;
        const int number = digits.toInt(&ok);
        if (!ok || digits.startsWith(QLatin1Char('0')) || digits.startsWith(QLatin1Char('+'))
            || number < FIRST_COM_PORT || number > LAST_COM_PORT)
            continue;
        const QString target = LinkTarget(env, number);
        if (target.isEmpty())
            continue;
        byNumber.insert(number, MakeDevice(number, target, FriendlyName(LinkDescription(env, target), target, number)));
    }

    ports = byNumber.values();
    return haveSysfs;
}
