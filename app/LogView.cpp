#include "app/LogView.h"

#include "controls/common/ReadableColours.h"

#include "platform/Memory.h"
#include "protocol/TrafficLine.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// Room around the text, as a text document leaves it.
constexpr int TEXT_MARGIN = 4;
// Layouts kept: a few screens of lines; past it they are made again when painted.
constexpr std::size_t MAX_LAYOUTS = 1024;
// How a line that holds no note is laid out: one row however wide, its separators shown as
// spaces (they are kept in the text, and copied and saved as line breaks).
constexpr qreal UNWRAPPED_WIDTH = 1e7;
// The longest a change waits for its paint: one frame at 60 Hz.
constexpr int REPAINT_PERIOD_MS = 16;

} // namespace

namespace {

// What toPlainText() makes of a block's text: its line and paragraph separators (and the
// frame marks) are line breaks, a no-break space a space.
void appendAsPlainText(QString &to, QStringView text)
{
    const qsizetype from = to.size();
    to += text;
    for (QChar *c = to.data() + from, *end = to.data() + to.size(); c != end; ++c) {
        switch (c->unicode()) {
        case 0xfdd0:
        case 0xfdd1:
        case QChar::ParagraphSeparator:
        case QChar::LineSeparator:
            *c = QLatin1Char('\n');
            break;
        case QChar::Nbsp:
            *c = QLatin1Char(' ');
            break;
        default:
            break;
        }
    }
}

using KindRuns = CLogLines::Runs;

// A piece's kind as the class of its span in a log saved as HTML.
QLatin1String kindName(LogKind kind)
{
    switch (kind) {
    case LogKind::Sent:
        return QLatin1String("sent");
    case LogKind::Received:
        return QLatin1String("received");
    case LogKind::Note:
        break;
    case LogKind::Error:
        return QLatin1String("error");
    }
    return QLatin1String("note");
}

// A line read back by the kinds of its pieces and written marked or as HTML costs several
// times a plain copy (measured with bench_uilatency's savehtml beside savelog): its slices
// take as many fewer characters, so that a slice holds the window about as long.
constexpr qsizetype KINDS_COPY_COST = 8;

constexpr char HTML_HEAD[] = "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
                             "<title>RFID_Lorix log</title>\n</head>\n<body>\n<pre>";
constexpr char HTML_TAIL[] = "</pre></body></html>";

// One line of the log in `format`. With direction, a line of several kinds (a command sent
// after the reader's prompt) is written as one line per kind, so that each mark is true, and
// a line separator inside a piece starts a line with the same mark.
void appendLine(QString &to, LogSaveFormat format, const KindRuns &runs)
{
    bool first = true;
    for (const auto &[kind, text] : runs) {
        QString plain;
        appendAsPlainText(plain, text);
        switch (format) {
        case LogSaveFormat::Plain:
            to += plain;
            break;
        case LogSaveFormat::Direction:
            if (!first)
                to += QLatin1Char('\n');
            to += TrafficMark(kind);
            to += plain.replace(QLatin1Char('\n'), QLatin1Char('\n') + TrafficMark(kind));
            break;
        case LogSaveFormat::Html:
            to += QLatin1String("<span class=\"") + kindName(kind) + QLatin1String("\" style=\"color:")
                  + ToQColor(CLogView::KindColour(kind)).name() + QLatin1String("\">");
            to += plain.toHtmlEscaped();
            to += QLatin1String("</span>");
            break;
        }
        first = false;
    }
}

} // namespace

