#pragma once

// LogKind is the protocol's, which says what each piece it logs is.
#include "protocol/ReaderView.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <deque>

// The traffic log's text as compact line records: each finished line's characters sit one
// after the other in large chunks of UTF-16, and a line is a record of where (24 bytes); the
// kinds are kept only where they change. The last line, which appends may still change, is
// a string of its own. Nothing is stored per character but the character itself, so a line
// of 26 characters takes about 80 bytes, where a text document's block with its fragments and
// layout took well over a kilobyte.
//
// Positions are absolute: every character ever held counts, each line's break as one, and
// trimming the oldest lines does not move them. A selection or a copy in absolute positions
// stays on its characters while lines are trimmed before it.
//
// Lines are numbered from 0, the oldest held; the last (open) line always exists, empty
// after a line break. One thread only (the window's).
class CLogLines
{
public:
    using Runs = QList<QPair<LogKind, QString>>;

    // Lines held, the open last line included (1 when empty).
    int Count() const { return int(m_lines.size()) + 1; }
    QStringView Text(int line) const;
    qint64 Start(int line) const;
    int Length(int line) const { return int(Text(line).size()); }
    // The absolute position of the first character held, and of the open line's end.
    qint64 FirstPosition() const { return m_lines.empty() ? m_openStart : m_lines.front().start; }
    qint64 EndPosition() const { return m_openStart + m_open.size(); }
    // Characters held, each line's break included.
    qint64 Characters() const { return EndPosition() - FirstPosition(); }
    // The line that holds absolute position `at` (clamped to the lines held).
    int LineAt(qint64 at) const;
    // A line's text in runs of one kind each.
    Runs RunsOf(int line) const;
    // Whether any character of the line is of `a` or `b`.
    bool HoldsKind(int line, LogKind a, LogKind b) const;
    LogKind KindAt(qint64 at) const;

    // Appends to the open line; removes its last `count` characters.
    void Append(QStringView text, LogKind kind);
    void RemoveOpenTail(int count);
    // Ends the open line: it is stored, and an empty one follows.
    void Break();
    // Forgets the oldest `lines` finished lines.
    void DropFront(int lines);
    void Clear();

    // Bytes held (records, chunks, runs, the open line), capacity included.
    std::size_t MemoryBytes() const;

private:
    struct Line
    {
        qint64 start;
        quint32 chunk;    // m_chunks[chunk - m_firstChunk]
        quint32 offset;
        quint32 length;
    };
    struct Run
    {
        qint64 at;        // the kind holds from here to the next run
        LogKind kind;
    };
    // The first run that holds position `at`.
    std::deque<Run>::const_iterator runAt(qint64 at) const;

    std::deque<Line> m_lines;
    std::deque<QString> m_chunks;
    quint32 m_firstChunk = 0;
    QString m_open;
    qint64 m_openStart = 0;
    std::deque<Run> m_runs;
};
