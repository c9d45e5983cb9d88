// ExecuteCommand, Help, Quit and GetResultCodeName.
#include <cstdlib>
#include <string>

#include "base/Output.h"
#include "base/Text.h"
#include "console/CommandTable.h"
#include "console/CommandTokenizer.h"
#include "console/ResultCodes.h"
#include "link/SoftphoneControl.h"

namespace quvo::link {

ResultCode CSoftphoneControl::ExecuteCommand(std::string line) {
    CCommandTokenizer words;
    words.Tokenize(line);
    const std::string& command = words.Word(0);
    if (command.empty()) return SUCCESS;
    for (const CommandEntry& entry : CommandTable()) {
        if (!EqualsNoCase(command, entry.name)) continue;
        if (ResultCode code = CheckPreconditions(entry.precondition)) return code;
        return entry.handler(*this, words);
    }
    return ERROR_INVALID_COMMAND;
}

ResultCode CSoftphoneControl::Help(std::string command) {
    if (command.empty() || command == "?") {
        std::string list = "\n";
        for (const CommandEntry& entry : CommandTable()) list += quvo::Format("\t%s\n", entry.syntax);
        list += "\n";
        quvo::Write(list);
        return SUCCESS;
    }
    // The whole answer is one write, so that no event line lands inside it.
    std::string answer;
    for (const CommandEntry& entry : CommandTable()) {
        const std::string name = entry.name;
        if (command.size() <= name.size() && EqualsNoCase(name.substr(0, command.size()), command)) {
            answer =
                quvo::Format("\n\tCommand syntax:\n\n\t  %s\n\n\t%s\n\n", entry.syntax, entry.description);
            break;
        }
    }
    answer += "\n";
    quvo::Write(answer);
    return SUCCESS;
}

ResultCode CSoftphoneControl::Quit() {
    std::exit(0);
}

std::string CSoftphoneControl::GetResultCodeName(ResultCode code) const {
    return ResultCodeName(code);
}

}  // namespace quvo::link
