#include "console/CommandTable.h"

#include <array>
#include <iterator>

namespace quvo {

namespace {

using C = link::CSoftphoneControl;
using W = CCommandTokenizer;
using P = link::CSoftphoneControl::Precondition;

constexpr CommandEntry kCommands[] = {
    {"RunProgram", "RunProgram", "Start softphone application", P::None, 1,
     [](C& c, const W&) { return c.RunProgram(); }},
    {"ShowProgram", "ShowProgram", "Ensure softphone is visible", P::BoundAndRunning, 3,
     [](C& c, const W&) { return c.ShowProgram(1); }},
    {"HideProgram", "HideProgram", "Minimize (hide) softphone", P::BoundAndRunning, 4,
     [](C& c, const W&) { return c.ShowProgram(0); }},
    {"ExitProgram", "ExitProgram", "Close softphone application", P::Bound, 2,
     [](C& c, const W&) { return c.ExitProgram(); }},
    {"SnapShot", "Snapshot", "Generate softphone snapshot", P::BoundAndRunning, 15,
     [](C& c, const W&) { return c.Snapshot(); }},
    {"OffHook", "OffHook [line]", "Go offhook", P::BoundAndRunning, 10,
     [](C& c, const W& w) { return c.OffHook(w.Word(1)); }},
    // OnHook passes its first word although its syntax line shows none.
    {"OnHook", "OnHook", "Go onhook", P::BoundAndRunning, 11,
     [](C& c, const W& w) { return c.OnHook(w.Word(1)); }},
    {"MakeCall", "MakeCall destination", "Initiate outboud call", P::BoundAndRunning, 5,
     [](C& c, const W& w) { return c.MakeCall(w.Word(1), w.Word(2)); }},
    {"Answer", "Answer [callRefId]", "Answer incoming call", P::BoundAndRunning, 6,
     [](C& c, const W& w) { return c.Answer(w.Word(1)); }},
    {"EndCall", "EndCall", "Hangup active call", P::BoundAndRunning, 7,
     [](C& c, const W&) { return c.EndCall(); }},
    {"Hold", "Hold", "Hold active call", P::BoundAndRunning, 8, [](C& c, const W&) { return c.Hold(); }},
    {"Resume", "Resume [callRefId]", "Resume call", P::BoundAndRunning, 9,
     [](C& c, const W& w) { return c.Resume(w.Word(1)); }},
    {"DTMF", "DTMF key", "Send DTMF key/tone", P::BoundAndRunning, 12,
     [](C& c, const W& w) { return c.DTMF(w.Word(1)); }},
    {"Softkey", "Softkey softkey [lineId] [callRefId]",
     "Send one of the following softkeys:\n"
     "\t  redial, newcall, hold, transfer, cfwdall, endcall, resume, \n"
     "\t  answer, conference, park, join, meetme, pickup, grouppickup, \n"
     "\t  droplastconferee, callback, dnd, barge, cbarge, divertall, \n"
     "\t  idivert, transfervmail, watch, intercept",
     P::BoundAndRunning, 13, [](C& c, const W& w) { return c.Softkey(w.Word(1), w.Word(2), w.Word(3)); }},
    {"Transfer", "Transfer destination", "Transfer active call (one-step transfer)", P::BoundAndRunning, 17,
     [](C& c, const W& w) { return c.Transfer(w.Word(1)); }},
    {"TransferInitiate", "TransferInitiate destination", "Initiate consultative transfer", P::BoundAndRunning,
     18, [](C& c, const W& w) { return c.TransferInitiate(w.Word(1)); }},
    {"TransferComplete", "TransferComplete", "Complete consultative transfer", P::BoundAndRunning, 19,
     [](C& c, const W&) { return c.TransferComplete(); }},
    {"TransferCancel", "TransferCancel", "Cancel consultative transfer", P::BoundAndRunning, 20,
     [](C& c, const W&) { return c.TransferCancel(); }},
    {"ConferenceInitiate", "ConferenceInitiate destination", "Initiate conference", P::BoundAndRunning, 21,
     [](C& c, const W& w) { return c.ConferenceInitiate(w.Word(1)); }},
    {"ConferenceComplete", "ConferenceComplete", "Complete conference", P::BoundAndRunning, 22,
     [](C& c, const W&) { return c.ConferenceComplete(); }},
    {"ConferenceCancel", "ConferenceCancel", "Cancel conference", P::BoundAndRunning, 23,
     [](C& c, const W&) { return c.ConferenceCancel(); }},
    {"CallStats", "CallStats", "Generate call statistics", P::BoundAndRunning, 16,
     [](C& c, const W&) { return c.CallStats(); }},
    {"Messages", "Messages", "Initate call to voicemail", P::BoundAndRunning, 14,
     [](C& c, const W&) { return c.Messages(); }},
    {"SpkrVolumeUp", "SpkrVolumeUp", "Increase speaker volume", P::BoundAndRunning, 24,
     [](C& c, const W&) { return c.SpkrVolume(1); }},
    {"SpkrVolumeDown", "SpkrVolumeDown", "Decrease speaker volume", P::BoundAndRunning, 25,
     [](C& c, const W&) { return c.SpkrVolume(0); }},
    {"MicVolumeUp", "MicVolumeUp", "Increase microphone volume", P::BoundAndRunning, 26,
     [](C& c, const W&) { return c.MicVolume(1); }},
    {"MicVolumeDown", "MicVolumeDown", "Decrease microphone volume", P::BoundAndRunning, 27,
     [](C& c, const W&) { return c.MicVolume(0); }},
    {"Mute", "Mute [on|off]", "Mute/unmute microphone", P::BoundAndRunning, 28,
     [](C& c, const W& w) { return c.Mute(w.Word(1)); }},
    {"EMLogin", "EMLogin userID password", "Extension Mobility login", P::BoundAndRunning, 29,
     [](C& c, const W& w) { return c.EMLogin(w.Word(1), w.Word(2)); }},
    {"EMLogout", "EMLogout", "Extension Mobility logout", P::BoundAndRunning, 30,
     [](C& c, const W&) { return c.EMLogout(); }},
    {"IPCCLogin", "IPCCLogin agentID pwd ext", "IPCC login", P::BoundAndRunning, 31,
     [](C& c, const W& w) { return c.IPCCLogin(w.Word(1), w.Word(2), w.Word(3)); }},
    {"IPCCLogout", "IPCCLogout [reason]", "IPCC logout", P::BoundAndRunning, 32,
     [](C& c, const W& w) { return c.IPCCLogout(w.Word(1)); }},
    {"IPCCState", "IPCCState [state] [reason]",
     "Query or change IPCC agent state to\n\tready, notready, work, workready, worknotready",
     P::BoundAndRunning, 33, [](C& c, const W& w) { return c.IPCCState(w.Word(1), w.Word(2)); }},
    {"IPCCNotReadyReasons", "IPCCNotReadyReasons", "Query not ready reasons", P::BoundAndRunning, 34,
     [](C& c, const W&) { return c.IPCCNotReadyReasons(); }},
    {"IPCCLogoutReasons", "IPCCLogoutReasons", "Query logout reasons", P::BoundAndRunning, 35,
     [](C& c, const W&) { return c.IPCCLogoutReasons(); }},
    {"Help", "Help [command]", "Show help", P::None, 36, [](C& c, const W& w) { return c.Help(w.Word(1)); }},
    {"Quit", "Quit", "Quit application", P::None, 37, [](C& c, const W&) -> ResultCode { c.Quit(); }},
};

constexpr size_t kCommandCount = std::size(kCommands);

// The rows sorted by their dispatch rank; the ranks must be exactly 1 to kCommandCount.
constexpr std::array<const CommandEntry*, kCommandCount> SortByRank() {
    std::array<const CommandEntry*, kCommandCount> order{};
    for (const CommandEntry& entry : kCommands) {
        if (entry.dispatchRank < 1 || static_cast<size_t>(entry.dispatchRank) > kCommandCount ||
            order[entry.dispatchRank - 1] != nullptr)
            throw "dispatch ranks must be 1 to the number of commands, each once";
        order[entry.dispatchRank - 1] = &entry;
    }
    return order;
}

constexpr std::array<const CommandEntry*, kCommandCount> kDispatchOrder = SortByRank();

}  // namespace

std::span<const CommandEntry> CommandTable() {
    return kCommands;
}

std::span<const CommandEntry* const> DispatchOrder() {
    return kDispatchOrder;
}

}  // namespace quvo
