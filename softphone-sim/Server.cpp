#include "Server.h"

#include <sdbus-c++/sdbus-c++.h>

#include <cstdio>

namespace quvo::sim {
namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

sdbus::Variant ToVariant(const Arg& arg) {
    if (const auto* n = std::get_if<int32_t>(&arg)) return sdbus::Variant(*n);
    if (const auto* b = std::get_if<bool>(&arg)) return sdbus::Variant(*b);
    return sdbus::Variant(ValidUtf8(std::get<std::string>(arg)));
}

// The operation name as the control channel gives it: a known operation (any case) or "*".
std::string ControlKey(const std::string& operation) {
    if (operation == "*") return operation;
    if (!FindOperation(operation)) throw sdbus::Error(kErrorFailed, "unknown operation: " + operation);
    return Lower(operation);
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
    : bus_(bus), loop_(loop), config_(config), phone_(*this, config.phone) {}

Server::~Server() = default;

void Server::Note(const std::string& text) const {
    if (!config_.quiet) std::fprintf(stderr, "quvo-softphone-sim: %s\n", text.c_str());
}

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

void Server::Start() {
    Emit(kCallManagerStatus, {int32_t{1}});
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
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_);
    log_.push_back(std::to_string(ms.count()) + " " + FormatCall(op.name, args));
    Note(log_.back());

    const std::string delay = Lookup(delays_, op.name);
    if (!delay.empty()) {
        loop_.After(std::chrono::milliseconds(std::stoi(delay)),
                    [this, &op, call, args] { Execute(op, call, args); });
        return;
    }
    Execute(op, call, args);
}

void Server::Execute(const Operation& op, const sdbus::MethodCall& call, const Args& args) {
    std::string error = Lookup(failures_, op.name);
    if (error.empty()) {
        inOperation_ = true;
        try {
            op.invoke(phone_, args);
        } catch (const std::exception& e) {
            error = e.what();
            if (error.empty()) error = "failed";
        }
        inOperation_ = false;
    }
    try {
        if (!call.doesntExpectReply()) {
            if (error.empty())
                call.createReply().send();
            else
                call.createErrorReply(sdbus::Error(kErrorFailed, ValidUtf8(error))).send();
        }
    } catch (const std::exception& e) {
        Note(std::string("cannot reply to ") + op.name + ": " + e.what());
    }
    if (!error.empty()) Note(std::string(op.name) + " failed: " + error);
    // The reply goes out first, then the events that the operation caused.
    auto queued = std::move(queued_);
    queued_.clear();
    for (const auto& [dispid, eventArgs] : queued) EmitNow(dispid, eventArgs);
}

std::string Server::Lookup(const std::map<std::string, std::string>& table, const std::string& op) const {
    auto it = table.find(Lower(op));
    if (it == table.end()) it = table.find("*");
    return it == table.end() ? std::string() : it->second;
}

// ---- PhoneHost --------------------------------------------------------------------------------

void Server::Emit(int32_t dispid, Args args) {
    if (inOperation_)
        queued_.emplace_back(dispid, std::move(args));
    else
        EmitNow(dispid, args);
}

void Server::EmitNow(int32_t dispid, const Args& args) {
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

// ---- the control channel ----------------------------------------------------------------------

void Server::RegisterControl() {
    simulator_ = sdbus::createObject(bus_, kSimulatorPath);
    auto& o = *simulator_;
    const char* iface = kSimulatorInterface;

    o.registerMethod("FireEvent")
        .onInterface(iface)
        .withInputParamNames("dispid", "args")
        .implementedAs([this](int32_t dispid, const std::vector<sdbus::Variant>& args) {
            if (!config_.eventsInterface) return;
            auto signal = softphone_->createSignal(kEventsInterface, bus::kEventSignal);
            signal << dispid << args;
            softphone_->emitSignal(signal);
        });
    o.registerMethod("PlaceIncomingCall")
        .onInterface(iface)
        .withInputParamNames("callerId")
        .withOutputParamNames("callRef")
        .implementedAs([this](const std::string& callerId) { return phone_.PlaceIncomingCall(callerId); });
    o.registerMethod("HangupFarEnd").onInterface(iface).implementedAs([this]() {
        try {
            phone_.HangupFarEnd();
        } catch (const PhoneFailure& e) {
            throw sdbus::Error(kErrorFailed, e.what());
        }
    });
    o.registerMethod("FailOperation")
        .onInterface(iface)
        .withInputParamNames("operation", "errorText")
        .implementedAs([this](const std::string& operation, const std::string& text) {
            const std::string key = ControlKey(operation);
            if (!text.empty())
                failures_[key] = text;
            else if (key == "*")
                failures_.clear();
            else
                failures_.erase(key);
        });
    o.registerMethod("DelayOperation")
        .onInterface(iface)
        .withInputParamNames("operation", "ms")
        .implementedAs([this](const std::string& operation, int32_t ms) {
            const std::string key = ControlKey(operation);
            if (ms > 0)
                delays_[key] = std::to_string(ms);
            else if (key == "*")
                delays_.clear();
            else
                delays_.erase(key);
        });
    o.registerMethod("GetLog").onInterface(iface).withOutputParamNames("entries").implementedAs([this]() {
        std::vector<std::string> out;
        for (const auto& entry : log_) out.push_back(ValidUtf8(entry));
        return out;
    });
    o.registerMethod("ClearLog").onInterface(iface).implementedAs([this]() { log_.clear(); });
    o.registerMethod("Quit").onInterface(iface).implementedAs([this]() { loop_.Stop(); });
    o.finishRegistration();
}

}  // namespace quvo::sim
