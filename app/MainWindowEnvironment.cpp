#include "app/MainWindowEnvironment.h"

#include "app/WindowParts.h"
#include "settings/SettingsStore.h"

// The engine's environment: the window's, with the settings' Bluetooth port numbers and
// portal token, and the rfcomm ports named after their paired device.
CReaderEngine::Environment EngineEnvironment(CSettingsStore &settings, const MainWindowEnvironment &environment)
{
    CReaderEngine::Environment engine;
    engine.bluetooth = environment.bluetooth;
    engine.ports = environment.ports;
    if (environment.nameBluetoothPorts && !engine.ports.bluetoothName)
        engine.ports.bluetoothName = CachedBluetoothNames();
    engine.autoConnectPeriodMs = environment.autoConnectPeriodMs;
    engine.keySink = environment.keySink;
    engine.portalRestoreToken =
        settings.ReadString(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(CONFIG_PORTAL_RESTORE_TOKEN));
    const QString section = QString::fromLatin1(CONFIG_BLUETOOTH_PORTS_SECTION);
    CSettingsStore *store = &settings;
    engine.bluetoothPortBook.load = [store, section](int number) {
        return store->ReadString(section, QStringLiteral("COM%1").arg(number));
    };
    engine.bluetoothPortBook.store = [store, section](int number, const QString &address) {
        store->WriteString(section, QStringLiteral("COM%1").arg(number), address);
    };
    // The port picker asks BlueZ itself when the window has made its first controls.
    engine.queryBluetooth = false;
    return engine;
}
