#include "protocol/ResponseDispatcher.h"

#include "protocol/ProtocolHost.h"

namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr char kDoubledCarriageReturn[] = "\r\r\n";
constexpr char kPrompt[] = "$>";
constexpr qsizetype kPromptLength = sizeof(kPrompt) - 1;
constexpr char kEventPrefix[] = "$";
constexpr char kTriggerMark[] = "trigger=";
constexpr char kOkPrefix[] = "ok";
constexpr char kEndPrefix[] = "end=";
constexpr char kErrorPrefix[] = "err=";
// Text that never completes (a reader that sends no line end) is not held back without bound:
// past this many characters it is handled as if it were complete.
constexpr qsizetype kMaxHeldBackChars = qsizetype(1) << 20;

bool isLineBreak(QChar c) { return c == u'\r' || c == u'\n'; }

// Complete: ends in CR LF, or in a run of prompts that starts a line ("$>$>" when the
// reader was woken twice). A "$>" after other text inside a line is text: taking it for the
// prompt would cut that line in two wherever the bytes happened to arrive in two pieces.
bool isComplete(const QString &text)
{
    if (text.endsWith(QLatin1String(kLineEnd)))
        return true;
    if (!text.endsWith(QLatin1String(kPrompt)))
        return false;
    qsizetype start = text.size() - kPromptLength;
    while (start >= kPromptLength && QStringView(text).mid(start - kPromptLength, kPromptLength) == QLatin1String(kPrompt))
        start -= kPromptLength;
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

CResponseDispatcher::CResponseDispatcher(IProtocolHost &host, const QString &codeSet)
    : m_host(host), m_control(host, m_tagList), m_decoder(codeSet), m_encoder(codeSet)
{
}

int CResponseDispatcher::OnSerialData(const char *bytes, qsizetype count)
{
    if (bytes == nullptr || count <= 0)
        return 0;
    if (m_busy) {
        m_deferred.append(bytes, count);
        return 1;
    }
    m_busy = true;
    QByteArray piece(bytes, count);
    while (!piece.isEmpty()) {
        assemble(piece);
        piece.swap(m_deferred);
        m_deferred.clear();
    }
    m_busy = false;
    return 1;
}

void CResponseDispatcher::assemble(const QByteArray &piece)
{
    QString text = m_decoder.decode(piece);
    // Leading line breaks and blanks are noise only at the start of a fresh line; once text is
    // held back they separate it from what follows and must stay.
    if (m_rxRemainder.isEmpty()) {
        qsizetype start = 0;
        while (start < text.size() && text.at(start).isSpace())
            ++start;
        text.remove(0, start);
    }
    if (text.isEmpty())
        return;
    // What was held back holds no CR LF, so only its last character can start one.
    const qsizetype searchFrom = qMax<qsizetype>(0, m_rxRemainder.size() - 1);
    m_rxRemainder.append(text);

    // The complete lines go now, so that a continuous stream whose pieces end mid-line is not
    // held back as a whole; only the unfinished tail waits for the next piece.
    qsizetype cut = isComplete(m_rxRemainder) ? m_rxRemainder.size() : afterLastLineEnd(m_rxRemainder, searchFrom);
    if (m_rxRemainder.size() - cut >= kMaxHeldBackChars)
        cut = m_rxRemainder.size();
    if (cut == 0)
        return;
    QString whole;
    if (cut == m_rxRemainder.size()) {
        whole.swap(m_rxRemainder);
    } else {
        whole = m_rxRemainder.left(cut);
        m_rxRemainder.remove(0, cut);
    }
    whole.replace(QLatin1String(kDoubledCarriageReturn), QLatin1String(kLineEnd));
    if (!dispatchLines(whole))
        m_host.AppendLog(whole, LOG_COLOUR_RECEIVED);
}

bool CResponseDispatcher::dispatchLines(const QString &text)
{
    // Lines are separated by runs of CR and LF; a prompt at the start of a line is a line of
    // its own, so what follows it on the same line is dispatched as the next line.
    bool typed = false;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        while (i < n && isLineBreak(text.at(i)))
            ++i;
        if (i == n)
            break;
        qsizetype end;
        if (QStringView(text).mid(i).startsWith(QLatin1String(kPrompt))) {
            end = i + kPromptLength;
        } else {
            end = i;
            while (end < n && !isLineBreak(text.at(end)))
                ++end;
        }
        typed |= dispatchLine(text.mid(i, end - i));
        i = end;
    }
    return typed;
}

CResponseDispatcher::LineClass CResponseDispatcher::Classify(const QString &line, const QString &lastCommand)
{
    if (line.startsWith(QLatin1String(kEventPrefix)))
        return Event;
    if (line.contains(QLatin1String(kTriggerMark)))
        return TriggerEvent;
    if (line.startsWith(QLatin1String(kOkPrefix)))
        return OkResponse;
    if (line.startsWith(QLatin1String(kEndPrefix)))
        return EndResponse;
    if (line.startsWith(QLatin1String(kErrorPrefix)))
        return ErrorResponse;
    if (lastCommand.isEmpty() || line.contains(lastCommand))
        return Echo;
    return TagData;
}

bool CResponseDispatcher::dispatchLine(const QString &line)
{
    const LineClass lineClass = Classify(line, m_host.LastCommand());
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
        m_control.HandleOkResponse(line);
        return false;
    case EndResponse:
    case ErrorResponse:
    case Echo:
        return false;
    case TagData:
        return typeTag(line);
    }
    return false;
}

bool CResponseDispatcher::typeTag(const QString &line)
{
    if (!m_host.IsKeyEmulatorChecked() || !m_tagList.insert(line))
        return false;
    if (m_control.scanMode() == CReaderControl::Scan)
        m_host.TypeScan(line);
    else
        m_host.TypeTag(m_encoder.encode(line));
    return true;
}
