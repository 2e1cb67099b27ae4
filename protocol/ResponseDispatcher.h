#pragma once

#include "platform/CodePage.h"
#include "protocol/ReaderControl.h"
#include "protocol/TagList.h"

#include <QByteArray>
#include <QString>
#include <deque>
#include <functional>

class IReaderView;
class ITagTyper;

// The reader's received text: turned from bytes into text, cut into lines (a piece's complete
// lines at once; only an unfinished last line is held back for the next piece), and each line
// classified and acted on (events and answers to CReaderControl, new tags to the tag typer);
// the text dispatched together is shown in the view's log unless it carried a typed tag.
//
// The window takes pending bytes from its ring buffer and hands them to OnSerialData. A line
// longer than MAX_LINE_CHARS is never dispatched (so never typed) and is logged shortened, and
// held-back text never grows past that bound: the cost of a piece is linear in its size,
// whatever the reader sends. All state here is the user-interface thread's.
class CResponseDispatcher
{
public:
    // The classes of a received line, tested in this order; the first that matches decides.
    enum LineClass {
        Event,           // begins with "$" (the prompt "$>" too)
        TriggerEvent,    // holds "trigger=" elsewhere
        OkResponse,      // begins with "ok"
        EndResponse,     // begins with "end="
        ErrorResponse,   // begins with "err="
        Echo,            // holds the last command sent (every line does while none was sent),
                         // or is a command sent whose echo has not come yet
        TagData,         // anything else
    };
    using DispatchObserver = std::function<void(LineClass, const QString &line)>;
    // Every tag line, typed or not, repeats included, with the scan mode it came in.
    using TagReadObserver = std::function<void(const QString &line, int scanMode)>;
    // Every line over MAX_LINE_CHARS, once its end came: its first MAX_LINE_CHARS characters
    // and its whole length.
    using LongLineObserver = std::function<void(const QString &head, qint64 chars)>;

    // The longest line that is dispatched. No tag line comes near it: the longest EPC is
    // 496 bits, 124 hexadecimal digits, and a line that also carries PC, CRC and TID stays
    // under 200 characters. 1,600 is also the key emulator's decode buffer, so a line up to
    // the bound is typed whole in either mode, in about a tenth of a second. A longer run of
    // text is noise (a reader or a cable gone wrong): shown, never acted on.
    static constexpr qsizetype MAX_LINE_CHARS = 1600;

    // Commands written whose echo has not come yet. The reader echoes each command, but an
    // event may come first (a trigger pulled just after a command went out), and the tool
    // answers it with a command of its own before the echo of the earlier one arrives. The
    // reader holds a few lines at most; older entries are of commands it never echoed.
    static constexpr int MAX_PENDING_ECHOES = 16;

    // `codeSet` names the code page of the received text; empty: the locale's. Both the view
    // and the typer must outlive the dispatcher.
    CResponseDispatcher(IReaderView &view, ITagTyper &typer, const QString &codeSet = QString());

    // Handles the bytes just taken from the ring buffer. Returns 0 when there were none, 1
    // otherwise. Bytes handed in while a call is still running (the view or the typer let
    // the event loop run) are handled, in order, before the outer call returns.
    int OnSerialData(const char *bytes, qsizetype count);
    int OnSerialData(const QByteArray &bytes) { return OnSerialData(bytes.constData(), bytes.size()); }

    // The link ended (port closed or lost) with `pendingBytes` received bytes not yet handed
    // in (what the ring buffer still holds). Once they have been, the text held back (an
    // unfinished line, with a character cut in two) is logged, followed by `note` as an error, and
    // dropped: it never joins what a later connection brings, so it is never typed.
    void DropHeldBackAfter(qsizetype pendingBytes, const QString &note);

    // The tool wrote `command` (as written, after escape replacement) to the reader. Each
    // line of it is expected back as an echo: a received line that equals one of them (blanks
    // at its ends aside) is an echo however many commands went out since, and the entry goes.
    // Only equality counts: a tag line that merely holds a command's text is a tag. When
    // MAX_PENDING_ECHOES are waiting, the oldest goes. A link's end keeps them: the echo of
    // a command written just before the link was lost may come after it is reopened.
    void CommandSent(const QString &command);
    const std::deque<QString> &pendingEchoes() const { return m_pendingEchoes; }

    CReaderControl &control() { return m_control; }
    const CTagList &tagList() const { return m_tagList; }
    int scanMode() const { return m_control.scanMode(); }
    const QString &rxRemainder() const { return m_rxRemainder; }

    // 1 once a line beginning with "$" arrived; the automatic connection resets it.
    int readerAwake() const { return m_readerAwake; }
    void setReaderAwake(int awake) { m_readerAwake = awake; }

    // Sees every dispatched line with its class, before it is acted on (tests, tracing).
    void setDispatchObserver(DispatchObserver observer) { m_observer = std::move(observer); }
    // Sees every tag line before the typing rules look at it (the tag monitor's counts).
    void setTagReadObserver(TagReadObserver observer) { m_tagReads = std::move(observer); }
    // Sees every line that was too long to dispatch.
    void setLongLineObserver(LongLineObserver observer) { m_longLines = std::move(observer); }

    // The mark a line cut at MAX_LINE_CHARS ends with in the log, `leftOut` characters short.
    static QString ShortenedMark(qint64 leftOut);

    static LineClass Classify(const QString &line, const QString &lastCommand,
                              const std::deque<QString> &pendingEchoes = {});

private:
    struct DropMark
    {
        qint64 at;      // position in the byte stream handed in
        QString note;
    };

    void drain();
    void assemble(const QByteArray &piece);
    qsizetype skipLongLine(const QString &text);
    void boundHeldBack();
    void release(qsizetype cut);
    void dispatchText(const QString &text);
    void logSegment(const QString &text, qsizetype from, qsizetype to, bool typed);
    void dropHeldBack(const QString &note);
    bool dispatchLine(const QString &line);
    bool typeTag(const QString &line);
    static qsizetype findPendingEcho(const std::deque<QString> &pendingEchoes, const QString &line);

    IReaderView &m_view;
    ITagTyper &m_typer;
    CTagList m_tagList;
    CReaderControl m_control;
    CCodePageDecoder m_decoder;
    CCodePageEncoder m_encoder;
    QString m_rxRemainder;      // the unfinished last line (no CR LF in it), at most MAX_LINE_CHARS
    bool m_skippingLongLine = false;   // inside a line cut at MAX_LINE_CHARS, until its line break
    qint64 m_skippedChars = 0;         // characters of that line past its logged head
    QString m_longHead;                // that line's logged head, for the long-line observer
    int m_readerAwake = 0;
    quint64 m_selfTypingNoted = ~quint64(0);   // tag list generation of the last such note
    DispatchObserver m_observer;
    TagReadObserver m_tagReads;
    LongLineObserver m_longLines;
    bool m_busy = false;
    QByteArray m_input;         // bytes handed in and not yet assembled
    qint64 m_bytesIn = 0;       // bytes handed in, ever
    qint64 m_bytesAssembled = 0;
    std::deque<DropMark> m_dropMarks;
    std::deque<QString> m_pendingEchoes;   // oldest first, each trimmed and not empty
    // The command whose echo came last, taken off m_pendingEchoes, until an answer follows
    // it: the reader answers in order, so an "ok" after a late echo answers that command.
    QString m_echoedCommand;
};
