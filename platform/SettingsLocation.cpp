#include "platform/ComPorts.h"
#include "platform/SettingsLocation.h"

#include <QFileInfo>
#include <QSettings>

QString SettingsFilePath()
{
    const QSettings settings(QSettings::IniFormat, QSettings::UserScope,
                             QString::fromLatin1(SETTINGS_ORGANISATION),
                             QString::fromLatin1(SETTINGS_APPLICATION));
    return settings.fileName();
}

QString DefaultPortsFolder()
{
    return QFileInfo(SettingsFilePath()).absolutePath() + QStringLiteral("/ports");
}
