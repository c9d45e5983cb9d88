// The softphone's settings key, HKEY_CURRENT_USER\Software\Quelbo\QUVO.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quvo::sim {

std::optional<std::string> ReadSetting(const std::string& name);
// Writes string values, creating the key when it is missing.
bool WriteSettings(const std::vector<std::pair<std::string, std::string>>& values, std::string& error);

}  // namespace quvo::sim
