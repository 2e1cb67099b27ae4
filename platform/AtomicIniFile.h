#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

namespace platform {

// Section -> key -> text value. Integers are kept as their decimal text.
using IniValues = QMap<QString, QMap<QString, QString>>;

// Content that a parse or a write left out, with the reason for the first few.
struct IniNotes
{
    int count = 0;
    QStringList first;

    void add(const QString &note);
    // One warning per kept note, plus the number of the others.
    void log(const char *what, const QString &filePath) const;
};

// Tells one version of the file from another: a replaced file has another inode, a file
// edited in place another size or modification time.
struct FileStamp
{
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;

    bool operator==(const FileStamp &o) const
    {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size
            && modifiedNs == o.modifiedNs;
    }
    bool operator!=(const FileStamp &o) const { return !(*this == o); }
};

// The settings file written so that it is never seen half-done: the whole INI text goes to
// a temporary file in the same folder (a new name, created exclusively and never through a
// link), is flushed to the disk, read back and compared, and only then renamed over the old
// file; the folder is flushed last. Any failure (full disk, read-only folder, short write)
// leaves the old file as it was. When the settings file is a symbolic link, the file it
// points to is the one replaced. A new file is the user's alone (0600); an existing one
// keeps its mode.
//
// The text is the toolkit's own INI dialect (section and key names with %XX escapes, string
// values in double quotes with backslash escapes), so files written by either side read on
// the other. Only what the tool stores is written: plain text values. Whatever cannot be
// written so that it reads back equal (a key that is empty) is left out with a warning, so
// one bad value never stops the others from being saved.
//
// No state: one object may be used from any one thread at a time.
class CAtomicIniFile
{
public:
    explicit CAtomicIniFile(QString filePath);

    const QString &filePath() const { return m_filePath; }

    // Reads and parses the file. A missing file reads as empty (true); a file that exists
    // but cannot be read gives false and leaves values untouched. Lines that are no
    // setting are skipped with a warning. stamp gets the version that was read.
    bool read(IniValues &values, FileStamp *stamp = nullptr) const;
    // Replaces the file with the values, atomically and verified; false leaves the old file.
    // stamp gets the version written.
    bool write(const IniValues &values, FileStamp *stamp = nullptr) const;
    // The version of the file on the disk now (not exists when there is none).
    FileStamp stamp() const;

    // Temporary files left behind by writers that were killed; removed when their process
    // is gone.
    void removeStaleTemporaries() const;

    static QByteArray serialise(const IniValues &values, IniNotes *dropped = nullptr);
    static IniValues parse(const QByteArray &text, IniNotes *dropped = nullptr);

private:
    QString m_filePath;
};

} // namespace platform
