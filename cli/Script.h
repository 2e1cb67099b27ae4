#pragma once

#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

// A script of the command line's "run": plain text, one step a line.
//   ver => ver=.*      a command, then the answer expected: some line of the answer must match
//                      the pattern whole (a regular expression); without "=>" the command passes
//                      when it is answered without an error line
//   wait 500ms         a pause (ms or s; a bare number is milliseconds)
//   # a comment        skipped, as are blank lines
//   \# not a comment   a backslash first: the rest of the line is the command, as it stands
struct ScriptStep
{
    enum Kind { Command, Wait };
    Kind kind = Command;
    int lineNumber = 0;           // 1-based, in the script's text
    QString command;
    bool hasExpectation = false;
    QRegularExpression expected;  // anchored: the whole line must match
    QString expectedText;         // the pattern as written
    int waitMs = 0;
};

// The bounds of a script: its size, and the length of one line (a command must fit the
// reader's 2,048-byte line with its CR LF, and no script line of ours is near that).
inline constexpr qsizetype MAX_SCRIPT_BYTES = 1 << 20;
inline constexpr qsizetype MAX_SCRIPT_LINE_CHARS = 2046;

struct Script
{
    QList<ScriptStep> steps;
    QString error;                // empty: read whole; else the first line it could not read
};

// A line longer than MAX_SCRIPT_LINE_CHARS is an error of its own.
Script ParseScript(const QString &text);

// The script line that sends `command` as it stands (escaped when it would read otherwise).
QString ScriptLineFor(const QString &command);
// A script of commands, in order, that ParseScript reads back to the same commands.
QString ScriptFor(const QStringList &commands);
