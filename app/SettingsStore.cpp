#include "app/SettingsStore.h"

#include "platform/SettingsLocation.h"

#include <QtDebug>

CSettingsStore::CSettingsStore()
    : CSettingsStore(platform::SettingsFilePath())
{
}

CSettingsStore::CSettingsStore(const QString &iniFilePath)
    : m_file(iniFilePath)
{
    m_file.removeStaleTemporaries();
    if (!m_file.read(m_values))
        qWarning("settings file %s cannot be read; defaults are used", qPrintable(iniFilePath));
}

CSettingsStore::~CSettingsStore() = default;

void CSettingsStore::change(const QString &section, const QString &key, const std::optional<QString> &value)
{
    if (value)
        m_values[section][key] = *value;
    else
        m_values[section].remove(key);
    m_unsaved[qMakePair(section, key)] = value;
}

bool CSettingsStore::commit()
{
    if (m_batchDepth > 0)
        return true;
    platform::IniValues merged;
    if (!m_file.read(merged))
        merged = m_values;   // the file cannot be read: what this store knows is all there is
    for (auto it = m_unsaved.cbegin(); it != m_unsaved.cend(); ++it) {
        if (it.value())
            merged[it.key().first][it.key().second] = *it.value();
        else
            merged[it.key().first].remove(it.key().second);
    }
    if (!m_file.write(merged))
        return false;   // the values stay in memory and in m_unsaved for the next write
    m_values = merged;
    m_unsaved.clear();
    return true;
}

void CSettingsStore::BeginBatch()
{
    ++m_batchDepth;
}

bool CSettingsStore::EndBatch()
{
    if (m_batchDepth > 0)
        --m_batchDepth;
    return commit();
}

int CSettingsStore::ReadInt(const QString &section, const QString &key, int defaultValue) const
{
    const std::optional<QString> text = find(section, key);
    if (!text)
        return defaultValue;
    bool ok = false;
    const int number = text->trimmed().toInt(&ok);
    // A value that is no integer (edited by hand) reads as absent rather than as 0.
    return ok ? number : defaultValue;
}

bool CSettingsStore::WriteInt(const QString &section, const QString &key, int value)
{
    change(section, key, QString::number(value));
    return commit();
}

QString CSettingsStore::ReadString(const QString &section, const QString &key, const QString &defaultValue) const
{
    return find(section, key).value_or(defaultValue);
}

std::optional<QString> CSettingsStore::find(const QString &section, const QString &key) const
{
    const auto found = m_values.constFind(section);
    if (found == m_values.cend())
        return std::nullopt;
    const auto entry = found->constFind(key);
    if (entry == found->cend())
        return std::nullopt;
    return *entry;
}

bool CSettingsStore::WriteString(const QString &section, const QString &key, const QString &value)
{
    change(section, key, value);
    return commit();
}

bool CSettingsStore::DeleteValue(const QString &section, const QString &key)
{
    change(section, key, std::nullopt);
    return commit();
}

QString CSettingsStore::FileName() const
{
    return m_file.filePath();
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
