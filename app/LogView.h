#pragma once

#include "app/ColourRef.h"
// LogKind is the protocol's, which says what each piece it logs is.
#include "protocol/ReaderView.h"

#include "app/LogLines.h"

#include <QAbstractScrollArea>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>

#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

class QTextLayout;

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

// The traffic log: a read-only view that is only ever appended to at its end or emptied.
// Each append is kept with its kind, which sets its colour (and a saved log reads back); CR
// LF pairs (and a lone CR or LF) become line breaks. User-interface thread only.
//
// The text is held as compact line records (CLogLines), not as a text document: an append
// costs a copy of its characters and a record per line, whatever the log holds, and a line
// takes its characters and 24 bytes. Only the lines in view are laid out, when painted, and
// their layouts are kept while they stay in view. What this gives up against a rich-text
// edit: no caret and no keyboard selection (the log is read-only; the mouse selects, Ctrl+A
// selects all, Ctrl+C copies), and a text piece's colour is its kind's colour for the palette
// in force, so a palette change recolours the lines already there.
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
// No line of the reader wraps: a protocol line reads best whole, scrolled sideways. The
// tool's own notes (Note and Error) are sentences, though: a note line wraps at the view's
// width, so a failure is read whole without a mouse; it is one line of the log all the same
// (copied, saved and found as written), and its tooltip also shows it whole.
//
// Bounds, so that memory and the time of one append or paint stay flat whatever the reader
// sends:
// - A line shows at most MAX_LINE_CHARS characters; the rest of it is left out and counted
//   by a marker at its end (OmittedMarker), which grows its count while the line goes on.
// - The log keeps at least the newest KEEP_LINES lines and KEEP_CHARS characters (markers
//   and line breaks included): once it holds KEEP_LINES + TRIM_LINES lines, or more than
//   KEEP_CHARS + TRIM_CHARS characters, the oldest whole lines go until it is back to both
//   bounds. Dropping a line is dropping its record, so they go at once.
class CLogView : public QAbstractScrollArea
{
    Q_OBJECT

public:
    static constexpr int KEEP_LINES = 100000;
    static constexpr int TRIM_LINES = 10000;
    // About 16 MB of text. Reader lines of tags are far shorter than 80 characters, so for
    // them the line bound comes first; the character bound holds a log of long lines.
    static constexpr int KEEP_CHARS = 8000000;
    static constexpr int TRIM_CHARS = 800000;
    // Twice the longest line the tool itself sends (its 2,048-byte transmit buffer), so no
    // command and no answer of a working reader is shortened; a line is laid out and painted
    // as a whole each time it changes, and at this length that stays near a millisecond.
    static constexpr int MAX_LINE_CHARS = 4096;

    explicit CLogView(QWidget *parent = nullptr);
    ~CLogView() override;

    // Appends the text at the end in the colour of its kind. While the log has the keyboard
    // focus the view stays where the operator put it; otherwise the last line ends at the bottom.
    void AppendLog(const QString &text, LogKind kind);
    // The designed colour of each kind of piece.
    static ColourRef KindColour(LogKind kind);
    // Deletes all text.
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
    QColor ShownColour(ColourRef colour) const;

    // The log's text as it is held: its lines (the last one open, empty after a line break),
    // each line's pieces by kind, and the whole text with LF between lines.
    int LineCount() const { return m_lines.Count(); }
    QString LineText(int line) const { return m_lines.Text(line).toString(); }
    CLogLines::Runs LineRuns(int line) const { return m_lines.RunsOf(line); }
    // Characters held, each line's break and one for the end included, as a text document
    // counts them (1 when empty).
    qint64 CharacterCount() const { return m_lines.Characters() + 1; }
    bool IsEmpty() const { return CharacterCount() == 1; }
    // Whether the last line has begun (the reader's prompt, a line not ended yet).
    bool LastLineOpen() const { return m_lines.Length(m_lines.Count() - 1) > 0; }
    QString toPlainText() const;
    // Always: the operator reads the log, never types into it.
    bool isReadOnly() const { return true; }
    // The first line from `fromLine` on that holds `text` (ASCII letters in either case when
    // `anyCase`), or -1.
    int FindLine(const QString &text, int fromLine = 0, bool anyCase = false) const;

