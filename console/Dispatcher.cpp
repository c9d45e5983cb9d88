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

namespace {

using Words = CCommandTokenizer;
using Handler = ResultCode (*)(CSoftphoneControl&, const Words&);

struct DispatchEntry {
    const char* word;
    Handler handler;
};

// The dispatcher's own list, in its order of comparison (not the order of the
// help table): the first word that matches selects the handler.
const DispatchEntry kDispatchTable[] = {
    {"RunProgram", [](CSoftphoneControl& c, const Words&) { return c.RunProgram(); }},
    {"ExitProgram", [](CSoftphoneControl& c, const Words&) { return c.ExitProgram(); }},
    {"ShowProgram", [](CSoftphoneControl& c, const Words&) { return c.ShowProgram(1); }},
    {"HideProgram", [](CSoftphoneControl& c, const Words&) { return c.ShowProgram(0); }},
    {"MakeCall", [](CSoftphoneControl& c, const Words& w) { return c.MakeCall(w.Word(1), w.Word(2)); }},
    {"Answer", [](CSoftphoneControl& c, const Words& w) { return c.Answer(w.Word(1)); }},
    {"EndCall", [](CSoftphoneControl& c, const Words&) { return c.EndCall(); }},
    {"Hold", [](CSoftphoneControl& c, const Words&) { return c.Hold(); }},
    {"Resume", [](CSoftphoneControl& c, const Words& w) { return c.Resume(w.Word(1)); }},
    {"OffHook", [](CSoftphoneControl& c, const Words& w) { return c.OffHook(w.Word(1)); }},
    {"OnHook", [](CSoftphoneControl& c, const Words& w) { return c.OnHook(w.Word(1)); }},
    {"DTMF", [](CSoftphoneControl& c, const Words& w) { return c.DTMF(w.Word(1)); }},
    {"Softkey",
     [](CSoftphoneControl& c, const Words& w) { return c.Softkey(w.Word(1), w.Word(2), w.Word(3)); }},
    {"Messages", [](CSoftphoneControl& c, const Words&) { return c.Messages(); }},
    {"Snapshot", [](CSoftphoneControl& c, const Words&) { return c.Snapshot(); }},
    {"CallStats", [](CSoftphoneControl& c, const Words&) { return c.CallStats(); }},
    {"Transfer", [](CSoftphoneControl& c, const Words& w) { return c.Transfer(w.Word(1)); }},
    {"TransferInitiate", [](CSoftphoneControl& c, const Words& w) { return c.TransferInitiate(w.Word(1)); }},
    {"TransferComplete", [](CSoftphoneControl& c, const Words&) { return c.TransferComplete(); }},
    {"TransferCancel", [](CSoftphoneControl& c, const Words&) { return c.TransferCancel(); }},
    {"ConferenceInitiate",
     [](CSoftphoneControl& c, const Words& w) { return c.ConferenceInitiate(w.Word(1)); }},
    {"ConferenceComplete", [](CSoftphoneControl& c, const Words&) { return c.ConferenceComplete(); }},
    {"ConferenceCancel", [](CSoftphoneControl& c, const Words&) { return c.ConferenceCancel(); }},
    {"SpkrVolumeUp", [](CSoftphoneControl& c, const Words&) { return c.SpkrVolume(1); }},
    {"SpkrVolumeDown", [](CSoftphoneControl& c, const Words&) { return c.SpkrVolume(0); }},
    {"MicVolumeUp", [](CSoftphoneControl& c, const Words&) { return c.MicVolume(1); }},
    {"MicVolumeDown", [](CSoftphoneControl& c, const Words&) { return c.MicVolume(0); }},
    {"Mute", [](CSoftphoneControl& c, const Words& w) { return c.Mute(w.Word(1)); }},
    {"EMLogin", [](CSoftphoneControl& c, const Words& w) { return c.EMLogin(w.Word(1), w.Word(2)); }},
    {"EMLogout", [](CSoftphoneControl& c, const Words&) { return c.EMLogout(); }},
    {"IPCCLogin",
     [](CSoftphoneControl& c, const Words& w) { return c.IPCCLogin(w.Word(1), w.Word(2), w.Word(3)); }},
    {"IPCCLogout", [](CSoftphoneControl& c, const Words& w) { return c.IPCCLogout(w.Word(1)); }},
    {"IPCCState", [](CSoftphoneControl& c, const Words& w) { return c.IPCCState(w.Word(1), w.Word(2)); }},
    {"IPCCNotReadyReasons", [](CSoftphoneControl& c, const Words&) { return c.IPCCNotReadyReasons(); }},
    {"IPCCLogoutReasons", [](CSoftphoneControl& c, const Words&) { return c.IPCCLogoutReasons(); }},
    {"Help", [](CSoftphoneControl& c, const Words& w) { return c.Help(w.Word(1)); }},
    {"Quit", [](CSoftphoneControl& c, const Words&) -> ResultCode { c.Quit(); }},
};

}  // namespace

ResultCode CSoftphoneControl::ExecuteCommand(std::string line) {
    CCommandTokenizer words;
    words.Tokenize(line);
    const std::string& command = words.Word(0);
    if (command.empty()) return SUCCESS;
    for (const DispatchEntry& entry : kDispatchTable) {
        if (EqualsNoCase(command, entry.word)) return entry.handler(*this, words);
    }
    return ERROR_INVALID_COMMAND;
}

ResultCode CSoftphoneControl::Help(std::string command) {
    if (command.empty() || command == "?") {
        std::string list = "\n";
        for (const CommandEntry& entry : CommandTable) list += quvo::Format("\t%s\n", entry.syntax);
        list += "\n";
        quvo::Write(list);
        return SUCCESS;
    }
    for (const CommandEntry& entry : CommandTable) {
        const std::string name = entry.name;
        if (command.size() <= name.size() && EqualsNoCase(name.substr(0, command.size()), command)) {
            quvo::Print("\n\tCommand syntax:\n\n\t  %s\n\n\t%s\n\n", entry.syntax, entry.description);
            break;
        }
    }
    quvo::Write("\n");
    return SUCCESS;
}

ResultCode CSoftphoneControl::Quit() {
    std::exit(0);
}

std::string CSoftphoneControl::GetResultCodeName(ResultCode code) const {
    return ResultCodeName(code);
}

}  // namespace quvo::link
