#include "SimCore.h"

#include "Text.h"

namespace quvo::sim {

SimCore::SimCore(server::EngineHost& host, PhoneConfig config) : host_(host), phone_(*this, config) {}

void SimCore::Start() {
    Send(kCallManagerStatus, {int32_t{1}});
}

void SimCore::Call(const Operation& op, Args args, Reply reply) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_);
    log_.push_back(std::to_string(ms.count()) + " " + FormatCall(op.name, args));
    host_.Note(log_.back());

    if (const int32_t* delay = Lookup(delays_, op.name)) {
        host_.After(
            std::chrono::milliseconds(*delay),
            [this, &op, args = std::move(args), reply = std::move(reply)] { Execute(op, args, reply); });
        return;
    }
    Execute(op, args, reply);
}

void SimCore::Execute(const Operation& op, const Args& args, const Reply& reply) {
    std::string error;
    if (const std::string* injected = Lookup(failures_, op.name)) {
        error = *injected;
    } else {
        inOperation_ = true;
        try {
            Invoke(phone_, op, args);
        } catch (const std::exception& e) {
            error = e.what();
            if (error.empty()) error = "failed";
        }
        inOperation_ = false;
    }
    reply(error);
    if (!error.empty()) host_.Note(std::string(op.name) + " failed: " + error);
    // The reply goes out first, then the events that the operation caused.
    auto queued = std::move(queued_);
    queued_.clear();
    for (const auto& [dispid, eventArgs] : queued) host_.Send(dispid, eventArgs);
}

template <typename Value>
const Value* SimCore::Lookup(const std::map<std::string, Value>& table, const std::string& op) {
    auto it = table.find(Lower(op));
    if (it == table.end()) it = table.find("*");
    return it == table.end() ? nullptr : &it->second;
}

// The operation name as the control channel gives it: a known operation (any case) or "*".
std::string SimCore::ControlKey(const std::string& operation) {
    if (operation == "*") return operation;
    if (!FindOperation(operation)) throw PhoneFailure("unknown operation: " + operation);
    return Lower(operation);
}

void SimCore::Send(int32_t dispid, const Args& args) {
    if (inOperation_)
        queued_.emplace_back(dispid, args);
    else
        host_.Send(dispid, args);
}

void SimCore::After(std::chrono::milliseconds delay, std::function<void()> fn) {
    host_.After(delay, std::move(fn));
}

// ---- the control channel ----------------------------------------------------------------------

void SimCore::Fire(int32_t dispid, const Args& args) {
    host_.Send(dispid, args);
}

int32_t SimCore::PlaceIncomingCall(const std::string& callerId) {
    return phone_.PlaceIncomingCall(callerId);
}

void SimCore::HangupFarEnd() {
    phone_.HangupFarEnd();
}

void SimCore::SetFailure(const std::string& operation, const std::string& text) {
    const std::string key = ControlKey(operation);
    if (!text.empty())
        failures_[key] = text;
    else if (key == "*")
        failures_.clear();
    else
        failures_.erase(key);
}

void SimCore::SetDelay(const std::string& operation, int32_t ms) {
    const std::string key = ControlKey(operation);
    if (ms > 0)
        delays_[key] = ms;
    else if (key == "*")
        delays_.clear();
    else
        delays_.erase(key);
}

}  // namespace quvo::sim
