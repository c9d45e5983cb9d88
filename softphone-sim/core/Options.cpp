#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "Control.h"
#include "softphone-server/OptionReader.h"

namespace quvo::sim {
namespace {

bool ParseSeconds(const std::string& text, int& ms) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(value > 0) || value > 86400) return false;
    ms = static_cast<int>(std::lround(value * 1000));
    return ms > 0;
}

}  // namespace

ParseResult ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    server::OptionReader reader;
    reader.Shared(options.title, options.window, options.quiet)
        .Flag("-q", options.quiet)
        .Number("--ring-ms", 0, 3'600'000, options.ringMs, "a number of milliseconds (0 or more)")
        .Value("--incoming-after", "a positive number of seconds",
               [&](const std::string& value) { return ParseSeconds(value, options.incomingAfterMs); })
        .Number("--publish-after", 0, 3'600'000, options.publishAfterMs,
                "a number of milliseconds (0 or more)")
        .Flag("--no-events-interface", options.eventsInterface, false)
        .Flag("--fail-client-active", options.failClientActive)
        .Flag("--no-settings", options.settings, false)
        // The simulator takes no arguments either: a stray word is named whole, '=VALUE' and all.
        .Unknown([](const server::OptionWords& word) {
            return "unknown option or argument '" + word.Word() + "' (see --help)";
        });
#ifdef _WIN32
    reader.Number("--ctl-port", 1, 65535, options.ctlPort, "a port number (1 to 65535)");
#endif
    switch (reader.Read(argc, argv, error)) {
        case server::OptionResult::Run: return ParseResult::Run;
        case server::OptionResult::Help: return ParseResult::Help;
        case server::OptionResult::Version:  // not an option of the simulator
        case server::OptionResult::Error: break;
    }
    return ParseResult::Error;
}

std::string HelpText() {
#ifdef _WIN32
    static const char* kUsage = R"(Usage: quvo-softphone-sim.exe [OPTION]...
       quvo-softphone-sim.exe /RegServer | /UnregServer
       quvo-softphone-sim.exe ctl COMMAND [ARG]...

A stand-in softphone for QUVOConnect. While it runs it serves the class Softphone
({E2547136-98DE-4427-89F0-A577B0DB0D1C}, interface ISoftphone, events on the connection point
of ISoftphoneEvents) from this process, holds the mutex "mutex_QUVO" and shows a small window.
A refused operation returns E_FAIL with error information carrying its text.
/RegServer registers the class (without LocalServer32: COM never starts it) and the type
library QUVOLib under HKLM\Software\Classes; /UnregServer removes both.

Options:
)";
    static const char* kPlatformOptions =
        R"(  --no-window            do not open a window
  --no-settings          do not write sExePath, sExeFileName and sPhoneOnline to
                         HKCU\Software\Quelbo\QUVO
  --ctl-port N           control channel on 127.0.0.1 port N (default: QUVO_SIM_CTL_PORT,
                         else 47023); the ctl client finds it the same way
)";
    static const char* kControl =
        R"(Control channel: lines of words on a loopback TCP port; "ctl" below speaks it.
)";
#else
    static const char* kUsage = R"(Usage: quvo-softphone-sim [OPTION]...
       quvo-softphone-sim ctl COMMAND [ARG]...

A stand-in softphone for QUVOConnect. It owns com.quelbo.QUVO on the D-Bus session bus,
serves /com/quelbo/QUVO/Softphone (interface com.quelbo.QUVO.Softphone, events on
com.quelbo.QUVO.SoftphoneEvents: signal Event(i dispid, av args)), holds the presence lock
($XDG_RUNTIME_DIR/mutex_QUVO, else /tmp/mutex_QUVO-<uid>) and shows a small window.
A refused operation answers with the error com.quelbo.QUVO.Error.Failed and a text.

