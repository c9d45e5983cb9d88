#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/AutomationError.h"
#include "support/CommandCase.h"

namespace quvo::test {
namespace {

using Calls = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandTest,
    testing::Values(CommandCase{"MakeCall", ERROR_NO_DESTINATION, {}},
                    CommandCase{"MakeCall \"\" 1234", ERROR_NO_DESTINATION, {}},
                    CommandCase{"MakeCall 1234 5678", 0, {"MakeCall(\"1234\")"}},
                    // The destination is not trimmed: a quoted one keeps its blanks.
                    CommandCase{"MakeCall \" 12 34 \"", 0, {"MakeCall(\" 12 34 \")"}},
                    CommandCase{"Answer abc", ERROR_NO_INCOMING_CALL, {}},
                    CommandCase{"Answer 0", ERROR_NO_INCOMING_CALL, {}},
                    CommandCase{"Answer -5", 0, {"Answer(-5)"}}, CommandCase{"Answer 12x", 0, {"Answer(12)"}},
                    CommandCase{"Answer \" 7 \"", 0, {"Answer(7)"}},
                    CommandCase{"Answer \"  \"", 0, {"Answer(0)"}}, CommandCase{"Resume", 0, {"Resume(0)"}},
                    CommandCase{"Resume x", 0, {"Resume(0)"}}, CommandCase{"Resume -4", 0, {"Resume(-4)"}},
                    CommandCase{"OffHook -3", 0, {"OffHook(0)"}},
                    CommandCase{"OffHook \" 4 \"", 0, {"OffHook(4)"}},
                    CommandCase{"OnHook", 0, {"OnHook(0)"}}, CommandCase{"OnHook 2", 0, {"OnHook(2)"}},
                    CommandCase{"Transfer", ERROR_NO_DESTINATION, {}},
                    CommandCase{"Transfer \" 55 \" 66", 0, {"Transfer(\" 55 \")"}},
                    CommandCase{"TransferInitiate", ERROR_NO_DESTINATION, {}},
                    CommandCase{"ConferenceInitiate", ERROR_NO_DESTINATION, {}},
                    // The console does not check the order of the steps.
                    CommandCase{"TransferComplete", 0, {"TransferComplete()"}}));

TEST(CallCommands, BareAnswerAnswersTheRememberedCall) {
    FakeControl fake = MakeFakeControl();
    EXPECT_EQ(fake.Run("Answer"), SUCCESS);
    fake.control->SetCallRef(-8);
    EXPECT_EQ(fake.Run("Answer"), SUCCESS);
    EXPECT_EQ(fake.phone->CommandCalls(), (Calls{"Answer(0)", "Answer(-8)"}));
}

// Operations with a failure code of their own turn the softphone's failure into it.
struct FailureCase {
    const char* operation;
    std::string line;
    ResultCode result;
};

class OwnFailureCodeTest : public testing::TestWithParam<FailureCase> {};

TEST_P(OwnFailureCodeTest, TurnsTheFailureIntoItsCode) {
    FakeControl fake = MakeFakeControl();
    fake.phone->FailOn(GetParam().operation);
    EXPECT_EQ(fake.Run(GetParam().line), GetParam().result) << GetParam().line;
    EXPECT_EQ(fake.phone->CommandCalls().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, OwnFailureCodeTest,
    testing::Values(FailureCase{"MakeCall", "MakeCall 1", ERROR_MAKE_CALL},
                    FailureCase{"Transfer", "Transfer 1", ERROR_TRANSFER},
                    FailureCase{"TransferInitiate", "TransferInitiate 1", ERROR_TRANSFER},
                    FailureCase{"TransferComplete", "TransferComplete", ERROR_TRANSFER},
                    FailureCase{"ConferenceInitiate", "ConferenceInitiate 1", ERROR_CONFERENCE},
                    FailureCase{"ConferenceComplete", "ConferenceComplete", ERROR_CONFERENCE},
                    FailureCase{"IPCCLogin", "IPCCLogin a b c", ERROR_IPCC_LOGIN},
                    FailureCase{"IPCCLogout", "IPCCLogout", ERROR_IPCC_LOGIN},
                    FailureCase{"IPCCSetState", "IPCCState", ERROR_IPCC_CHANGE_STATE}));

// Every other operation's failure leaves the handler for the command loop to report.
class ForeignFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(ForeignFailureTest, LeavesTheHandler) {
    FakeControl fake = MakeFakeControl();
    fake.phone->FailOn(GetParam().operation);
    EXPECT_THROW(fake.Run(GetParam().line), link::CAutomationError) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Operations, ForeignFailureTest,
    testing::Values(FailureCase{"Answer", "Answer", 0}, FailureCase{"EndCall", "EndCall", 0},
                    FailureCase{"Hold", "Hold", 0}, FailureCase{"Resume", "Resume", 0},
                    FailureCase{"OffHook", "OffHook", 0}, FailureCase{"OnHook", "OnHook", 0},
                    FailureCase{"Messages", "Messages", 0}, FailureCase{"Snapshot", "Snapshot", 0},
                    FailureCase{"CallStats", "CallStats", 0}, FailureCase{"Softkey", "TransferCancel", 0},
                    FailureCase{"Softkey", "ConferenceCancel", 0}, FailureCase{"SendDtmf", "DTMF 1", 0},
                    FailureCase{"SetMute", "Mute", 0}, FailureCase{"SpkrVolumeUp", "SpkrVolumeUp", 0},
                    FailureCase{"MicVolumeDown", "MicVolumeDown", 0},
                    FailureCase{"ExitProgram", "ExitProgram", 0},
                    FailureCase{"IPCCNotReadyReasons", "IPCCNotReadyReasons", 0},
                    FailureCase{"IPCCLogoutReasons", "IPCCLogoutReasons", 0}));

}  // namespace
}  // namespace quvo::test
