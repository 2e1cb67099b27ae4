#pragma once

#include "app/RFID_LorixDlg.h"

#include <QString>

// The main window's surroundings for a test, inside one private folder: its ports and port
// map there, a D-Bus address where no bus listens (so the Bluetooth list stays empty without
// waiting), no key sink of the machine and no BlueZ look-up for port names.
inline CRFID_LorixDlg::Environment IsolatedWindowEnvironment(const QString &folder)
{
    CRFID_LorixDlg::Environment env;
    env.ports.portsFolder = folder + QStringLiteral("/ports");
    env.bluetooth.bluez.busAddress = QStringLiteral("unix:path=") + folder + QStringLiteral("/no-bus");
    env.installPlatformKeySink = false;
    env.nameBluetoothPorts = false;
    return env;
}
