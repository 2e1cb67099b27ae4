#include "app/SettingsStore.h"

#include "platform/SettingsLocation.h"

#include <QtDebug>

CSettingsStore::CSettingsStore()
    : CSettingsStore(SettingsFilePath())
{
}

CSettingsStore::CSettingsStore(const QString &iniFilePath)
    : m_file(iniFilePath)
{
    m_file.removeStaleTemporaries();
    if (!m_file.read(m_read, &m_diskStamp)) {
        qWarning("settings file %s cannot be read; defaults are used", qPrintable(iniFilePath));
        m_read = std::make_shared<const CIniDocument>();
    }
    // The writer starts from the same document: it is never changed, only shared.
    m_disk = m_read;
    m_writer = std::thread([this] { writerLoop(); });
}

CSettingsStore::~CSettingsStore()
{
    m_batchDepth = 0;
    submit();   // a group left open is saved all the same
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_one();
    m_writer.join();   // the writer ends only once nothing is pending
}

bool CSettingsStore::change(const QString &section, const QString &key, const std::optional<QString> &value)
{
    if (key.isEmpty()) {
        qWarning("settings value with an empty key in [%s] not stored", qPrintable(section));
        return false;
    }
    // The same value again changes nothing: no write, unless the last one failed and this
    // is the chance to try again.
    if (find(section, key) == value && !m_lastWriteFailed.load())
        return true;
    m_changed[qMakePair(section, key)] = value;
    m_batch[qMakePair(section, key)] = value;
    if (m_batchDepth == 0)
        submit();
    return true;
}

void CSettingsStore::submit()
{
    if (m_batch.isEmpty())
        return;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        for (auto it = m_batch.cbegin(); it != m_batch.cend(); ++it)
            m_pending[it.key()] = it.value();
        ++m_submitted;
    }
    m_batch.clear();
    m_wake.notify_one();
}

bool CSettingsStore::Flush()
{
    std::unique_lock<std::mutex> lock(m_lock);
    const quint64 target = m_submitted;
    m_written.wait(lock, [&] { return m_finished >= target; });
    return !m_lastWriteFailed.load();
}

void CSettingsStore::writerLoop()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_pending.isEmpty(); });
        if (m_pending.isEmpty())
            return;   // stopping, and everything is written
        Changes changes;
        changes.swap(m_pending);
        const quint64 upTo = m_submitted;
        lock.unlock();
        const bool ok = writeOnce(changes);
        lock.lock();
        m_lastWriteFailed = !ok;
        m_finished = upTo;
        m_written.notify_all();
    }
}

bool CSettingsStore::writeOnce(const Changes &changes)
{
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        m_unsaved[it.key()] = it.value();
    // Written onto what the file holds now: another store may have written other keys.
    if (m_file.stamp() != m_diskStamp) {
        std::shared_ptr<const CIniDocument> fresh;
        FileStamp freshStamp;
        if (m_file.read(fresh, &freshStamp)) {
            m_disk = std::move(fresh);
            m_diskChanges.clear();
            m_diskStamp = freshStamp;
        }   // else: what this store knows is all there is
    }
    Changes all = m_diskChanges;
    for (auto it = m_unsaved.cbegin(); it != m_unsaved.cend(); ++it)
        all[it.key()] = it.value();
    FileStamp written;
    if (!m_file.write(*m_disk, all, &written))
        return false;   // the values stay in m_unsaved for the next write
    m_diskChanges = std::move(all);
    m_diskStamp = written;
    m_unsaved.clear();
    return true;
}

void CSettingsStore::BeginBatch()
{
    ++m_batchDepth;
}

void CSettingsStore::EndBatch()
{
    if (m_batchDepth > 0)
        --m_batchDepth;
    if (m_batchDepth == 0)
        submit();
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
    return change(section, key, QString::number(value));
}

QString CSettingsStore::ReadString(const QString &section, const QString &key, const QString &defaultValue) const
{
    return find(section, key).value_or(defaultValue);
}

std::optional<QString> CSettingsStore::find(const QString &section, const QString &key) const
{
    const auto changed = m_changed.constFind(qMakePair(section, key));
    return changed != m_changed.cend() ? *changed : m_read->value(section, key);
}

bool CSettingsStore::WriteString(const QString &section, const QString &key, const QString &value)
{
    return change(section, key, value);
}

bool CSettingsStore::DeleteValue(const QString &section, const QString &key)
{
    return change(section, key, std::nullopt);
}

QString CSettingsStore::FileName() const
{
    return m_file.filePath();
}

int ReadConfig(const CSettingsStore &store, const char *key, int defaultValue)
{
    return store.ReadInt(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(key), defaultValue);
}

void WriteConfig(CSettingsStore &store, const char *key, int value)
{
    store.WriteInt(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(key), value);
}

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
