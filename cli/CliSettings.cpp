#include "cli/CliSettings.h"

#include "platform/ComPorts.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>

namespace {

constexpr char STATE_FOLDER[] = "rfid-lorix";
constexpr char PORTAL_TOKEN_FILE[] = "wedge-portal-token";
constexpr qint64 MAX_TOKEN_BYTES = 4096;

} // namespace

CliDefaults ReadCliDefaults()
{
    const CSettingsStore store(SettingsFilePath(), CSettingsStore::Access::ReadOnly);
    CliDefaults defaults;
    defaults.port = qMax(0, ReadConfig(store, CONFIG_COM_PORT, 0));
    defaults.ascii = ReadConfig(store, CONFIG_ENABLE_ASCII, CONFIG_ENABLE_ASCII_DEFAULT) != 0;
    defaults.multiMode = ReadConfig(store, CONFIG_READ_MODE, CONFIG_READ_MODE_DEFAULT) != 0;
    const QString section = QString::fromLatin1(CONFIG_BLUETOOTH_PORTS_SECTION);
    for (int number = FIRST_COM_PORT; number <= LAST_COM_PORT; ++number) {
        const QString address = store.ReadString(section, QStringLiteral("COM%1").arg(number));
        if (!address.isEmpty())
            defaults.bluetoothPorts.insert(number, address);
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
    return QString::fromUtf8(file.read(MAX_TOKEN_BYTES)).trimmed();
}
