#include "Server.h"

#include <sdbus-c++/sdbus-c++.h>

#include <cstdio>

namespace quvo::server {
namespace {

sdbus::Variant ToVariant(const Arg& arg) {
    if (const auto* n = std::get_if<int32_t>(&arg)) return sdbus::Variant(*n);
    if (const auto* b = std::get_if<bool>(&arg)) return sdbus::Variant(*b);
    return sdbus::Variant(ValidUtf8(std::get<std::string>(arg)));
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

Server::Server(sdbus::IConnection& bus, EventLoop& loop, std::string name, bool eventsInterface, bool quiet)
    : bus_(bus), loop_(loop), name_(std::move(name)), eventsInterface_(eventsInterface), quiet_(quiet) {}

Server::~Server() = default;

void Server::Register() {
    softphone_ = sdbus::createObject(bus_, bus::kObjectPath);
    for (const bus::Method* method : bus::kMethods) {
        softphone_->registerMethod(
            bus::kSoftphoneInterface, method->name, method->signature, method->ArgNames(), "", {},
            [this, method](sdbus::MethodCall call) { OnOperation(*method, std::move(call)); });
    }
    if (eventsInterface_)
        softphone_->registerSignal(bus::kEventsInterface, bus::kEventSignal, bus::kEventSignature,
                                   {bus::kEventArgNames.begin(), bus::kEventArgNames.end()});
    softphone_->finishRegistration();
}

// ---- the automation interface -----------------------------------------------------------------

void Server::OnOperation(const bus::Method& method, sdbus::MethodCall call) {
    // An exception must not travel back into sd-bus: every path replies here.
    Args args;
    try {
        for (const char* sig = method.signature; *sig; ++sig) {
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
        Note(std::string("malformed ") + method.name + ": " + e.what());
        return;
    }
    // The reply may come later (an injected delay, a network round trip): the call is kept until then.
    engine_->Call(method, std::move(args), [this, &method, call = std::move(call)](const std::string& error) {
        try {
            if (call.doesntExpectReply()) return;
            if (error.empty())
                call.createReply().send();
            else
                call.createErrorReply(sdbus::Error(bus::kErrorFailed, ValidUtf8(error))).send();
        } catch (const std::exception& e) {
            Note(std::string("cannot reply to ") + method.name + ": " + e.what());
        }
    });
}

// ---- EngineHost -------------------------------------------------------------------------------

void Server::Send(int32_t dispid, const Args& args) {
    if (!eventsInterface_) return;
    try {
        std::vector<sdbus::Variant> variants;
        for (const Arg& arg : args) variants.push_back(ToVariant(arg));
        auto signal = softphone_->createSignal(bus::kEventsInterface, bus::kEventSignal);
        signal << dispid << variants;
        softphone_->emitSignal(signal);
    } catch (const std::exception& e) {
        Note("cannot emit event " + std::to_string(dispid) + ": " + e.what());
    }
}

void Server::After(std::chrono::milliseconds delay, std::function<void()> fn) {
    loop_.After(delay, std::move(fn));
}

void Server::Watch(std::vector<WatchedFd> fds, std::function<void()> onReady) {
    loop_.Watch(fds, std::move(onReady));
}

void Server::Post(std::function<void()> fn) {
    loop_.Post(std::move(fn));
}

void Server::RequestExit() {
    loop_.Stop();
}

void Server::StatusChanged(const std::string& status) {
    if (onStatus_) onStatus_(status);
}

void Server::Note(const std::string& text) {
    if (!quiet_) std::fprintf(stderr, "%s: %s\n", name_.c_str(), text.c_str());
}

}  // namespace quvo::server
