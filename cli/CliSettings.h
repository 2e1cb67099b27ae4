#pragma once

#include <QHash>
#include <QJsonObject>
#include <QString>

// What the command line takes from the tool's settings file: its defaults, read once at
// start. The command line never writes that file; the Bluetooth numbers a run hands out
// stay in memory.
struct CliDefaults
{
    int port = 0;                         // ComPort1; 0: none stored
    bool ascii = false;                   // EnableASCII
    bool multiMode = false;               // ReadMode != 0
    QHash<int, QString> bluetoothPorts;   // [Bluetooth Ports]: COM number -> address
};

// Reads the defaults from the settings file at `path` (SettingsFilePath()); a missing or
// unreadable file gives the built-in defaults.
CliDefaults ReadCliDefaults(const QString &path);

// The key emulator's portal restore token of the command line, kept apart from the tool's
// settings: $XDG_STATE_HOME/rfid-lorix/wedge-portal-token (~/.local/state when unset).
QString PortalTokenPath();
QString ReadPortalToken(const QString &path);

// The fields of one tag line in the JSON output: {"tag": line}. Decoded fields belong here.
QJsonObject TagJson(const QString &line);
