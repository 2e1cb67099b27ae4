#pragma once

#include "platform/CodePage.h"
#include "protocol/ReaderControl.h"
#include "protocol/TagList.h"

#include <QByteArray>
#include <QString>
#include <functional>

class IProtocolHost;

// The reader's received text: turned from bytes into text, cut into lines (a piece's complete
// lines at once; only an unfinished last line is held back for the next piece), and each line
// classified and acted on (events and answers to CReaderControl, new tags to the key emulator
// through the host); the text dispatched together is shown in the log unless it carried a
// typed tag.
//
// The window takes every pending byte from its ring buffer and hands them to OnSerialData; no
// size limit applies anywhere on this path (buffers grow with the data). All state here is
// the user-interface thread's.
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
        Echo,            // holds the last command sent (every line does while none was sent)
        TagData,         // anything else
    };
    using DispatchObserver = std::function<void(LineClass, const QString &line)>;

    // `codeSet` names the code page of the received text; empty: the locale's.
    explicit CResponseDispatcher(IProtocolHost &host, const QString &codeSet = QString());

    // Handles the bytes just taken from the ring buffer. Returns 0 when there were none, 1
    // otherwise. Bytes handed in while a call is still running (the key emulator or the host
    // let the event loop run) are handled, in order, before the outer call returns.
    int OnSerialData(const char *bytes, qsizetype count);
    int OnSerialData(const QByteArray &bytes) { return OnSerialData(bytes.constData(), bytes.size()); }

    CReaderControl &control() { return m_control; }
    const CTagList &tagList() const { return m_tagList; }
    int scanMode() const { return m_control.scanMode(); }
    const QString &rxRemainder() const { return m_rxRemainder; }

    // 1 once a line beginning with "$" arrived; the automatic connection resets it.
    int readerAwake() const { return m_readerAwake; }
    void setReaderAwake(int awake) { m_readerAwake = awake; }

    // Sees every dispatched line with its class, before it is acted on (tests, tracing).
    void setDispatchObserver(DispatchObserver observer) { m_observer = std::move(observer); }

    static LineClass Classify(const QString &line, const QString &lastCommand);

private:
    void assemble(const QByteArray &piece);
    bool dispatchLines(const QString &text);   // true when a tag was typed
    bool dispatchLine(const QString &line);
    bool typeTag(const QString &line);

    IProtocolHost &m_host;
    CTagList m_tagList;
    CReaderControl m_control;
    platform::CCodePageDecoder m_decoder;
    platform::CCodePageEncoder m_encoder;
    QString m_rxRemainder;      // the unfinished last line (no CR LF in it); kept across port openings
    int m_readerAwake = 0;
    DispatchObserver m_observer;
    bool m_busy = false;
    QByteArray m_deferred;      // bytes that arrived while m_busy
};
