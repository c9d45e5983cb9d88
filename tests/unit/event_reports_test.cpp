#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <string>

#include "link/EventSink.h"
#include "support/FakeSoftphone.h"

namespace quvo::test {
namespace {

using link::EventArgs;
using W = std::wstring;

// ---- One line per event, byte for byte --------------------------------------------

struct ReportCase {
    const char* name;
    int32_t dispid;
    EventArgs args;
    std::string output;
};

class EventReportTest : public testing::TestWithParam<ReportCase> {};

TEST_P(EventReportTest, PrintsExactly) {
    OutputCapture output;
    FakeControl fake = MakeFakeControl();
    ASSERT_TRUE(fake.Fire(GetParam().dispid, GetParam().args));
    EXPECT_EQ(output.Text(), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Events, EventReportTest,
    testing::Values(
        ReportCase{"PartyHangup", 1, {17}, "Event : PartyHangup,  CallRef=17\n> "},
        ReportCase{"PartyBusy", 2, {-3}, "Event : PartyBusy,    CallRef=-3\n> "},
        ReportCase{"PartyPickup", 3, {INT32_MAX}, "Event : PartyPickup,  CallRef=2147483647\n> "},
        ReportCase{"IncomingCall",
                   4,
                   {5, W(L"Line 1"), W(L"Bob <2001>")},
                   "Event : IncomingCall, CallRef=5, Line=Line 1, CallerID=Bob <2001>\n> "},
        ReportCase{"LineUpdate",
                   11,
                   {2, 8, W(L"2001"), W(L"Main"), 3, W(L"3003"), 1, 77, 4},
                   "Event : LineUpdate, Line=2(Main|2001), Button=4, State=3(TsRingOut), CallRef=8, "
                   "Direction=outgoing, OtherParty=3003\n> "},
        ReportCase{"SpeedDialUpdate",
                   12,
                   {3, W(L"Alice"), 99, 6},
                   "Event : SpeedDialUpdate, Speeddial=3(Alice), Button=6\n> "},
        ReportCase{"CallParkReturned", 13, {W(L"*3801")}, "Event : CallParkReturned, ParkedAt=*3801\n> "},
        ReportCase{"CallManagerConnected", 16, {1}, "Event : Connected to CallManager\n> "},
        ReportCase{"CallManagerDisconnected", 16, {0}, "Event : Disconnected from CallManager\n> "},
        ReportCase{"CallManagerOtherStatus", 16, {2}, ""},
        ReportCase{"CallManagerNegativeStatus", 16, {-1}, ""},
        ReportCase{"ConnectionKeepAlive", 17, {}, "Event : ConnectionKeepAlive\n> "},
        ReportCase{"AgentState", 18, {4, W(L"agent 7")}, "Event : IPCC agent state 4 (Ready) agent 7\n> "},
        ReportCase{"AgentStateUnknown", 18, {11, W(L"x")}, "Event : IPCC agent state 11 () x\n> "},
        ReportCase{"AgentStateNegative", 18, {-1, W(L"")}, "Event : IPCC agent state -1 () \n> "},
        ReportCase{
            "LogoutReason", 19, {1, 12, W(L"Lunch")}, "Event : IPCC Logout Reason Code 12 - Lunch \n> "},
        ReportCase{
            "NotReadyReason", 19, {2, 3, W(L"Break")}, "Event : IPCC NotReady Reason Code 3 - Break \n> "},
        ReportCase{"ReasonOfKind0", 19, {0, 3, W(L"x")}, ""},
        ReportCase{"ReasonOfKind3", 19, {3, 3, W(L"x")}, ""},
        ReportCase{"CallStatsUpdate",
                   20,
                   {9, W(L"G711"), W(L"SEP01"), W(L"SEP02"), 60, 3000, 2990, 4, 6, 12},
                   "Event : CallStatsUpdate, CallRef=9, Codec=G711, ThisStation=SEP01, OtherStation=SEP02, "
                   "CallLen=60, Sent=3000, Recvd=2990, Lost=4, Discarded=6, Jitter=12\n"}),
    [](const testing::TestParamInfo<ReportCase>& info) { return std::string(info.param.name); });

TEST(EventReports, CallStatsLineLeavesTheNextLineAtTheStart) {
    OutputCapture output;
    FakeControl fake = MakeFakeControl();
    fake.Fire(20, {1, W(L"c"), W(L"a"), W(L"b"), 0, 0, 0, 0, 0, 0});
    fake.Fire(17, {});
    EXPECT_EQ(
        output.Text(),
        "Event : CallStatsUpdate, CallRef=1, Codec=c, ThisStation=a, OtherStation=b, CallLen=0, Sent=0, "
        "Recvd=0, Lost=0, Discarded=0, Jitter=0\nEvent : ConnectionKeepAlive\n> ");
}

// ---- LineUpdate: label, state and direction ---------------------------------------

struct LineUpdateCase {
    const char* name;
    W lineText2;
    W lineText;
    int32_t state;
    int32_t direction;
    std::string line;  // the fields Line= up to Direction=, as printed
};

class LineUpdateTest : public testing::TestWithParam<LineUpdateCase> {};

TEST_P(LineUpdateTest, FormatsLabelStateAndDirection) {
    OutputCapture output;
    FakeControl fake = MakeFakeControl();
    const LineUpdateCase& c = GetParam();
    fake.Fire(11, {1, 40, c.lineText2, c.lineText, c.state, W(L"5005"), c.direction, 0, 2});
    EXPECT_EQ(output.Text(), "Event : LineUpdate, " + c.line + ", OtherParty=5005\n> ");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineUpdateTest,
    testing::Values(
        LineUpdateCase{"SameTexts", L"100", L"100", 5, 1,
                       "Line=1(100), Button=2, State=5(TsConnected), CallRef=40, Direction=outgoing"},
        LineUpdateCase{"TextsDifferingInCaseOnly", L"MAIN", L"Main", 5, 0,
                       "Line=1(Main), Button=2, State=5(TsConnected), CallRef=40, Direction=incoming"},
        LineUpdateCase{"DifferentTexts", L"2001", L"Main", 5, 2,
                       "Line=1(Main|2001), Button=2, State=5(TsConnected), CallRef=40, Direction=incoming"},
        LineUpdateCase{"EmptySecondText", L"", L"Main", 3, 3,
                       "Line=1(Main|), Button=2, State=3(TsRingOut), CallRef=40, Direction=incoming"},
        LineUpdateCase{"IdleHidesDirection", L"a", L"a", 0, 1,
                       "Line=1(a), Button=2, State=0(TsIdle), CallRef=40, Direction="},
        LineUpdateCase{"OffHookHidesDirection", L"a", L"a", 1, 0,
                       "Line=1(a), Button=2, State=1(TsOffHook), CallRef=40, Direction="},
        LineUpdateCase{"OnHookHidesDirection", L"a", L"a", 2, 3,
                       "Line=1(a), Button=2, State=2(TsOnHook), CallRef=40, Direction="},
        LineUpdateCase{"DirectionFour", L"a", L"a", 8, 4,
                       "Line=1(a), Button=2, State=8(TsHold), CallRef=40, Direction="},
        LineUpdateCase{"NegativeDirection", L"a", L"a", 8, -1,
                       "Line=1(a), Button=2, State=8(TsHold), CallRef=40, Direction="},
        LineUpdateCase{"LastNamedState", L"a", L"a", 14, 1,
                       "Line=1(a), Button=2, State=14(TsInvalidNumber), CallRef=40, Direction=outgoing"},
        LineUpdateCase{"StateBeyondTheTable", L"a", L"a", 15, 1,
                       "Line=1(a), Button=2, State=15(), CallRef=40, Direction=outgoing"},
        LineUpdateCase{"NegativeState", L"a", L"a", -1, 1,
                       "Line=1(a), Button=2, State=-1(), CallRef=40, Direction=outgoing"}),
    [](const testing::TestParamInfo<LineUpdateCase>& info) { return std::string(info.param.name); });

TEST(EventReports, LineTextsDifferingInTheCaseOfNonAsciiLettersGiveTheShortLabel) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "C.UTF-8")) GTEST_SKIP() << "no UTF-8 locale";
    {
        OutputCapture output;
        FakeControl fake = MakeFakeControl();
        fake.Fire(11, {1, 40, W(L"\u00C9TAGE"), W(L"\u00E9tage"), 5, W(L"5005"), 1, 0, 2});
        EXPECT_EQ(output.Text(),
                  "Event : LineUpdate, Line=1(\u00e9tage), Button=2, State=5(TsConnected), CallRef=40, "
                  "Direction=outgoing, OtherParty=5005\n> ");
    }
    std::setlocale(LC_ALL, previous.c_str());
}

