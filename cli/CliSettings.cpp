#include "cli/CliSettings.h"

#include "epc/EpcDecoder.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

namespace {

// The tool's setting keys, as its settings store names them.
constexpr char CONFIG_SECTION[] = "Config";
constexpr char CONFIG_COM_PORT[] = "ComPort1";
constexpr char CONFIG_ENABLE_ASCII[] = "EnableASCII";
constexpr char CONFIG_READ_MODE[] = "ReadMode";
constexpr char BLUETOOTH_PORTS_SECTION[] = "Bluetooth Ports";

constexpr char STATE_FOLDER[] = "rfid-lorix";
constexpr char PORTAL_TOKEN_FILE[] = "wedge-portal-token";

} // namespace

// The one place the settings file is read; QSettings only reads here (no setValue, no sync
// with changes), so the file is left as it is.
CliDefaults ReadCliDefaults(const QString &path)
{
    CliDefaults defaults;
    if (path.isEmpty() || !QFile::exists(path))
        return defaults;
    const QSettings settings(path, QSettings::IniFormat);
    const QString config = QString::fromLatin1(CONFIG_SECTION) + QLatin1Char('/');
    defaults.port = qMax(0, settings.value(config + QLatin1String(CONFIG_COM_PORT), 0).toInt());
    defaults.ascii = settings.value(config + QLatin1String(CONFIG_ENABLE_ASCII), 0).toInt() != 0;
    defaults.multiMode = settings.value(config + QLatin1String(CONFIG_READ_MODE), 0).toInt() != 0;
    const QString section = QString::fromLatin1(BLUETOOTH_PORTS_SECTION);
    for (const QString &key : settings.allKeys()) {
        if (!key.startsWith(section + QLatin1String("/COM")))
            continue;
        bool ok = false;
        const int number = key.mid(section.size() + 4).toInt(&ok);
        if (ok)
            defaults.bluetoothPorts.insert(number, settings.value(key).toString());
    }
    return defaults;
}

QString PortalTokenPath()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QLatin1String("/.local/state");
    return state + QLatin1Char('/') + QLatin1String(STATE_FOLDER) + QLatin1Char('/') + QLatin1String(PORTAL_TOKEN_FILE);
}

QString ReadPortalToken(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(4096)).trimmed();
}

// A tag that is an EPC carries what the tag monitor's Decoded column shows and the decoded
// fields; any other line (a barcode, text) is the tag alone.
QJsonObject TagJson(const QString &line)
{
    QJsonObject object{{QStringLiteral("tag"), line}};
    const DecodedEpc epc = DecodeEpcLine(line);
    if (epc.status != EpcStatus::NotEpc) {
        object.insert(QStringLiteral("decoded"), epc.Summary());
        object.insert(QStringLiteral("epc"), EpcJson(epc));
    }
    return object;
}
