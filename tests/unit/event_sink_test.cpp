#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "link/EventSink.h"
#include "support/FakeSoftphone.h"

namespace quvo::test {
namespace {

using link::EventArg;
using link::EventArgs;

constexpr const char* kAdviseFailed =
    "Error : CEventSink::DispEventAdvise failed - will not receive events\n> ";

EventArgs LineUpdateArgs(int32_t callRef, int32_t state) {
    return {1, callRef, std::wstring(L"100"), std::wstring(L"100"), state, std::wstring(L"200"), 1, 0, 3};
}

TEST(EventSink, ConnectsAtConstructionAndDisconnectsAtDestruction) {
    OutputCapture output;
    auto state = std::make_shared<FakeSoftphoneState>();
    {
        FakeControl fake = MakeFakeControl(FakeControlOptions().Sharing(state));
        EXPECT_TRUE(state->IsAdvised());
        EXPECT_EQ(output.Text(), "");
    }
    EXPECT_FALSE(state->IsAdvised());
    EXPECT_EQ(state->UnadvisedCookie(), 42u);
    // The client is marked inactive after the sink has gone.
    EXPECT_EQ(state->Calls(), (std::vector<std::string>{"SetClientActive(1)", "SetClientActive(0)"}));
    EXPECT_FALSE(state->Fire(1, {7}));
}

TEST(EventSink, SoftphoneWithoutEventsPrintsOneErrorLineAndStillWorks) {
    OutputCapture output;
    FakeControl fake = MakeFakeControl(FakeControlOptions().WithoutEvents());
    EXPECT_EQ(output.Take(), kAdviseFailed);
    EXPECT_EQ(fake.Run("Hold"), SUCCESS);
    EXPECT_EQ(fake.phone->CommandCalls(), std::vector<std::string>{"Hold()"});
    EXPECT_EQ(output.Take(), "");
}

TEST(EventSink, RefusedAdvisePrintsTheErrorLine) {
    OutputCapture output;
    auto state = std::make_shared<FakeSoftphoneState>();
    state->SetAdviseSucceeds(false);
    FakeControl fake = MakeFakeControl(FakeControlOptions().Sharing(state));
    EXPECT_EQ(output.Take(), kAdviseFailed);
    EXPECT_FALSE(fake.Fire(1, {7}));
}

TEST(EventSink, UnboundControlHasNoSinkAndPrintsNothing) {
    OutputCapture output;
    FakeControl fake = MakeFakeControl(FakeControlOptions().Unbound());
    EXPECT_EQ(output.Text(), "");
}

TEST(EventSink, SetClientActiveFailureLeavesTheControlUnbound) {
    OutputCapture output;
    auto state = std::make_shared<FakeSoftphoneState>();
    state->FailOn("SetClientActive");
    FakeControl fake = MakeFakeControl(FakeControlOptions().Sharing(state));
    EXPECT_EQ(output.Take(),
              "Error : SetClientActive failed - " + FakeSoftphoneState::Failure().Describe() + "\n> ");
    EXPECT_FALSE(fake.control->IsBound());
    EXPECT_EQ(fake.Run("Hold"), ERROR_NOT_INITIALIZED);
    EXPECT_FALSE(state->IsAdvised());
    EXPECT_EQ(state->Calls(), std::vector<std::string>{"SetClientActive(1)"});
}

TEST(EventSink, DeclaresTheContractedParameterTypes) {
    using T = link::EventType;
    const std::vector<std::vector<T>> expected = {
        {},
        {T::I4},
        {T::I4},
        {T::I4},
        {T::I4, T::BSTR, T::BSTR},
        {},
        {},
        {T::BSTR, T::I4},
        {T::I4, T::BOOL},
        {T::I4},
        {T::I4},
        {T::I4, T::I4, T::BSTR, T::BSTR, T::I4, T::BSTR, T::I4, T::I4, T::I4},
        {T::I4, T::BSTR, T::I4, T::I4},
        {T::BSTR},
        {T::BOOL, T::I4},
        {T::BOOL},
        {T::I4},
        {},
        {T::I4, T::BSTR},
        {T::I4, T::I4, T::BSTR},
        {T::I4, T::BSTR, T::BSTR, T::BSTR, T::I4, T::I4, T::I4, T::I4, T::I4, T::I4},
    };
    for (int32_t dispid = 1; dispid <= 20; ++dispid) {
        const link::EventCallInfo* info = link::FindEventCallInfo(dispid);
        ASSERT_NE(info, nullptr) << dispid;
        const std::vector<T> types(info->paramTypes.begin(), info->paramTypes.begin() + info->paramCount);
        EXPECT_EQ(types, expected[dispid]) << dispid;
    }
    for (int32_t dispid : {0, 21, -1}) EXPECT_EQ(link::FindEventCallInfo(dispid), nullptr) << dispid;
}

struct IgnoredEvent {
    const char* name;
    int32_t dispid;
    EventArgs args;
};

class IgnoredEventTest : public testing::TestWithParam<IgnoredEvent> {};

// Unknown DISPIDs, the DISPIDs the console does not report, and events whose
// arguments do not match the declaration: nothing printed, the call reference kept.
TEST_P(IgnoredEventTest, PrintsNothing) {
    OutputCapture output;
    FakeControl fake = MakeFakeControl();
    fake.control->SetCallRef(99);
    ASSERT_TRUE(fake.Fire(GetParam().dispid, GetParam().args));
    EXPECT_EQ(output.Text(), "");
    EXPECT_EQ(fake.control->CallRef(), 99);
}

INSTANTIATE_TEST_SUITE_P(
    Events, IgnoredEventTest,
    testing::Values(
        IgnoredEvent{"Dispid0", 0, {7}}, IgnoredEvent{"Dispid21", 21, {}},
        IgnoredEvent{"DispidMinus1", -1, {7}}, IgnoredEvent{"Dispid5", 5, {}}, IgnoredEvent{"Dispid6", 6, {}},
        IgnoredEvent{"Dispid7", 7, {std::wstring(L"x"), 1}}, IgnoredEvent{"Dispid8", 8, {1, true}},
        IgnoredEvent{"Dispid9", 9, {1}}, IgnoredEvent{"Dispid10", 10, {1}},
        IgnoredEvent{"Dispid14", 14, {false, 1}}, IgnoredEvent{"Dispid15", 15, {true}},
        IgnoredEvent{"HangupWithoutArgument", 1, {}}, IgnoredEvent{"HangupWithTwoArguments", 1, {1, 2}},
        IgnoredEvent{"HangupWithText", 1, {std::wstring(L"1")}}, IgnoredEvent{"HangupWithBool", 1, {true}},
        IgnoredEvent{"HangupWithUnknownType", 1, {EventArg{}}},
        IgnoredEvent{"IncomingCallMissingCaller", 4, {5, std::wstring(L"100")}},
        IgnoredEvent{"IncomingCallSwappedTypes", 4, {std::wstring(L"100"), 5, std::wstring(L"x")}},
        IgnoredEvent{"LineUpdateEightArguments",
                     11,
                     {1, 5, std::wstring(L"a"), std::wstring(L"a"), 5, std::wstring(L"b"), 1, 0}},
        IgnoredEvent{"LineUpdateBoolForNumber",
                     11,
                     {1, 5, std::wstring(L"a"), std::wstring(L"a"), true, std::wstring(L"b"), 1, 0, 3}},
        IgnoredEvent{"KeepAliveWithArgument", 17, {1}}, IgnoredEvent{"StatusWithBool", 16, {true}},
        IgnoredEvent{"ReasonCodeWithTwoArguments", 19, {1, 2}}, IgnoredEvent{"OneBoolWithNumber", 15, {1}}),
    [](const testing::TestParamInfo<IgnoredEvent>& info) { return std::string(info.param.name); });

// Events arrive on several threads at once; every line comes out whole.
TEST(EventSink, ConcurrentEventsPrintWholeLines) {
    OutputCapture output;
    FakeControl fake = MakeFakeControl();
    constexpr int kPerThread = 200;
    const auto fire = [&](int32_t callRef) {
        for (int i = 0; i < kPerThread; ++i) fake.Fire(1, {callRef});
    };
    std::thread first(fire, 1111);
    std::thread second(fire, 2222);
    for (int i = 0; i < kPerThread; ++i) fake.Fire(11, LineUpdateArgs(i, 5));
    first.join();
    second.join();

    const std::string text = output.Text();
    size_t lines = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find("\n> ", start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(start, end - start);
        const bool whole =
            line == "Event : PartyHangup,  CallRef=1111" || line == "Event : PartyHangup,  CallRef=2222" ||
            line.rfind("Event : LineUpdate, Line=1(100), Button=3, State=5(TsConnected), ", 0) == 0;
        EXPECT_TRUE(whole) << line;
        ++lines;
        start = end + 3;
    }
    EXPECT_EQ(lines, 3u * kPerThread);
    EXPECT_EQ(fake.control->CallRef(), kPerThread - 1);
}

}  // namespace
}  // namespace quvo::test
