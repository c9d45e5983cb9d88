#include "platform/Presence.h"

#include <windows.h>

namespace quvo::platform {

namespace {
constexpr const char* kPresenceMutex = "mutex_QUVO";
}

bool IsSoftphoneRunning() {
    // Opening, never creating: a probe that created the mutex, even for a moment,
    // could make a softphone starting at that instant believe another copy runs.
    HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, kPresenceMutex);
    if (!mutex) return false;
    ::CloseHandle(mutex);
    return true;
}

}  // namespace quvo::platform
