// quvo-softphone-sim.exe: a stand-in softphone that QUVOConnect drives through COM, and (with
// "ctl") a small client that drives the stand-in through its control port.
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ComServer.h"
#include "ControlPort.h"
#include "Registration.h"
#include "Settings.h"
#include "Wide.h"
#include "Window.h"
#include "core/Options.h"
#include "core/TaskLoop.h"
#include "core/Text.h"

namespace {

using namespace quvo::sim;

HANDLE g_exit = nullptr;

int Fail(const std::string& text) {
    std::fprintf(stderr, "quvo-softphone-sim: %s\n", text.c_str());
    return 1;
}

// The words of the command line in UTF-8 (argv would hold them in the ANSI code page).
std::vector<std::string> Words() {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> words;
    for (int i = 0; i < count; ++i) words.push_back(WideToUtf8(args[i], wcslen(args[i])));
    LocalFree(args);
    return words;
}

BOOL WINAPI OnConsoleSignal(DWORD) {
    SetEvent(g_exit);
    return TRUE;
}

// Records where this program lives and what its window is called, for the console.
void WriteOwnSettings(const std::string& title) {
    char exe[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    const std::string path(exe, n);
    const auto slash = path.find_last_of("\\/");
    std::string error;
    if (n == 0 || slash == std::string::npos)
        Fail("cannot find the program's own path; settings not written");
    else if (!WriteSettings({{"sExePath", path.substr(0, slash)},
                             {"sExeFileName", path.substr(slash + 1)},
                             {"sPhoneOnline", title}},
                            error))
        Fail(error + "; settings not written");
}

// Carries out a control request on the loop, with the window and the port's own requests here.
std::string HandleControl(ComServer& server, SimWindow& window, const ControlRequest& request,
                          std::vector<std::string>& lines) {
    if (request.command == "window") {
        lines.push_back(window.Describe());
        return "";
    }
    std::string error;
    const bool ran = server.RunOnLoop([&](SimCore& core, std::function<void()> done) {
        RunControl(core, request, [&, done](const std::string& e, const std::vector<std::string>& out) {
            error = e;
            lines = out;
            done();
        });
    });
    return ran ? error : "the softphone is closing";
}

constexpr DWORD kPresenceWaitMs = 2000;
constexpr DWORD kPresenceRetryMs = 50;

int RunSoftphone(const Options& options) {
    g_exit = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleSignal, TRUE);

    // A softphone on its way out (ExitProgram) still holds the mark for a moment: a copy
    // started right after it (RunProgram) waits for it to go rather than leave.
    HANDLE presence = nullptr;
    for (DWORD waited = 0;; waited += kPresenceRetryMs) {
        presence = CreateMutexA(nullptr, FALSE, "mutex_QUVO");
        if (!presence) return Fail("cannot create mutex_QUVO (" + std::to_string(GetLastError()) + ")");
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
        CloseHandle(presence);
        if (waited >= kPresenceWaitMs) return Fail("another softphone is running");
        Sleep(kPresenceRetryMs);
    }

    std::string title = kDefaultTitle;
    if (options.title) {
        title = *options.title;
    } else if (auto saved = ReadSetting("sPhoneOnline"); saved && !saved->empty()) {
        title = *saved;
    }

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const ServerConfig config = ServerConfig::FromOptions(options);

    TaskLoop loop;
    std::thread loopThread([&loop] { loop.Run(); });
    int status = 0;
    {
        ComServer server(loop, config, g_exit);
        SimWindow window;
        ControlPort control;
        server.OnEvent([&control](const std::string& line) { control.Broadcast(line); });

        // Window, settings and control port come first, so that whoever finds the class finds all.
        if (options.window) {
            std::string statusText;
            server.RunOnLoop([&](SimCore& core, std::function<void()> done) {
                statusText = core.Status();
                done();
            });
            window.Start(title, statusText, [] { SetEvent(g_exit); });
            server.OnStatus([&window](const std::string& text) { window.SetStatus(text); });
        }
        if (options.settings) WriteOwnSettings(title);
        std::string error;
        const int port = ControlPortNumber(options.ctlPort);
        if (!control.Start(
                port,
                [&](const ControlRequest& r, std::vector<std::string>& lines) {
                    return HandleControl(server, window, r, lines);
                },
                error)) {
            status = Fail(error);
        } else if (const HRESULT hr = server.Register(); FAILED(hr)) {
            char text[64];
            std::snprintf(text, sizeof text, "cannot register the class object (0x%08lX)",
                          static_cast<unsigned long>(hr));
            status = Fail(text);
        } else {
            server.RunOnLoop([](SimCore& core, std::function<void()> done) {
                core.Start();
                done();
            });
            if (!options.quiet)
                std::fprintf(stderr, "quvo-softphone-sim: running, pid %lu, control port %d, title \"%s\"\n",
                             GetCurrentProcessId(), port, title.c_str());
            WaitForSingleObject(g_exit, INFINITE);
        }
        // Revoke first, so that no new client arrives, then let the last reply go out.
        server.Close();
        control.Stop();
        window.Stop();
        loop.Stop();
        loopThread.join();
        Sleep(50);
    }
    CloseHandle(presence);
    CoUninitialize();
    if (!options.quiet && status == 0) std::fprintf(stderr, "quvo-softphone-sim: stopped\n");
    return status;
}

}  // namespace

int main() {
    std::vector<std::string> words = Words();
    if (words.size() > 1) {
        const std::string first = Lower(words[1]);
        if (first == "/regserver" || first == "-regserver") return RegisterServer();
        if (first == "/unregserver" || first == "-unregserver") return UnregisterServer();
        if (first == "ctl") {
            // The control port comes from the environment, as the server's default does.
            return RunControlClient(std::vector<std::string>(words.begin() + 2, words.end()),
                                    ControlPortNumber(0));
        }
    }

    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    Options options;
    std::string error;
    switch (ParseOptions(static_cast<int>(argv.size()), argv.data(), options, error)) {
        case ParseResult::Help: std::fputs(HelpText().c_str(), stdout); return 0;
        case ParseResult::Error: return Fail(error);
        case ParseResult::Run: break;
    }
    return RunSoftphone(options);
}
