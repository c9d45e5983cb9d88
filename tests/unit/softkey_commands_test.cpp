#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/CommandCase.h"

namespace quvo::test {
namespace {

using Calls = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Softkey, CommandTest,
    testing::Values(CommandCase{"Softkey EndCall", 0, {"Softkey(\"endcall\",-1,-1)"}},
                    CommandCase{"Softkey redial", 0, {"Softkey(\"redial\",-1,-1)"}},
                    CommandCase{"Softkey TRANSFERVMAIL", 0, {"Softkey(\"transfervmail\",-1,-1)"}},
                    CommandCase{"Softkey \" hold \" \" 2 \" \" 3 \"", 0, {"Softkey(\"hold\",2,3)"}},
                    CommandCase{"Softkey hold 2", 0, {"Softkey(\"hold\",2,-1)"}},
                    CommandCase{"Softkey hold abc 7", 0, {"Softkey(\"hold\",0,7)"}},
                    CommandCase{"Softkey hold \"\" 7", 0, {"Softkey(\"hold\",-1,7)"}},
                    // The candidate carries its commas: neighbours joined by one pass.
                    CommandCase{"Softkey hold,transfer", 0, {"Softkey(\"hold,transfer\",-1,-1)"}},
                    CommandCase{"Softkey call", ERROR_INVALID_PARAMETER, {}},
                    CommandCase{"Softkey ,hold", ERROR_INVALID_PARAMETER, {}},
                    CommandCase{"Softkey hold,", ERROR_INVALID_PARAMETER, {}},
                    CommandCase{"Softkey", ERROR_INVALID_PARAMETER, {}},
                    CommandCase{"Softkey \"  \"", ERROR_INVALID_PARAMETER, {}}));

INSTANTIATE_TEST_SUITE_P(DTMF, CommandTest,
                         testing::Values(CommandCase{"DTMF", ERROR_MISSING_PARAMETER, {}},
                                         CommandCase{"DTMF \"  \"", ERROR_MISSING_PARAMETER, {}},
                                         CommandCase{"DTMF \" * \"", 0, {"SendDtmf(\"*\")"}},
                                         // Validated whole before anything is sent.
                                         CommandCase{"DTMF 12a3", ERROR_INVALID_PARAMETER, {}},
                                         CommandCase{"DTMF 123A", ERROR_INVALID_PARAMETER, {}},
                                         CommandCase{"DTMF \"1 2\"", ERROR_INVALID_PARAMETER, {}}));

INSTANTIATE_TEST_SUITE_P(
    Mute, CommandTest,
    testing::Values(CommandCase{"Mute", 0, {"SetMute(1)"}}, CommandCase{"Mute on", 0, {"SetMute(1)"}},
                    CommandCase{"Mute yes", 0, {"SetMute(1)"}}, CommandCase{"Mute off", 0, {"SetMute(0)"}},
                    CommandCase{"Mute OFF", 0, {"SetMute(0)"}}, CommandCase{"Mute No", 0, {"SetMute(0)"}},
                    CommandCase{"Mute FALSE", 0, {"SetMute(0)"}}, CommandCase{"Mute 0", 0, {"SetMute(0)"}},
                    CommandCase{"Mute 00", 0, {"SetMute(1)"}},
                    // The word is not trimmed.
                    CommandCase{"Mute \" off\"", 0, {"SetMute(1)"}},
                    CommandCase{"Mute \"no \"", 0, {"SetMute(1)"}}));

TEST(DtmfCommand, SendsOneKeyEvery200Milliseconds) {
    using namespace std::chrono_literals;
    FakeControl fake = MakeFakeControl();
    EXPECT_EQ(fake.Run("DTMF 12#*"), SUCCESS);
    const auto calls = fake.phone->TimedCalls();
    ASSERT_EQ(calls.size(), 5u);  // SetClientActive(1) and four keys
    EXPECT_EQ(fake.phone->CommandCalls(),
              (Calls{"SendDtmf(\"1\")", "SendDtmf(\"2\")", "SendDtmf(\"#\")", "SendDtmf(\"*\")"}));
    for (size_t i = 2; i < calls.size(); ++i) {
        const auto gap = calls[i].at - calls[i - 1].at;
        EXPECT_GE(gap, 200ms) << "before key " << i - 1;
        EXPECT_LT(gap, 1500ms) << "before key " << i - 1;
    }
}

TEST(DtmfCommand, SingleKeyIsSentWithoutPause) {
    using namespace std::chrono_literals;
    FakeControl fake = MakeFakeControl();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fake.Run("DTMF 5"), SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 190ms);
}

}  // namespace
}  // namespace quvo::test
