#pragma once

#include <QByteArray>
#include <QString>

// The 8-bit form of one command as SendCommand writes it to the reader.

// Typed escapes: every backslash followed by 'r' becomes CR, then every backslash followed
// by 'n' becomes LF. The result is what is sent and what the reader's echo is matched with.
QString ReplaceTypedEscapes(const QString &command);

struct CommandLine
{
    enum Status {
        Ready,             // bytes hold the command's 8-bit text followed by CR LF
        TooLong,           // with its CR LF it would not fit the transmit buffer
        Unrepresentable,   // a character has no 8-bit form (above U+00FF)
    };
    Status status = Ready;
    QByteArray bytes;
};

// Converts a command (after escape replacement) for a transmit buffer of `capacity` bytes.
// A command is sent whole or not at all: nothing is cut or garbled.
CommandLine PrepareCommandLine(const QString &command, qsizetype capacity);

// The log line (a note of the tool's own) that says why a command was not written; empty for Ready.
QString CommandRefusalText(const CommandLine &line, qsizetype capacity);
