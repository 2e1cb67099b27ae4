#pragma once

#include <QString>
#include <QtGlobal>

// What a piece of the traffic log is; the view that shows it picks its colour.
enum class LogKind {
    Sent,       // what the tool sends
    Received,   // what the reader sends
    Note,       // the tool's own remarks: connection changes, choices, what was done
    Error,      // the tool's own remarks on a failure: not opened, lost, not sent, not saved
};

// What the reader protocol needs of the main window: its log, its command box and send path,
// the read mode, the TX power slider and whether the tool itself has the focus. The window
// implements it by wiring to its controls; tests implement it in memory. Typing tags is not
// the window's business: that goes to an ITagTyper (protocol/TagTyper.h).
//
// Threads: every call comes on the user-interface thread, from inside OnSerialData or a
// slider handler, and may let the event loop run (OnSend logs and writes).
class IReaderView
{
public:
    virtual ~IReaderView() = default;

    // The log view: append `text` as it is, as a piece of that kind.
    virtual void AppendLog(const QString &text, LogKind kind) = 0;

    // Put `text` into the command box (the text the next OnSend reads).
    virtual void SetCommandText(const QString &text) = 0;
    // The window's OnSend: record the command box's text in the history, log it and send it.
    // Afterwards LastCommand() is the command as written, after escape replacement.
    virtual void OnSend() = 0;
    // The last command sent, after escape replacement; empty before the first.
    virtual QString LastCommand() const = 0;

    virtual bool IsMultiModeChecked() const = 0;    // "RFID Multi Mode" (else single mode)

    // The TX power slider: set its position (already within its range) and redraw it; read it.
    virtual void SetTxPower(int position) = 0;
    virtual int TxPower() const = 0;

    // True while one of the tool's own windows is active: keys typed now would land in the
    // tool itself, where Enter presses its default button. Tags are then logged, not typed.
    virtual bool IsOwnWindowActive() const { return false; }
};
