#include "support/CommandCase.h"

#include <gtest/gtest.h>

namespace quvo::test {

void PrintTo(const CommandCase& command, std::ostream* os) {
    *os << '"' << command.line << '"';
}

void ExpectCommand(const CommandCase& command) {
    FakeControl fake = MakeFakeControl();
    EXPECT_EQ(fake.Run(command.line), command.result) << command.line;
    EXPECT_EQ(fake.phone->CommandCalls(), command.calls) << command.line;
}

TEST_P(CommandTest, SendsWhatTheWordsSay) {
    ExpectCommand(GetParam());
}

}  // namespace quvo::test
