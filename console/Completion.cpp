#include "console/Completion.h"

#include <cctype>

#include "base/Text.h"
#include "console/CommandTable.h"
#include "console/CommandTokenizer.h"

namespace quvo {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return prefix.size() <= text.size() &&
           EqualsNoCase(std::string(text.substr(0, prefix.size())), std::string(prefix));
}

bool SameLetter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// The words that may follow the command word `command` as its first argument.
std::vector<std::string> ArgumentWords(const std::string& command) {
    if (EqualsNoCase(command, "Help")) return CommandWords();
    if (EqualsNoCase(command, "Softkey")) return SoftkeyNames();
    if (EqualsNoCase(command, "IPCCState")) return {"ready", "notready", "work", "workready", "worknotready"};
    if (EqualsNoCase(command, "Mute")) return {"on", "off"};
    return {};
}

}  // namespace

std::vector<std::string> CommandWords() {
    // The first word of each syntax line: the command word in its usual spelling.
    std::vector<std::string> words;
    words.reserve(CommandTable().size());
    for (const CommandEntry& entry : CommandTable()) {
        const std::string_view syntax = entry.syntax;
        words.emplace_back(syntax.substr(0, syntax.find(' ')));
    }
    return words;
}

const std::vector<std::string>& SoftkeyNames() {
    static const std::vector<std::string> names = {
        "redial",           "newcall",    "hold",      "transfer", "cfwdall", "endcall",   "resume",
        "answer",           "conference", "park",      "join",     "meetme",  "pickup",    "grouppickup",
        "droplastconferee", "callback",   "dnd",       "barge",    "cbarge",  "divertall", "idivert",
        "transfervmail",    "watch",      "intercept",
    };
    return names;
}

CompletionResult Complete(std::string_view beforeCursor) {
    CompletionResult result;
    // Only blanks separate words on a command line.
    const size_t lastBlank = beforeCursor.rfind(' ');
    result.wordStart = lastBlank == std::string_view::npos ? 0 : lastBlank + 1;
    const std::string_view prefix = beforeCursor.substr(result.wordStart);
    if (prefix.find_first_of("\"\t") != std::string_view::npos) return result;

    CCommandTokenizer earlier;
    earlier.Tokenize(std::string(beforeCursor.substr(0, result.wordStart)));
    std::vector<std::string> candidates;
    if (earlier.Word(0).empty()) {
        // Nothing but blanks before the word: unless a quoted empty word stands there.
        if (beforeCursor.substr(0, result.wordStart).find('"') == std::string_view::npos) {
            candidates = CommandWords();
        }
    } else if (earlier.Word(1).empty() &&
               beforeCursor.substr(0, result.wordStart).find('"') == std::string_view::npos) {
        candidates = ArgumentWords(earlier.Word(0));
    }

    for (const std::string& candidate : candidates) {
        if (StartsWithNoCase(candidate, prefix)) result.choices.push_back(candidate);
    }
    if (result.choices.empty()) return result;
    if (result.choices.size() == 1) {
        result.replacement = result.choices.front() + " ";
        result.choices.clear();
        return result;
    }
    // The longest start that every choice shares, spelled as the first one.
    const std::string& first = result.choices.front();
    size_t common = first.size();
    for (const std::string& choice : result.choices) {
        size_t n = 0;
        while (n < common && n < choice.size() && SameLetter(first[n], choice[n])) ++n;
        common = n;
    }
    result.replacement = first.substr(0, common);
    if (common > prefix.size()) result.choices.clear();  // progress made: no list yet
    return result;
}

bool MayKeepInHistory(std::string_view line) {
    CCommandTokenizer words;
    words.Tokenize(std::string(line));
    const std::string& command = words.Word(0);
    if (command.empty()) return false;
    return !EqualsNoCase(command, "EMLogin") && !EqualsNoCase(command, "IPCCLogin");
}

}  // namespace quvo
