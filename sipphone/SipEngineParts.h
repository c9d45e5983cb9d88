// What the files of the SIP engine share (SipEngine.h declares the engine).
#pragma once

#include <algorithm>
#include <cctype>
#include <chrono>
#include <linphone++/linphone.hh>
#include <string>

#include "SipEngine.h"
#include "softphone-server/Line.h"

namespace quvo::sip {

using State = linphone::Call::State;
using namespace std::chrono_literals;

// A refused operation: its text is the reply.
using Failure = server::LineFailure;

// How often a lost registration is tried again (see RefusedRetryDelay for a refused one).
inline constexpr auto kRegisterRetry = 2s;

// A transfer that this phone asked for and that has not failed (nor been taken back).
inline bool TransferUnderWay(State transfer) {
    return transfer == State::OutgoingInit || transfer == State::OutgoingProgress ||
           transfer == State::OutgoingRinging || transfer == State::OutgoingEarlyMedia ||
           transfer == State::Connected;
}

inline std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The core's listener: its calls' and its account's news, to the engine.
struct SipEngine::Listener : public linphone::CoreListener {
    explicit Listener(SipEngine& engine) : engine(engine) {}
    void onCallStateChanged(const std::shared_ptr<linphone::Core>&,
                            const std::shared_ptr<linphone::Call>& call, linphone::Call::State state,
                            const std::string& message) override {
        engine.OnCallState(call, static_cast<int>(state), message);
    }
    void onAccountRegistrationStateChanged(const std::shared_ptr<linphone::Core>&,
                                           const std::shared_ptr<linphone::Account>&,
                                           linphone::RegistrationState state,
                                           const std::string& message) override {
        engine.OnRegistration(static_cast<int>(state), message);
    }
    void onTransferStateChanged(const std::shared_ptr<linphone::Core>&,
                                const std::shared_ptr<linphone::Call>& call,
                                linphone::Call::State state) override {
        engine.OnTransferState(call, static_cast<int>(state));
    }
    SipEngine& engine;
};

}  // namespace quvo::sip
