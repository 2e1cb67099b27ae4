#include "discovery/BluetoothAddress.h"

namespace {

constexpr int ADDRESS_BYTES = 6;
constexpr int COLON_FORM_LENGTH = ADDRESS_BYTES * 3 - 1;   // "xx:" five times, then "xx"
constexpr QChar BYTE_SEPARATOR = QLatin1Char(':');
// The longest device name a radio can report; longer text is cut.
constexpr int MAX_DEVICE_NAME_LENGTH = 248;

int hexValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

QString joinBytes(const BluetoothAddress &address, QStringView separator)
{
    QString text;
    for (int i = ADDRESS_BYTES - 1; i >= 0; --i) {
        text += QStringLiteral("%1").arg(address[size_t(i)], 2, 16, QLatin1Char('0')).toUpper();
        if (i > 0)
            text += separator;
    }
    return text;
}

} // namespace

bool ParseBluetoothAddress(const QString &text, BluetoothAddress &address)
{
    if (text.size() != COLON_FORM_LENGTH)
        return false;
    BluetoothAddress parsed{};
    for (int i = 0; i < ADDRESS_BYTES; ++i) {
        const int at = i * 3;
        if (i > 0 && text.at(at - 1) != BYTE_SEPARATOR)
            return false;
        const int high = hexValue(text.at(at));
        const int low = hexValue(text.at(at + 1));
        if (high < 0 || low < 0)
            return false;
        parsed[size_t(ADDRESS_BYTES - 1 - i)] = quint8(high * 16 + low);
    }
    address = parsed;
    return true;
}

QString AddressMatchText(const BluetoothAddress &address)
{
    return joinBytes(address, {});
}

QString AddressDisplayText(const BluetoothAddress &address)
{
    return joinBytes(address, u":");
}

QString CleanDeviceName(const QString &deviceName)
{
    QString name = deviceName.left(MAX_DEVICE_NAME_LENGTH);
    for (QChar &c : name) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    return name;
}

QString FormatDeviceLine(const QString &portName, const BluetoothAddress &address,
                         const QString &deviceName)
{
    const QString name = CleanDeviceName(deviceName);
    return portName + QStringLiteral("\t: ") + AddressDisplayText(address)
           + QStringLiteral("  | ") + name + QStringLiteral("\r\n");
}
