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

// Redirects all output (for tests); an empty function restores standard output.
void SetOutputSink(std::function<void(std::string_view)> sink);

}  // namespace quvo
