// The one table of the console's commands: what Help prints, what the prefix search
// and the dispatcher compare, which preconditions a command needs and its handler.
#pragma once

#include <span>

#include "base/ResultCodes.h"
#include "console/CommandTokenizer.h"
#include "link/SoftphoneControl.h"

namespace quvo {

// Calls one handler with the words of the line that it takes.
using CommandHandler = ResultCode (*)(link::CSoftphoneControl& control, const CCommandTokenizer& words);

struct CommandEntry {
    const char* name;  // compared ignoring case only, never printed
    const char* syntax;
    const char* description;
    link::CSoftphoneControl::Precondition precondition;  // checked before the handler runs
    CommandHandler handler;
};

// The rows in the order in which Help lists them and the prefix search tries them.
// No two names are equal ignoring case, so the dispatcher may compare in any order.
std::span<const CommandEntry> CommandTable();

}  // namespace quvo
