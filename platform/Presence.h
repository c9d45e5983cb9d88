// Whether the softphone process is running: the presence lock "mutex_QUVO".
#pragma once

namespace quvo::platform {

// Tests, without creating or taking anything, whether the softphone holds its
// presence lock.
bool IsSoftphoneRunning();

}  // namespace quvo::platform
