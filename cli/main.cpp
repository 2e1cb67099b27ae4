#include "cli/Cli.h"

#include <QCoreApplication>

// The reader without a window: Qt Core and D-Bus only, so it runs without a display, from a
// shell, a script or a systemd user unit.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return RunCli(app.arguments().mid(1));
}
