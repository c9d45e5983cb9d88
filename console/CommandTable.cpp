#include "console/CommandTable.h"

namespace quvo {

const CommandEntry CommandTable[kCommandCount] = {
    {"RunProgram", "RunProgram", "Start softphone application"},
    {"ShowProgram", "ShowProgram", "Ensure softphone is visible"},
    {"HideProgram", "HideProgram", "Minimize (hide) softphone"},
    {"ExitProgram", "ExitProgram", "Close softphone application"},
    {"SnapShot", "Snapshot", "Generate softphone snapshot"},
    {"OffHook", "OffHook [line]", "Go offhook"},
    {"OnHook", "OnHook", "Go onhook"},
    {"MakeCall", "MakeCall destination", "Initiate outboud call"},
    {"Answer", "Answer [callRefId]", "Answer incoming call"},
    {"EndCall", "EndCall", "Hangup active call"},
    {"Hold", "Hold", "Hold active call"},
    {"Resume", "Resume [callRefId]", "Resume call"},
    {"DTMF", "DTMF key", "Send DTMF key/tone"},
    {"Softkey", "Softkey softkey [lineId] [callRefId]",
     "Send one of the following softkeys:\n"
     "\t  redial, newcall, hold, transfer, cfwdall, endcall, resume, \n"
     "\t  answer, conference, park, join, meetme, pickup, grouppickup, \n"
     "\t  droplastconferee, callback, dnd, barge, cbarge, divertall, \n"
     "\t  idivert, transfervmail, watch, intercept"},
    {"Transfer", "Transfer destination", "Transfer active call (one-step transfer)"},
    {"TransferInitiate", "TransferInitiate destination", "Initiate consultative transfer"},
    {"TransferComplete", "TransferComplete", "Complete consultative transfer"},
    {"TransferCancel", "TransferCancel", "Cancel consultative transfer"},
    {"ConferenceInitiate", "ConferenceInitiate destination", "Initiate conference"},
    {"ConferenceComplete", "ConferenceComplete", "Complete conference"},
    {"ConferenceCancel", "ConferenceCancel", "Cancel conference"},
    {"CallStats", "CallStats", "Generate call statistics"},
    {"Messages", "Messages", "Initate call to voicemail"},
    {"SpkrVolumeUp", "SpkrVolumeUp", "Increase speaker volume"},
    {"SpkrVolumeDown", "SpkrVolumeDown", "Decrease speaker volume"},
    {"MicVolumeUp", "MicVolumeUp", "Increase microphone volume"},
    {"MicVolumeDown", "MicVolumeDown", "Decrease microphone volume"},
    {"Mute", "Mute [on|off]", "Mute/unmute microphone"},
    {"EMLogin", "EMLogin userID password", "Extension Mobility login"},
    {"EMLogout", "EMLogout", "Extension Mobility logout"},
    {"IPCCLogin", "IPCCLogin agentID pwd ext", "IPCC login"},
    {"IPCCLogout", "IPCCLogout [reason]", "IPCC logout"},
    {"IPCCState", "IPCCState [state] [reason]",
     "Query or change IPCC agent state to\n\tready, notready, work, workready, worknotready"},
    {"IPCCNotReadyReasons", "IPCCNotReadyReasons", "Query not ready reasons"},
    {"IPCCLogoutReasons", "IPCCLogoutReasons", "Query logout reasons"},
    {"Help", "Help [command]", "Show help"},
    {"Quit", "Quit", "Quit application"},
};

}  // namespace quvo
