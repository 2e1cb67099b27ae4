#include "platform/ComPorts.h"
#include "platform/SettingsLocation.h"

#include <QFileInfo>
#include <QSettings>

namespace platform {

QString SettingsFilePath()
{
    const QSettings settings(QSettings::IniFormat, QSettings::UserScope,
                             QString::fromLatin1(kSettingsOrganisation),
                             QString::fromLatin1(kSettingsApplication));
    return settings.fileName();
}

QString DefaultPortsFolder()
{
    return QFileInfo(SettingsFilePath()).absolutePath() + QStringLiteral("/ports");
}

} // namespace platform
