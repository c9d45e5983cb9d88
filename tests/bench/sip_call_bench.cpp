// Call set-up by the SIP library alone, in this process, with no console and no bus: the
// floor under the console's MakeCall-to-PartyPickup time (scripts/bench-sip.sh runs both
// against the same auto-answering far end through the same proxy).
//
//   quvo_sip_call_bench --listen ADDR --user NUMBER --proxy sip:HOST:PORT --to sip:NUMBER@HOST
//                       [--calls N] [--iterate-ms MS]
//
// Registers, then places the calls one after the other and prints, for each, the time from
// the invite to the far end's answer (Connected) and to the media running (StreamsRunning);
// then the medians. The core is driven by iterate() every MS milliseconds (20 by default,
// the period a phone program would use in a call).
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <linphone++/linphone.hh>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string listen = "127.0.0.1";
    std::string user = "1900";
    std::string proxy;
    std::string to;
    int calls = 50;
    int iterateMs = 20;
};

class Listener : public linphone::CoreListener {
  public:
    linphone::RegistrationState registration = linphone::RegistrationState::None;
    linphone::Call::State state = linphone::Call::State::Idle;
    Clock::time_point connected;
    Clock::time_point streamsRunning;
    bool failed = false;

    void onAccountRegistrationStateChanged(const std::shared_ptr<linphone::Core>&,
                                           const std::shared_ptr<linphone::Account>&,
                                           linphone::RegistrationState newState,
                                           const std::string&) override {
        registration = newState;
    }

    void onCallStateChanged(const std::shared_ptr<linphone::Core>&, const std::shared_ptr<linphone::Call>&,
                            linphone::Call::State newState, const std::string&) override {
        const auto now = Clock::now();
        state = newState;
        if (newState == linphone::Call::State::Connected)
            connected = now;
        else if (newState == linphone::Call::State::StreamsRunning && streamsRunning == Clock::time_point{})
            streamsRunning = now;
        else if (newState == linphone::Call::State::Error)
            failed = true;
    }
};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (name == "--listen")
            options.listen = value;
        else if (name == "--user")
            options.user = value;
        else if (name == "--proxy")
            options.proxy = value;
        else if (name == "--to")
            options.to = value;
        else if (name == "--calls")
            options.calls = atoi(value.c_str());
        else if (name == "--iterate-ms")
            options.iterateMs = atoi(value.c_str());
        else
            return false;
    }
    return !options.proxy.empty() && !options.to.empty() && options.calls > 0 && options.iterateMs > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        fprintf(stderr,
                "usage: %s --listen ADDR --user NUMBER --proxy sip:HOST:PORT --to sip:NUMBER@HOST "
                "[--calls N] [--iterate-ms MS]\n",
                argv[0]);
        return 2;
    }

    // Every file the library writes goes to a folder of our own, removed at the end.
    char folderTemplate[] = "/tmp/quvo-sip-bench-XXXXXX";
    if (!mkdtemp(folderTemplate)) {
        perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path folder = folderTemplate;
    if (!getenv("XDG_RUNTIME_DIR")) setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    linphone::LoggingService::get()->setLogLevel(linphone::LogLevel::Fatal);
    {
        auto factory = linphone::Factory::get();
        factory->setConfigDir(folder.string());
        factory->setDataDir(folder.string());
        factory->setDownloadDir(folder.string());
        const auto configPath = (folder / "linphonerc").string();
        if (FILE* f = fopen(configPath.c_str(), "w")) {
            fprintf(f,
                    "[sip]\nbind_address=%s\nguess_hostname=0\ncontact=sip:%s@%s\n"
                    "[rtp]\nbind_address=%s\naudio_rtp_port=50000-59999\n"
                    "[video]\ncapture=0\ndisplay=0\nautomatically_initiate=0\nautomatically_accept=0\n",
                    options.listen.c_str(), options.user.c_str(), options.listen.c_str(),
                    options.listen.c_str());
            fclose(f);
        }
        auto core = factory->createCore(configPath, "", nullptr);
        auto listener = std::make_shared<Listener>();
        core->addListener(listener);
        core->setUseFiles(true);
        core->enableVideoCapture(false);
        core->enableVideoDisplay(false);
        auto transports = factory->createTransports();
        transports->setUdpPort(5060);
        transports->setTcpPort(0);
        core->setTransports(transports);
        core->start();
        core->setNetworkReachable(true);

        auto proxyAddress = factory->createAddress(options.proxy);
        auto params = core->createAccountParams();
        params->setIdentityAddress(
            factory->createAddress("sip:" + options.user + "@" + proxyAddress->getDomain()));
        params->setServerAddress(proxyAddress);
        params->setRoutesAddresses({proxyAddress->clone()});
        params->enableRegister(true);
        params->setExpires(600);
        auto account = core->createAccount(params);
        core->addAccount(account);
        core->setDefaultAccount(account);

        const auto period = std::chrono::milliseconds(options.iterateMs);
        auto runUntil = [&](auto done, std::chrono::milliseconds limit) {
            const auto deadline = Clock::now() + limit;
            while (!done() && Clock::now() < deadline) {
                core->iterate();
                std::this_thread::sleep_for(period);
            }
            return done();
        };

        int status = 0;
        if (!runUntil([&] { return listener->registration == linphone::RegistrationState::Ok; },
                      std::chrono::seconds(10))) {
            fprintf(stderr, "sip_call_bench: not registered\n");
            status = 1;
        }
        std::vector<double> answered, running;
        auto destination = factory->createAddress(options.to);
        for (int i = 0; status == 0 && i < options.calls; ++i) {
            listener->connected = listener->streamsRunning = Clock::time_point{};
            listener->failed = false;
            auto callParams = core->createCallParams(nullptr);
            callParams->enableVideo(false);
            const auto start = Clock::now();
            auto call = core->inviteAddressWithParams(destination, callParams);
            if (!call ||
                !runUntil([&] { return listener->failed || listener->streamsRunning != Clock::time_point{}; },
                          std::chrono::seconds(10)) ||
                listener->failed) {
                fprintf(stderr, "sip_call_bench: call %d failed\n", i + 1);
                status = 1;
                break;
            }
            answered.push_back(Ms(listener->connected - start));
            running.push_back(Ms(listener->streamsRunning - start));
            call->terminate();
            runUntil([&] { return listener->state == linphone::Call::State::Released; },
                     std::chrono::seconds(5));
        }
        if (!answered.empty())
            printf(
                "sip_call_bench: calls=%zu iterate_ms=%d median_connected_ms=%.1f "
                "median_streams_running_ms=%.1f "
                "min_connected_ms=%.1f max_connected_ms=%.1f\n",
                answered.size(), options.iterateMs, Median(answered), Median(running),
                *std::min_element(answered.begin(), answered.end()),
                *std::max_element(answered.begin(), answered.end()));
        fflush(stdout);
        core->setDefaultAccount(nullptr);
        core->clearAccounts();
        core->stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        return status;
    }
}
