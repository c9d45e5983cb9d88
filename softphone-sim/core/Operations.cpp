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

void Invoke(Phone& p, const Operation& op, const Args& a) {
    using Op = bus::MethodId;
    switch (op.id) {
        case Op::SetClientActive: p.SetClientActive(I(a, 0)); break;
        case Op::Answer: p.Answer(I(a, 0)); break;
        case Op::EndCall: p.EndCall(); break;
        case Op::Hold: p.Hold(); break;
        case Op::MakeCall: p.MakeCall(S(a, 0)); break;
        case Op::OffHook: p.OffHook(I(a, 0)); break;
        case Op::OnHook: p.OnHook(I(a, 0)); break;
        case Op::Resume: p.Resume(I(a, 0)); break;
        case Op::SendDtmf: p.SendDtmf(S(a, 0)); break;
        case Op::Softkey: p.Softkey(S(a, 0), I(a, 1), I(a, 2)); break;
        case Op::Transfer: p.Transfer(S(a, 0)); break;
        case Op::TransferInitiate: p.TransferInitiate(S(a, 0)); break;
        case Op::TransferComplete: p.TransferComplete(); break;
        case Op::ExitProgram: p.ExitProgram(); break;
        case Op::SpkrVolumeUp: p.SpeakerVolume(+1); break;
        case Op::SpkrVolumeDown: p.SpeakerVolume(-1); break;
        case Op::MicVolumeUp: p.MicVolume(+1); break;
        case Op::MicVolumeDown: p.MicVolume(-1); break;
        case Op::SetMute: p.SetMute(I(a, 0)); break;
        case Op::Messages: p.Messages(); break;
        case Op::Snapshot: p.Snapshot(); break;
        case Op::CallStats: p.CallStats(); break;
        case Op::ConferenceInitiate: p.ConferenceInitiate(S(a, 0)); break;
        case Op::ConferenceComplete: p.ConferenceComplete(); break;
        case Op::IPCCLogin: p.AgentLogin(S(a, 0), S(a, 1), S(a, 2)); break;
        case Op::IPCCLogout: p.AgentLogout(S(a, 0)); break;
        case Op::IPCCSetState: p.AgentSetState(S(a, 0), S(a, 1)); break;
        case Op::IPCCNotReadyReasons: p.AgentNotReadyReasons(); break;
        case Op::IPCCLogoutReasons: p.AgentLogoutReasons(); break;
    }
}

const Operation* FindOperation(const std::string& name) {
    for (const Operation* op : bus::kMethods)
        if (EqualsNoCase(op->name, name)) return op;
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
