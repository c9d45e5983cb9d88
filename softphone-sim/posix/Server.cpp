#include "Server.h"

#include <sdbus-c++/sdbus-c++.h>

#include <cstdio>

#include "BusNames.h"

namespace quvo::sim {
namespace {

sdbus::Variant ToVariant(const Arg& arg) {
    if (const auto* n = std::get_if<int32_t>(&arg)) return sdbus::Variant(*n);
    if (const auto* b = std::get_if<bool>(&arg)) return sdbus::Variant(*b);
    return sdbus::Variant(ValidUtf8(std::get<std::string>(arg)));
}

// Runs a control request on the core; its refusal becomes the error reply.
template <typename Fn>
auto Refusable(Fn fn) {
    try {
        return fn();
    } catch (const PhoneFailure& e) {
        throw sdbus::Error(kErrorFailed, ValidUtf8(e.what()));
    }
}

}  // namespace

std::string ValidUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
        bool ok = len > 0 && i + len <= n && c != 0;
        for (size_t k = 1; ok && k < len; ++k) ok = (s[i + k] & 0xc0) == 0x80;
        if (ok && len > 1) {
            uint32_t cp = c & (0xff >> (len + 1));
            for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (s[i + k] & 0x3f);
            static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
            ok = cp >= kMin[len] && cp <= 0x10ffff && !(cp >= 0xd800 && cp <= 0xdfff);
        }
        if (ok) {
            out.append(text, i, len);
            i += len;
        } else {
            out += "\xef\xbf\xbd";
            ++i;
        }
    }
    return out;
}

Server::Server(sdbus::IConnection& bus, EventLoop& loop, ServerConfig config)
    : bus_(bus), loop_(loop), config_(config), core_(*this, config.phone) {}

Server::~Server() = default;

void Server::Register() {
    softphone_ = sdbus::createObject(bus_, kSoftphonePath);
    for (const Operation& op : Operations()) {
        softphone_->registerMethod(kSoftphoneInterface, op.name, op.signature, op.paramNames, "", {},
                                   [this, &op](sdbus::MethodCall call) { OnOperation(op, std::move(call)); });
    }
    if (config_.eventsInterface)
        softphone_->registerSignal(kEventsInterface, bus::kEventSignal, bus::kEventSignature,
                                   {bus::kEventArgNames.begin(), bus::kEventArgNames.end()});
    softphone_->finishRegistration();
    RegisterControl();
}

// ---- the automation interface -----------------------------------------------------------------

void Server::OnOperation(const Operation& op, sdbus::MethodCall call) {
    // An exception must not travel back into sd-bus: every path replies here.
    Args args;
    try {
        for (const char* sig = op.signature; *sig; ++sig) {
            if (*sig == 'i') {
                int32_t value = 0;
                call >> value;
                args.emplace_back(value);
            } else {
                std::string value;
                call >> value;
                args.emplace_back(std::move(value));
            }
        }
    } catch (const std::exception& e) {
        Note(std::string("malformed ") + op.name + ": " + e.what());
        return;
    }
    // The reply may come later (an injected delay): the call is kept until then.
    core_.Call(op, std::move(args), [this, &op, call = std::move(call)](const std::string& error) {
        try {
            if (call.doesntExpectReply()) return;
            if (error.empty())
                call.createReply().send();
            else
                call.createErrorReply(sdbus::Error(kErrorFailed, ValidUtf8(error))).send();
        } catch (const std::exception& e) {
            Note(std::string("cannot reply to ") + op.name + ": " + e.what());
        }
    });
}

// ---- SimHost ----------------------------------------------------------------------------------

void Server::Send(int32_t dispid, const Args& args) {
    if (!config_.eventsInterface) return;
    try {
        std::vector<sdbus::Variant> variants;
        for (const Arg& arg : args) variants.push_back(ToVariant(arg));
        auto signal = softphone_->createSignal(kEventsInterface, bus::kEventSignal);
        signal << dispid << variants;
        softphone_->emitSignal(signal);
    } catch (const std::exception& e) {
        Note("cannot emit event " + std::to_string(dispid) + ": " + e.what());
    }
}

void Server::After(std::chrono::milliseconds delay, std::function<void()> fn) {
    loop_.After(delay, std::move(fn));
}

void Server::RequestExit() {
    loop_.Stop();
}

void Server::StatusChanged(const std::string& status) {
    if (onStatus_) onStatus_(status);
}

void Server::Note(const std::string& text) {
    if (!config_.quiet) std::fprintf(stderr, "quvo-softphone-sim: %s\n", text.c_str());
}

// ---- the control channel ----------------------------------------------------------------------

void Server::RegisterControl() {
    simulator_ = sdbus::createObject(bus_, kSimulatorPath);
    auto& o = *simulator_;
    const char* iface = kSimulatorInterface;

    o.registerMethod("FireEvent")
        .onInterface(iface)
        .withInputParamNames("dispid", "args")
        .implementedAs([this](int32_t dispid, const std::vector<sdbus::Variant>& variants) {
            if (!config_.eventsInterface) return;
            // Arguments of the event interface's own types go through the core; any other type
            // is passed on verbatim, so that tests can send what no softphone would.
            Args args;
            for (const auto& v : variants) {
                const std::string type = v.peekValueType();
                if (type == "i")
                    args.emplace_back(v.get<int32_t>());
                else if (type == "s")
                    args.emplace_back(v.get<std::string>());
                else if (type == "b")
                    args.emplace_back(v.get<bool>());
                else
                    break;
            }
            if (args.size() == variants.size()) return core_.Fire(dispid, args);
            auto signal = softphone_->createSignal(kEventsInterface, bus::kEventSignal);
            signal << dispid << variants;
            softphone_->emitSignal(signal);
        });
    o.registerMethod("PlaceIncomingCall")
        .onInterface(iface)
        .withInputParamNames("callerId")
        .withOutputParamNames("callRef")
        .implementedAs([this](const std::string& callerId) { return core_.PlaceIncomingCall(callerId); });
    o.registerMethod("HangupFarEnd").onInterface(iface).implementedAs([this]() {
        Refusable([this] { core_.HangupFarEnd(); });
    });
    o.registerMethod("FailOperation")
        .onInterface(iface)
        .withInputParamNames("operation", "errorText")
        .implementedAs([this](const std::string& operation, const std::string& text) {
            Refusable([&] { core_.SetFailure(operation, text); });
        });
    o.registerMethod("DelayOperation")
        .onInterface(iface)
        .withInputParamNames("operation", "ms")
        .implementedAs([this](const std::string& operation, int32_t ms) {
            Refusable([&] { core_.SetDelay(operation, ms); });
        });
    o.registerMethod("GetLog").onInterface(iface).withOutputParamNames("entries").implementedAs([this]() {
        std::vector<std::string> out;
        for (const auto& entry : core_.Log()) out.push_back(ValidUtf8(entry));
        return out;
    });
    o.registerMethod("ClearLog").onInterface(iface).implementedAs([this]() { core_.ClearLog(); });
    o.registerMethod("Quit").onInterface(iface).implementedAs([this]() { core_.Quit(); });
    o.finishRegistration();
}

}  // namespace quvo::sim
