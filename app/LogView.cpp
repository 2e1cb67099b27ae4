#include "app/LogView.h"

#include "controls/common/ReadableColours.h"

#include "app/Memory.h"
#include "protocol/TrafficLine.h"

#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QLocale>
#include <QMenu>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QToolTip>

#include <memory>

CLogView::CLogView(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    // Long lines scroll sideways rather than wrap, as a log of protocol lines should.
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

QString CLogView::toLineBreaks(const QString &text)
{
    // The document treats both CR and LF as a block break, so a CR LF pair must become one
    // LF first or it would make two lines.
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return lines;
}

QString CLogView::TimeStamp(const QDateTime &time)
{
    return time.toString(QStringLiteral("[HH:mm:ss.zzz] "));
}

QString CLogView::stamped(const QString &lines, LogKind kind) const
{
    // The log's last line is empty only before its first character: a line to begin. A
    // command sent after a line left open is stamped where it starts: the open line's stamp
    // tells when that line began, not when the command went out.
    bool lineStart = document()->lastBlock().length() == 1
                     || (kind == LogKind::Sent && !lines.isEmpty() && lines.front() != QLatin1Char('\n'));
    QString stamp;
    QString out;
    for (qsizetype from = 0; from < lines.size();) {
        const qsizetype lineFeed = lines.indexOf(QLatin1Char('\n'), from);
        const qsizetype next = lineFeed < 0 ? lines.size() : lineFeed + 1;
        if (lineStart) {
            if (stamp.isEmpty()) {
                stamp = TimeStamp(m_clock());
                out.reserve(lines.size() + stamp.size() * (lines.count(QLatin1Char('\n')) + 1));
            }
            out += stamp;
        }
        out.append(lines.constData() + from, next - from);
        // After a line break a line begins, but only text after it gets its stamp now.
        lineStart = lineFeed >= 0;
        from = next;
    }
    return stamp.isEmpty() ? lines : out;
}

QString CLogView::NoteTipAt(const QPoint &pos) const
{
    const QTextBlock block = cursorForPosition(pos).block();
    if (!block.isValid() || !blockBoundingGeometry(block).translated(contentOffset()).contains(QPointF(pos)))
        return QString();
    bool note = false;
    for (auto it = block.begin(); !it.atEnd() && !note; ++it) {
        const auto kind = LogKind(it.fragment().charFormat().intProperty(LOG_KIND_PROPERTY));
        note = kind == LogKind::Note || kind == LogKind::Error;
    }
    const QTextLayout *layout = block.layout();
    if (!note || layout == nullptr || layout->lineCount() == 0)
        return QString();
    // Shown whole already: no tip.
    const qreal shownWidth = viewport()->width() - 2 * document()->documentMargin();
    if (layout->lineAt(0).naturalTextWidth() <= shownWidth && horizontalScrollBar()->value() == 0)
        return QString();
    return block.text();
}

bool CLogView::viewportEvent(QEvent *event)
{
    if (event->type() != QEvent::ToolTip)
        return QPlainTextEdit::viewportEvent(event);
    const auto *help = static_cast<QHelpEvent *>(event);
    const QString note = NoteTipAt(help->pos());
    // As rich text the tip breaks the note into lines as wide as the tip allows.
    if (note.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(help->globalPos(), QStringLiteral("<p>%1</p>").arg(note.toHtmlEscaped()), viewport());
    return true;
}

QString CLogView::OmittedMarker(qint64 count)
{
    return QStringLiteral(" \u2026 [%1 characters not shown]").arg(QLocale(QLocale::English).toString(count));
}

QString CLogView::boundLines(const QString &lines, bool &replaceMarker)
{
    replaceMarker = false;
    // The last line as it stands: a marker is only ever there once the line is full.
    qsizetype shown = document()->lastBlock().length() - 1 - m_lastMarkerLength;
    qint64 omitted = m_lastLineOmitted;
    int markerLength = m_lastMarkerLength;
    QString bounded;
    bounded.reserve(qMin<qsizetype>(lines.size(), MAX_LINE_CHARS + 64));
    bool lastLine = true;   // the line under way is the document's last line
    for (qsizetype from = 0;;) {
        const qsizetype lineFeed = lines.indexOf(QLatin1Char('\n'), from);
        const qsizetype length = (lineFeed < 0 ? lines.size() : lineFeed) - from;
        // A line that left out characters takes no more, and a character is not cut in two.
        qsizetype take = qMin<qsizetype>(length, omitted > 0 ? 0 : MAX_LINE_CHARS - shown);
        if (take > 0 && take < length && lines.at(from + take - 1).isHighSurrogate())
            --take;
        bounded.append(lines.constData() + from, take);
        shown += take;
        if (take < length) {
            omitted += length - take;
            replaceMarker |= lastLine && markerLength > 0;
            const QString marker = OmittedMarker(omitted);
            bounded += marker;
            markerLength = int(marker.size());
        }
        if (lineFeed < 0)
            break;
        bounded += QLatin1Char('\n');
        from = lineFeed + 1;
        shown = 0;
        omitted = 0;
        markerLength = 0;
        lastLine = false;
    }
    m_lastLineOmitted = omitted;
    m_lastMarkerLength = markerLength;
    return bounded;
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

void CLogView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange)
        m_shownColours.clear();
    QPlainTextEdit::changeEvent(event);
}

void CLogView::contextMenuEvent(QContextMenuEvent *event)
{
    const std::unique_ptr<QMenu> menu(createStandardContextMenu(event->pos()));
    if (!actions().isEmpty())
        menu->addSeparator();
    menu->addActions(actions());
    menu->exec(event->globalPos());
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

void CLogView::AppendLog(const QString &text, LogKind kind)
{
    QScrollBar *vertical = verticalScrollBar();
    const bool keepView = hasFocus();
    const int viewLine = vertical->value();

    QTextCharFormat format;
    format.setForeground(ShownColour(KindColour(kind)));
    format.setProperty(LOG_KIND_PROPERTY, int(kind));
    const int oldMarkerLength = m_lastMarkerLength;
    bool replaceMarker = false;
    const QString lines = toLineBreaks(text);
    const QString bounded = boundLines(m_timeStamps ? stamped(lines, kind) : lines, replaceMarker);
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.beginEditBlock();
    if (replaceMarker) {
        // The last line's count of left-out characters grows: its old marker makes way.
        const int at = end.position();
        end.setPosition(at - oldMarkerLength);
        end.setPosition(at, QTextCursor::KeepAnchor);
        end.removeSelectedText();
    }
    end.insertText(bounded, format);
    end.endEditBlock();

    const int removed = trimOldLines(int(bounded.count(QLatin1Char('\n'))));
    if (keepView) {
        // The vertical scroll bar counts lines: removing lines above the view moves its
        // content up by as many.
        vertical->setValue(qMax(0, viewLine - removed));
    } else {
        vertical->setValue(vertical->maximum());
    }
}

int CLogView::trimOldLines(int linesAdded)
{
    if (!m_copies.empty())
        return 0;   // the next append after the copies resumes, in steps as ever
    QTextDocument *doc = document();
    const int lines = doc->blockCount();
    const int chars = doc->characterCount();
    if (lines >= KEEP_LINES + TRIM_LINES || chars > KEEP_CHARS + TRIM_CHARS)
        m_trimming = true;
    if (!m_trimming)
        return 0;
    // Back to both bounds: the first line kept leaves KEEP_LINES lines, and keeps the line
    // that holds the KEEP_CHARS-th character from the end.
    int firstKept = qMax(0, lines - KEEP_LINES);
    if (chars > KEEP_CHARS)
        firstKept = qMax(firstKept, doc->findBlock(chars - KEEP_CHARS).blockNumber());
    // The last line always stays: it holds the marker the next append may update.
    firstKept = qMin(firstKept, lines - 1);
    const int step = qMin(firstKept, TRIM_STEP_LINES + linesAdded);
    m_trimming = step < firstKept;
    if (step > 0) {
        QTextCursor cut(doc);
        cut.movePosition(QTextCursor::Start);
        cut.setPosition(doc->findBlockByNumber(step).position(), QTextCursor::KeepAnchor);
        cut.removeSelectedText();
    }
    if (!m_trimming)
        ReturnFreedMemory();
    return step;
}

void CLogView::Clear()
{
    FinishCopies();
    // A document cursor edits regardless of the view's read-only flag, which stays set.
    QTextCursor all(document());
    all.select(QTextCursor::Document);
    all.removeSelectedText();
    m_lastLineOmitted = 0;
    m_lastMarkerLength = 0;
    m_trimming = false;
}

namespace {

// What toPlainText() makes of a block's text: its line and paragraph separators (and the
// frame marks) are line breaks, a no-break space a space.
void appendAsPlainText(QString &to, const QString &text)
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

using KindRuns = QList<QPair<LogKind, QString>>;

// A line's text in runs of one kind each, from the kinds its pieces were appended with.
KindRuns runsOf(const QTextBlock &block)
{
    KindRuns runs;
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        const auto kind = LogKind(fragment.charFormat().intProperty(CLogView::LOG_KIND_PROPERTY));
        if (!runs.isEmpty() && runs.back().first == kind)
            runs.back().second += fragment.text();
        else
            runs.append({kind, fragment.text()});
    }
    return runs;
}

// Who said a line, at its start in a log saved with direction.
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

void CLogView::CopyText(std::function<void(const QString &)> done, LogSaveFormat format)
{
    const QTextBlock last = document()->lastBlock();
    TextCopy copy;
    copy.text.reserve(document()->characterCount());
    copy.lastLine = last.blockNumber();
    copy.lastRuns = runsOf(last);
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
        for (QTextBlock block = document()->findBlockByNumber(copy.nextLine);
             copy.nextLine < copy.lastLine && (budget < 0 || left > 0); block = block.next(), ++copy.nextLine) {
            if (copy.format == LogSaveFormat::Plain)
                appendAsPlainText(copy.text, block.text());
            else
                appendLine(copy.text, copy.format, runsOf(block));
            copy.text += QLatin1Char('\n');
            left -= copy.format == LogSaveFormat::Plain ? block.length() : block.length() * KINDS_COPY_COST;
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

int CLogView::FirstVisibleLine() const
{
    return firstVisibleBlock().blockNumber();
}

int CLogView::LastVisibleLine() const
{
    const QTextBlock first = firstVisibleBlock();
    const QRect view = viewport()->rect();
    int last = first.blockNumber();
    for (QTextBlock block = first; block.isValid(); block = block.next()) {
        if (blockBoundingGeometry(block).translated(contentOffset()).bottom() > view.bottom() + 1)
            break;
        last = block.blockNumber();
    }
    return last;
}
