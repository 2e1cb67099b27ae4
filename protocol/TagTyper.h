#pragma once

#include <QByteArray>
#include <QString>

// Where new tags go to be typed into the focused application: the key emulator
// (CKeyEmulator), or a recorder in tests. Its owner keeps the modes current ("Key
// Emulator Mode" on or off, ASCII or hexadecimal); the protocol only asks whether typing is
// on and hands over the lines.
//
// Threads: called on the user-interface thread only, from inside OnSerialData. TypeTag and
// TypeScan only queue: the typing itself runs on a thread of the typer's own, and the calls
// never wait for it.
class ITagTyper
{
public:
    virtual ~ITagTyper() = default;

    // "Key Emulator Mode": while off, no tag is handed over (each stays new and is logged).
    virtual bool IsTypingOn() const = 0;

    // One new tag line, typed with the modes in force now. TypeTag gets the line and its
    // 8-bit form in the code page, without a terminating zero (QByteArray keeps one after
    // its end: the emulator types constData() with size() + 1 as the byte count); TypeScan
    // gets the text itself (scan mode).
    virtual void TypeTag(const QString &line, const QByteArray &tagBytes) = 0;
    virtual void TypeScan(const QString &line) = 0;
};