Options:
)";
    static const char* kPlatformOptions =
        R"(  --no-window            do not open a window (none is opened without an X server anyway)
  --no-settings          do not write sExePath, sExeFileName and sPhoneOnline to
                         $XDG_CONFIG_HOME/Quelbo/QUVO.ini (~/.config when unset)
)";
    static const char* kControl =
        R"(Control channel: object /com/quelbo/QUVO/Simulator, interface com.quelbo.QUVO.Simulator:
  FireEvent(i dispid, av args)          emit any Event verbatim
  PlaceIncomingCall(s callerId) -> i    place an incoming call, returns its reference
  HangupFarEnd()                        the far end of the active call hangs up
  FailOperation(s operation, s text)    that operation ("*": all) fails with text from
                                        now on; empty text clears ("*" clears all)
  DelayOperation(s operation, i ms)     that operation ("*": all) replies ms later; 0 clears
  GetLog() -> as                        operations received, oldest first:
                                        <ms since start> <Name>(<args>), e.g.
                                        1234 Softkey("endcall",-1,-1)
  ClearLog()                            forget the log
  Quit()                                quit as ExitProgram does
)";
#endif
    static const char* kOptionsHead =
        R"(  --ring-ms N            call progress time in milliseconds (default 1500): an outgoing
                         call rings for N ms before it is answered (or found busy)
  --incoming-after S     demo mode: while a client is active (SetClientActive 1) and no
                         call exists, an incoming call arrives after S idle seconds, again
                         and again
  --no-events-interface  do not offer the events interface at all (no events are sent)
  --fail-client-active   SetClientActive always fails
  --publish-after N      hold the presence lock N ms before owning the bus name (a
                         softphone whose automation object appears after its lock)
  --title TEXT           window title; default: setting sPhoneOnline, else "Dorevirud Uvazed"
)";
    static const char* kOptionsTail =
        R"(  --quiet, -q            no log line on standard error for each operation received
  --help, -h             this text
)";
    static const char* kBehaviour =
        R"(Behaviour (line 1 "1001", button 1; call references start at 1001; each operation
replies first, its events follow; events: 11 LineUpdate with state numbers):
  MakeCall D       empty D: error "no destination"; D starting with "fail": error
                   "call rejected". Else RingOut(3) at once, after ring-ms Connected(5)
                   and PartyPickup; D starting with "busy": Busy(6) and PartyBusy instead,
                   Idle(0) after another ring-ms. A connected call is put on Hold(8) first.
  incoming call    IncomingCall(ref, "1001", caller) then RingIn(4), direction 0.
  Answer REF       the ringing call REF -> Connected; 0 or unknown: error "no such call".
  EndCall          the active call -> Idle; none: error "no active call".
  Hold / Resume R  Connected -> Hold / Hold -> Connected (R 0: the held call).
  OffHook/OnHook   OffHook(1) / OnHook(2); OnHook also ends a call in progress.
  Transfer D       connected call -> CallTransfer(10) then Idle.
  TransferInitiate D / ConferenceInitiate D
                   holds the connected call and dials D as a consultation call.
  TransferComplete both calls -> CallTransfer then Idle; none pending: error.
  ConferenceComplete both calls -> Connected with other party "Conference".
  Softkey N L R    hold, resume, endcall (ends a consultation call and resumes the held
                   one), answer, newcall (= OffHook), redial; every name is recorded.
  SendDtmf, SpkrVolumeUp/Down, MicVolumeUp/Down (levels 0..10), SetMute, Snapshot:
                   recorded only. Messages: calls "voicemail". CallStats: CallStatsUpdate
                   for the active call (call reference 0 when there is none).
  SetClientActive  1: CallManagerStatus(1) (also sent once at start).
  IPCCLogin A P E  empty A: error; P "bad": error "invalid credentials"; else Not Ready(3).
  IPCCSetState S R ready/notready/work/workready/worknotready -> 4/3/5/7/6; empty S reports
                   the current state; other words: error "invalid state"; logged out: error.
  IPCCLogout R     -> Logged Out(2); logged out already: error.
  IPCCNotReadyReasons / IPCCLogoutReasons
                   one IPCCReasonCode event per reason (kind 2: 1..4, kind 1: 10..12).
  ExitProgram      replies, then quits (window, bus name or class object, and lock released), status 0.
  A termination signal (Ctrl+C on Windows) and closing the window quit the same way.
)";
    return std::string(kUsage) + kOptionsHead + kPlatformOptions + kOptionsTail + "\n" + kBehaviour + "\n" +
           kControl + "\n" + ControlHelpText();
}

}  // namespace quvo::sim
