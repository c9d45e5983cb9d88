#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Output.h"
#include "base/Text.h"
#include "console/CommandTable.h"
#include "support/CommandCase.h"

namespace quvo::test {
namespace {

using Calls = std::vector<std::string>;

// ---- Which handler a command word reaches, with which words ----------------------

INSTANTIATE_TEST_SUITE_P(
    CommandWords, CommandTest,
    testing::Values(
        CommandCase{"ExitProgram", 0, {"ExitProgram()"}},
        CommandCase{"makecall 1234 5678", 0, {"MakeCall(\"1234\")"}},
        CommandCase{"MAKECALL", ERROR_NO_DESTINATION, {}}, CommandCase{"aNsWeR 12", 0, {"Answer(12)"}},
        CommandCase{"EndCall now", 0, {"EndCall()"}}, CommandCase{"Hold", 0, {"Hold()"}},
        CommandCase{"Resume 7", 0, {"Resume(7)"}}, CommandCase{"OffHook 3", 0, {"OffHook(3)"}},
        CommandCase{"OnHook 2", 0, {"OnHook(2)"}}, CommandCase{"DTMF #", 0, {"SendDtmf(\"#\")"}},
        CommandCase{"Softkey hold 1 2 3 4 5 6 7 8 9", 0, {"Softkey(\"hold\",1,2)"}},
        CommandCase{"Messages", 0, {"Messages()"}}, CommandCase{"snapshot", 0, {"Snapshot()"}},
        CommandCase{"CallStats", 0, {"CallStats()"}}, CommandCase{"Transfer 55 66", 0, {"Transfer(\"55\")"}},
        CommandCase{"TransferInitiate 55", 0, {"TransferInitiate(\"55\")"}},
        CommandCase{"TransferComplete x", 0, {"TransferComplete()"}},
        CommandCase{"TransferCancel x", 0, {"Softkey(\"endcall\",-1,-1)"}},
        CommandCase{"ConferenceInitiate 77", 0, {"ConferenceInitiate(\"77\")"}},
        CommandCase{"ConferenceComplete", 0, {"ConferenceComplete()"}},
        CommandCase{"ConferenceCancel", 0, {"Softkey(\"endcall\",-1,-1)"}},
        CommandCase{"SpkrVolumeUp", 0, {"SpkrVolumeUp()"}},
        CommandCase{"SpkrVolumeDown", 0, {"SpkrVolumeDown()"}},
        CommandCase{"MicVolumeUp", 0, {"MicVolumeUp()"}},
        CommandCase{"MicVolumeDown", 0, {"MicVolumeDown()"}}, CommandCase{"Mute off", 0, {"SetMute(0)"}},
        CommandCase{"IPCCLogin a b c d", 0, {"IPCCLogin(\"a\",\"b\",\"c\")"}},
        CommandCase{"IPCCLogout r x", 0, {"IPCCLogout(\"r\")"}},
        CommandCase{"IPCCState ready 12 x", 0, {"IPCCSetState(\"ready\",\"12\")"}},
        CommandCase{"IPCCNotReadyReasons", 0, {"IPCCNotReadyReasons()"}},
        // EMLogin needs both of its words before it goes to the network.
        CommandCase{"EMLogin user", ERROR_MISSING_PARAMETER, {}},
        CommandCase{"EMLogin \"\" password", ERROR_MISSING_PARAMETER, {}},
        CommandCase{"IPCCLogoutReasons", 0, {"IPCCLogoutReasons()"}},
        // Whole words only, compared ignoring case.
        CommandCase{"Trans 55", ERROR_INVALID_COMMAND, {}}, CommandCase{"Holds", ERROR_INVALID_COMMAND, {}},
        CommandCase{"MakeCall\t1234", ERROR_INVALID_COMMAND, {}}, CommandCase{"?", ERROR_INVALID_COMMAND, {}},
        CommandCase{"\"Hold\"", 0, {"Hold()"}}, CommandCase{"", 0, {}}, CommandCase{"  \t ", 0, {}},
        CommandCase{"\"\" Hold", 0, {}}));

// ---- Help ------------------------------------------------------------------------

const char* const kSyntaxLines[] = {"RunProgram",
                                    "ShowProgram",
                                    "HideProgram",
                                    "ExitProgram",
                                    "Snapshot",
                                    "OffHook [line]",
                                    "OnHook",
                                    "MakeCall destination",
                                    "Answer [callRefId]",
                                    "EndCall",
                                    "Hold",
                                    "Resume [callRefId]",
                                    "DTMF key",
                                    "Softkey softkey [lineId] [callRefId]",
                                    "Transfer destination",
                                    "TransferInitiate destination",
                                    "TransferComplete",
                                    "TransferCancel",
                                    "ConferenceInitiate destination",
                                    "ConferenceComplete",
                                    "ConferenceCancel",
                                    "CallStats",
                                    "Messages",
                                    "SpkrVolumeUp",
                                    "SpkrVolumeDown",
                                    "MicVolumeUp",
                                    "MicVolumeDown",
                                    "Mute [on|off]",
                                    "EMLogin userID password",
                                    "EMLogout",
                                    "IPCCLogin agentID pwd ext",
                                    "IPCCLogout [reason]",
                                    "IPCCState [state] [reason]",
                                    "IPCCNotReadyReasons",
                                    "IPCCLogoutReasons",
                                    "Help [command]",
                                    "Quit"};

std::string HelpList() {
    std::string list = "\n";
    for (const char* syntax : kSyntaxLines) list += std::string("\t") + syntax + "\n";
    return list + "\n";
}

std::string HelpBlock(const std::string& syntax, const std::string& description) {
    return "\n\tCommand syntax:\n\n\t  " + syntax + "\n\n\t" + description + "\n\n\n";
}

struct HelpCase {
    std::string line;
    std::string output;
};

class HelpTest : public testing::TestWithParam<HelpCase> {};

// Exactly the expected text, in one write: an event line printed by another
// thread can then never land inside the answer.
TEST_P(HelpTest, PrintsExactlyInOneWrite) {
    FakeControl fake = MakeFakeControl(FakeControlOptions().Unbound().NotRunning());
    std::vector<std::string> writes;
    quvo::SetOutputSink([&](std::string_view text) { writes.emplace_back(text); });
    const ResultCode code = fake.Run(GetParam().line);
    quvo::SetOutputSink(nullptr);
    EXPECT_EQ(code, SUCCESS);
    EXPECT_EQ(writes, std::vector<std::string>{GetParam().output});
}

INSTANTIATE_TEST_SUITE_P(
    Lines, HelpTest,
    testing::Values(
        HelpCase{"help", HelpList()}, HelpCase{"HELP ?", HelpList()},
        HelpCase{"Help h", HelpBlock("HideProgram", "Minimize (hide) softphone")},
        HelpCase{"Help he", HelpBlock("Help [command]", "Show help")},
        HelpCase{"Help s", HelpBlock("ShowProgram", "Ensure softphone is visible")},
        HelpCase{"Help t", HelpBlock("Transfer destination", "Transfer active call (one-step transfer)")},
        HelpCase{"Help conf", HelpBlock("ConferenceInitiate destination", "Initiate conference")},
        HelpCase{"Help m", HelpBlock("MakeCall destination", "Initiate outboud call")},
        HelpCase{"Help ipccl", HelpBlock("IPCCLogin agentID pwd ext", "IPCC login")},
        HelpCase{"Help snapshot", HelpBlock("Snapshot", "Generate softphone snapshot")},
        HelpCase{"help MAKECALL", HelpBlock("MakeCall destination", "Initiate outboud call")},
        HelpCase{"Help softkey",
                 HelpBlock("Softkey softkey [lineId] [callRefId]",
                           "Send one of the following softkeys:\n"
                           "\t  redial, newcall, hold, transfer, cfwdall, endcall, resume, \n"
                           "\t  answer, conference, park, join, meetme, pickup, grouppickup, \n"
                           "\t  droplastconferee, callback, dnd, barge, cbarge, divertall, \n"
                           "\t  idivert, transfervmail, watch, intercept")},
        HelpCase{"Help ipccstate", HelpBlock("IPCCState [state] [reason]",
                                             "Query or change IPCC agent state to\n\tready, notready, "
                                             "work, workready, worknotready")},
        HelpCase{"Help quit", HelpBlock("Quit", "Quit application")}, HelpCase{"Help xyz", "\n"},
        HelpCase{"Help Helper", "\n"}, HelpCase{"Help \"\"", HelpList()}));

// ---- Preconditions ---------------------------------------------------------------

// Every command but RunProgram, Help and Quit, with words that would fail the
// argument checks.
const char* const kGuardedCommands[] = {"ExitProgram",
                                        "ShowProgram",
                                        "HideProgram",
                                        "MakeCall",
                                        "Answer abc",
                                        "EndCall",
                                        "Hold",
                                        "Resume",
                                        "OffHook",
                                        "OnHook",
                                        "DTMF x",
                                        "Softkey call",
                                        "Messages",
                                        "Snapshot",
                                        "CallStats",
                                        "Transfer",
                                        "TransferInitiate",
                                        "TransferComplete",
                                        "TransferCancel",
                                        "ConferenceInitiate",
                                        "ConferenceComplete",
                                        "ConferenceCancel",
                                        "SpkrVolumeUp",
                                        "SpkrVolumeDown",
                                        "MicVolumeUp",
                                        "MicVolumeDown",
                                        "Mute",
                                        "EMLogin",
                                        "EMLogout",
                                        "IPCCLogin",
                                        "IPCCLogout",
                                        "IPCCState readyy",
                                        "IPCCNotReadyReasons",
                                        "IPCCLogoutReasons"};

TEST(Preconditions, UnboundCommandsAnswerNotInitialized) {
    FakeControl fake = MakeFakeControl(FakeControlOptions().Unbound());
    for (const char* line : kGuardedCommands) EXPECT_EQ(fake.Run(line), ERROR_NOT_INITIALIZED) << line;
    EXPECT_EQ(fake.Run("Help"), SUCCESS);
}

TEST(Preconditions, NotRunningComesBeforeArgumentChecks) {
    FakeControl fake = MakeFakeControl(FakeControlOptions().NotRunning());
    for (const std::string line : kGuardedCommands) {
        if (line == "ExitProgram") continue;
        EXPECT_EQ(fake.Run(line), ERROR_PHONE_NOT_RUNNING) << line;
    }
    EXPECT_EQ(fake.phone->CommandCalls(), Calls{});
}

TEST(Preconditions, ExitProgramSkipsTheRunningCheck) {
    FakeControl fake = MakeFakeControl(FakeControlOptions().NotRunning());
    EXPECT_EQ(fake.Run("ExitProgram"), SUCCESS);
    EXPECT_EQ(fake.phone->CommandCalls(), Calls{"ExitProgram()"});
}

// RunProgram only reads the settings and starts a program: it needs no softphone.
TEST(Preconditions, RunProgramNeedsNoSoftphone) {
    auto desktop = std::make_shared<FakeDesktopState>();
    desktop->settings = {{"sExePath", "/opt/quvo"}, {"sExeFileName", "phone"}};
    FakeControl fake = MakeFakeControl(FakeControlOptions().Unbound().NotRunning().On(desktop));
    EXPECT_EQ(fake.Run("RunProgram"), SUCCESS);
    EXPECT_EQ(desktop->Calls().back(), "Launch(\"/opt/quvo/phone\",\"\",\"/opt/quvo\")");
}

// The dispatcher may compare the names in any order only while no two names are
// equal ignoring case.
TEST(CommandTable, NamesAreDistinctIgnoringCase) {
    const auto table = CommandTable();
    EXPECT_EQ(table.size(), 37u);
    for (size_t i = 0; i < table.size(); ++i) {
        for (size_t k = i + 1; k < table.size(); ++k)
            EXPECT_FALSE(EqualsNoCase(table[i].name, table[k].name)) << table[i].name;
    }
}

}  // namespace
}  // namespace quvo::test
