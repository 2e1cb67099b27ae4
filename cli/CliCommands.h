#pragma once

#include <QByteArray>
#include <QStringView>

class CCliSession;
class CCodePageEncoder;

// The subcommands, one file each (CliPorts.cpp, CliSend.cpp, ...). Each runs on a session
// whose options the table in Cli.cpp has checked against its row, and returns its exit
// status. A new subcommand is a file here and a row there.
int RunPorts(CCliSession &session);
int RunSend(CCliSession &session);
int RunWatch(CCliSession &session);
int RunInventory(CCliSession &session);
int RunWedge(CCliSession &session);
int RunScript(CCliSession &session);

// Received or sent text on one line of plain output: control characters (the line breaks
// of a wake-up, a reader's colour escapes) as escapes (\r, \n, \t, \x1b), so that what a
// terminal shows is what came, and nothing the reader sends can steer the terminal.
void AppendVisible(QByteArray &into, QStringView text);
// The same text as its bytes in the reader's code page, in hexadecimal ("24 3E").
void AppendHex(QByteArray &into, CCodePageEncoder &encoder, QStringView text);
