#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "base/Output.h"
#include "support/FakeSoftphone.h"

namespace quvo::test {
namespace {

class EventLines : public ::testing::Test {
  protected:
    ~EventLines() override {
        ReleaseEvents();
        SetEventStyle({});
    }
    OutputCapture m_output;
};

TEST_F(EventLines, PromptAfterEventsOnlyWhereOneWaits) {
    PrintEvent("Event : A");
    PrintEventWithoutPrompt("Event : B");
    SetEventStyle({.prompt = false, .timestamps = false});
    PrintEvent("Event : C");
    EXPECT_EQ(m_output.Text(), "Event : A\n> Event : B\nEvent : C\n");
}

TEST_F(EventLines, TimestampsStartEachEventLineButNoOtherLine) {
    SetEventStyle({.prompt = true, .timestamps = true});
    PrintEvent("Event : A");
    Print("> Error : X\n");
    PrintEventWithoutPrompt("Event : B");
    EXPECT_TRUE(
        std::regex_match(m_output.Text(), std::regex("\\d\\d:[0-5]\\d:[0-5]\\d\\.\\d{3} Event : A\n> "
                                                     "> Error : X\n"
                                                     "\\d\\d:[0-5]\\d:[0-5]\\d\\.\\d{3} Event : B\n")))
        << m_output.Text();
}

TEST_F(EventLines, HeldLinesWaitWholeAndInOrderUntilTakenOrReleased) {
    int wakes = 0;
    HoldEvents([&wakes] { ++wakes; });
    std::thread other([] {
        PrintEvent("Event : 1");
        PrintEvent("Event : 2");
    });
    other.join();
    Write("answer\n");  // the main thread's own writes are not held
    EXPECT_EQ(wakes, 2);
    EXPECT_EQ(m_output.Text(), "answer\n");
    EXPECT_EQ(TakeHeldEvents(), "Event : 1\n> Event : 2\n> ");
    EXPECT_EQ(TakeHeldEvents(), "");
    PrintEvent("Event : 3");
    ReleaseEvents();
    PrintEvent("Event : 4");
    EXPECT_EQ(m_output.Text(), "answer\nEvent : 3\n> Event : 4\n> ");
    EXPECT_EQ(wakes, 3);
}

}  // namespace
}  // namespace quvo::test
