// Table-driven command tests: one line, its result and the operations it sends.
#pragma once

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

}  // namespace quvo::test