// What assistive technology reads of the log: a read-only multi-line text, its characters
// counted as toPlainText() gives them.
class CLogViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit CLogViewAccessible(CLogView *log) : QAccessibleWidget(log, QAccessible::EditableText) {}

    static QAccessibleInterface *factory(const QString &className, QObject *object)
    {
        if (className == QLatin1String("CLogView") && object != nullptr && object->isWidgetType())
            return new CLogViewAccessible(static_cast<CLogView *>(object));
        return nullptr;
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.editable = false;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return log()->toPlainText();
        return QAccessibleWidget::text(t);
    }

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = 0;
        if (selectionIndex != 0 || !log()->HasSelection())
            return;
        *startOffset = offsetOf(std::min(log()->m_anchor, log()->m_cursor));
        *endOffset = offsetOf(std::max(log()->m_anchor, log()->m_cursor));
    }
    int selectionCount() const override { return log()->HasSelection() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override { log()->SetSelection(startOffset, endOffset); }
    void removeSelection(int) override { log()->SetSelection(0, 0); }
    void setSelection(int, int startOffset, int endOffset) override { log()->SetSelection(startOffset, endOffset); }
    int cursorPosition() const override { return offsetOf(log()->m_cursor); }
    void setCursorPosition(int position) override { log()->SetSelection(position, position); }
    QString text(int startOffset, int endOffset) const override
    {
        return log()->plainText(log()->m_lines.FirstPosition() + startOffset, log()->m_lines.FirstPosition() + endOffset);
    }
    int characterCount() const override { return int(std::min<qint64>(log()->m_lines.Characters(), INT_MAX)); }
    QRect characterRect(int offset) const override
    {
        const CLogView *view = log();
        const qint64 at = view->m_lines.FirstPosition() + offset;
        const int line = view->m_lines.LineAt(at);
        const QRect lineRect = view->LineRect(line);
        if (lineRect.isEmpty())
            return QRect();
        const QTextLayout &layout = view->layoutOf(line);
        const int column = int(at - view->m_lines.Start(line));
        const QTextLine row = layout.lineForTextPosition(column);
        if (!row.isValid())
            return QRect();
        const qreal x = row.cursorToX(column);
        const QRect r(int(view->textLeft() + x), lineRect.top() + int(row.y()), view->fontMetrics().averageCharWidth(),
                      view->rowHeight());
        return QRect(view->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        const CLogView *view = log();
        return offsetOf(view->positionAt(view->viewport()->mapFromGlobal(point)));
    }
    void scrollToSubstring(int startIndex, int) override
    {
        CLogView *view = log();
        view->verticalScrollBar()->setValue(view->m_lines.LineAt(view->m_lines.FirstPosition() + startIndex));
    }
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = offset;
        return QString();
    }

private:
    CLogView *log() const { return static_cast<CLogView *>(widget()); }
    int offsetOf(qint64 at) const
    {
        return int(std::clamp<qint64>(at - log()->m_lines.FirstPosition(), 0, log()->m_lines.Characters()));
    }
};

CLogView::CLogView(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    static const bool accessibleInstalled = [] {
        QAccessible::installFactory(&CLogViewAccessible::factory);
        return true;
    }();
    Q_UNUSED(accessibleInstalled);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    verticalScrollBar()->setSingleStep(1);
    m_rowHeight = std::max(1, int(std::ceil(QFontMetricsF(font()).height())));
    updateScrollBars();
}

CLogView::~CLogView() = default;

QString CLogView::TimeStamp(const QDateTime &time)
{
    return time.toString(QStringLiteral("[HH:mm:ss.zzz] "));
}

QString CLogView::OmittedMarker(qint64 count)
{
    return QStringLiteral(" \u2026 [%1 characters not shown]").arg(QLocale(QLocale::English).toString(count));
}

QColor CLogView::ShownColour(ColourRef colour) const
{
    const QPalette &pal = palette();
    if (!IsDarkPalette(pal))
        return ToQColor(colour);
    // Few colours are ever logged; each is worked out once per palette.
    auto it = m_shownColours.constFind(colour);
    if (it == m_shownColours.constEnd())
        it = m_shownColours.insert(colour, ReadableOn(ToQColor(colour), pal.color(QPalette::Base)));
    return it.value();
}

ColourRef CLogView::KindColour(LogKind kind)
{
    switch (kind) {
    case LogKind::Sent:
        return LOG_COLOUR_SENT;
    case LogKind::Received:
        return LOG_COLOUR_RECEIVED;
    case LogKind::Error:
        return LOG_COLOUR_ERROR;
    case LogKind::Note:
        break;
    }
    return LOG_COLOUR_NOTE;
}

// The piece's text within the open line's bound; the marker grows while the line goes on.
void CLogView::appendBounded(QStringView piece, LogKind kind)
{
    if (piece.isEmpty())
        return;
    qsizetype take = 0;
    if (m_lastLineOmitted == 0) {
        const int last = m_lines.Count() - 1;
        take = qMin<qsizetype>(piece.size(), MAX_LINE_CHARS - m_lines.Length(last));
        // A character is not cut in two.
        if (take > 0 && take < piece.size() && piece.at(take - 1).isHighSurrogate())
            --take;
        m_lines.Append(piece.left(take), kind);
        if (take == piece.size())
            return;
    }
    m_lastLineOmitted += piece.size() - take;
    m_lines.RemoveOpenTail(m_lastMarkerLength);
    const QString marker = OmittedMarker(m_lastLineOmitted);
    m_lines.Append(marker, kind);
    m_lastMarkerLength = int(marker.size());
}