// ---- The remembered call reference -------------------------------------------------

TEST(EventReports, LineUpdateKeepsOnlyRingingOrConnectedCalls) {
    FakeControl fake = MakeFakeControl();
    for (int32_t state = -1; state <= 15; ++state) {
        fake.control->SetCallRef(99);
        fake.Fire(11, {1, 40, W(L"a"), W(L"a"), state, W(L"b"), 1, 0, 2});
        EXPECT_EQ(fake.control->CallRef(), state == 4 || state == 5 ? 40 : 0) << "state " << state;
    }
}

TEST(EventReports, IncomingCallIsWhatABareAnswerAnswers) {
    FakeControl fake = MakeFakeControl();
    fake.Fire(4, {31, W(L"1"), W(L"x")});
    fake.Fire(4, {32, W(L"1"), W(L"y")});
    EXPECT_EQ(fake.control->CallRef(), 32);
    EXPECT_EQ(fake.Run("Answer"), SUCCESS);
    fake.Fire(11, {1, 33, W(L"a"), W(L"a"), 4, W(L"b"), 0, 0, 2});
    EXPECT_EQ(fake.Run("Answer"), SUCCESS);
    fake.Fire(11, {1, 33, W(L"a"), W(L"a"), 2, W(L"b"), 0, 0, 2});
    EXPECT_EQ(fake.Run("Answer"), SUCCESS);
    EXPECT_EQ(fake.phone->CommandCalls(),
              (std::vector<std::string>{"Answer(32)", "Answer(33)", "Answer(0)"}));
}

