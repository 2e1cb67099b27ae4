#include "app/LogView.h"

#include "platform/Memory.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

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

void CLogView::AppendLog(const QString &text, ColourRef colour)
{
    QScrollBar *vertical = verticalScrollBar();
    const bool keepView = hasFocus();
    const int viewLine = vertical->value();

    QTextCharFormat format;
    format.setForeground(ToQColor(colour));
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(toLineBreaks(text), format);

    const int removed = trimOldLines();
    if (keepView) {
        // The vertical scroll bar counts lines: removing lines above the view moves its
        // content up by as many.
        vertical->setValue(qMax(0, viewLine - removed));
    } else {
        vertical->setValue(vertical->maximum());
    }
}

int CLogView::trimOldLines()
{
    QTextDocument *doc = document();
    const int lines = doc->blockCount();
    if (lines < kKeepLines + kTrimLines)
        return 0;
    const int removed = lines - kKeepLines;
    QTextCursor cut(doc);
    cut.movePosition(QTextCursor::Start);
    cut.setPosition(doc->findBlockByNumber(removed).position(), QTextCursor::KeepAnchor);
    cut.removeSelectedText();
    platform::ReturnFreedMemory();
    return removed;
}

void CLogView::Clear()
{
    // A document cursor edits regardless of the view's read-only flag, which stays set.
    QTextCursor all(document());
    all.select(QTextCursor::Document);
    all.removeSelectedText();
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