void CLogView::AppendLog(const QString &text, LogKind kind)
{
    if (text.isEmpty())
        return;
    QScrollBar *vertical = verticalScrollBar();
    const bool keepView = hasFocus();
    const int viewLine = vertical->value();
    const qint64 endBefore = m_lines.EndPosition();
    m_layouts.erase(m_firstLineNumber + m_lines.Count() - 1);

    // The log's last line is empty only before its first character: a line to begin. A
    // command sent after a line left open is stamped where it starts: the open line's stamp
    // tells when that line began, not when the command went out.
    const QChar *data = text.constData();
    const qsizetype n = text.size();
    bool lineStart = !LastLineOpen()
                     || (kind == LogKind::Sent && data[0] != QLatin1Char('\r') && data[0] != QLatin1Char('\n'));
    QString stamp;
    // The document treated CR and LF alike as a line break, and a CR LF pair as one.
    for (qsizetype from = 0; from < n;) {
        qsizetype end = from;
        while (end < n && data[end] != QLatin1Char('\n') && data[end] != QLatin1Char('\r'))
            ++end;
        if (m_timeStamps && lineStart) {
            if (stamp.isEmpty())
                stamp = TimeStamp(m_clock());
            appendBounded(stamp, kind);
        }
        appendBounded(QStringView(data + from, end - from), kind);
        if (end == n)
            break;
        const int length = m_lines.Length(m_lines.Count() - 1);
        if (length > m_widestLineChars) {
            m_widestLineChars = length;
            m_contentWidth = std::max(m_contentWidth, fontMetrics().horizontalAdvance(m_lines.Text(m_lines.Count() - 1).toString()));
        }
        m_lines.Break();
        m_lastLineOmitted = 0;
        m_lastMarkerLength = 0;
        // After a line break a line begins, but only text after it gets its stamp now.
        lineStart = true;
        from = end + (data[end] == QLatin1Char('\r') && end + 1 < n && data[end + 1] == QLatin1Char('\n') ? 2 : 1);
    }

    const int removed = trimOldLines();
    if (QAccessible::isActive()) {
        QAccessibleTextInsertEvent inserted(this, int(std::max<qint64>(0, endBefore - m_lines.FirstPosition())),
                                            plainText(endBefore, m_lines.EndPosition()));
        QAccessible::updateAccessibility(&inserted);
    }
    updateScrollBars();
    if (keepView) {
        // The vertical scroll bar counts lines: removing lines above the view moves its
        // content up by as many.
        vertical->setValue(qMax(0, viewLine - removed));
    } else {
        vertical->setValue(vertical->maximum());
    }
    queueRepaint();
}

int CLogView::trimOldLines()
{
    if (!m_copies.empty())
        return 0;   // the next append after the copies trims
    const int lines = m_lines.Count();
    const qint64 chars = CharacterCount();
    if (lines < KEEP_LINES + TRIM_LINES && chars <= KEEP_CHARS + TRIM_CHARS)
        return 0;
    // Back to both bounds: the first line kept leaves KEEP_LINES lines, and keeps the line
    // that holds the KEEP_CHARS-th character from the end.
    int firstKept = qMax(0, lines - KEEP_LINES);
    if (chars > KEEP_CHARS)
        firstKept = qMax(firstKept, m_lines.LineAt(m_lines.FirstPosition() + chars - KEEP_CHARS));
    // The last line always stays: it holds the marker the next append may update.
    firstKept = qMin(firstKept, lines - 1);
    m_lines.DropFront(firstKept);
    m_firstLineNumber += firstKept;
    if (m_layouts.size() > MAX_LAYOUTS)
        m_layouts.clear();
    // Once the log has turned over, its freed pages go back; the walk over the allocator's
    // lists is not worth it for every trim.
    m_droppedSinceReturn += firstKept;
    if (m_droppedSinceReturn >= KEEP_LINES) {
        m_droppedSinceReturn = 0;
        ReturnFreedMemory();
    }
    return firstKept;
}

