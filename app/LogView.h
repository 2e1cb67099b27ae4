#pragma once

#include "app/ColourRef.h"
// LogKind is the protocol's, which says what each piece it logs is.
#include "protocol/ReaderView.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QPlainTextEdit>
#include <QTextFormat>

#include <functional>
#include <utility>
#include <vector>

// Colours of the traffic log, platform colour values (red in the low byte, blue in the third).
inline constexpr ColourRef LOG_COLOUR_SENT = 0x000000FF;      // pure red: what the tool sends
inline constexpr ColourRef LOG_COLOUR_RECEIVED = 0x00FF0000;  // pure blue: what the reader sends
// Dark green (#006400, 7.4:1 on white): the tool's own notes (connection changes, why something
// was not sent or not typed), which are neither sent nor received text.
inline constexpr ColourRef LOG_COLOUR_NOTE = 0x00006400;
// Burnt orange (#A04000, 6.5:1 on white): the tool's notes on a failure (not opened, lost,
// not sent, not saved), apart from the red of what is sent and the green of what went well.
inline constexpr ColourRef LOG_COLOUR_ERROR = 0x000040A0;

// How Save Log As writes the log: as it is shown; each line marked by who said it; or as
// HTML in the kinds' designed colours.
enum class LogSaveFormat {
    Plain,
    Direction,
    Html,
};

// The traffic log: a read-only text view that is only ever appended to at its end or
// emptied. Each append sets the colour of its kind and records the kind itself in the
// characters' format (LOG_KIND_PROPERTY), which a saved log reads back; CR LF pairs (and a
// lone CR or LF) become line breaks. User-interface thread only.
//
// Time stamps, while they are on: each line starts with the local time, to the millisecond,
// at which its first character (or its line break) was appended, in the colour of that
// piece. A line already begun keeps what it has: received text handed in slices gets no
// stamp in the middle of a line. A command sent after a line left open (the reader's prompt)
// is the exception: it starts with a stamp of its own, of the moment it was sent
// ("[10:00:00.000] $>[10:00:01.500] s"). Turning the stamps on or off changes only the lines
// begun after. The stamps are text of the log like any other (copied, saved, counted by the
// bounds).
//
// No line wraps: a protocol line reads best whole, scrolled sideways. The tool's own notes
// (Note and Error) are sentences, though: one wider than the view is shown whole, in lines as
// wide as the tip allows, in the tooltip of its line. The log's text stays as appended, so
// that what is copied and saved, and what a search finds, is the note as written.
//
// Bounds, so that memory and the time of one append or paint stay flat whatever the reader
// sends:
// - A line shows at most MAX_LINE_CHARS characters; the rest of it is left out and counted
//   by a marker at its end (OmittedMarker), which grows its count while the line goes on.
// - The log keeps at least the newest KEEP_LINES lines and KEEP_CHARS characters (markers
//   and line breaks included): once it holds KEEP_LINES + TRIM_LINES lines, or more than
//   KEEP_CHARS + TRIM_CHARS characters, the oldest whole lines go until it is back to both
//   bounds. They go in steps, each append taking at most TRIM_STEP_LINES lines more than it
//   brought, because deleting many lines costs time in proportion: dropping 10,000 at once
//   held the window for tens of milliseconds. So an append costs the same however long the
//   shift, and the log never holds more than the high marks plus one append.
class CLogView : public QPlainTextEdit
{
    Q_OBJECT

public:
    static constexpr int KEEP_LINES = 100000;
    static constexpr int TRIM_LINES = 10000;
    // About 16 MB of text. Reader lines of tags are far shorter than 80 characters, so for
    // them the line bound comes first; the character bound holds a log of long lines.
    static constexpr int KEEP_CHARS = 8000000;
    static constexpr int TRIM_CHARS = 800000;
    static constexpr int TRIM_STEP_LINES = 1000;
    // Twice the longest line the tool itself sends (its 2,048-byte transmit buffer), so no
    // command and no answer of a working reader is shortened; a line is laid out and painted
    // as a whole each time it changes, and at this length that stays near a millisecond.
    static constexpr int MAX_LINE_CHARS = 4096;

    explicit CLogView(QWidget *parent = nullptr);

