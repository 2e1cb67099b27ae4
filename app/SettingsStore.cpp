#include "app/SettingsStore.h"

#include "platform/SettingsLocation.h"

CSettingsStore::CSettingsStore()
    : m_settings(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                             QString::fromLatin1(platform::kSettingsOrganisation),
                                             QString::fromLatin1(platform::kSettingsApplication)))
{
}

CSettingsStore::CSettingsStore(const QString &iniFilePath)
    : m_settings(std::make_unique<QSettings>(iniFilePath, QSettings::IniFormat))
{
}

CSettingsStore::~CSettingsStore() = default;

QString CSettingsStore::path(const QString &section, const QString &key)
{
    return section + QLatin1Char('/') + key;
}

bool CSettingsStore::flush()
{
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

int CSettingsStore::ReadInt(const QString &section, const QString &key, int defaultValue) const
{
    const QVariant value = m_settings->value(path(section, key));
    if (!value.isValid())
        return defaultValue;
    bool ok = false;
    const int number = value.toInt(&ok);
    // A value that is no integer (edited by hand) reads as absent rather than as 0.
    return ok ? number : defaultValue;
}

bool CSettingsStore::WriteInt(const QString &section, const QString &key, int value)
{
    m_settings->setValue(path(section, key), value);
    return flush();
}

QString CSettingsStore::ReadString(const QString &section, const QString &key, const QString &defaultValue) const
{
    const QVariant value = m_settings->value(path(section, key));
    return value.isValid() ? value.toString() : defaultValue;
}

bool CSettingsStore::WriteString(const QString &section, const QString &key, const QString &value)
{
    m_settings->setValue(path(section, key), value);
    return flush();
}

bool CSettingsStore::DeleteValue(const QString &section, const QString &key)
{
    m_settings->remove(path(section, key));
    return flush();
}

QString CSettingsStore::FileName() const
{
    return m_settings->fileName();
}

namespace config {

int ReadConfig(const CSettingsStore &store, const char *key, int defaultValue)
{
    return store.ReadInt(QString::fromLatin1(kSection), QString::fromLatin1(key), defaultValue);
}

void WriteConfig(CSettingsStore &store, const char *key, int value)
{
    store.WriteInt(QString::fromLatin1(kSection), QString::fromLatin1(key), value);
}

} // namespace config

ReadModeChecks ReadModeToChecks(int readMode)
{
    ReadModeChecks checks;
    checks.multiMode = readMode != 0 ? 1 : 0;
    checks.singleMode = readMode == 0 ? 1 : 0;
    return checks;
}

int ReadModeFromMultiCheck(bool multiModeChecked)
{
    return multiModeChecked ? 1 : 0;
}

int PortNumberFromItemData(qint64 itemData)
{
    return int(itemData & 0xFFFF);
}