void CLogView::Clear()
{
    FinishCopies();
    m_lines.Clear();
    m_firstLineNumber = 0;
    m_lastLineOmitted = 0;
    m_lastMarkerLength = 0;
    m_widestLineChars = 0;
    m_contentWidth = 0;
    m_anchor = m_cursor = m_lines.EndPosition();
    m_layouts.clear();
    ReturnFreedMemory();
    updateScrollBars();
    viewport()->update();
}

bool CLogView::wrapsAsNote(int line) const
{
    return m_lines.HoldsKind(line, LogKind::Note, LogKind::Error);
}

int CLogView::rowHeight() const
{
    return m_rowHeight;
}

void CLogView::queueRepaint()
{
    if (m_repaintQueued)
        return;
    m_repaintQueued = true;
    QTimer::singleShot(REPAINT_PERIOD_MS, this, [this] {
        m_repaintQueued = false;
        viewport()->update();
    });
}

qreal CLogView::textLeft() const
{
    return TEXT_MARGIN - horizontalScrollBar()->value();
}

void CLogView::forgetLayouts() const
{
    m_layouts.clear();
}

const QTextLayout &CLogView::layoutOf(int line) const
{
    const int width = viewport()->width();
    if (width != m_layoutWidth) {
        m_layouts.clear();   // notes wrap at the view's width
        m_layoutWidth = width;
    }
    std::unique_ptr<QTextLayout> &held = m_layouts[m_firstLineNumber + line];
    if (held)
        return *held;
    const bool wrap = wrapsAsNote(line);
    QString text = m_lines.Text(line).toString();
    if (!wrap) {
        for (QChar &c : text) {
            if (c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
                c = QLatin1Char(' ');
        }
    }
    held = std::make_unique<QTextLayout>(text, font());
    QTextOption option;
    option.setWrapMode(wrap ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
    held->setTextOption(option);
    QList<QTextLayout::FormatRange> formats;
    int at = 0;
    for (const auto &[kind, piece] : m_lines.RunsOf(line)) {
        QTextLayout::FormatRange range;
        range.start = at;
        range.length = int(piece.size());
        range.format.setForeground(ShownColour(KindColour(kind)));
        formats << range;
        at += range.length;
    }
    held->setFormats(formats);
    held->setCacheEnabled(true);
    const qreal wrapWidth = std::max(40, width - 2 * TEXT_MARGIN);
    const int row = rowHeight();
    held->beginLayout();
    for (int y = 0;; y += row) {
        QTextLine textLine = held->createLine();
        if (!textLine.isValid())
            break;
        textLine.setLineWidth(wrap ? wrapWidth : UNWRAPPED_WIDTH);
        textLine.setPosition(QPointF(0, y));
    }
    held->endLayout();
    return *held;
}

int CLogView::lineHeight(int line) const
{
    // A reader's line is one row: measuring it would lay it out, for every line an append
    // brings into view.
    if (!wrapsAsNote(line))
        return rowHeight();
    return rowHeight() * std::max(1, layoutOf(line).lineCount());
}

void CLogView::updateScrollBars()
{
    const int available = viewport()->height() - 2 * TEXT_MARGIN;
    const int count = m_lines.Count();
    int fit = 0;
    for (int line = count - 1, used = 0; line >= 0; --line) {
        used += lineHeight(line);
        if (used > available)
            break;
        ++fit;
    }
    fit = std::max(fit, 1);
    QScrollBar *vertical = verticalScrollBar();
    vertical->setRange(0, count - fit);
    vertical->setPageStep(fit);
    QScrollBar *horizontal = horizontalScrollBar();
    const int shown = viewport()->width() - 2 * TEXT_MARGIN;
    horizontal->setRange(0, std::max(0, m_contentWidth + fontMetrics().averageCharWidth() - shown));
    horizontal->setPageStep(std::max(1, shown));
    horizontal->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
}

void CLogView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    const bool atEnd = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    updateScrollBars();
    if (atEnd && !hasFocus())
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void CLogView::scrollContentsBy(int, int)
{
    // Appends move the view hundreds of times a second in a flood: painted once a frame.
    queueRepaint();
}

void CLogView::paintEvent(QPaintEvent *event)
{
    if (m_layouts.size() > MAX_LAYOUTS)
        m_layouts.clear();
    QPainter painter(viewport());
    const QRect area = event->rect();
    const QPalette &pal = palette();
    QColor selectionBack = pal.color(QPalette::Active, QPalette::Highlight);
    QColor selectionText = pal.color(QPalette::Active, QPalette::HighlightedText);
    if (!hasFocus()) {
        const ColourPair inactive = InactiveSelection(pal);
        selectionBack = inactive.back;
        selectionText = inactive.text;
    }
    const qint64 selFrom = std::min(m_anchor, m_cursor);
    const qint64 selTo = std::max(m_anchor, m_cursor);
    const int count = m_lines.Count();
    const qreal left = textLeft();
    int y = TEXT_MARGIN;
    for (int line = verticalScrollBar()->value(); line < count && y <= area.bottom(); ++line) {
        const int height = lineHeight(line);
        if (y + height >= area.top()) {
            const QTextLayout &layout = layoutOf(line);
            QList<QTextLayout::FormatRange> selections;
            const qint64 start = m_lines.Start(line);
            const qint64 end = start + m_lines.Length(line);
            if (selFrom < selTo && selFrom <= end && selTo > start) {
                QTextLayout::FormatRange range;
                range.start = int(std::max(selFrom, start) - start);
                range.length = int(std::min(selTo, end) - start) - range.start;
                range.format.setBackground(selectionBack);
                range.format.setForeground(selectionText);
                selections << range;
                // The line break is selected too: a space's width after the text shows it.
                if (selTo > end && layout.lineCount() > 0) {
                    const QTextLine last = layout.lineAt(layout.lineCount() - 1);
                    painter.fillRect(QRectF(left + last.naturalTextWidth(), y + last.y(),
                                            fontMetrics().averageCharWidth(), rowHeight()),
                                     selectionBack);
                }
            }
            layout.draw(&painter, QPointF(left, y), selections);
        }
        y += height;
    }
}

int CLogView::FirstVisibleLine() const
{
    return verticalScrollBar()->value();
}

int CLogView::LastVisibleLine() const
{
    const int bottom = viewport()->rect().bottom() + 1;
    const int first = FirstVisibleLine();
    int last = first;
    int y = TEXT_MARGIN;
    for (int line = first; line < m_lines.Count(); ++line) {
        y += lineHeight(line);
        if (y > bottom)
            break;
        last = line;
    }
    return last;
}

QRect CLogView::LineRect(int line) const
{
    const int first = FirstVisibleLine();
    if (line < first || line >= m_lines.Count())
        return QRect();
    int y = TEXT_MARGIN;
    for (int l = first; l < line; ++l) {
        y += lineHeight(l);
        if (y > viewport()->height())
            return QRect();
    }
    return QRect(int(textLeft()), y, std::max(1, viewport()->width() - int(textLeft())), lineHeight(line));
}

int CLogView::lineAtY(int y) const
{
    const int count = m_lines.Count();
    int top = TEXT_MARGIN;
    int line = FirstVisibleLine();
    for (; line < count - 1; ++line) {
        const int height = lineHeight(line);
        if (y < top + height)
            break;
        top += height;
    }
    return std::min(line, count - 1);
}

qint64 CLogView::positionAt(const QPoint &pos) const
{
    const int line = lineAtY(pos.y());
    const QRect rect = LineRect(line);
    const QTextLayout &layout = layoutOf(line);
    const qint64 start = m_lines.Start(line);
    if (layout.lineCount() == 0)
        return start;
    const int row = std::clamp((pos.y() - rect.top()) / rowHeight(), 0, layout.lineCount() - 1);
    const QTextLine textLine = layout.lineAt(row);
    return start + textLine.xToCursor(pos.x() - textLeft());
}

QString CLogView::NoteTipAt(const QPoint &pos) const
{
    const int line = lineAtY(pos.y());
    const QRect rect = LineRect(line);
    if (rect.isEmpty() || !rect.contains(QPoint(std::max(pos.x(), rect.left()), pos.y())) || !wrapsAsNote(line))
        return QString();
    const QTextLayout &layout = layoutOf(line);
    if (layout.lineCount() == 0)
        return QString();
    // Shown on one line already: no tip.
    if (layout.lineCount() == 1 && horizontalScrollBar()->value() == 0)
        return QString();
    return LineText(line);
}

bool CLogView::viewportEvent(QEvent *event)
{
    if (event->type() != QEvent::ToolTip)
        return QAbstractScrollArea::viewportEvent(event);
    const auto *help = static_cast<QHelpEvent *>(event);
    const QString note = NoteTipAt(help->pos());
    // As rich text the tip breaks the note into lines as wide as the tip allows.
    if (note.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(help->globalPos(), QStringLiteral("<p>%1</p>").arg(note.toHtmlEscaped()), viewport());
    return true;
}

void CLogView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange) {
        m_shownColours.clear();
        forgetLayouts();
        if (event->type() == QEvent::FontChange) {
            m_contentWidth = m_widestLineChars * fontMetrics().maxWidth();
            m_rowHeight = std::max(1, int(std::ceil(QFontMetricsF(font()).height())));
        }
        updateScrollBars();
        viewport()->update();
    }
    QAbstractScrollArea::changeEvent(event);
}

void CLogView::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();   // the selection's colours
}

