// The softphone's automation contract on the D-Bus session bus: the bus name, the
// object path, the two interfaces, the 29 operations with their input signatures
// and argument names, and the events that the Event signal carries.
//
// The console's binding, the stand-in softphone and the link benchmark take their
// names from here. platform/posix/com.quelbo.QUVO.xml states the same contract as
// introspection data, for whoever writes a softphone; the unit tests check this
// header against that file and the end-to-end tests check the stand-in softphone's
// live introspection against it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace quvo::bus {

// Owned by the softphone while it runs.
inline constexpr const char* kBusName = "com.quelbo.QUVO";
inline constexpr const char* kObjectPath = "/com/quelbo/QUVO/Softphone";
inline constexpr const char* kSoftphoneInterface = "com.quelbo.QUVO.Softphone";
inline constexpr const char* kEventsInterface = "com.quelbo.QUVO.SoftphoneEvents";

// The one signal of the events interface: Event(i dispid, av args), each argument
// of the event in its declaration order, typed i, s or b.
inline constexpr const char* kEventSignal = "Event";
inline constexpr const char* kEventSignature = "iav";
inline constexpr std::array<const char*, 2> kEventArgNames = {"dispid", "args"};

// The error name of a refused operation; its message is the softphone's text.
inline constexpr const char* kErrorFailed = "com.quelbo.QUVO.Error.Failed";

// One operation: input arguments only ('i' int32, 's' UTF-8 string), no output.
struct Method {
    const char* name;
    const char* signature;
    std::array<const char*, 3> argNames;  // the first strlen(signature) are set

    std::size_t ArgCount() const { return std::strlen(signature); }
    std::vector<std::string> ArgNames() const { return {argNames.begin(), argNames.begin() + ArgCount()}; }
};

inline constexpr Method kSetClientActive{"SetClientActive", "i", {"flag"}};
inline constexpr Method kAnswer{"Answer", "i", {"callRefId"}};
inline constexpr Method kEndCall{"EndCall", "", {}};
inline constexpr Method kHold{"Hold", "", {}};
inline constexpr Method kMakeCall{"MakeCall", "s", {"destination"}};
inline constexpr Method kOffHook{"OffHook", "i", {"line"}};
inline constexpr Method kOnHook{"OnHook", "i", {"line"}};
inline constexpr Method kResume{"Resume", "i", {"callRefId"}};
inline constexpr Method kSendDtmf{"SendDtmf", "s", {"key"}};
inline constexpr Method kTransfer{"Transfer", "s", {"destination"}};
inline constexpr Method kExitProgram{"ExitProgram", "", {}};
inline constexpr Method kMicVolumeUp{"MicVolumeUp", "", {}};
inline constexpr Method kMicVolumeDown{"MicVolumeDown", "", {}};
inline constexpr Method kSetMute{"SetMute", "i", {"flag"}};
inline constexpr Method kMessages{"Messages", "", {}};
inline constexpr Method kSnapshot{"Snapshot", "", {}};
inline constexpr Method kTransferInitiate{"TransferInitiate", "s", {"destination"}};
inline constexpr Method kTransferComplete{"TransferComplete", "", {}};
inline constexpr Method kSpkrVolumeUp{"SpkrVolumeUp", "", {}};
inline constexpr Method kSpkrVolumeDown{"SpkrVolumeDown", "", {}};
inline constexpr Method kConferenceInitiate{"ConferenceInitiate", "s", {"destination"}};
inline constexpr Method kConferenceComplete{"ConferenceComplete", "", {}};
inline constexpr Method kIPCCLogin{"IPCCLogin", "sss", {"agentId", "password", "extension"}};
inline constexpr Method kIPCCLogout{"IPCCLogout", "s", {"reason"}};
inline constexpr Method kIPCCSetState{"IPCCSetState", "ss", {"state", "reason"}};
inline constexpr Method kIPCCNotReadyReasons{"IPCCNotReadyReasons", "", {}};
inline constexpr Method kIPCCLogoutReasons{"IPCCLogoutReasons", "", {}};
inline constexpr Method kSoftkey{"Softkey", "sii", {"name", "lineId", "callRefId"}};
inline constexpr Method kCallStats{"CallStats", "", {}};

// All operations, in the order of the automation interface's slots.
inline constexpr std::array<const Method*, 29> kMethods = {
    &kSetClientActive,
    &kAnswer,
    &kEndCall,
    &kHold,
    &kMakeCall,
    &kOffHook,
    &kOnHook,
    &kResume,
    &kSendDtmf,
    &kTransfer,
    &kExitProgram,
    &kMicVolumeUp,
    &kMicVolumeDown,
    &kSetMute,
    &kMessages,
    &kSnapshot,
    &kTransferInitiate,
    &kTransferComplete,
    &kSpkrVolumeUp,
    &kSpkrVolumeDown,
    &kConferenceInitiate,
    &kConferenceComplete,
    &kIPCCLogin,
    &kIPCCLogout,
    &kIPCCSetState,
    &kIPCCNotReadyReasons,
    &kIPCCLogoutReasons,
    &kSoftkey,
    &kCallStats,
};

// One event of the Event signal: its DISPID, its name as the console prints it
// (events that the console ignores are named ReservedN) and the types of its
// arguments in declaration order.
struct Event {
    int32_t dispid;
    const char* name;
    const char* signature;
};

inline constexpr std::array<Event, 20> kEvents = {{
    {1, "PartyHangup", "i"},
    {2, "PartyBusy", "i"},
    {3, "PartyPickup", "i"},
    {4, "IncomingCall", "iss"},
    {5, "Reserved5", ""},
    {6, "Reserved6", ""},
    {7, "Reserved7", "si"},
    {8, "Reserved8", "ib"},
    {9, "Reserved9", "i"},
    {10, "Reserved10", "i"},
    {11, "LineUpdate", "iissisiii"},
    {12, "SpeedDialUpdate", "isii"},
    {13, "CallParkReturned", "s"},
    {14, "Reserved14", "bi"},
    {15, "Reserved15", "b"},
    {16, "CallManagerStatus", "i"},
    {17, "ConnectionKeepAlive", ""},
    {18, "IPCCAgentState", "is"},
    {19, "IPCCReasonCode", "iis"},
    {20, "CallStatsUpdate", "isssiiiiii"},
}};

}  // namespace quvo::bus
