// Table-driven command tests: one line, its result and the operations it sends.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/FakeSoftphone.h"

namespace quvo::test {

struct CommandCase {
    std::string line;
    ResultCode result;
    std::vector<std::string> calls;  // in order, without SetClientActive(1)
};
void PrintTo(const CommandCase& command, std::ostream* os);

// Runs command.line on a fresh control (running softphone, events connected) and
// checks the result and the operations sent.
void ExpectCommand(const CommandCase& command);

// The fixture of the command tables: each table is one INSTANTIATE_TEST_SUITE_P
// with CommandTest, and every case runs through ExpectCommand.
class CommandTest : public testing::TestWithParam<CommandCase> {};

}  // namespace quvo::test
