// The rules of the softphone's settings file on Linux, shared by the console and
// the simulator: where it lives ("Software\Quelbo\QUVO" is the file
// Quelbo/QUVO.ini under the configuration folder) and how value names compare.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/Files.h"

namespace quvo::platform {

// $XDG_CONFIG_HOME when it is an absolute path; else $HOME/.config when HOME is
// absolute; else .config in the home folder that the user database names. Empty
// when none of them is known.
inline std::string ConfigHome() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return config;
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.config";
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return std::string(found->pw_dir) + "/.config";
    return {};
}

// The softphone's settings file; empty when no configuration folder is known.
inline std::string SoftphoneSettingsFile() {
    const std::string home = ConfigHome();
    return home.empty() ? std::string() : home + "/Quelbo/QUVO.ini";
}

// A settings file holds a few short lines; one larger than this is not one the
// softphone wrote, and is read as a file without values rather than taken whole
// into memory for every value that is asked for.
constexpr long long kSettingsFileMaxBytes = 1024 * 1024;

// The file's content, when it is a regular file of at most kSettingsFileMaxBytes
// (see ReadSmallFile); false for anything else.
inline bool ReadSettingsFile(const std::string& path, std::string& content) {
    return ReadSmallFile(path, kSettingsFileMaxBytes, content);
}

// Value names compare as registry names do: ignoring the letter case of A to Z,
// whatever the locale.
inline bool SettingsNameEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace quvo::platform