    // The character format property that holds each piece's LogKind (as an int).
    static constexpr int LOG_KIND_PROPERTY = QTextFormat::UserProperty + 1;

    // Appends the text at the end in the colour of its kind. While the log has the keyboard
    // focus the view stays where the operator put it; otherwise the last line ends at the bottom.
    void AppendLog(const QString &text, LogKind kind);
    // The designed colour of each kind of piece.
    static ColourRef KindColour(LogKind kind);
    // Deletes all text; the log stays read-only.
    void Clear();
    // Time stamps on the lines begun from now on; off at first.
    void SetTimeStamps(bool on) { m_timeStamps = on; }
    bool TimeStamps() const { return m_timeStamps; }
    // Where the stamps' time comes from (tests feed their own); the system's local time.
    void SetClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    // The stamp that starts a line begun at `time`.
    static QString TimeStamp(const QDateTime &time);
    // The colour a piece logged in `colour` is shown in: the designed one, except on a dark
    // palette, where it is the nearest shade of its hue that reads on the log's base colour.
    // Text already in the log keeps its colour when the palette changes.
    QColor ShownColour(ColourRef colour) const;

    // The text as toPlainText() gives it at this moment, copied a slice at a time between
    // the event loop's other work (a full log is millions of characters: one copy would
    // hold this thread for several milliseconds) and handed to `done` on this thread. Lines
    // logged meanwhile are not part of it. Old lines are not trimmed while a copy is under
    // way; Clear and FinishCopies complete every copy at once.
    void CopyText(std::function<void(const QString &)> done, LogSaveFormat format = LogSaveFormat::Plain);
    void FinishCopies();
    static constexpr qsizetype COPY_SLICE_CHARS = 256 * 1024;

    // The text of the tool's note at `pos` (viewport coordinates) when the view does not show
    // it whole; "" elsewhere. Its line's tooltip.
    QString NoteTipAt(const QPoint &pos) const;

    // The line (block) number of the first and the last line in view.
    int FirstVisibleLine() const;
    int LastVisibleLine() const;

    // What ends a line of which `count` characters were left out.
    static QString OmittedMarker(qint64 count);

protected:
    void changeEvent(QEvent *event) override;
    // The tooltip of a note cut at the view's edge.
    bool viewportEvent(QEvent *event) override;
    // The text's own entries (copy, select all), then the actions added to the log.
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    static QString toLineBreaks(const QString &text);
    // `lines` (LF-separated) with a stamp at the start of each line they begin, and at their
    // start too when they are a command sent after a line left open.
    QString stamped(const QString &lines, LogKind kind) const;
    // The text to insert for `lines` (LF-separated) at the end of the log: each line cut at
    // MAX_LINE_CHARS and ended by its marker. Updates the last line's counts; sets
    // `replaceMarker` when the last line's marker already in the document must go first.
    QString boundLines(const QString &lines, bool &replaceMarker);
    // Removes a step of the oldest lines while the log is over its bounds, after an append
    // that brought `linesAdded` line breaks; returns how many went.
    int trimOldLines(int linesAdded);

    // A copy under way: the lines before `lastLine` stay as they are until it is complete
    // (appends change only the last line, and nothing is trimmed); the last line, which
    // appends may still change, was taken at the start.
    struct TextCopy
    {
        QString text;
        int nextLine = 0;
        int lastLine = 0;
        QList<QPair<LogKind, QString>> lastRuns;   // the last line's text, by kind
        LogSaveFormat format = LogSaveFormat::Plain;
        std::function<void(const QString &)> done;
    };
    // Copies about `budget` more characters into each copy (everything when negative),
    // hands over those complete, and queues the next slice while any remain.
    void copySlice(qsizetype budget);

    // The log's last line: characters left out of it, and the length of its marker at the
    // end of the document (0 while nothing was left out).
    qint64 m_lastLineOmitted = 0;
    int m_lastMarkerLength = 0;
    bool m_trimming = false;   // a high mark was reached; steps go on until both bounds hold
    std::vector<TextCopy> m_copies;
    bool m_copySliceQueued = false;
    mutable QHash<ColourRef, QColor> m_shownColours;   // for the palette in force
    bool m_timeStamps = false;
    std::function<QDateTime()> m_clock = &QDateTime::currentDateTime;
};
