#include "protocol/ResponseDispatcher.h"

#include "protocol/ProtocolConstants.h"
#include "protocol/ReaderView.h"
#include "protocol/TagTyper.h"

#include <QStringList>

#include <utility>

namespace {

constexpr qsizetype PROMPT_LENGTH = sizeof(READER_PROMPT) - 1;
constexpr char SELF_TYPING_NOTE[] =
    "Key Emulator Mode: the focus is in this tool, so typing into the tool itself is skipped; "
    "tags are shown here until another program has the focus.\r\n";

// Ends the logged head of a line longer than the bound.

bool isLineBreak(QChar c) { return c == u'\r' || c == u'\n'; }

// Complete: ends in CR LF, or in a run of prompts that starts a line ("$>$>" when the
// reader was woken twice). A "$>" after other text inside a line is text: taking it for the
// prompt would cut that line in two wherever the bytes happened to arrive in two pieces.
bool isComplete(const QString &text)
{
    if (text.endsWith(QLatin1String(READER_LINE_END)))
        return true;
    if (!text.endsWith(QLatin1String(READER_PROMPT)))
        return false;
    qsizetype start = text.size() - PROMPT_LENGTH;
    while (start >= PROMPT_LENGTH && QStringView(text).mid(start - PROMPT_LENGTH, PROMPT_LENGTH) == QLatin1String(READER_PROMPT))
        start -= PROMPT_LENGTH;
    return start == 0 || isLineBreak(text.at(start - 1));
}

// The position just past the last CR LF at or after `from`, or 0 when there is none. The
// text before that point ends a line, whatever follows; searching from the end of what was
// held back keeps a long line arriving in small pieces from being rescanned at every piece.
qsizetype afterLastLineEnd(const QString &text, qsizetype from)
{
    for (qsizetype i = text.size() - 1; i > from; --i) {
        if (text.at(i) == u'\n' && text.at(i - 1) == u'\r')
            return i + 1;
    }
    return 0;
}

} // namespace

CResponseDispatcher::CResponseDispatcher(IReaderView &view, ITagTyper &typer, const QString &codeSet)
    : m_view(view), m_typer(typer), m_control(view, m_tagList), m_decoder(codeSet), m_encoder(codeSet)
{
}

QString CResponseDispatcher::ShortenedMark(qint64 leftOut)
{
    return QStringLiteral(" [... %1 more characters of this line not shown]").arg(leftOut);
}

int CResponseDispatcher::OnSerialData(const char *bytes, qsizetype count)
{
    if (bytes == nullptr || count <= 0)
        return 0;
    m_input.append(bytes, count);
    m_bytesIn += count;
    if (!m_busy)
        drain();
    return 1;
}

void CResponseDispatcher::DropHeldBackAfter(qsizetype pendingBytes, const QString &note)
{
    m_dropMarks.push_back({m_bytesIn + qMax<qsizetype>(0, pendingBytes), note});
    if (!m_busy)
        drain();
}

// Assembles what was handed in, in order, and drops what is held back at each mark where a
// link ended. Bytes handed in meanwhile (the view or the typer let the event loop run) join
// the queue.
void CResponseDispatcher::drain()
{
    m_busy = true;
    for (;;) {
        while (!m_dropMarks.empty() && m_dropMarks.front().at <= m_bytesAssembled) {
            dropHeldBack(m_dropMarks.front().note);
            m_dropMarks.pop_front();
        }
        if (m_input.isEmpty())
            break;
        QByteArray piece;
        piece.swap(m_input);
        if (!m_dropMarks.empty() && m_dropMarks.front().at - m_bytesAssembled < piece.size()) {
            const qsizetype beforeMark = qsizetype(m_dropMarks.front().at - m_bytesAssembled);
            m_input = piece.mid(beforeMark);
            piece.truncate(beforeMark);
        }
        m_bytesAssembled += piece.size();
        assemble(piece);
    }
    m_busy = false;
}

void CResponseDispatcher::assemble(const QByteArray &piece)
{
    const QString text = m_decoder.decode(piece);
    qsizetype from = 0;
    if (m_skippingLongLine) {
        from = skipLongLine(text);
        if (m_skippingLongLine)
            return;
    }
    // Leading line breaks and blanks are noise only at the start of a fresh line; once text is
    // held back they separate it from what follows and must stay.
    if (m_rxRemainder.isEmpty()) {
        while (from < text.size() && text.at(from).isSpace())
            ++from;
    }
    if (from == text.size())
        return;
    // What was held back holds no CR LF, so only its last character can start one.
    const qsizetype searchFrom = qMax<qsizetype>(0, m_rxRemainder.size() - 1);
    m_rxRemainder.append(QStringView(text).mid(from));

    // The complete lines go now, so that a continuous stream whose pieces end mid-line is not
    // held back as a whole; only the unfinished tail waits for the next piece.
    const qsizetype cut = isComplete(m_rxRemainder) ? m_rxRemainder.size() : afterLastLineEnd(m_rxRemainder, searchFrom);
    if (cut > 0)
        release(cut);
    if (m_rxRemainder.size() > MAX_LINE_CHARS)
        boundHeldBack();
}

