// Console output shared by the main thread, the presence monitor and the event threads.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quvo {

// Writes text to standard output in one piece and flushes it at once, so that a
// line printed by one thread never mixes with another's and a pipe sees it now.
void Write(std::string_view text);

// printf-style formatting into a string (the console's formats are printf formats).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats and writes in one call.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An unsolicited line (an event, a presence change, the event sink's failure),
// given without its line end. Such lines come from other threads while the main
// thread waits behind its prompt, so each is written whole and followed by a fresh
// prompt "> ".
void PrintEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same, for the one event line that is followed by no prompt.
void PrintEventWithoutPrompt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes one unsolicited line (without its line end) as PrintEvent does.
void WriteEvent(std::string_view line, bool withPrompt);

// How unsolicited lines look, chosen once at start-up. By default each is followed
// by a prompt "> " (where the line asks for one) and carries no time stamp.
struct EventStyle {
    // False where nothing waits behind a printed prompt: the script mode, and a line
    // editor that draws its own prompt.
    bool prompt = true;
    // Each line starts with the local time "HH:MM:SS.mmm ".
    bool timestamps = false;
};
void SetEventStyle(EventStyle style);

// The local time of day as "HH:MM:SS.mmm " (with its trailing blank).
std::string TimestampNow();

// While a line editor owns the terminal, unsolicited lines must not be written
// into the line being edited. HoldEvents makes them wait: each is kept whole and
// wake() is called (with the output lock held: it must neither block nor print).
// The editor prints them above its line with TakeHeldEvents and, when it lets go
// of the terminal, ReleaseEvents writes whatever is still kept and ends the hold.
void HoldEvents(std::function<void()> wake);
std::string TakeHeldEvents();
void ReleaseEvents();

// Redirects all output (for tests); an empty function restores standard output.
void SetOutputSink(std::function<void(std::string_view)> sink);

}  // namespace quvo
