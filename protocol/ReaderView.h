#pragma once

#include <QString>
#include <QtGlobal>

// Colours of the traffic log, platform colour values (red in the low byte, blue in the third).
inline constexpr quint32 LOG_COLOUR_SENT = 0x000000FF;      // pure red: what the tool sends
inline constexpr quint32 LOG_COLOUR_RECEIVED = 0x00FF0000;  // pure blue: what the reader sends
// Dark green (#006400, 7.4:1 on white): the tool's own notes (connection changes, why something
// was not sent or not typed), which are neither sent nor received text.
inline constexpr quint32 LOG_COLOUR_NOTE = 0x00006400;

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

    // The log view: append `text` as it is, in `colour`.
    virtual void AppendLog(const QString &text, quint32 colour) = 0;

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