// Inside a line cut at the bound: counts its characters up to its line break, where the
// shortening mark ends it in the log. Returns where the line ended (the piece's end while
// it goes on).
qsizetype CResponseDispatcher::skipLongLine(const QString &text)
{
    qsizetype at = 0;
    while (at < text.size() && !isLineBreak(text.at(at)))
        ++at;
    m_skippedChars += at;
    if (at < text.size()) {
        m_view.AppendLog(ShortenedMark(m_skippedChars) + QLatin1String(READER_LINE_END), LogKind::Received);
        if (m_longLines)
            m_longLines(m_longHead, m_longHead.size() + m_skippedChars);
        m_longHead.clear();
        m_skippingLongLine = false;
        m_skippedChars = 0;
    }
    return at;
}

// What is held back passed the bound without a CR LF. Lines in it that are already complete
// (ended by a lone CR or LF, or prompts at a line start) go as usual; a last line longer than
// the bound is cut: its head is logged now, the rest of it only counted. Each call leaves at
// most MAX_LINE_CHARS held back, so the text is scanned a bounded number of times.
void CResponseDispatcher::boundHeldBack()
{
    qsizetype lineStart = m_rxRemainder.size();
    while (lineStart > 0 && !isLineBreak(m_rxRemainder.at(lineStart - 1)))
        --lineStart;
    while (QStringView(m_rxRemainder).mid(lineStart).startsWith(QLatin1String(READER_PROMPT)))
        lineStart += PROMPT_LENGTH;
    if (lineStart > 0)
        release(lineStart);
    if (m_rxRemainder.size() <= MAX_LINE_CHARS)
        return;
    m_longHead = m_rxRemainder.left(MAX_LINE_CHARS);
    m_view.AppendLog(m_longHead, LogKind::Received);
    m_skippedChars = m_rxRemainder.size() - MAX_LINE_CHARS;
    m_skippingLongLine = true;
    m_rxRemainder.clear();
}

// Dispatches and logs the first `cut` characters of what is held back.
void CResponseDispatcher::release(qsizetype cut)
{
    QString whole;
    if (cut == m_rxRemainder.size()) {
        whole.swap(m_rxRemainder);
    } else {
        whole = m_rxRemainder.left(cut);
        m_rxRemainder.remove(0, cut);
    }
    whole.replace(QLatin1String(READER_DOUBLED_CARRIAGE_RETURN), QLatin1String(READER_LINE_END));
    dispatchText(whole);
}

// Complete text: each line dispatched in order, and the text logged unless it carried a typed
// tag. A line longer than the bound is not dispatched; it is logged shortened on its own, so
// that it is shown even when a tag beside it was typed.
void CResponseDispatcher::dispatchText(const QString &text)
{
    // Lines are separated by runs of CR and LF; a prompt at the start of a line is a line of
    // its own, so what follows it on the same line is dispatched as the next line.
    bool typed = false;
    qsizetype logFrom = 0;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        while (i < n && isLineBreak(text.at(i)))
            ++i;
        if (i == n)
            break;
        qsizetype end;
        if (QStringView(text).mid(i).startsWith(QLatin1String(READER_PROMPT))) {
            end = i + PROMPT_LENGTH;
        } else {
            end = i;
            while (end < n && !isLineBreak(text.at(end)))
                ++end;
        }
        if (end - i > MAX_LINE_CHARS) {
            logSegment(text, logFrom, i, typed);
            typed = false;
            logFrom = end;
            while (logFrom < n && isLineBreak(text.at(logFrom)))
                ++logFrom;
            m_view.AppendLog(text.mid(i, MAX_LINE_CHARS) + ShortenedMark(end - i - MAX_LINE_CHARS)
                                 + text.mid(end, logFrom - end),
                             LogKind::Received);
            if (m_longLines)
                m_longLines(text.mid(i, MAX_LINE_CHARS), end - i);
            i = logFrom;
            continue;
        }
        typed |= dispatchLine(text.mid(i, end - i));
        i = end;
    }
    logSegment(text, logFrom, n, typed);
}

void CResponseDispatcher::logSegment(const QString &text, qsizetype from, qsizetype to, bool typed)
{
    if (typed || from >= to)
        return;
    m_view.AppendLog(from == 0 && to == text.size() ? text : text.mid(from, to - from), LogKind::Received);
}

