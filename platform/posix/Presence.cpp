#include "platform/Presence.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/PresenceLock.h"

namespace quvo::platform {

// The softphone's sign is its write lock on a regular file of this user that no one
// else may write to. A read lock, which anyone able to read the file could take,
// is no sign; neither is any lock on a file that other users could lock for writing.
bool IsSoftphoneRunning() {
    const std::string path = PresenceLockPath();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    bool running = false;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::getuid() &&
        (info.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        // A read lock asked for conflicts with write locks only.
        struct flock lock {};
        lock.l_type = F_RDLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = 0;
        lock.l_len = 0;
        lock.l_pid = 0;
        running = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_WRLCK;
    }
    ::close(fd);
    return running;
}

}  // namespace quvo::platform
