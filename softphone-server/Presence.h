// The presence lock: an exclusive open-file-description write lock on the lock file, held
// for the whole run, that tells the console (and a second copy) that the softphone runs.
#pragma once

#include <string>

namespace quvo::server {

class PresenceLock {
  public:
    enum class Result { Acquired, HeldElsewhere, Failed };

    PresenceLock() = default;
    ~PresenceLock() { Release(); }
    PresenceLock(const PresenceLock&) = delete;
    PresenceLock& operator=(const PresenceLock&) = delete;

    Result Acquire(const std::string& path, std::string& error);
    void Release();

  private:
    int fd_ = -1;
};

}  // namespace quvo::server
