#pragma once

#include <QHash>
#include <QString>

// What the command line takes from the tool's settings: its defaults, read once at start
// through the settings store's read-only mode. The command line never writes that file; the
// Bluetooth numbers a run hands out stay in memory.
struct CliDefaults
{
    int port = 0;                         // ComPort1; 0: none stored
    bool ascii = false;                   // EnableASCII
    bool multiMode = false;               // ReadMode != 0
    QHash<int, QString> bluetoothPorts;   // [Bluetooth Ports]: COM number -> address
};

// The defaults stored in the user's settings file; a missing or unreadable file gives the
// built-in defaults.
CliDefaults ReadCliDefaults();

// The key emulator's portal restore token of the command line, kept apart from the tool's
// settings: $XDG_STATE_HOME/rfid-lorix/wedge-portal-token (~/.local/state when unset).
QString PortalTokenPath();
QString ReadPortalToken(const QString &path);