void CLogView::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void CLogView::selectionChanged()
{
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextSelectionEvent changed(this, int(std::min(m_anchor, m_cursor) - m_lines.FirstPosition()),
                                              int(std::max(m_anchor, m_cursor) - m_lines.FirstPosition()));
        changed.setCursorPosition(int(m_cursor - m_lines.FirstPosition()));
        QAccessible::updateAccessibility(&changed);
    }
}

void CLogView::SetSelection(qint64 from, qint64 to)
{
    const qint64 first = m_lines.FirstPosition();
    const qint64 held = m_lines.Characters();
    m_anchor = first + std::clamp<qint64>(from, 0, held);
    m_cursor = first + std::clamp<qint64>(to, 0, held);
    selectionChanged();
}

void CLogView::SelectAll()
{
    SetSelection(0, m_lines.Characters());
}

QString CLogView::SelectedText() const
{
    return plainText(std::min(m_anchor, m_cursor), std::max(m_anchor, m_cursor));
}

void CLogView::CopySelection() const
{
    if (HasSelection())
        QGuiApplication::clipboard()->setText(SelectedText());
}

void CLogView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const qint64 at = positionAt(event->position().toPoint());
    if (!(event->modifiers() & Qt::ShiftModifier))
        m_anchor = at;
    m_cursor = at;
    m_selecting = true;
    selectionChanged();
}

