#pragma once

// The keysyms the XTest and the desktop portal's sinks must both type for the same items.

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QStringList>
#include <QtTest>

#include <X11/keysym.h>

// One expected key press: its unshifted keysym and whether Shift was held (its own Shift
// press and release around it).
struct Press
{
    unsigned long keysym;
    bool shift;
};
using Presses = QList<Press>;
Q_DECLARE_METATYPE(Presses)

// An item to type: tag text (hexadecimal or ASCII mode) or a scan line.
enum class Path { Hex, Ascii, Scan };

// Columns: path, items (typed in order), text (a US-layout window's, Return as CR), presses.
inline void AddKeysymCases()
{
    QTest::addColumn<int>("path");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<Presses>("presses");

    const Press ret{XK_Return, false}, hangul{XK_Hangul, false};
    QTest::newRow("hex 3f2A") << int(Path::Hex) << QStringList{"3f2A"} << QByteArray("3f2A\r")
        << Presses{{XK_3, false}, {XK_f, false}, {XK_2, false}, {XK_a, true}, ret};
    QTest::newRow("ascii 41 42 43") << int(Path::Ascii) << QStringList{"414243"} << QByteArray("ABC\r")
        << Presses{{XK_a, true}, {XK_b, true}, {XK_c, true}, ret};
    QTest::newRow("Return after each tag") << int(Path::Hex) << QStringList{"E2", "0a", ")+"}
        << QByteArray("E2\r0a\r)+\r")
        << Presses{{XK_e, true}, {XK_2, false}, ret, {XK_0, false}, {XK_a, false}, ret,
                   {XK_0, true}, {XK_equal, true}, ret};
    QTest::newRow("scan Hangul U+D55C") << int(Path::Scan) << QStringList{QString(QChar(0xD55C))}
        << QByteArray("gks\r") << Presses{hangul, {XK_g, false}, {XK_k, false}, {XK_s, false}, hangul, ret};
    QTest::newRow("scan text with space") << int(Path::Scan) << QStringList{"a B"} << QByteArray("a B\r")
        << Presses{{XK_a, false}, {XK_space, false}, {XK_b, true}, ret};
}
