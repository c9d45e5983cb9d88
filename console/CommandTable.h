// The 37 commands with the syntax lines and descriptions that "Help" prints.
#pragma once

namespace quvo {

struct CommandEntry {
    const char* name;  // compared ignoring case only, never printed
    const char* syntax;
    const char* description;
};

inline constexpr int kCommandCount = 37;
extern const CommandEntry CommandTable[kCommandCount];

}  // namespace quvo
