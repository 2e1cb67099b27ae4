#include "discovery/BluezReasons.h"


namespace {

// Plain words, shared by the reasons that mean the same to an operator.
constexpr char OFF_OR_AWAY[] =
    "The reader did not answer: it is switched off or out of range. Switch it on, bring it closer and try again.";
constexpr char NOT_PAIRED[] =
    "The reader is not paired with this computer (or was removed). Pair it in the desktop's Bluetooth settings "
    "or with bluetoothctl, then try again.";
constexpr char PAIRING_LOST[] =
    "The reader did not accept this computer's pairing. Remove the reader in the Bluetooth settings, pair it "
    "again (with its PIN) and try again.";
constexpr char BLUETOOTH_OFF[] =
    "Bluetooth is switched off on this computer. Switch it on in the desktop's Bluetooth settings (or "
    "\"bluetoothctl power on\") and try again.";
constexpr char NO_ADAPTER[] =
    "This computer has no Bluetooth adapter that can be used: plug one in, or unblock it (rfkill) and "
    "switch it on.";
constexpr char NO_BLUEZ[] =
    "The Bluetooth service (BlueZ) is not running, so no Bluetooth reader can be reached. Install the "
    "bluez package and start the service (\"systemctl start bluetooth\").";
constexpr char NO_BUS[] =
    "The system's message bus (D-Bus) cannot be reached, so Bluetooth cannot be used. Check that dbus is "
    "running.";
constexpr char REFUSED[] =
    "The reader refused the connection; it may be connected to another device. Disconnect it there, or "
    "switch the reader off and on, and try again.";
constexpr char BUSY[] = "Bluetooth is busy connecting this reader already. Wait a moment and try again.";
constexpr char CONNECTED_ELSEWHERE[] =
    "The reader is already connected, perhaps by another program. Close that connection and try again.";
constexpr char NO_SERIAL_PROFILE[] =
    "The reader offers no serial port (Serial Port Profile) just now. Check that this is the reader, switch "
    "it off and on, and try again.";
constexpr char CANCELLED[] = "The connection was cancelled before it was made. Try again.";
constexpr char NOT_ALLOWED[] =
    "This user may not connect Bluetooth devices (the system's policy refused it). Ask the administrator, "
    "or use a bound /dev/rfcomm port.";
constexpr char NO_ANSWER_IN_TIME[] =
    "Bluetooth gave no answer in time: the reader is probably switched off or out of range. Switch it on, "
    "bring it closer and try again.";

struct ReasonWords
{
    const char *part;    // found anywhere in the raw text, letters' case aside
    const char *words;
};

// Most specific first: BlueZ's own message (the br-connection-... codes) before the D-Bus
// error names, and the generic org.bluez.Error.Failed last of all.
constexpr ReasonWords REASONS[] = {
    {"page-timeout", OFF_OR_AWAY},
    {"host is down", OFF_OR_AWAY},
    {"no route to host", OFF_OR_AWAY},
    {"key-missing", PAIRING_LOST},
    {"adapter-not-powered", BLUETOOTH_OFF},
    {"connection-refused", REFUSED},
    {"connection refused", REFUSED},
    {"profile-unavailable", NO_SERIAL_PROFILE},
    {"connection-canceled", CANCELLED},
    {"connection-busy", BUSY},
    {"connection-already-connected", CONNECTED_ELSEWHERE},
    {"connection-timeout", NO_ANSWER_IN_TIME},
    {"connection-create-socket", NO_SERIAL_PROFILE},
    {"org.bluez.Error.NotReady", BLUETOOTH_OFF},
    {"org.bluez.Error.NoSuchAdapter", NO_ADAPTER},
    {"no adapter", NO_ADAPTER},
    {"org.bluez.Error.Authentication", PAIRING_LOST},   // ...Failed, ...Rejected, ...Canceled, ...Timeout
    {"org.bluez.Error.ConnectionAttemptFailed", OFF_OR_AWAY},
    {"org.bluez.Error.DoesNotExist", NOT_PAIRED},
    {"org.freedesktop.DBus.Error.UnknownObject", NOT_PAIRED},
    {"does not know this device", NOT_PAIRED},
    {"not paired", NOT_PAIRED},
    {"org.bluez.Error.AlreadyConnected", CONNECTED_ELSEWHERE},
    {"org.bluez.Error.InProgress", BUSY},
    {"org.bluez.Error.NotAvailable", NO_SERIAL_PROFILE},
    {"org.bluez.Error.NotSupported", NO_SERIAL_PROFILE},
    {"org.bluez.Error.NotPermitted", NOT_ALLOWED},
    {"org.freedesktop.DBus.Error.AccessDenied", NOT_ALLOWED},
    {"org.freedesktop.DBus.Error.ServiceUnknown", NO_BLUEZ},
    {"org.freedesktop.DBus.Error.NameHasNoOwner", NO_BLUEZ},
    {"does not answer on the system bus", NO_BLUEZ},
    {"org.freedesktop.DBus.Error.NoReply", NO_ANSWER_IN_TIME},
    {"did not answer within", NO_ANSWER_IN_TIME},
    {"org.freedesktop.DBus.Error.NoServer", NO_BUS},
    {"org.freedesktop.DBus.Error.Disconnected", NO_BUS},
    {"system bus cannot be reached", NO_BUS},
};

} // namespace

BluezReason ExplainBluezReason(const QString &raw)
{
    const QString trimmed = raw.trimmed();
    for (const ReasonWords &reason : REASONS) {
        if (trimmed.contains(QLatin1String(reason.part), Qt::CaseInsensitive))
            return {QString::fromLatin1(reason.words), trimmed};
    }
    if (trimmed.isEmpty())
        return {QStringLiteral("Bluetooth could not connect the reader, and BlueZ gave no reason. Switch the "
                               "reader off and on, and try again."),
                trimmed};
    return {QStringLiteral("Bluetooth could not connect the reader (BlueZ: %1). Switch the reader off and on, "
                           "and try again.")
                .arg(trimmed),
            trimmed};
}
