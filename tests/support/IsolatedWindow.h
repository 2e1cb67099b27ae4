#pragma once

#include "app/RFID_LorixDlg.h"

#include "settings/SettingsStore.h"

#include <QString>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// A key sink factory for the window's Environment that hands the key emulator `sink`.
inline std::function<std::shared_ptr<IKeySink>()> TypingInto(std::shared_ptr<IKeySink> sink)
{
    return [sink] { return sink; };
}

// The main window's surroundings for a test, inside one private folder: its ports and port
// map there, a D-Bus address where no bus listens (so the Bluetooth list stays empty without
// waiting), keys typed into nothing instead of the machine's key sink, no BlueZ look-up for
// port names, and the catalogue file beside the executable (or the user's copy).
inline CRFID_LorixDlg::Environment IsolatedWindowEnvironment(const QString &folder)
{
    CRFID_LorixDlg::Environment env;
    env.ports.portsFolder = folder + QStringLiteral("/ports");
    env.bluetooth.bluez.busAddress = QStringLiteral("unix:path=") + folder + QStringLiteral("/no-bus");
    env.keySink = TypingInto(std::make_shared<CNullKeySink>());
    env.nameBluetoothPorts = false;
    return env;
}

// A shown main window with its own settings file and an empty port tree, all in a
// private folder that goes with it. Open() fails the calling test when it cannot be set up.
struct IsolatedShownWindow
{
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<CSettingsStore> store;
    std::unique_ptr<CRFID_LorixDlg> window;

    bool Open()
    {
        window.reset();
        store.reset();
        dir = std::make_unique<QTemporaryDir>();
        if (!dir->isValid())
            return false;
        store = std::make_unique<CSettingsStore>(dir->filePath(QStringLiteral("settings.ini")));
        CRFID_LorixDlg::Environment env = IsolatedWindowEnvironment(dir->path());
        env.ports.sysRoot = dir->path();
        window = std::make_unique<CRFID_LorixDlg>(*store, env);
        window->show();
        return QTest::qWaitForWindowExposed(window.get());
    }
};
