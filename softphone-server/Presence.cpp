#include "Presence.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quvo::server {

PresenceLock::Result PresenceLock::Acquire(const std::string& path, std::string& error) {
    Release();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return Result::Failed;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // the whole file
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EAGAIN || err == EACCES) return Result::HeldElsewhere;
        error = "cannot lock " + path + ": " + std::strerror(err);
        return Result::Failed;
    }
    fd_ = fd;
    return Result::Acquired;
}

void PresenceLock::Release() {
    if (fd_ < 0) return;
    struct flock lock {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    ::fcntl(fd_, F_OFD_SETLK, &lock);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace quvo::server
