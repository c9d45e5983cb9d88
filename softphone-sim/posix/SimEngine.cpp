#include "SimEngine.h"

#include <sdbus-c++/sdbus-c++.h>

#include "BusNames.h"
#include "core/Operations.h"
#include "softphone-server/Server.h"

namespace quvo::sim {
namespace {

// Runs a control request on the core; its refusal becomes the error reply.
template <typename Fn>
auto Refusable(Fn fn) {
    try {
        return fn();
    } catch (const PhoneFailure& e) {
        throw sdbus::Error(kErrorFailed, server::ValidUtf8(e.what()));
    }
}

}  // namespace

SimEngine::SimEngine(server::EngineHost& host, PhoneConfig config) : core_(host, config) {}

SimEngine::~SimEngine() = default;

void SimEngine::Call(const bus::Method& method, server::Args args, Reply reply) {
    core_.Call(method, std::move(args), std::move(reply));
}

// ---- the control channel ----------------------------------------------------------------------

void SimEngine::RegisterControl(sdbus::IConnection& bus, sdbus::IObject& softphone, bool eventsInterface) {
    control_ = sdbus::createObject(bus, kSimulatorPath);
    auto& o = *control_;
    const char* iface = kSimulatorInterface;

    o.registerMethod("FireEvent")
        .onInterface(iface)
        .withInputParamNames("dispid", "args")
        .implementedAs(
            [this, &softphone, eventsInterface](int32_t dispid, const std::vector<sdbus::Variant>& variants) {
                if (!eventsInterface) return;
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
                auto signal = softphone.createSignal(kEventsInterface, bus::kEventSignal);
                signal << dispid << variants;
                softphone.emitSignal(signal);
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
        for (const auto& entry : core_.Log()) out.push_back(server::ValidUtf8(entry));
        return out;
    });
    o.registerMethod("ClearLog").onInterface(iface).implementedAs([this]() { core_.ClearLog(); });
    o.registerMethod("Quit").onInterface(iface).implementedAs([this]() { core_.Quit(); });
    o.finishRegistration();
}

}  // namespace quvo::sim
