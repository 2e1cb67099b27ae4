#pragma once

#include <QString>

// The per-user settings store: an INI file in the user's configuration folder
// ($XDG_CONFIG_HOME, as a rule ~/.config) under this organisation and application name.
inline constexpr char SETTINGS_ORGANISATION[] = "Local AppWizard-Generated Applications";
inline constexpr char SETTINGS_APPLICATION[] = "RFID_Lorix";

QString SettingsFilePath();