// ---- Name tables -------------------------------------------------------------------

TEST(EventReports, NameTables) {
    const char* const states[] = {"TsIdle",         "TsOffHook",
                                  "TsOnHook",       "TsRingOut",
                                  "TsRingIn",       "TsConnected",
                                  "TsBusy",         "TsCongestion",
                                  "TsHold",         "TsCallWaiting",
                                  "TsCallTransfer", "TsCallPark",
                                  "TsProceed",      "TsCallRemoteMultiline",
                                  "TsInvalidNumber"};
    for (int32_t i = 0; i < 15; ++i) EXPECT_EQ(link::GetLineStateName(i), states[i]);

    const char* const agentStates[] = {
        "IPCC unavailable", "Unknown",    "Logged Out", "Not Ready", "Ready",   "Work",
        "Work Not Ready",   "Work Ready", "Talking",    "Hold",      "Reserved"};
    for (int32_t i = 0; i < 11; ++i) EXPECT_EQ(link::GetAgentStateName(i), agentStates[i]);

    EXPECT_EQ(link::GetDirectionName(0), "incoming");
    EXPECT_EQ(link::GetDirectionName(1), "outgoing");
    EXPECT_EQ(link::GetDirectionName(2), "incoming");
    EXPECT_EQ(link::GetDirectionName(3), "incoming");

    for (int32_t outside : {-1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(link::GetLineStateName(outside), "") << outside;
        EXPECT_EQ(link::GetDirectionName(outside), "") << outside;
        EXPECT_EQ(link::GetAgentStateName(outside), "") << outside;
    }
    EXPECT_EQ(link::GetLineStateName(15), "");
    EXPECT_EQ(link::GetDirectionName(4), "");
    EXPECT_EQ(link::GetAgentStateName(11), "");
}

}  // namespace
}  // namespace quvo::test
