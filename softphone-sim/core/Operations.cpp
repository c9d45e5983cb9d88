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
        {"SetClientActive", "i", {"flag"}, [](Phone& p, const Args& a) { p.SetClientActive(I(a, 0)); }},
        {"Answer", "i", {"callRefId"}, [](Phone& p, const Args& a) { p.Answer(I(a, 0)); }},
        {"EndCall", "", {}, [](Phone& p, const Args&) { p.EndCall(); }},
        {"Hold", "", {}, [](Phone& p, const Args&) { p.Hold(); }},
        {"MakeCall", "s", {"destination"}, [](Phone& p, const Args& a) { p.MakeCall(S(a, 0)); }},
        {"OffHook", "i", {"line"}, [](Phone& p, const Args& a) { p.OffHook(I(a, 0)); }},
        {"OnHook", "i", {"line"}, [](Phone& p, const Args& a) { p.OnHook(I(a, 0)); }},
        {"Resume", "i", {"callRefId"}, [](Phone& p, const Args& a) { p.Resume(I(a, 0)); }},
        {"SendDtmf", "s", {"key"}, [](Phone& p, const Args& a) { p.SendDtmf(S(a, 0)); }},
        {"Softkey",
         "sii",
         {"name", "lineId", "callRefId"},
         [](Phone& p, const Args& a) { p.Softkey(S(a, 0), I(a, 1), I(a, 2)); }},
        {"Transfer", "s", {"destination"}, [](Phone& p, const Args& a) { p.Transfer(S(a, 0)); }},
        {"TransferInitiate",
         "s",
         {"destination"},
         [](Phone& p, const Args& a) { p.TransferInitiate(S(a, 0)); }},
        {"TransferComplete", "", {}, [](Phone& p, const Args&) { p.TransferComplete(); }},
        {"ExitProgram", "", {}, [](Phone& p, const Args&) { p.ExitProgram(); }},
        {"SpkrVolumeUp", "", {}, [](Phone& p, const Args&) { p.SpeakerVolume(+1); }},
        {"SpkrVolumeDown", "", {}, [](Phone& p, const Args&) { p.SpeakerVolume(-1); }},
        {"MicVolumeUp", "", {}, [](Phone& p, const Args&) { p.MicVolume(+1); }},
        {"MicVolumeDown", "", {}, [](Phone& p, const Args&) { p.MicVolume(-1); }},
        {"SetMute", "i", {"flag"}, [](Phone& p, const Args& a) { p.SetMute(I(a, 0)); }},
        {"Messages", "", {}, [](Phone& p, const Args&) { p.Messages(); }},
        {"Snapshot", "", {}, [](Phone& p, const Args&) { p.Snapshot(); }},
        {"CallStats", "", {}, [](Phone& p, const Args&) { p.CallStats(); }},
        {"ConferenceInitiate",
         "s",
         {"destination"},
         [](Phone& p, const Args& a) { p.ConferenceInitiate(S(a, 0)); }},
        {"ConferenceComplete", "", {}, [](Phone& p, const Args&) { p.ConferenceComplete(); }},
        {"IPCCLogin",
         "sss",
         {"agentId", "password", "extension"},
         [](Phone& p, const Args& a) { p.AgentLogin(S(a, 0), S(a, 1), S(a, 2)); }},
        {"IPCCLogout", "s", {"reason"}, [](Phone& p, const Args& a) { p.AgentLogout(S(a, 0)); }},
        {"IPCCSetState",
         "ss",
         {"state", "reason"},
         [](Phone& p, const Args& a) { p.AgentSetState(S(a, 0), S(a, 1)); }},
        {"IPCCNotReadyReasons", "", {}, [](Phone& p, const Args&) { p.AgentNotReadyReasons(); }},
        {"IPCCLogoutReasons", "", {}, [](Phone& p, const Args&) { p.AgentLogoutReasons(); }},
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
