#include <gtest/gtest.h>

#include <string>

#include "support/CommandCase.h"

namespace quvo::test {
namespace {

INSTANTIATE_TEST_SUITE_P(
    Login, CommandTest,
    testing::Values(
        CommandCase{"IPCCLogin agent", ERROR_MISSING_PARAMETER, {}},
        CommandCase{"IPCCLogin agent pwd", ERROR_MISSING_PARAMETER, {}},
        CommandCase{"IPCCLogin \"  \" pwd 100", ERROR_MISSING_PARAMETER, {}},
        CommandCase{"IPCCLogin agent pwd \" \"", ERROR_MISSING_PARAMETER, {}},
        CommandCase{"IPCCLogin agent \"\" 100", 0, {"IPCCLogin(\"agent\",\"\",\"100\")"}},
        // Agent id and extension are trimmed, the password is not.
        CommandCase{"IPCCLogin \" a 1 \" \" p w \" \" 100 \"", 0, {"IPCCLogin(\"a 1\",\" p w \",\"100\")"}}));

INSTANTIATE_TEST_SUITE_P(Logout, CommandTest,
                         testing::Values(CommandCase{"IPCCLogout", 0, {"IPCCLogout(\"\")"}},
                                         CommandCase{
                                             "IPCCLogout \" Lunch \"", 0, {"IPCCLogout(\" Lunch \")"}}));

INSTANTIATE_TEST_SUITE_P(
    State, CommandTest,
    testing::Values(CommandCase{"IPCCState", 0, {"IPCCSetState(\"\",\"\")"}},
                    CommandCase{"IPCCState ready 12", 0, {"IPCCSetState(\"ready\",\"12\")"}},
                    CommandCase{"IPCCState NotReady", 0, {"IPCCSetState(\"NotReady\",\"\")"}},
                    CommandCase{"IPCCState work", 0, {"IPCCSetState(\"work\",\"\")"}},
                    CommandCase{"IPCCState WorkReady", 0, {"IPCCSetState(\"WorkReady\",\"\")"}},
                    CommandCase{
                        "IPCCState WORKNOTREADY \" r \"", 0, {"IPCCSetState(\"WORKNOTREADY\",\" r \")"}},
                    CommandCase{"IPCCState \"\" 5", 0, {"IPCCSetState(\"\",\"5\")"}},
                    CommandCase{"IPCCState readyy", ERROR_IPCC_INVALID_STATE, {}},
                    CommandCase{"IPCCState \" ready\"", ERROR_IPCC_INVALID_STATE, {}},
                    CommandCase{"IPCCState talking", ERROR_IPCC_INVALID_STATE, {}}));

INSTANTIATE_TEST_SUITE_P(Reasons, CommandTest,
                         testing::Values(CommandCase{"IPCCNotReadyReasons x", 0, {"IPCCNotReadyReasons()"}},
                                         CommandCase{"IPCCLogoutReasons", 0, {"IPCCLogoutReasons()"}}));

TEST(AgentCommands, FailedLogoutIsReportedAsALoginError) {
    FakeControl fake = MakeFakeControl();
    fake.phone->FailOn("IPCCLogout");
    EXPECT_EQ(fake.control->GetResultCodeName(fake.Run("IPCCLogout")), "ERROR_IPCC_LOGIN");
}

}  // namespace
}  // namespace quvo::test
