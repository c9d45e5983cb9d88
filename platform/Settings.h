// The softphone's per-user settings (HKEY_CURRENT_USER "Software\Quelbo\QUVO" on
// Windows, $XDG_CONFIG_HOME/Quelbo/QUVO.ini on Linux).
#pragma once

#include <string>

namespace quvo::platform {

struct SettingsKey;  // opaque, one open key

// Opens the key, creating it (empty) when it is missing. Null on failure.
SettingsKey* OpenSettingsKey(const std::string& subKey);

// Reads one value whole into value. False, with value untouched, when the value
// is missing or cannot be read.
bool ReadSettingsValue(SettingsKey* key, const std::string& name, std::string& value);

void CloseSettingsKey(SettingsKey* key);

}  // namespace quvo::platform
