#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// Section -> key -> text value. Integers are kept as their decimal text.
using IniValues = QMap<QString, QMap<QString, QString>>;
// Changes to a file's values: (section, key) -> the new text, or nullopt when removed.
using IniChanges = QMap<QPair<QString, QString>, std::optional<QString>>;

// Every value of the set, as changes that set it.
IniChanges ChangesSetting(const IniValues &values);

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

// A settings file's text held once, as the bytes that were read, with an index of its
// values: a 100 MB file costs its own size and 30 to 50 bytes per value line, not the wide
// strings of a tree of every value. A value is decoded when it is asked for.
//
// The text is the toolkit's own INI dialect (section and key names with %XX escapes, string
// values in double quotes with backslash escapes), so files written by either side read on
// the other. A write (render) copies the text as it is and changes only the lines of the
// values that changed: unknown sections and keys, comments, blank lines and line ends stay
// byte for byte. A changed value replaces the line that holds it (the last one, when a key
// is there twice), a new one goes after its section's last line, a new section at the end;
// a removed value's lines go. Lines that are no setting (parsed with a warning) are left out.
// Only plain text values are written; whatever cannot be written so that it reads back
// equal (an empty key) is left out with a note, so one bad value never stops the others.
//
// Immutable once made: one document may be read from any number of threads.
class CIniDocument
{
public:
    CIniDocument() : CIniDocument(QByteArray()) {}   // an empty file
    explicit CIniDocument(QByteArray text, IniNotes *skipped = nullptr);

    std::optional<QString> value(const QString &section, const QString &key) const;
    // Every value, the last one where a key is there twice (tests, checks).
    IniValues values() const;

    // The text with the changes made, handed to `sink` in consecutive pieces; stops when the
    // sink returns false and returns false then. The same document and changes always give
    // the same bytes, so a second pass can verify what a first one wrote.
    using Sink = std::function<bool(const char *data, qsizetype size)>;
    bool render(const IniChanges &changes, const Sink &sink, IniNotes *dropped = nullptr) const;
    QByteArray rendered(const IniChanges &changes, IniNotes *dropped = nullptr) const;

private:
    struct Entry
    {
        qint64 start = 0;    // of its line
        quint32 section = 0;
        quint32 hash = 0;    // of section and name
    };
    struct Section
    {
        QString name;
        qint64 insertAt = 0;   // end of its last line: where a new key goes
    };
    struct Edit
    {
        qint64 from = 0;
        qint64 to = 0;         // text[from, to) is replaced by insert
        QByteArray insert;
    };

    // A slot holds the entry's hash in its high half, its index + 1 in the low half; 0: free.
    static quint64 slotValue(quint32 hash, size_t index) { return quint64(hash) << 32 | quint64(index + 1); }
    void growIndex();
    // The slot of the setting, or the free one where it would go; a plain name comes as
    // its bytes, any other in name.
    size_t findSlot(quint32 section, quint32 hash, QByteArrayView plain, const QString &name) const;
    void addEntry(const Entry &entry, QByteArrayView plain, const QString &name);
    int findEntry(quint32 section, const QString &key, quint32 hash) const;
    qint64 lineEnd(qint64 start) const;   // of the line at start, before its line feed
    QString lineText(qint64 start) const;
    QString entryName(const Entry &entry) const;
    std::vector<Edit> edits(const IniChanges &changes, IniNotes *dropped) const;

    QByteArray m_text;
    std::vector<Entry> m_entries;         // in file order
    std::vector<quint64> m_slots;         // open addressing, linear probing
    std::vector<Section> m_sections;      // 0: the values before any section line
    QHash<QString, quint32> m_sectionIds;
    std::vector<qint64> m_skipped;        // starts of lines that are no setting
    bool m_duplicates = false;            // some key is there twice in a section
};

// The settings file written so that it is never seen half-done: the whole INI text goes to
// a temporary file in the same folder (a new name, created exclusively and never through a
// link), is flushed to the disk, read back and compared, and only then renamed over the old
// file; the folder is flushed last. Any failure (full disk, read-only folder, short write)
// leaves the old file as it was. When the settings file is a symbolic link, the file it
// points to is the one replaced. A new file is the user's alone (0600); an existing one
// keeps its mode. The text is streamed from a document and its changes: the file is never
// held twice, neither to write it nor to compare it.
//
// No state: one object may be used from any one thread at a time.
class CAtomicIniFile
{
public:
    explicit CAtomicIniFile(QString filePath);

    const QString &filePath() const { return m_filePath; }

    // Reads and indexes the file. A missing file reads as empty (true); a file that exists
    // but cannot be read gives false and leaves document untouched. Lines that are no
    // setting are skipped with a warning. stamp gets the version that was read.
    bool read(std::shared_ptr<const CIniDocument> &document, FileStamp *stamp = nullptr) const;
    // Replaces the file with the document's text with the changes made, atomically and
    // verified; false leaves the old file. stamp gets the version written.
    bool write(const CIniDocument &document, const IniChanges &changes, FileStamp *stamp = nullptr) const;
    // The version of the file on the disk now (not exists when there is none).
    FileStamp stamp() const;

    // Temporary files left behind by writers that were killed; removed when their process
    // is gone.
    void removeStaleTemporaries() const;

private:
    QString m_filePath;
};
