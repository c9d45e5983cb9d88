#include "console/CommandTable.h"

namespace quvo {

namespace {

using C = link::CSoftphoneControl;
using W = CCommandTokenizer;
using P = link::CSoftphoneControl::Precondition;

constexpr CommandEntry kCommands[] = {
    {"RunProgram", "RunProgram", "Start softphone application", P::None,
     [](C& c, const W&) { return c.RunProgram(); }},
    {"ShowProgram", "ShowProgram", "Ensure softphone is visible", P::BoundAndRunning,
     [](C& c, const W&) { return c.ShowProgram(1); }},
    {"HideProgram", "HideProgram", "Minimize (hide) softphone", P::BoundAndRunning,
     [](C& c, const W&) { return c.ShowProgram(0); }},
    {"ExitProgram", "ExitProgram", "Close softphone application", P::Bound,
     [](C& c, const W&) { return c.ExitProgram(); }},
    {"SnapShot", "Snapshot", "Generate softphone snapshot", P::BoundAndRunning,
     [](C& c, const W&) { return c.Snapshot(); }},
    {"OffHook", "OffHook [line]", "Go offhook", P::BoundAndRunning,
     [](C& c, const W& w) { return c.OffHook(w.Word(1)); }},
    // OnHook passes its first word although its syntax line shows none.
    {"OnHook", "OnHook", "Go onhook", P::BoundAndRunning,
     [](C& c, const W& w) { return c.OnHook(w.Word(1)); }},
    {"MakeCall", "MakeCall destination", "Initiate outboud call", P::BoundAndRunning,
     [](C& c, const W& w) { return c.MakeCall(w.Word(1), w.Word(2)); }},
    {"Answer", "Answer [callRefId]", "Answer incoming call", P::BoundAndRunning,
     [](C& c, const W& w) { return c.Answer(w.Word(1)); }},
    {"EndCall", "EndCall", "Hangup active call", P::BoundAndRunning,
     [](C& c, const W&) { return c.EndCall(); }},
    {"Hold", "Hold", "Hold active call", P::BoundAndRunning, [](C& c, const W&) { return c.Hold(); }},
    {"Resume", "Resume [callRefId]", "Resume call", P::BoundAndRunning,
     [](C& c, const W& w) { return c.Resume(w.Word(1)); }},
    {"DTMF", "DTMF key", "Send DTMF key/tone", P::BoundAndRunning,
     [](C& c, const W& w) { return c.DTMF(w.Word(1)); }},
    {"Softkey", "Softkey softkey [lineId] [callRefId]",
     "Send one of the following softkeys:\n"
     "\t  redial, newcall, hold, transfer, cfwdall, endcall, resume, \n"
     "\t  answer, conference, park, join, meetme, pickup, grouppickup, \n"
     "\t  droplastconferee, callback, dnd, barge, cbarge, divertall, \n"
     "\t  idivert, transfervmail, watch, intercept",
     P::BoundAndRunning, [](C& c, const W& w) { return c.Softkey(w.Word(1), w.Word(2), w.Word(3)); }},
    {"Transfer", "Transfer destination", "Transfer active call (one-step transfer)", P::BoundAndRunning,
     [](C& c, const W& w) { return c.Transfer(w.Word(1)); }},
    {"TransferInitiate", "TransferInitiate destination", "Initiate consultative transfer", P::BoundAndRunning,
     [](C& c, const W& w) { return c.TransferInitiate(w.Word(1)); }},
    {"TransferComplete", "TransferComplete", "Complete consultative transfer", P::BoundAndRunning,
     [](C& c, const W&) { return c.TransferComplete(); }},
    {"TransferCancel", "TransferCancel", "Cancel consultative transfer", P::BoundAndRunning,
     [](C& c, const W&) { return c.TransferCancel(); }},
    {"ConferenceInitiate", "ConferenceInitiate destination", "Initiate conference", P::BoundAndRunning,
     [](C& c, const W& w) { return c.ConferenceInitiate(w.Word(1)); }},
    {"ConferenceComplete", "ConferenceComplete", "Complete conference", P::BoundAndRunning,
     [](C& c, const W&) { return c.ConferenceComplete(); }},
    {"ConferenceCancel", "ConferenceCancel", "Cancel conference", P::BoundAndRunning,
     [](C& c, const W&) { return c.ConferenceCancel(); }},
    {"CallStats", "CallStats", "Generate call statistics", P::BoundAndRunning,
     [](C& c, const W&) { return c.CallStats(); }},
    {"Messages", "Messages", "Initate call to voicemail", P::BoundAndRunning,
     [](C& c, const W&) { return c.Messages(); }},
    {"SpkrVolumeUp", "SpkrVolumeUp", "Increase speaker volume", P::BoundAndRunning,
     [](C& c, const W&) { return c.SpkrVolume(1); }},
    {"SpkrVolumeDown", "SpkrVolumeDown", "Decrease speaker volume", P::BoundAndRunning,
     [](C& c, const W&) { return c.SpkrVolume(0); }},
    {"MicVolumeUp", "MicVolumeUp", "Increase microphone volume", P::BoundAndRunning,
     [](C& c, const W&) { return c.MicVolume(1); }},
    {"MicVolumeDown", "MicVolumeDown", "Decrease microphone volume", P::BoundAndRunning,
     [](C& c, const W&) { return c.MicVolume(0); }},
    {"Mute", "Mute [on|off]", "Mute/unmute microphone", P::BoundAndRunning,
     [](C& c, const W& w) { return c.Mute(w.Word(1)); }},
    {"EMLogin", "EMLogin userID password", "Extension Mobility login", P::BoundAndRunning,
     [](C& c, const W& w) { return c.EMLogin(w.Word(1), w.Word(2)); }},
    {"EMLogout", "EMLogout", "Extension Mobility logout", P::BoundAndRunning,
     [](C& c, const W&) { return c.EMLogout(); }},
    {"IPCCLogin", "IPCCLogin agentID pwd ext", "IPCC login", P::BoundAndRunning,
     [](C& c, const W& w) { return c.IPCCLogin(w.Word(1), w.Word(2), w.Word(3)); }},
    {"IPCCLogout", "IPCCLogout [reason]", "IPCC logout", P::BoundAndRunning,
     [](C& c, const W& w) { return c.IPCCLogout(w.Word(1)); }},
    {"IPCCState", "IPCCState [state] [reason]",
     "Query or change IPCC agent state to\n\tready, notready, work, workready, worknotready",
     P::BoundAndRunning, [](C& c, const W& w) { return c.IPCCState(w.Word(1), w.Word(2)); }},
    {"IPCCNotReadyReasons", "IPCCNotReadyReasons", "Query not ready reasons", P::BoundAndRunning,
     [](C& c, const W&) { return c.IPCCNotReadyReasons(); }},
    {"IPCCLogoutReasons", "IPCCLogoutReasons", "Query logout reasons", P::BoundAndRunning,
     [](C& c, const W&) { return c.IPCCLogoutReasons(); }},
    {"Help", "Help [command]", "Show help", P::None, [](C& c, const W& w) { return c.Help(w.Word(1)); }},
    {"Quit", "Quit", "Quit application", P::None, [](C& c, const W&) -> ResultCode { c.Quit(); }},
};

}  // namespace

std::span<const CommandEntry> CommandTable() {
    return kCommands;
}

}  // namespace quvo
