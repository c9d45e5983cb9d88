// The settings key as a text file: "Software\Quelbo\QUVO" is Quelbo/QUVO.ini in
// the configuration folder (platform/posix/SettingsFile.h), with one "name=value"
// per line.
#include "platform/Settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "platform/posix/Files.h"
#include "platform/posix/SettingsFile.h"

namespace quvo::platform {

struct SettingsKey {
    std::string path;  // the key's file, read afresh by every value query
};

namespace {

// "Software\A\B" becomes the relative file "A/B.ini"; a leading "Software\" is
// dropped because every key lives under it. Empty, "." and ".." parts are refused.
bool KeyFile(const std::string& subKey, std::string& file) {
    std::string_view rest = subKey;
    constexpr std::string_view kSoftware = "Software\\";
    if (rest.size() > kSoftware.size() && SettingsNameEquals(rest.substr(0, kSoftware.size()), kSoftware))
        rest.remove_prefix(kSoftware.size());
    file.clear();
    while (true) {
        const size_t end = rest.find('\\');
        const std::string_view part = rest.substr(0, end);
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string_view::npos)
            return false;
        file.append(part);
        if (end == std::string_view::npos) break;
        file += '/';
        rest.remove_prefix(end + 1);
    }
    file += ".ini";
    return true;
}

}  // namespace

SettingsKey* OpenSettingsKey(const std::string& subKey) {
    const std::string home = ConfigHome();
    std::string file;
    if (home.empty() || !KeyFile(subKey, file)) return nullptr;
    const std::string path = home + "/" + file;
    if (!MakeFolders(path.substr(0, path.rfind('/')))) return nullptr;
    // Creates the file, empty, when it is missing; an existing file is left as it is.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return nullptr;
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return regular ? new SettingsKey{path} : nullptr;
}

bool ReadSettingsValue(SettingsKey* key, const std::string& name, std::string& value) {
    if (!key) return false;
    std::string content;
    if (!ReadSettingsFile(key->path, content)) return false;
    std::string_view rest = content;
    // Editors on some systems start a UTF-8 file with a byte order mark; it is not
    // part of the first name.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (rest.substr(0, kByteOrderMark.size()) == kByteOrderMark) rest.remove_prefix(kByteOrderMark.size());
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos || !SettingsNameEquals(line.substr(0, equals), name)) continue;
        std::string_view text = line.substr(equals + 1);
        // Like a registry string, the value ends at its first zero byte.
        text = text.substr(0, text.find('\0'));
        value.assign(text);
        return true;
    }
    return false;
}

void CloseSettingsKey(SettingsKey* key) {
    delete key;
}

}  // namespace quvo::platform
