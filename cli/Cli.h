#pragma once

#include "cli/CliOptions.h"

#include <QStringList>

// Runs one subcommand of rfid-lorix-cli: `arguments` without the program's name. Results go
// to standard output, diagnostics to standard error. Needs a QCoreApplication; runs its event
// loop until the subcommand is done, or until SIGINT, SIGTERM or a closed output pipe end it,
// which closes the ports and flushes the log as a normal end does.
int RunCli(const QStringList &arguments);
