// The shared settings file ($XDG_CONFIG_HOME/Quelbo/QUVO.ini): name=value lines, names
// matched ignoring case.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quvo::server {

std::string SettingsPath();

// The value of a setting, or nothing when the file or the name is missing.
std::optional<std::string> ReadSetting(const std::string& path, const std::string& name);

// Rewrites existing lines of the given names and appends the others; every other line stays
// as it is. Creates the folder and file when missing and replaces the file atomically.
bool WriteSettings(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values,
                   std::string& error);

}  // namespace quvo::server