    // The selection, in characters of the text as toPlainText() gives it (from the first
    // character held); the mouse makes it, Ctrl+A selects everything, Ctrl+C copies it.
    void SetSelection(qint64 from, qint64 to);
    void SelectAll();
    QString SelectedText() const;
    bool HasSelection() const { return m_anchor != m_cursor; }
    void CopySelection() const;

    // The text as toPlainText() gives it at this moment, copied a slice at a time between
    // the event loop's other work (a full log is millions of characters: one copy would
    // hold this thread for several milliseconds) and handed to `done` on this thread. Lines
    // logged meanwhile are not part of it. Old lines are not trimmed while a copy is under
    // way; Clear and FinishCopies complete every copy at once.
    void CopyText(std::function<void(const QString &)> done, LogSaveFormat format = LogSaveFormat::Plain);
    void FinishCopies();
    static constexpr qsizetype COPY_SLICE_CHARS = 256 * 1024;

    // The text of the tool's note at `pos` (viewport coordinates) when the view does not show
    // it on one line; "" elsewhere. Its line's tooltip.
    QString NoteTipAt(const QPoint &pos) const;

    // The line number of the first and the last line in view, and where a line is shown
    // (viewport coordinates; empty when out of view).
    int FirstVisibleLine() const;
    int LastVisibleLine() const;
    QRect LineRect(int line) const;

    // What ends a line of which `count` characters were left out.
    static QString OmittedMarker(qint64 count);

    // Bytes the log holds for its text (records and characters, capacity included).
    std::size_t MemoryBytes() const { return m_lines.MemoryBytes(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    // The tooltip of a note not shown on one line.
    bool viewportEvent(QEvent *event) override;
    // Copy and Select All, then the actions added to the log.
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    friend class CLogViewAccessible;

    // Appends one piece of a line (no line break in it) to the open line, cut at
    // MAX_LINE_CHARS and ended by its marker.
    void appendBounded(QStringView piece, LogKind kind);
    // Removes the oldest lines while the log is over its bounds; returns how many went.
    int trimOldLines();

    // Layouts of the lines in view, by the line's number since the log began (trims do not
    // move it); made when first painted or measured.
    const QTextLayout &layoutOf(int line) const;
    bool wrapsAsNote(int line) const;
    int lineHeight(int line) const;
    int rowHeight() const;
    qreal textLeft() const;
    void forgetLayouts() const;
    void updateScrollBars();
    // Paints at most once a frame however often appends come.
    void queueRepaint();
    // The line and the absolute position of the character at viewport point `pos`.
    int lineAtY(int y) const;
    qint64 positionAt(const QPoint &pos) const;
    void selectionChanged();
    // The text from absolute position `from` to `to`, as toPlainText() gives it.
    QString plainText(qint64 from, qint64 to) const;

    // A copy under way: the lines before `lastLine` stay as they are until it is complete
    // (appends change only the last line, and nothing is trimmed); the last line, which
    // appends may still change, was taken at the start.
    struct TextCopy
    {
        QString text;
        qint64 nextLine = 0;    // line numbers since the log began
        qint64 lastLine = 0;
        CLogLines::Runs lastRuns;   // the last line's text, by kind
        LogSaveFormat format = LogSaveFormat::Plain;
        std::function<void(const QString &)> done;
    };
    // Copies about `budget` more characters into each copy (everything when negative),
    // hands over those complete, and queues the next slice while any remain.
    void copySlice(qsizetype budget);

    CLogLines m_lines;
    qint64 m_firstLineNumber = 0;   // the number since the log began of line 0
    // The open line: characters left out of it, and the length of its marker (0 while
    // nothing was left out).
    qint64 m_lastLineOmitted = 0;
    int m_lastMarkerLength = 0;
    std::vector<TextCopy> m_copies;
    bool m_copySliceQueued = false;
    // The selection in absolute positions (trims do not move it).
    qint64 m_anchor = 0;
    qint64 m_cursor = 0;
    bool m_selecting = false;
    int m_widestLineChars = 0;
    int m_contentWidth = 0;
    mutable std::unordered_map<qint64, std::unique_ptr<QTextLayout>> m_layouts;
    mutable int m_layoutWidth = -1;
    int m_rowHeight = 1;           // of the font in force
    int m_droppedSinceReturn = 0;  // lines trimmed since the freed memory last went back
    bool m_repaintQueued = false;
    mutable QHash<ColourRef, QColor> m_shownColours;   // for the palette in force
    bool m_timeStamps = false;
    std::function<QDateTime()> m_clock = &QDateTime::currentDateTime;
};