void CLogView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_selecting)
        return;
    const QPoint pos = event->position().toPoint();
    // Past the view's edge the view follows.
    if (pos.y() < 0)
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (pos.y() > viewport()->height())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    m_cursor = positionAt(pos);
    selectionChanged();
}

void CLogView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && m_selecting) {
        m_selecting = false;
        QClipboard *clipboard = QGuiApplication::clipboard();
        if (HasSelection() && clipboard->supportsSelection())
            clipboard->setText(SelectedText(), QClipboard::Selection);
    }
}

void CLogView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    // The word under the pointer.
    const qint64 at = positionAt(event->position().toPoint());
    const int line = m_lines.LineAt(at);
    const QString text = LineText(line);
    const qint64 start = m_lines.Start(line);
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, text);
    words.setPosition(int(at - start));
    const int from = words.isAtBoundary() && words.boundaryReasons().testFlag(QTextBoundaryFinder::StartOfItem)
                     ? words.position() : std::max(0, int(words.toPreviousBoundary()));
    words.setPosition(from);
    const int to = std::max(from, int(words.toNextBoundary()));
    m_anchor = start + from;
    m_cursor = start + to;
    m_selecting = false;
    selectionChanged();
}

void CLogView::keyPressEvent(QKeyEvent *event)
{
    if (event == QKeySequence::Copy) {
        CopySelection();
        return;
    }
    if (event == QKeySequence::SelectAll) {
        SelectAll();
        return;
    }
    QScrollBar *vertical = verticalScrollBar();
    QScrollBar *horizontal = horizontalScrollBar();
    switch (event->key()) {
    case Qt::Key_Up:
        vertical->triggerAction(QAbstractSlider::SliderSingleStepSub);
        return;
    case Qt::Key_Down:
        vertical->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        return;
    case Qt::Key_PageUp:
        vertical->triggerAction(QAbstractSlider::SliderPageStepSub);
        return;
    case Qt::Key_PageDown:
        vertical->triggerAction(QAbstractSlider::SliderPageStepAdd);
        return;
    case Qt::Key_Home:
        vertical->triggerAction(QAbstractSlider::SliderToMinimum);
        return;
    case Qt::Key_End:
        vertical->triggerAction(QAbstractSlider::SliderToMaximum);
        return;
    case Qt::Key_Left:
        horizontal->triggerAction(QAbstractSlider::SliderSingleStepSub);
        return;
    case Qt::Key_Right:
        horizontal->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        return;
    default:
        break;
    }
    // Typed text changes nothing; other keys go on to the window.
    event->ignore();
}

