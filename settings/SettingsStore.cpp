#include "settings/SettingsStore.h"

#include "platform/AtomicFile.h"
#include "platform/SettingsLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char MOVED_ASIDE_SUFFIX[] = ".too-large-";

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The file's bytes; a missing file reads as empty. Opened without blocking, so that a pipe
// in its place cannot hold the start, and read only when it is a regular file. A file too
// large is renamed beside itself (the file a link points to, so the link stays) when
// movedAsideTo is given, and reads as empty then; "" or why it cannot be read.
QString readFile(const QString &path, QByteArray &bytes, QString *movedAsideTo)
{
    bytes.clear();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? QString() : systemError(errno);
    QFile file;
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return systemError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    if (st.st_size <= MAX_SETTINGS_FILE_BYTES) {
        file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
        bytes = file.readAll();
        return file.error() == QFileDevice::NoError ? QString() : file.errorString();
    }
    ::close(fd);
    const QString tooLarge = QStringLiteral("larger than %1 bytes").arg(MAX_SETTINGS_FILE_BYTES);
    if (!movedAsideTo)
        return tooLarge;
    const QString target = QFileInfo(path).canonicalFilePath();
    int n = 1;
    while (QFileInfo::exists(target + QLatin1String(MOVED_ASIDE_SUFFIX) + QString::number(n)))
        ++n;
    *movedAsideTo = target + QLatin1String(MOVED_ASIDE_SUFFIX) + QString::number(n);
    if (::rename(QFile::encodeName(target).constData(), QFile::encodeName(*movedAsideTo).constData()) == 0)
        return QString();
    movedAsideTo->clear();
    return tooLarge + QStringLiteral(", not moved aside: ") + systemError(errno);
}

} // namespace

CSettingsStore::CSettingsStore()
    : CSettingsStore(SettingsFilePath())
{
}

CSettingsStore::CSettingsStore(const QString &iniFilePath, Access access)
    : m_path(iniFilePath), m_access(access), m_saveFailed(std::make_shared<std::atomic<bool>>(false))
{
    QByteArray bytes;
    const QString error = readFile(m_path, bytes, access == Access::ReadWrite ? &m_movedAside : nullptr);
    if (!error.isEmpty())
        qWarning("settings file %s not read (%s): defaults are used", qPrintable(m_path), qPrintable(error));
    m_values = CIniText(bytes).values();
}

CSettingsStore::~CSettingsStore()
{
    m_batchDepth = 0;
    submit();   // a group left open is saved all the same
}

bool CSettingsStore::change(const QString &section, const QString &key, const std::optional<QString> &value)
{
    if (key.isEmpty())
        return false;
    const auto held = m_values.value(section).constFind(key);
    const bool present = held != m_values.value(section).cend();
    // The same value again saves nothing, unless the last save failed and this is its retry.
    if (present == value.has_value() && (!value || *held == *value) && !m_lastFailed)
        return true;
    if (value)
        m_values[section][key] = *value;
    else
        m_values[section].remove(key);
    m_unsaved[qMakePair(section, key)] = value;
    m_batchChanged = true;
    if (m_batchDepth == 0)
        submit();
    return true;
}

void CSettingsStore::submit()
{
    if (!m_batchChanged || m_access == Access::ReadOnly)
        return;
    m_batchChanged = false;
    m_queue.Run([this, failed = m_saveFailed, path = m_path, changes = m_unsaved]() -> CWorkQueue::Apply {
        QByteArray bytes;
        QString movedAsideTo;
        QString error = readFile(path, bytes, &movedAsideTo);
        if (error.isEmpty()) {
            CIniText text(bytes);
            text.apply(changes);
            QDir().mkpath(QFileInfo(path).absolutePath());
            error = WritePrivateFileAtomically(path, text.bytes());
        }
        failed->store(!error.isEmpty());
        return [this, changes, error, movedAsideTo] {
            m_lastFailed = !error.isEmpty();
            // What was saved leaves the list, unless it changed again meanwhile.
            for (auto it = changes.cbegin(); !m_lastFailed && it != changes.cend(); ++it) {
                if (m_unsaved.value(it.key(), std::optional<QString>(QString())) == it.value())
                    m_unsaved.remove(it.key());
            }
            if (m_report)
                m_report(error, movedAsideTo);
            else if (m_lastFailed)
                qWarning("settings not saved to %s: %s", qPrintable(m_path), qPrintable(error));
        };
    });
}

void CSettingsStore::EndBatch()
{
    if (m_batchDepth > 0 && --m_batchDepth == 0)
        submit();
}

bool CSettingsStore::Flush()
{
    m_queue.WaitIdle();
    return !m_saveFailed->load();
}

int CSettingsStore::ReadInt(const QString &section, const QString &key, int defaultValue) const
{
    bool ok = false;
    const int number = ReadString(section, key).trimmed().toInt(&ok);
    // A value that is no integer (edited by hand) reads as absent rather than as 0.
    return ok ? number : defaultValue;
}

bool CSettingsStore::WriteInt(const QString &section, const QString &key, int value)
{
    return change(section, key, QString::number(value));
}

QString CSettingsStore::ReadString(const QString &section, const QString &key, const QString &defaultValue) const
{
    return m_values.value(section).value(key, defaultValue);
}

bool CSettingsStore::WriteString(const QString &section, const QString &key, const QString &value)
{
    return change(section, key, value);
}

bool CSettingsStore::DeleteValue(const QString &section, const QString &key)
{
    return change(section, key, std::nullopt);
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
    return {readMode != 0 ? 1 : 0, readMode == 0 ? 1 : 0};
}

int ReadModeFromMultiCheck(bool multiModeChecked)
{
    return multiModeChecked ? 1 : 0;
}

int PortNumberFromItemData(qint64 itemData)
{
    return int(itemData & 0xFFFF);
}
