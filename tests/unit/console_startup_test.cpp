#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "console/CommandLoop.h"
#include "support/FakeSoftphone.h"

namespace quvo::test {
namespace {

TEST(ConsoleStartup, FrameworkFailureEndsWithStatusOneAndOneLine) {
    OutputCapture output;
    std::istringstream input("Help\nQuit\n");
    EXPECT_EQ(RunConsole([] { return false; }, input, [] { return link::CSoftphoneControl::Options(); }), 1);
    EXPECT_EQ(output.Text(), "Fatal Error: MFC initialization failed \n");
    EXPECT_EQ(input.tellg(), 0);  // no line was read
}

TEST(ConsoleStartup, Banner) {
    OutputCapture output;
    PrintBanner();
    const std::string rule(47, '-');
    const std::string text = output.Text();
    EXPECT_EQ(text.rfind(rule + "\nQUVOConnect Program v.1.0.\n", 0), 0u) << text;
    EXPECT_NE(text.find("\nType 'help' for available commands.\n" + rule + "\n\n"), std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6) << text;
}

}  // namespace
}  // namespace quvo::test
