#pragma once

#include "discovery/BluetoothList.h"
#include "engine/ReaderEngine.h"
#include "platform/ComPorts.h"
#include "wedge/KeySink.h"
#include "xml/XML.h"

#include <QByteArray>
#include <QString>

#include <functional>

class CSettingsStore;

// What the main window reaches outside itself; tests replace parts of it. The process-wide
// hooks among them (the catalogue library's warning and save-file functions) are
// installed by the window as it starts and removed as it goes, unless a window made
// later has installed its own meanwhile.
struct MainWindowEnvironment
{
    // Where the Bluetooth device list asks BlueZ.
    BluetoothListEnvironment bluetooth;
    // Where port numbers are looked up (the picker and the device paths).
    PortEnvironment ports = PortEnvironment::system();
    // Period of AUTOCONNECT_TIMER.
    int autoConnectPeriodMs = AUTOCONNECT_PERIOD_MS;
    // Makes the sink the key emulator types into, on its typing thread, each time "Key
    // Emulator Mode" is ticked: the session's, with the portal's restore token from the
    // settings. Empty: a null sink, which types nothing.
    CKeySinkFactory keySink = OpenSessionKeySink;
    // The catalogue file to read; "": CatalogueFilePath().
    QString cataloguePath;
    // The parser's and writer's warnings, and the question for the file to save to.
    // Empty: a message box and the save-file dialog over the window.
    CXMLWarningFunction xmlWarning;
    CXMLSaveFileFunction xmlSaveFile;
    // Writes a saved catalogue's bytes to the chosen file, on the thread that writes
    // saves; "" when written, otherwise why not. Empty: WriteFileAtomically.
    std::function<QString(const QString &path, const QByteArray &bytes)> catalogueWriter;
    // Name the rfcomm ports in the picker after their paired device (asks BlueZ).
    bool nameBluetoothPorts = true;
    // The question for the file to save the log to, given the proposed one and the file
    // types (";;"-separated), with the type chosen put into `chosenFilter`; "" cancels.
    // Empty: the save-file dialog over the window.
    std::function<QString(const QString &proposedPath, const QString &filters, QString &chosenFilter)> logSaveFile;
    // The same for "Save History as Script..." of the command box.
    std::function<QString(const QString &proposedPath)> historyScriptFile;
};

// The engine's environment made from the window's and the settings; the engine's calls into
// the settings run on the user-interface thread, as the window's do.
CReaderEngine::Environment EngineEnvironment(CSettingsStore &settings, const MainWindowEnvironment &environment);
