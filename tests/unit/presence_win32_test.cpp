// The presence probe against the named mutex "mutex_QUVO".
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/Presence.h"

namespace quvo::platform {
namespace {

bool PresenceMutexExists() {
    HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, "mutex_QUVO");
    if (!mutex) return false;
    ::CloseHandle(mutex);
    return true;
}

TEST(Presence, FollowsTheLifeOfTheNamedMutex) {
    ASSERT_FALSE(PresenceMutexExists()) << "another process holds mutex_QUVO";
    EXPECT_FALSE(IsSoftphoneRunning());

    // Owned by its creator, as the softphone holds it.
    HANDLE mutex = ::CreateMutexA(nullptr, TRUE, "mutex_QUVO");
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(IsSoftphoneRunning());
    EXPECT_TRUE(IsSoftphoneRunning());  // the probe takes nothing away

    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
    EXPECT_FALSE(IsSoftphoneRunning());
}

TEST(Presence, ProbeNeverLeavesTheMutexBehind) {
    ASSERT_FALSE(PresenceMutexExists());
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(IsSoftphoneRunning());
    EXPECT_FALSE(PresenceMutexExists());
}

}  // namespace
}  // namespace quvo::platform
