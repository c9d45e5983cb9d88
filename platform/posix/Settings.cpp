#include "platform/Settings.h"

namespace quvo::platform {

struct SettingsKey {};

SettingsKey* OpenSettingsKey(const std::string&) { return nullptr; }
bool ReadSettingsValue(SettingsKey*, const std::string&, std::string&) { return false; }
void CloseSettingsKey(SettingsKey* key) { delete key; }

}  // namespace quvo::platform
