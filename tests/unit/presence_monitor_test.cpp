#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/FakeSoftphone.h"

namespace quvo::test {
namespace {

constexpr const char* kConnected = "Event : Connected to softphone\n> ";
constexpr const char* kDisconnected = "Event : Disconnected from softphone\n> ";

// Waits until the monitor has probed `polls` more times than now.
bool WaitForPolls(const FakeControl& fake, int polls) {
    const int target = fake.probes->load() + polls;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (fake.probes->load() < target) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(PresenceMonitor, PrintsEachChangeOnce) {
    OutputCapture output;
    FakeControl fake = MakeFakeControl(FakeControlOptions().PollEvery(1));
    ASSERT_TRUE(output.WaitFor(kConnected));
    ASSERT_TRUE(WaitForPolls(fake, 10));

    fake.running->store(false);
    ASSERT_TRUE(output.WaitFor(kDisconnected));
    ASSERT_TRUE(WaitForPolls(fake, 10));
    EXPECT_EQ(fake.Run("Hold"), ERROR_PHONE_NOT_RUNNING);

    fake.running->store(true);
    ASSERT_TRUE(output.WaitFor(kConnected, 2));
    ASSERT_TRUE(WaitForPolls(fake, 10));
    fake.control.reset();
    EXPECT_EQ(output.Text(), std::string(kConnected) + kDisconnected + kConnected);
}

TEST(PresenceMonitor, SilentWhileTheSoftphoneWasNeverSeen) {
    OutputCapture output;
    FakeControl fake = MakeFakeControl(FakeControlOptions().NotRunning().PollEvery(1));
    ASSERT_TRUE(WaitForPolls(fake, 20));
    EXPECT_EQ(output.Text(), "");
}

TEST(PresenceMonitor, ReportsPresenceEvenWhenUnbound) {
    OutputCapture output;
    FakeControl fake = MakeFakeControl(FakeControlOptions().Unbound().PollEvery(1));
    ASSERT_TRUE(output.WaitFor(kConnected));
    EXPECT_EQ(fake.Run("Hold"), ERROR_NOT_INITIALIZED);
    fake.control.reset();
    EXPECT_EQ(output.Text(), kConnected);
}

TEST(PresenceMonitor, DestructionEndsTheMonitorPromptly) {
    using namespace std::chrono_literals;
    FakeControl fake = MakeFakeControl(FakeControlOptions().PollEvery(60000));
    const auto start = std::chrono::steady_clock::now();
    fake.control.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(fake.probes->load(), 0);
}

}  // namespace
}  // namespace quvo::test
