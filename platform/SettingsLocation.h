#pragma once

#include <QString>

namespace platform {

// The per-user settings store: an INI file in the user's configuration folder
// ($XDG_CONFIG_HOME, as a rule ~/.config) under this organisation and application name.
inline constexpr char kSettingsOrganisation[] = "Local AppWizard-Generated Applications";
inline constexpr char kSettingsApplication[] = "RFID_Lorix";

QString SettingsFilePath();

} // namespace platform
