#pragma once

#include <QStringList>

// Exit status of every command: done; a check failed (an error answer, a timeout, a script
// line that did not pass, a key sink that cannot type); the command line was wrong; the port
// could not be opened or its link was lost.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_PORT = 3;

// Runs one command of rfid-lorix-cli: `arguments` without the program's name. Results go to
// standard output, diagnostics to standard error. Needs a QCoreApplication; runs its event
// loop until the command is done, or until SIGINT or SIGTERM (caught here, once per process)
// end it, which closes the ports and flushes the log as a normal end does.
int RunCli(const QStringList &arguments);