void CResponseDispatcher::CommandSent(const QString &command)
{
    // A command with a line break in it reaches the reader as several lines, each echoed.
    QString lines = command;
    lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    for (const QString &line : lines.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString expected = line.trimmed();
        if (expected.isEmpty())
            continue;
        if (m_pendingEchoes.size() >= MAX_PENDING_ECHOES)
            m_pendingEchoes.pop_front();
        m_pendingEchoes.push_back(expected);
    }
}

qsizetype CResponseDispatcher::findPendingEcho(const std::deque<QString> &pendingEchoes, const QString &line)
{
    if (pendingEchoes.empty())
        return -1;
    const QString trimmed = line.trimmed();
    for (size_t i = 0; i < pendingEchoes.size(); ++i) {
        if (pendingEchoes[i] == trimmed)
            return qsizetype(i);
    }
    return -1;
}

void CResponseDispatcher::dropHeldBack(const QString &note)
{
    // The commands still owed an echo stay owed: a reader keeps what it took in while its
    // link was down and echoes it once the link is back, after whatever the new link's first
    // commands brought. Each entry is taken by one line only, and the oldest go at the bound.
    m_echoedCommand.clear();
    const QString held = m_rxRemainder + m_decoder.flush();
    m_rxRemainder.clear();
    const bool longLine = std::exchange(m_skippingLongLine, false);
    if (longLine) {
        const qint64 skipped = std::exchange(m_skippedChars, 0);
        m_view.AppendLog(ShortenedMark(skipped) + QLatin1String(READER_LINE_END), LogKind::Received);
        if (m_longLines)
            m_longLines(m_longHead, m_longHead.size() + skipped);
        m_longHead.clear();
    }
    if (held.isEmpty() && !longLine)
        return;
    // The received colour shows exactly what was received; the note starts a line of its own.
    // A line cut off is a line lost (never handled, never typed): the note is an error.
    if (!held.isEmpty())
        m_view.AppendLog(held, LogKind::Received);
    m_view.AppendLog(held.isEmpty() || isLineBreak(held.back()) ? note : QLatin1String(READER_LINE_END) + note, LogKind::Error);
}

CResponseDispatcher::LineClass CResponseDispatcher::Classify(const QString &line, const QString &lastCommand,
                                                             const std::deque<QString> &pendingEchoes)
{
    if (line.startsWith(QLatin1String(READER_EVENT_PREFIX)))
        return Event;
    if (line.contains(QLatin1String(READER_TRIGGER_MARK)))
        return TriggerEvent;
    if (line.startsWith(QLatin1String(READER_OK_PREFIX)))
        return OkResponse;
    if (line.startsWith(QLatin1String(READER_END_PREFIX)))
        return EndResponse;
    if (line.startsWith(QLatin1String(READER_ERROR_PREFIX)))
        return ErrorResponse;
    if (lastCommand.isEmpty() || line.contains(lastCommand) || findPendingEcho(pendingEchoes, line) >= 0)
        return Echo;
    return TagData;
}

bool CResponseDispatcher::dispatchLine(const QString &line)
{
    const LineClass lineClass = Classify(line, m_view.LastCommand(), m_pendingEchoes);
    if (lineClass == Echo) {
        const qsizetype echoed = findPendingEcho(m_pendingEchoes, line);
        m_echoedCommand = echoed >= 0 ? m_pendingEchoes[size_t(echoed)] : QString();
        if (echoed >= 0)
            m_pendingEchoes.erase(m_pendingEchoes.begin() + echoed);
    }
    if (m_observer)
        m_observer(lineClass, line);
    switch (lineClass) {
    case Event:
        m_control.HandleReaderEvent(line);
        m_readerAwake = 1;
        return false;
    case TriggerEvent:
        m_control.HandleReaderEvent(line);
        return false;
    case OkResponse:
        m_control.HandleOkResponse(line, std::exchange(m_echoedCommand, QString()));
        return false;
    case EndResponse:
    case ErrorResponse:
        m_echoedCommand.clear();
        return false;
    case Echo:
        return false;
    case TagData:
        if (m_tagReads)
            m_tagReads(line, m_control.scanMode());
        return typeTag(line);
    }
    return false;
}

bool CResponseDispatcher::typeTag(const QString &line)
{
    if (!m_typer.IsTypingOn() || m_tagList.contains(line))
        return false;
    // Keys typed into the tool itself would press its buttons (Enter sends the command box
    // again): the tag is logged instead and stays new, to be typed once the focus is elsewhere.
    if (m_view.IsOwnWindowActive()) {
        if (m_selfTypingNoted != m_tagList.generation()) {
            m_selfTypingNoted = m_tagList.generation();
            m_view.AppendLog(QString::fromLatin1(SELF_TYPING_NOTE), LogKind::Note);
        }
        return false;
    }
    m_tagList.insert(line);
    if (m_control.scanMode() == CReaderControl::Scan)
        m_typer.TypeScan(line);
    else
        m_typer.TypeTag(line, m_encoder.encode(line));
    return true;
}
