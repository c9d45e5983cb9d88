// Tab completion and the history filter of the terminal line editor.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quvo {

struct CompletionResult {
    // The word being completed runs from wordStart to the cursor.
    size_t wordStart = 0;
    // What to put in its place; empty when nothing fits.
    std::string replacement;
    // Set when the word is not settled yet: every word it may still become.
    std::vector<std::string> choices;
};

// Completes the word before the cursor, ignoring letter case: a command word at
// the start of the line, and after "Help", "Softkey", "IPCCState" and "Mute" the
// topics, softkey names, agent states and on/off that these commands take.
CompletionResult Complete(std::string_view beforeCursor);

// The command words as an operator writes them, in help order.
std::vector<std::string> CommandWords();

// The softkey names that "Softkey" accepts.
const std::vector<std::string>& SoftkeyNames();

// False for lines that must never be remembered: blank lines, and the log-in
// commands whose words include a password.
bool MayKeepInHistory(std::string_view line);

}  // namespace quvo
