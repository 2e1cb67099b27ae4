#include "settings/SettingsStore.h"

#include "platform/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char MOVED_ASIDE_SUFFIX[] = ".too-large-";

// The file's bytes ("" or why not); a missing file reads as empty. Opened without blocking (a
// pipe in its place cannot hold the start), read only when a regular file; one too large is
// renamed beside itself (where a link points: the link stays) when movedAsideTo is given.
QString readFile(const QString &path, QByteArray &bytes, QString *movedAsideTo)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st = {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = fd < 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        if (fd >= 0)
            ::close(fd);
        return error == ENOENT ? QString() : qt_error_string(error);
    }
    QFile file;
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    if (st.st_size <= MAX_SETTINGS_FILE_BYTES) {
        bytes = file.readAll();
        return file.error() == QFileDevice::NoError ? QString() : file.errorString();
    }
    const QString tooLarge = QStringLiteral("larger than %1 bytes").arg(MAX_SETTINGS_FILE_BYTES);
    const QString target = QFileInfo(path).canonicalFilePath();
    for (int n = 1; movedAsideTo && movedAsideTo->isEmpty(); ++n) {
        if (!QFileInfo::exists(target + QLatin1String(MOVED_ASIDE_SUFFIX) + QString::number(n)))
            *movedAsideTo = target + QLatin1String(MOVED_ASIDE_SUFFIX) + QString::number(n);
    }
    if (!movedAsideTo || ::rename(QFile::encodeName(target).constData(), QFile::encodeName(*movedAsideTo).constData()) == 0)
        return movedAsideTo ? QString() : tooLarge;
    movedAsideTo->clear();
    return tooLarge + QStringLiteral(", not moved aside: ") + qt_error_string(errno);
}

// The values as changes to an empty file.
IniChanges everything(const IniValues &values)
{
    IniChanges all;
    for (auto section = values.cbegin(); section != values.cend(); ++section) {
        for (auto key = section->cbegin(); key != section->cend(); ++key)
            all.insert(qMakePair(section.key(), key.key()), key.value());
    }
    return all;
}

} // namespace

CSettingsStore::CSettingsStore(const QString &iniFilePath, Access access)
    : m_path(iniFilePath), m_access(access), m_saveFailed(std::make_shared<std::atomic<bool>>(false))
{
    QByteArray bytes;
    m_readError = readFile(m_path, bytes, access == Access::ReadWrite ? &m_movedAside : nullptr);
    if (!m_readError.isEmpty())
        qWarning("settings file %s not read (%s): defaults are used", qPrintable(m_path), qPrintable(m_readError));
    m_values = CIniText(bytes).values();
    // A save killed midway left its temporary file; ours are the only writers of such names.
    if (access == Access::ReadWrite)
        RemoveStaleTemporaries(m_path);
}

CSettingsStore::~CSettingsStore()
{
    m_batchDepth = 0;
    submitUnlessBatch();   // a group left open is saved all the same
}

bool CSettingsStore::change(const QString &section, const QString &key, const std::optional<QString> &value)
{
    if (key.isEmpty())
        return false;
    // No copy of the section's map may live on: the write below would copy it whole.
    const auto held = m_values.constFind(section);
    const bool present = held != m_values.cend() && held->contains(key);
    // The same value again saves nothing, unless the last save failed and this is its retry.
    if ((present ? std::optional<QString>(held->value(key)) : std::nullopt) == value && !m_lastFailed)
        return true;
    if (value)
        m_values[section][key] = *value;
    else
        m_values[section].remove(key);
    m_unsaved[qMakePair(section, key)] = value;
    m_batchChanged = true;
    submitUnlessBatch();
    return true;
}

void CSettingsStore::submitUnlessBatch()
{
    if (!m_batchChanged || m_batchDepth > 0 || m_access == Access::ReadOnly)
        return;
    m_batchChanged = false;
    // Every value held goes along, shared (no copy is made unless a change comes while the
    // save is under way): a file moved aside as too large is followed by one that holds all
    // of them, not only the changes that the old file lacked.
    m_queue.Run([this, failed = m_saveFailed, path = m_path, changes = m_unsaved, held = m_values]() -> CWorkQueue::Apply {
        QByteArray bytes;
        QString movedAsideTo;
        QString error = readFile(path, bytes, &movedAsideTo);
        if (error.isEmpty()) {
            CIniText text(bytes);
            text.apply(movedAsideTo.isEmpty() ? changes : everything(held));
            QDir().mkpath(QFileInfo(path).absolutePath());
            error = WritePrivateFileAtomically(path, text.bytes());
        }
        failed->store(!error.isEmpty());
        return [this, changes, error, movedAsideTo] {
            m_lastFailed = !error.isEmpty();
            // What was saved leaves the list, unless it changed again meanwhile.
            for (auto it = changes.cbegin(); !m_lastFailed && it != changes.cend(); ++it) {
                if (m_unsaved.contains(it.key()) && m_unsaved.value(it.key()) == it.value())
                    m_unsaved.remove(it.key());
            }
            if (m_report)
                m_report(error, movedAsideTo);
            else if (m_lastFailed)
                qWarning("settings not saved to %s: %s", qPrintable(m_path), qPrintable(error));
        };
    });
}

int CSettingsStore::ReadInt(const QString &section, const QString &key, int defaultValue) const
{
    bool ok = false;
    const int number = ReadString(section, key).trimmed().toInt(&ok);
    // A value that is no integer (edited by hand) reads as absent rather than as 0.
    return ok ? number : defaultValue;
}
