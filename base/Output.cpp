#include "base/Output.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
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

// Guarded by OutputMutex().
struct EventState {
    EventStyle style;
    std::function<void()> wake;  // set while lines are held
    std::string held;
};

EventState& Events() {
    static auto* state = new EventState;
    return *state;
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

void WriteLocked(std::string_view text) {
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

}  // namespace

void Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(OutputMutex());
    WriteLocked(text);
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

std::string TimestampNow() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return Format("%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
}

void WriteEvent(std::string_view line, bool withPrompt) {
    std::lock_guard<std::mutex> lock(OutputMutex());
    EventState& events = Events();
    // The time is taken under the lock, so that stamps never go backwards in the output.
    std::string text = events.style.timestamps ? TimestampNow() : std::string();
    text.reserve(text.size() + line.size() + 3);
    text.append(line);
    text.append(withPrompt && events.style.prompt ? "\n> " : "\n");
    if (events.wake) {
        events.held.append(text);
        events.wake();
        return;
    }
    WriteLocked(text);
}

void SetEventStyle(EventStyle style) {
    std::lock_guard<std::mutex> lock(OutputMutex());
    Events().style = style;
}

void HoldEvents(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(OutputMutex());
    Events().wake = std::move(wake);
}

std::string TakeHeldEvents() {
    std::lock_guard<std::mutex> lock(OutputMutex());
    std::string held;
    held.swap(Events().held);
    return held;
}

void ReleaseEvents() {
    std::lock_guard<std::mutex> lock(OutputMutex());
    EventState& events = Events();
    events.wake = nullptr;
    if (!events.held.empty()) WriteLocked(events.held);
    std::string().swap(events.held);
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