void CLogView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *copy = menu.addAction(tr("&Copy"), this, &CLogView::CopySelection);
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(HasSelection());
    QAction *all = menu.addAction(tr("Select All"), this, &CLogView::SelectAll);
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(!IsEmpty());
    if (!actions().isEmpty())
        menu.addSeparator();
    menu.addActions(actions());
    menu.exec(event->globalPos());
}

QString CLogView::plainText(qint64 from, qint64 to) const
{
    from = std::max(from, m_lines.FirstPosition());
    to = std::min(to, m_lines.EndPosition());
    QString text;
    if (from >= to)
        return text;
    text.reserve(qsizetype(to - from));
    for (int line = m_lines.LineAt(from); line < m_lines.Count(); ++line) {
        // The break before a line is the position before its start.
        const qint64 start = m_lines.Start(line);
        if (start > to)
            break;
        if (start > from)
            text += QLatin1Char('\n');
        const QStringView line_ = m_lines.Text(line);
        const qsizetype a = qsizetype(std::max<qint64>(from - start, 0));
        const qsizetype b = qsizetype(std::min<qint64>(to - start, line_.size()));
        if (b > a)
            appendAsPlainText(text, line_.mid(a, b - a));
    }
    return text;
}

QString CLogView::toPlainText() const
{
    return plainText(m_lines.FirstPosition(), m_lines.EndPosition());
}

int CLogView::FindLine(const QString &text, int fromLine, bool anyCase) const
{
    const Qt::CaseSensitivity cs = anyCase ? Qt::CaseInsensitive : Qt::CaseSensitive;
    for (int line = std::max(0, fromLine); line < m_lines.Count(); ++line) {
        if (m_lines.Text(line).contains(text, cs))
            return line;
    }
    return -1;
}

void CLogView::CopyText(std::function<void(const QString &)> done, LogSaveFormat format)
{
    const int last = m_lines.Count() - 1;
    TextCopy copy;
    copy.text.reserve(qsizetype(CharacterCount()));
    copy.nextLine = m_firstLineNumber;
    copy.lastLine = m_firstLineNumber + last;
    copy.lastRuns = m_lines.RunsOf(last);
    copy.format = format;
    if (format == LogSaveFormat::Html)
        copy.text += QLatin1String(HTML_HEAD);
    copy.done = std::move(done);
    m_copies.push_back(std::move(copy));
    if (!m_copySliceQueued) {
        m_copySliceQueued = true;
        QMetaObject::invokeMethod(this, [this] { copySlice(COPY_SLICE_CHARS); }, Qt::QueuedConnection);
    }
}

void CLogView::FinishCopies()
{
    if (!m_copies.empty())
        copySlice(-1);
}

void CLogView::copySlice(qsizetype budget)
{
    m_copySliceQueued = false;
    std::vector<TextCopy> complete;
    for (auto it = m_copies.begin(); it != m_copies.end();) {
        TextCopy &copy = *it;
        qsizetype left = budget;
        for (; copy.nextLine < copy.lastLine && (budget < 0 || left > 0); ++copy.nextLine) {
            const int line = int(copy.nextLine - m_firstLineNumber);
            const QStringView text = m_lines.Text(line);
            if (copy.format == LogSaveFormat::Plain)
                appendAsPlainText(copy.text, text);
            else
                appendLine(copy.text, copy.format, m_lines.RunsOf(line));
            copy.text += QLatin1Char('\n');
            left -= (text.size() + 1) * (copy.format == LogSaveFormat::Plain ? 1 : KINDS_COPY_COST);
        }
        if (copy.nextLine < copy.lastLine) {
            ++it;
            continue;
        }
        appendLine(copy.text, copy.format, copy.lastRuns);
        if (copy.format == LogSaveFormat::Html)
            copy.text += QLatin1String(HTML_TAIL);
        complete.push_back(std::move(copy));
        it = m_copies.erase(it);
    }
    // Queued before the hand-over: `done` may start another copy.
    if (!m_copies.empty() && !m_copySliceQueued) {
        m_copySliceQueued = true;
        QMetaObject::invokeMethod(this, [this] { copySlice(COPY_SLICE_CHARS); }, Qt::QueuedConnection);
    }
    for (TextCopy &copy : complete)
        copy.done(copy.text);
}
