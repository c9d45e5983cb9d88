#include "Operations.h"

#include <cstdio>

#include "Text.h"

namespace quvo::sim {
namespace {

int32_t I(const Args& args, size_t index) {
    return std::get<int32_t>(args.at(index));
}
const std::string& S(const Args& args, size_t index) {
    return std::get<std::string>(args.at(index));
}

}  // namespace

const std::vector<Operation>& Operations() {
    static const std::vector<Operation> kOperations = {
        {bus::kSetClientActive, [](Phone& p, const Args& a) { p.SetClientActive(I(a, 0)); }},
        {bus::kAnswer, [](Phone& p, const Args& a) { p.Answer(I(a, 0)); }},
        {bus::kEndCall, [](Phone& p, const Args&) { p.EndCall(); }},
        {bus::kHold, [](Phone& p, const Args&) { p.Hold(); }},
        {bus::kMakeCall, [](Phone& p, const Args& a) { p.MakeCall(S(a, 0)); }},
        {bus::kOffHook, [](Phone& p, const Args& a) { p.OffHook(I(a, 0)); }},
        {bus::kOnHook, [](Phone& p, const Args& a) { p.OnHook(I(a, 0)); }},
        {bus::kResume, [](Phone& p, const Args& a) { p.Resume(I(a, 0)); }},
        {bus::kSendDtmf, [](Phone& p, const Args& a) { p.SendDtmf(S(a, 0)); }},
        {bus::kSoftkey, [](Phone& p, const Args& a) { p.Softkey(S(a, 0), I(a, 1), I(a, 2)); }},
        {bus::kTransfer, [](Phone& p, const Args& a) { p.Transfer(S(a, 0)); }},
        {bus::kTransferInitiate, [](Phone& p, const Args& a) { p.TransferInitiate(S(a, 0)); }},
        {bus::kTransferComplete, [](Phone& p, const Args&) { p.TransferComplete(); }},
        {bus::kExitProgram, [](Phone& p, const Args&) { p.ExitProgram(); }},
        {bus::kSpkrVolumeUp, [](Phone& p, const Args&) { p.SpeakerVolume(+1); }},
        {bus::kSpkrVolumeDown, [](Phone& p, const Args&) { p.SpeakerVolume(-1); }},
        {bus::kMicVolumeUp, [](Phone& p, const Args&) { p.MicVolume(+1); }},
        {bus::kMicVolumeDown, [](Phone& p, const Args&) { p.MicVolume(-1); }},
        {bus::kSetMute, [](Phone& p, const Args& a) { p.SetMute(I(a, 0)); }},
        {bus::kMessages, [](Phone& p, const Args&) { p.Messages(); }},
        {bus::kSnapshot, [](Phone& p, const Args&) { p.Snapshot(); }},
        {bus::kCallStats, [](Phone& p, const Args&) { p.CallStats(); }},
        {bus::kConferenceInitiate, [](Phone& p, const Args& a) { p.ConferenceInitiate(S(a, 0)); }},
        {bus::kConferenceComplete, [](Phone& p, const Args&) { p.ConferenceComplete(); }},
        {bus::kIPCCLogin, [](Phone& p, const Args& a) { p.AgentLogin(S(a, 0), S(a, 1), S(a, 2)); }},
        {bus::kIPCCLogout, [](Phone& p, const Args& a) { p.AgentLogout(S(a, 0)); }},
        {bus::kIPCCSetState, [](Phone& p, const Args& a) { p.AgentSetState(S(a, 0), S(a, 1)); }},
        {bus::kIPCCNotReadyReasons, [](Phone& p, const Args&) { p.AgentNotReadyReasons(); }},
        {bus::kIPCCLogoutReasons, [](Phone& p, const Args&) { p.AgentLogoutReasons(); }},
    };
    return kOperations;
}

const Operation* FindOperation(const std::string& name) {
    for (const Operation& op : Operations())
        if (EqualsNoCase(op.name, name)) return &op;
    return nullptr;
}

std::string FormatCall(const std::string& name, const Args& args) {
    std::string out = name + "(";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) out += ',';
        if (const auto* n = std::get_if<int32_t>(&args[i])) {
            out += std::to_string(*n);
        } else if (const auto* b = std::get_if<bool>(&args[i])) {
            out += *b ? "true" : "false";
        } else {
            out += '"';
            for (unsigned char c : std::get<std::string>(args[i])) {
                if (c == '"' || c == '\\') {
                    out += '\\';
                    out += static_cast<char>(c);
                } else if (c < 0x20 || c == 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02x", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
            }
            out += '"';
        }
    }
    return out + ")";
}

}  // namespace quvo::sim
