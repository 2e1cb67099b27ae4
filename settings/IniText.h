#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

#include <optional>

// Section -> key -> text value. Integers are kept as their decimal text.
using IniValues = QMap<QString, QMap<QString, QString>>;
// Changes to a file's values: (section, key) -> the new text, or nullopt when removed.
using IniChanges = QMap<QPair<QString, QString>, std::optional<QString>>;

// A settings file held as its lines, in the toolkit's INI dialect (names with %XX escapes,
// text values quoted with backslash escapes), so files written by either side read on the
// other. Changes rewrite only their own lines; comments, lines that are no setting, unknown
// keys and line ends stay byte for byte. A changed value replaces the line read (the last of
// a key there twice), keeping the key as written; a new one goes after its section's last
// value, a new section at the end; a removed value loses every line of its key. Every value
// is written to read back equal, so no content is refused; an empty key no line can hold.
// A plain value: copy it to another thread rather than share it.
class CIniText
{
public:
    explicit CIniText(const QByteArray &bytes = QByteArray());

    IniValues values() const;
    void apply(const IniChanges &changes);
    QByteArray bytes() const;

private:
    // A line's section ("" before any section line) and, for a setting, its key and value.
    struct Line { QString section, key, value; bool header = false; };
    QList<Line> parse() const;

    QList<QByteArray> m_lines;   // each with its own line end, if it has one
    bool m_byteOrderMark = false;
};
