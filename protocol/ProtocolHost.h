#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Colours of the traffic log, platform colour values (red in the low byte, blue in the third).
inline constexpr quint32 LOG_COLOUR_SENT = 0x000000FF;      // pure red: what the tool sends
inline constexpr quint32 LOG_COLOUR_RECEIVED = 0x00FF0000;  // pure blue: what the reader sends
// Dark green (#006400, 7.4:1 on white): the tool's own notes (connection changes, why something
// was not sent or not typed), which are neither sent nor received text.
inline constexpr quint32 LOG_COLOUR_NOTE = 0x00006400;

// What the reader protocol needs of the main window. The window implements it by wiring to
// its controls, its send path and the key emulator; tests implement it in memory. Every call
// comes on the user-interface thread, from inside OnSerialData or a slider handler.
class IProtocolHost
{
public:
    virtual ~IProtocolHost() = default;

    // The log view: append `text` as it is, in `colour`.
    virtual void AppendLog(const QString &text, quint32 colour) = 0;

    // Put `text` into the command box (the text the next OnSend reads).
    virtual void SetCommandText(const QString &text) = 0;
    // The window's OnSend: record the command box's text in the history, log it and send it.
    // Afterwards LastCommand() is the command as written, after escape replacement.
    virtual void OnSend() = 0;
    // The last command sent, after escape replacement; empty before the first.
    virtual QString LastCommand() const = 0;

    virtual bool IsKeyEmulatorChecked() const = 0;  // "Key Emulator Mode"
    virtual bool IsMultiModeChecked() const = 0;    // "RFID Multi Mode" (else single mode)

    // The TX power slider: set its position (already within its range) and redraw it; read it.
    virtual void SetTxPower(int position) = 0;
    virtual int TxPower() const = 0;

    // Hand one new tag line to the key emulator, which types it on a thread of its own; the
    // call only queues it, with the modes in force now. TypeTag gets the line and its 8-bit
    // form in the code page, without a terminating zero (QByteArray keeps one after its end:
    // the emulator types constData() with size() + 1 as the byte count); TypeScan gets the
    // text itself (scan mode).
    virtual void TypeTag(const QString &line, const QByteArray &tagBytes) = 0;
    virtual void TypeScan(const QString &line) = 0;

    // True while one of the tool's own windows is active: keys typed now would land in the
    // tool itself, where Enter presses its default button. Tags are then logged, not typed.
    virtual bool IsOwnWindowActive() const { return false; }
};
