#include "Settings.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/posix/Files.h"
#include "platform/posix/SettingsFile.h"

namespace quvo::server {
namespace {

// The name of a name=value line, or nothing for blank, comment and other lines.
std::optional<std::string> LineName(const std::string& line) {
    if (line.empty() || line[0] == ';' || line[0] == '#') return std::nullopt;
    const auto eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    return line.substr(0, eq);
}

// The file's lines; false when it is there but no settings file (not a regular file, or
// over the console's bound): nothing is read from it, and it is not written over.
bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
    lines.clear();
    std::string content;
    if (!platform::ReadSettingsFile(path, content)) {
        struct stat info {};
        return ::lstat(path.c_str(), &info) != 0 && errno == ENOENT;
    }
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return true;
}

}  // namespace

std::string SettingsPath() {
    return platform::SoftphoneSettingsFile();
}

std::optional<std::string> ReadSetting(const std::string& path, const std::string& name) {
    // The console's bound: a larger file (or one that is no file at all) has no values.
    std::vector<std::string> lines;
    ReadLines(path, lines);
    for (const std::string& line : lines) {
        auto lineName = LineName(line);
        if (!lineName || strcasecmp(lineName->c_str(), name.c_str()) != 0) continue;
        std::string value = line.substr(line.find('=') + 1);
        if (!value.empty() && value.back() == '\r') value.pop_back();
        return value;
    }
    return std::nullopt;
}

bool WriteSettings(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values,
                   std::string& error) {
    const std::string dir = path.substr(0, path.rfind('/'));
    if (std::string folder; !platform::MakeFolders(dir, &folder)) {
        error = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }

    std::vector<std::string> lines;
    if (!ReadLines(path, lines)) {
        error = path + " is not a settings file (a regular file of at most 1 MiB): left as it is";
        return false;
    }
    std::vector<bool> done(values.size(), false);
    for (std::string& line : lines) {
        auto lineName = LineName(line);
        if (!lineName) continue;
        for (size_t i = 0; i < values.size(); ++i) {
            if (strcasecmp(lineName->c_str(), values[i].first.c_str()) != 0) continue;
            const bool crlf = !line.empty() && line.back() == '\r';
            line = *lineName + "=" + values[i].second + (crlf ? "\r" : "");
            done[i] = true;
        }
    }
    for (size_t i = 0; i < values.size(); ++i)
        if (!done[i]) lines.push_back(values[i].first + "=" + values[i].second);

    std::ostringstream text;
    for (const std::string& line : lines) text << line << '\n';

    // The replacement has the file's mode from its creation on, before a byte is written: a
    // file that holds a password is never readable by others, not even for a moment. A new
    // file is private.
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    mode_t mode = 0600;
    if (struct stat st{}; ::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    ::fchmod(fd, mode);  // whatever the umask
    const std::string data = text.str();
    bool written = true;
    for (size_t at = 0; at < data.size() && written;) {
        const ssize_t n = ::write(fd, data.data() + at, data.size() - at);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) at += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || !written) {
        error = "cannot write " + temp;
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace quvo::server
