// Folders and files as the console, the softphone server and the SIP phone make and
// read them on Linux: private folders made as needed, and files read whole only when
// they are small regular files.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace quvo::platform {

// Makes the folder path and every missing folder above it, each new one for its owner
// only (0700). A name that is there already, a folder or not, is passed over: whoever
// uses the folder finds out. False when a folder cannot be made; failed (when given)
// is then that folder and errno the reason. An empty path is the root's, made already.
inline bool MakeFolders(const std::string& path, std::string* failed = nullptr) {
    if (path.empty()) return true;
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            const int error = errno;
            if (failed) *failed = folder;
            errno = error;
            return false;
        }
        if (slash == std::string::npos) return true;
    }
}

// The file's content, when it is a regular file of at most maxBytes; false for anything
// else, without blocking (a FIFO or a device in its place) and without reading past the
// bound (a file that grows while it is read).
inline bool ReadSmallFile(const std::string& path, long long maxBytes, std::string& content) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > maxBytes) {
        ::close(fd);
        return false;
    }
    content.clear();
    char buffer[8192];
    bool ok = true;
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            content.append(buffer, static_cast<size_t>(got));
            if (content.size() > static_cast<size_t>(maxBytes)) {
                ok = false;
                break;
            }
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace quvo::platform
