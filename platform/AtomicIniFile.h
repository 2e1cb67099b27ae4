#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

namespace platform {

// Section -> key -> text value. Integers are kept as their decimal text.
using IniValues = QMap<QString, QMap<QString, QString>>;

// The settings file written so that it is never seen half-done: the whole INI text goes to
// a temporary file in the same folder, is flushed to the disk, read back and compared value
// by value, and only then renamed over the old file; the folder is flushed last. Any failure
// (full disk, read-only folder, short write) leaves the old file as it was.
//
// The text is the toolkit's own INI dialect (section and key names with %XX escapes, string
// values in double quotes with backslash escapes), so files written by either side read on
// the other. Only what the tool stores is written: plain text values.
class CAtomicIniFile
{
public:
    explicit CAtomicIniFile(QString filePath);

    const QString &filePath() const { return m_filePath; }

    // Reads and parses the file. A missing file reads as empty (true); a file that exists
    // but cannot be read gives false and leaves values untouched.
    bool read(IniValues &values) const;
    // Replaces the file with the values, atomically and verified; false leaves the old file.
    bool write(const IniValues &values) const;

    // Temporary files left behind by writers that were killed; removed when their process
    // is gone.
    void removeStaleTemporaries() const;

    static QByteArray serialise(const IniValues &values);
    static IniValues parse(const QByteArray &text);

private:
    QString temporaryPath() const;

    QString m_filePath;
};

} // namespace platform
