#include "base/Output.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#ifndef _WIN32
#include <unistd.h>

#include <cerrno>
#endif

namespace quvo {

namespace {

// Never destroyed: threads may still print while the process exits.
std::mutex& OutputMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::function<void(std::string_view)>& Sink() {
    static auto* sink = new std::function<void(std::string_view)>;
    return *sink;
}

std::string FormatArgs(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    const int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) return std::string();
    if (static_cast<size_t>(length) < sizeof small) return std::string(small, static_cast<size_t>(length));
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace

void Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(OutputMutex());
    if (Sink()) {
        Sink()(text);
        return;
    }
#ifdef _WIN32
    // The C runtime's text mode gives the console its "\r\n" line ends.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
#else
    while (!text.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // nobody reads any more: nothing to be done
        text.remove_prefix(static_cast<size_t>(written));
    }
#endif
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatArgs(format, args);
    va_end(args);
    return text;
}

void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = FormatArgs(format, args);
    va_end(args);
    Write(text);
}

void WriteEvent(std::string_view line, bool withPrompt) {
    std::string text;
    text.reserve(line.size() + 3);
    text.append(line);
    text.append(withPrompt ? "\n> " : "\n");
    Write(text);
}

void PrintEvent(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string line = FormatArgs(format, args);
    va_end(args);
    WriteEvent(line, true);
}

void PrintEventWithoutPrompt(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string line = FormatArgs(format, args);
    va_end(args);
    WriteEvent(line, false);
}

void SetOutputSink(std::function<void(std::string_view)> sink) {
    std::lock_guard<std::mutex> lock(OutputMutex());
    Sink() = std::move(sink);
}

}  // namespace quvo
