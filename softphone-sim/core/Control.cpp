#include "Control.h"

#include <cstdlib>
#include <memory>

#include "Events.h"
#include "SimCore.h"
#include "Text.h"

namespace quvo::sim {
namespace {

int32_t ToInt(const std::string& text, const std::string& what) {
    int32_t value = 0;
    if (!ParseInt32(text, value)) throw UsageError(what + " must be a number, not '" + text + "'");
    return value;
}

double ToSeconds(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0) || value > 86400)
        throw UsageError("'" + text + "' is not a number of seconds");
    return value;
}

// Runs the calls from index on, one after the other, each after the previous one replied.
void RunCalls(SimCore& core, std::shared_ptr<const ControlRequest> request, size_t index, ControlDone done) {
    if (index == request->calls.size()) {
        done("", {});
        return;
    }
    const auto& [op, args] = request->calls[index];
    core.Call(*op, args, [&core, request, index, done](const std::string& error) {
        if (!error.empty())
            done(error, {});
        else
            RunCalls(core, request, index + 1, done);
    });
}

}  // namespace

Args OperationArgs(const Operation& op, const std::vector<std::string>& words) {
    const std::string signature = op.signature;
    if (words.size() != signature.size())
        throw UsageError(std::string(op.name) + " takes " + std::to_string(signature.size()) +
                         " argument(s)");
    Args args;
    for (size_t i = 0; i < signature.size(); ++i) {
        if (signature[i] == 'i')
            args.emplace_back(ToInt(words[i], op.argNames[i]));
        else
            args.emplace_back(words[i]);
    }
    return args;
}

ControlRequest ParseControl(const std::vector<std::string>& w) {
    if (w.empty()) throw UsageError("missing command (see ctl --help)");
    ControlRequest r;
    r.command = w[0];
    const std::string& cmd = w[0];
    const size_t n = w.size() - 1;
    auto need = [&](size_t min, size_t max) {
        if (n < min || n > max) throw UsageError("wrong number of arguments for '" + cmd + "'");
    };
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        r.command = "help";
    } else if (cmd == "fire") {
        need(1, 64);
        try {
            r.dispid = ParseEventId(w[1]);
            for (size_t i = 2; i < w.size(); ++i) r.args.push_back(ParseTypedArg(w[i]));
        } catch (const std::invalid_argument& e) {
            throw UsageError(e.what());
        }
    } else if (cmd == "incoming") {
        need(1, 1);
        r.name = w[1];
    } else if (cmd == "delay") {
        need(2, 2);
        r.name = w[1];
        r.ms = ToInt(w[2], "MS");
    } else if (cmd == "fail") {
        need(1, 2);
        r.name = w[1];
        r.text = n > 1 ? w[2] : "";
    } else if (cmd == "hangup" || cmd == "log" || cmd == "clear-log" || cmd == "quit" || cmd == "window") {
        need(0, 0);
    } else if (cmd == "call") {
        need(1, 256);
        for (size_t at = 1; at < w.size();) {
            const Operation* op = FindOperation(w[at]);
            if (!op) throw UsageError("unknown operation '" + w[at] + "'");
            const size_t count = std::string(op->signature).size();
            if (w.size() - at - 1 < count)
                throw UsageError(std::string(op->name) + " takes " + std::to_string(count) + " argument(s)");
            r.calls.emplace_back(op, OperationArgs(*op, std::vector<std::string>(
                                                            w.begin() + at + 1, w.begin() + at + 1 + count)));
            at += 1 + count;
        }
    } else if (cmd == "events") {
        if (n >= 1 && w[1] == "--list") {
            need(1, 1);
            r.command = "event-list";
        } else {
            need(0, 2);
            r.count = n >= 1 ? ToInt(w[1], "COUNT") : 0;
            r.seconds = n >= 2 ? ToSeconds(w[2]) : 10.0;
        }
    } else if (cmd == "wait" || cmd == "wait-gone") {
        need(0, 1);
        r.seconds = n >= 1 ? ToSeconds(w[1]) : 5.0;
    } else {
        throw UsageError("unknown command '" + cmd + "' (see ctl --help)");
    }
    return r;
}

void RunControl(SimCore& core, const ControlRequest& r, ControlDone done) {
    std::vector<std::string> lines;
    try {
        if (r.command == "fire") {
            core.Fire(r.dispid, r.args);
        } else if (r.command == "incoming") {
            lines.push_back(std::to_string(core.PlaceIncomingCall(r.name)));
        } else if (r.command == "hangup") {
            core.HangupFarEnd();
        } else if (r.command == "fail") {
            core.SetFailure(r.name, r.text);
        } else if (r.command == "delay") {
            core.SetDelay(r.name, r.ms);
        } else if (r.command == "log") {
            lines = core.Log();
        } else if (r.command == "clear-log") {
            core.ClearLog();
        } else if (r.command == "quit") {
            core.Quit();
        } else if (r.command == "event-list") {
            lines = EventListLines();
        } else if (r.command == "call") {
            RunCalls(core, std::make_shared<const ControlRequest>(r), 0, std::move(done));
            return;
        } else {
            done("'" + r.command + "' is not served here", {});
            return;
        }
    } catch (const PhoneFailure& e) {
        done(e.what(), {});
        return;
    }
    done("", lines);
}

const char* ControlHelpText() {
    return R"(Client mode (exit status 0 on success, 1 with a message on failure):
  ctl fire EVENT [ARG]...      EVENT is a name as the console prints it (LineUpdate,
                               PartyHangup, ...; any letter case) or any DISPID number;
                               ARG is i:NUMBER, s:TEXT or b:true|false
  ctl incoming CALLERID        prints the new call reference
  ctl hangup
  ctl fail OPERATION [TEXT]
  ctl delay OPERATION MS
  ctl log                      one entry per line
  ctl clear-log
  ctl quit
  ctl call OPERATION [ARG]...  call a softphone operation (words converted to its types);
                               more operations with their arguments may follow, e.g.
                               ctl call MakeCall 77 EndCall (stops at the first failure)
  ctl events [COUNT [SECONDS]] print events as DISPID(ARGS) until COUNT arrived
                               (default: until SECONDS, default 10, pass); a first line
                               "listening" is printed once subscribed
  ctl events --list            the event table: DISPID, name, argument types
  ctl window                   Windows: the window's state, "iconic=0|1 foreground=0|1
                               title=TEXT" or "none"
  ctl wait [SECONDS]           wait until the softphone runs (default 5)
  ctl wait-gone [SECONDS]      wait until it has gone (default 5)
  ctl --help, ctl -h, ctl help this text
)";
}

}  // namespace quvo::sim
