#pragma once

#include "xml/XML.h"
#include "xml/XMLFast.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

class QIODevice;

// The parser's view of its input: at every step a piece of up to
// READ_CHUNK_BYTES bytes from the current position, converted to characters
// (one byte each, or UTF-16 little-endian once the input or the tree it is read
// into was seen to be UTF-16).
//
// The parser decides how much of each piece it consumes and continues from
// there. Reading the device again from that position for every step would read
// and convert up to 16 KiB per token; instead the bytes ahead are read once in
// large blocks, converted once and kept, and each piece is a view into them. A
// piece holds exactly what a read of READ_CHUNK_BYTES from the position would
// give, however short the device's own reads are, so the results are those of
// the piece rules. Memory: one fill block plus one piece.
class CXMLInput
{
public:
    struct Piece
    {
        QStringView chars;
        qint64 bytes = 0; // bytes the read returned (an odd last byte has no character)
    };

    // `unicodeFile`: the tree read into already came from a UTF-16 file; the input is then
    // UTF-16 with or without its mark. Warnings go to `warning` (qWarning without one).
    explicit CXMLInput(QIODevice &device, int unicodeFile = 0, CXMLWarningFunction warning = {});

    // The piece at the current position; `bytes` is 0 at the end of the input.
    // Valid until the next Read.
    Piece Read();
    // The last `consumedChars` characters before the position and the next
    // `aheadChars`, as one view; empty when they are not all held. Valid until
    // the next Read. At least KEPT_BEHIND_CHARS behind are held after a Read.
    QStringView WithConsumed(qsizetype consumedChars, qsizetype aheadChars) const;
    static constexpr qsizetype KEPT_BEHIND_CHARS = 2;
    // Moves the position forward; at most the last piece's bytes.
    void Advance(qint64 bytes);
    int CharWidth() const { return m_width; }
    // 1 when the input is read as UTF-16 (known after the first Read).
    int UnicodeFile() const { return m_unicodeFile; }
    void Warn(const QString &text) const { ShowXMLWarning(m_warning, text); }
    // Names and short values as shared strings (see StringCache).
    QString Intern(QStringView name) { return m_strings.Intern(name); }
    qint64 Position() const { return m_position; }
    // Scratch string the tokenizer builds each tag in; its capacity is kept from
    // one tag to the next, so a tag costs no allocation.
    QString &TokenBuffer() { return m_token; }

private:
    qint64 AvailableBytes() const { return (m_chars.size() - m_index) * m_width + m_pending.size(); }
    void Fill();
    void Convert(const char *data, qint64 n);

    int m_unicodeFile = 0;
    CXMLWarningFunction m_warning;
    QIODevice &m_device;
    QByteArray m_block;     // scratch for device reads
    QByteArray m_pending;   // bytes read but not yet converted (the odd UTF-16 byte, or before detection)
    QString m_chars;        // converted characters; m_index is the current position
    qsizetype m_index = 0;
    qint64 m_position = 0;  // bytes consumed since the start
    int m_width = 1;
    bool m_detected = false;
    bool m_end = false;
    QString m_token;
    StringCache m_strings;
};

// Read and Advance run several times per tag: kept inline.
inline CXMLInput::Piece CXMLInput::Read()
{
    if (!m_end && AvailableBytes() < READ_CHUNK_BYTES)
        Fill();
    const qint64 bytes = qMin(READ_CHUNK_BYTES, AvailableBytes());
    return {QStringView(m_chars).mid(m_index, bytes / m_width), bytes};
}

inline void CXMLInput::Advance(qint64 bytes)
{
    Q_ASSERT(bytes >= 0 && bytes <= AvailableBytes());
    m_index += bytes / m_width;
    m_position += bytes;
    if (bytes % m_width)
        m_pending.clear(); // the odd last byte of a UTF-16 input, which has no character
}
